// The quick bar's GTK window under Xvfb with openbox, showing the fixture page.

#include <gtk/gtk.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
// clang-format on
#include "platform/linux/LinuxPlatform.h"
#include "web/QuickBarController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

TEST(QuickBarWindowTest, BorderlessTransparentAboveEveryWorkspaceWithTheFocus) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    const testing::Desktop desktop;
    Platform::install(linux_backend::makeLinuxPlatform(true));
    const testing::TempDir home;
    const testing::ScopedEnvironment dataHome("XDG_DATA_HOME", (home.path() / "data").c_str());
    const testing::ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    const testing::LogCapture log;
    testing::StandInService service;
    service.answer("/quick", 200, testing::readFile(PAGES_DIR "/quick.html"), "text/html");
    const testing::ScopedEnvironment serviceBase("PGM_SERVER_URL", service.base().c_str());
    Settings::shared().setRuntimeBaseURL("");
    auto bar = QuickBarController::create();
    bar->show();
    ASSERT_TRUE(testing::pumpUntil([&] { return log.contains("快速条：页面加载完成"); }, 15s));
    // The bar's X window: this process's window that has the focus.
    Window window = 0;
    ASSERT_TRUE(testing::pumpUntil(
        [&] {
            window = desktop.activeWindow();
            return window != 0 && desktop.pidOf(window) == getpid();
        },
        5s))
        << "the bar did not get the keyboard focus";
    Display* display = desktop.display();
    testing::pumpUntil([] { return false; }, 500ms);  // drawn

    // No frame, above the others, on every workspace, in no task bar or pager.
    EXPECT_EQ(testing::windowProperty(display, window, "_NET_FRAME_EXTENTS", XA_CARDINAL),
              (std::vector<unsigned long>{0, 0, 0, 0}));
    const auto states = testing::windowProperty(display, window, "_NET_WM_STATE", XA_ATOM);
    for (const char* state :
         {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        EXPECT_NE(std::ranges::find(states, XInternAtom(display, state, False)), states.end())
            << state;
    }
    // (Xlib hands 32-bit items over as longs, sign-extended.)
    const auto workspace = testing::windowProperty(display, window, "_NET_WM_DESKTOP", XA_CARDINAL);
    ASSERT_EQ(workspace.size(), 1u);
    EXPECT_EQ(workspace[0] & 0xFFFFFFFFu, 0xFFFFFFFFu);

    // The page's 8-pixel margin shows through; its bar and mark are opaque (0xAARRGGBB).
    XImage* image = XGetImage(display, window, 0, 0, 560, 58, AllPlanes, ZPixmap);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->depth, 32);
    EXPECT_EQ(XGetPixel(image, 2, 2) >> 24, 0u);
    EXPECT_EQ(XGetPixel(image, 28, 29), 0xFF0F7A63u);   // the mark
    EXPECT_EQ(XGetPixel(image, 300, 10), 0xFFFBF7EEu);  // the bar
    XDestroyImage(image);

    // The input takes the typing, a key held as a person holds it; the page's errors
    // are caught in the bar's short form.
    const auto evaluate = [&](const std::string& script) {
        std::optional<nlohmann::json> result;
        bar->window().webView().evaluate(
            script, [&](const std::optional<nlohmann::json>& value, const std::string&) {
                result = value.value_or(nullptr);
            });
        testing::pumpUntil([&] { return result.has_value(); }, 5s);
        return result.value_or(nullptr);
    };
    evaluate("document.getElementById('instruction').focus(); 1");
    testing::pressAsPerson(display, {XK_a}, {150ms, false});
    EXPECT_TRUE(testing::pumpUntil(
        [&] { return evaluate("document.getElementById('instruction').value") == "a"; }, 5s));
    EXPECT_EQ(evaluate("window.dispatchEvent(new ErrorEvent('error', {message: 'boom', "
                       "filename: 'f.js', lineno: 3})); window.__PGM_ERRORS"),
              nlohmann::json({"boom @ f.js:3"}));
    bar.reset();
    Platform::uninstall();
}

}  // namespace
}  // namespace pagemate
