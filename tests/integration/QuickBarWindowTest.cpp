// The quick bar on a real desktop: its GTK window under Xvfb with openbox as the window
// manager and the fixture page from the stand-in service. (Its round trip through Notion
// is in NotionEngineTest, against Chromium.)

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
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
// clang-format on
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/LinuxPlatform.h"
#include "web/QuickBarController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

bool hasState(Display* display, Window window, const char* state) {
    const auto states = testing::windowProperty(display, window, "_NET_WM_STATE", XA_ATOM);
    const Atom wanted = XInternAtom(display, state, False);
    return std::find(states.begin(), states.end(), wanted) != states.end();
}

// The window's own pixels as the X server holds them, alpha included, kept as a PNG
// file next to the test program for a look.
class WindowPixels {
  public:
    WindowPixels(Display* display, Window window, int width, int height)
        : width_(width), height_(height) {
        XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (image == nullptr) {
            return;
        }
        depth_ = image->depth;
        pixels_.reserve(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                pixels_.push_back(static_cast<std::uint32_t>(XGetPixel(image, x, y)));
            }
        }
        XDestroyImage(image);
    }
    [[nodiscard]] bool taken() const { return !pixels_.empty(); }
    [[nodiscard]] int depth() const { return depth_; }
    // 0xAARRGGBB.
    [[nodiscard]] std::uint32_t at(int x, int y) const {
        return pixels_.at(static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                          static_cast<std::size_t>(x));
    }
    [[nodiscard]] double shareOf(const std::function<bool(std::uint32_t)>& test) const {
        return static_cast<double>(std::count_if(pixels_.begin(), pixels_.end(), test)) /
               static_cast<double>(pixels_.size());
    }

    void save(const std::string& name) const {
        std::vector<guchar> rgba;
        rgba.reserve(pixels_.size() * 4);
        for (const std::uint32_t pixel : pixels_) {
            const unsigned alpha = pixel >> 24;
            // Stored premultiplied: back to straight colour for the file.
            const auto channel = [alpha](unsigned value) {
                return static_cast<guchar>(alpha == 0 ? 0 : std::min(255u, value * 255 / alpha));
            };
            rgba.push_back(channel((pixel >> 16) & 0xFF));
            rgba.push_back(channel((pixel >> 8) & 0xFF));
            rgba.push_back(channel(pixel & 0xFF));
            rgba.push_back(static_cast<guchar>(alpha));
        }
        const linux_backend::GObjectPtr<GdkPixbuf> pixbuf(
            gdk_pixbuf_new_from_data(rgba.data(), GDK_COLORSPACE_RGB, TRUE, 8, width_, height_,
                                     width_ * 4, nullptr, nullptr));
        GError* error = nullptr;
        gdk_pixbuf_save(pixbuf.get(), name.c_str(), "png", &error, nullptr);
        const linux_backend::GErrorPtr owned(error);
        EXPECT_FALSE(owned) << owned->message;
    }

  private:
    int width_;
    int height_;
    int depth_ = 0;
    std::vector<std::uint32_t> pixels_;
};

class QuickBarWindowTest : public ::testing::Test {
  protected:
    // One window manager for the suite: a second one would find the first one's
    // leftover root properties and take them for a running manager.
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
        sharedDesktop = std::make_unique<testing::Desktop>();
    }
    static void TearDownTestSuite() { sharedDesktop.reset(); }
    static inline std::unique_ptr<testing::Desktop> sharedDesktop;

    QuickBarWindowTest() {
        Platform::install(linux_backend::makeLinuxPlatform(true));
        Settings::shared().setRuntimeBaseURL("");
        service.answer("/quick", 200, testing::readFile(PAGES_DIR "/quick.html"), "text/html");
        bar = QuickBarController::create();
    }
    ~QuickBarWindowTest() override {
        bar.reset();
        Platform::uninstall();
    }

    [[nodiscard]] std::size_t loadsFinished() const {
        const auto messages = log.messages();
        return static_cast<std::size_t>(
            std::count(messages.begin(), messages.end(), "快速条：页面加载完成"));
    }

    void showAndWait() {
        const std::size_t before = loadsFinished();
        bar->show();
        ASSERT_TRUE(testing::pumpUntil([&] { return loadsFinished() > before; }, 15s))
            << log.text();
    }

    json evaluate(const std::string& script) {
        std::optional<json> result;
        bool done = false;
        bar->window().webView().evaluate(script,
                                         [&](std::optional<json> value, const std::string&) {
                                             result = std::move(value);
                                             done = true;
                                         });
        EXPECT_TRUE(testing::pumpUntil([&] { return done; }, 5s));
        return result.value_or(json());
    }

    // The bar's X window: this process's window that has the focus.
    [[nodiscard]] Window focusedOwnWindow() const {
        const Window active = desktop.activeWindow();
        return active != 0 && desktop.pidOf(active) == getpid() ? active : 0;
    }

    testing::TempDir home;
    testing::ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    testing::ScopedEnvironment configHome{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    testing::LogCapture log;
    testing::StandInService service;
    testing::ScopedEnvironment serviceBase{"PGM_SERVER_URL", service.base().c_str()};
    testing::Desktop& desktop = *sharedDesktop;
    std::shared_ptr<QuickBarController> bar;
};

TEST_F(QuickBarWindowTest, BorderlessTransparentAboveEveryWorkspaceWithTheFocus) {
    showAndWait();
    Window window = 0;
    ASSERT_TRUE(testing::pumpUntil([&] { return (window = focusedOwnWindow()) != 0; }, 5s))
        << "the bar did not get the keyboard focus";
    Display* display = desktop.display();
    testing::pumpUntil([] { return false; }, 500ms);  // drawn

    XWindowAttributes attributes{};
    ASSERT_NE(XGetWindowAttributes(display, window, &attributes), 0);
    EXPECT_EQ(attributes.width, 560);
    EXPECT_EQ(attributes.height, 58);
    EXPECT_EQ(attributes.depth, 32);  // an alpha channel
    // No frame of the window manager's, above the others, on every workspace, in no
    // task bar or pager.
    EXPECT_EQ(testing::windowProperty(display, window, "_NET_FRAME_EXTENTS", XA_CARDINAL),
              (std::vector<unsigned long>{0, 0, 0, 0}));
    EXPECT_TRUE(hasState(display, window, "_NET_WM_STATE_ABOVE"));
    EXPECT_TRUE(hasState(display, window, "_NET_WM_STATE_SKIP_TASKBAR"));
    EXPECT_TRUE(hasState(display, window, "_NET_WM_STATE_SKIP_PAGER"));
    // (Xlib hands 32-bit items over as longs, sign-extended.)
    const auto workspace = testing::windowProperty(display, window, "_NET_WM_DESKTOP", XA_CARDINAL);
    ASSERT_EQ(workspace.size(), 1u);
    EXPECT_EQ(workspace[0] & 0xFFFFFFFFu, 0xFFFFFFFFu);

    // Where the controller put it: no status-item frame, so the top right corner of the
    // work area, 12 points in.
    const std::optional<Screen> screen = Platform::current().windows->mainScreen();
    ASSERT_TRUE(screen);
    EXPECT_EQ(bar->window().frame(),
              (Rect{screen->visibleFrame.x + screen->visibleFrame.width - 572,
                    screen->visibleFrame.maxY() - 70, 560, 58}));

    // The page's 8-pixel margin shows through; its bar and mark are opaque.
    const WindowPixels pixels(display, window, 560, 58);
    ASSERT_TRUE(pixels.taken());
    pixels.save("quick-bar.png");
    EXPECT_EQ(pixels.depth(), 32);
    EXPECT_EQ(pixels.at(2, 2) >> 24, 0u);
    EXPECT_EQ(pixels.at(556, 29) >> 24, 0u);
    EXPECT_EQ(pixels.at(28, 29), 0xFF0F7A63u);   // the mark
    EXPECT_EQ(pixels.at(300, 10), 0xFFFBF7EEu);  // the bar
    const double margin = 1.0 - (544.0 * 42.0) / (560.0 * 58.0);
    EXPECT_NEAR(pixels.shareOf([](std::uint32_t pixel) { return (pixel >> 24) == 0; }), margin,
                0.01);
    EXPECT_NEAR(pixels.shareOf([](std::uint32_t pixel) { return (pixel >> 24) == 0xFF; }),
                1.0 - margin, 0.01);

    // The input takes the typing.
    evaluate("document.getElementById('instruction').focus(); 1");
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, XK_a), True, CurrentTime);
    XTestFakeKeyEvent(display, XKeysymToKeycode(display, XK_a), False, CurrentTime);
    XFlush(display);
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return evaluate("document.getElementById('instruction').value") == "a"; }, 5s));
}

}  // namespace
}  // namespace pagemate
