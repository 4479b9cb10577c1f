// Where the pointer is let go and where the tray icon is, on Xvfb at a window scale of 2:
// XTest clicks as a user's mouse makes them, and a tray host's over a bus of our own.

// GoogleTest before Xlib, whose None macro its names would meet.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <gtk/gtk.h>

#include <utility>
#include <vector>

#include "fixtures/Desktop.h"
#include "fixtures/StatusWatcher.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/GtkWindowSystem.h"
#include "platform/linux/StatusNotifierBar.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::runMainLoopFor;
using testing::runMainLoopUntil;
using Point = std::pair<double, double>;

constexpr unsigned int kLeft = 1;
constexpr unsigned int kRight = 3;

TEST(PointerDesktopTest, ReleasesButOverItsOwnWindowsAndTrayClicksAreToldInPoints) {
    // A window scale of 2, as on a high-density screen: each point is two X pixels.
    g_setenv("GDK_SCALE", "2", TRUE);
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    const testing::XConnection mouse;
    const int height = DisplayHeight(mouse.display, DefaultScreen(mouse.display));
    // The user's mouse: moves to (x, y) in root-window pixels, presses and lets go.
    const auto click = [&](unsigned int button, int x, int y) {
        XTestFakeMotionEvent(mouse.display, -1, x, y, CurrentTime);
        XTestFakeButtonEvent(mouse.display, button, True, CurrentTime);
        XTestFakeButtonEvent(mouse.display, button, False, CurrentTime);
        XSync(mouse.display, False);
    };
    // The core's point for the root-window pixel (x, y): y counted up from the bottom of
    // the screen, in points of two pixels.
    const auto core = [&](int x, int y) {
        return Point{static_cast<double>(x) / 2, static_cast<double>(height - y) / 2};
    };
    auto windows = std::make_unique<linux_backend::GtkWindowSystem>();
    std::vector<Point> heard;
    windows->setMouseUpObserver([&](double x, double y) { heard.emplace_back(x, y); });
    // Clicks and waits until it is heard, as a user's clicks come one by one: releases
    // handled together are all told where the pointer is last.
    const auto clickAndHear = [&](unsigned int button, int x, int y) {
        const std::size_t before = heard.size();
        click(button, x, y);
        return runMainLoopUntil([&] { return heard.size() > before; }, 5s);
    };

    // Over the bare root window, at a corner too (the flip runs against the screen's
    // height); the middle button and the wheel (4 to 7) are not heard of.
    ASSERT_TRUE(clickAndHear(kLeft, 100, 50));
    for (const unsigned int button : {2U, 4U, 5U, 6U, 7U}) {
        click(button, 20, 20);
    }
    ASSERT_TRUE(clickAndHear(kRight, 0, height - 1));
    EXPECT_EQ(heard, (std::vector<Point>{core(100, 50), core(0, height - 1)}));

    // Over a window of this program, on its margin where no control takes the pointer:
    // not heard of, so the quick bar never opens over the program's own windows.
    SettingsWindowOptions options;
    options.width = 300;
    options.height = 200;
    auto settings = windows->createSettingsWindow(options);
    settings->makeKeyAndOrderFront();
    GdkRectangle area{};
    ASSERT_TRUE(runMainLoopUntil([&] {
        GList* toplevels = gtk_window_list_toplevels();
        for (GList* item = toplevels; item != nullptr; item = item->next) {
            if (GdkWindow* shown = gtk_widget_get_window(GTK_WIDGET(item->data));
                shown != nullptr && gdk_window_is_viewable(shown) == TRUE) {
                gdk_window_get_frame_extents(shown, &area);
            }
        }
        g_list_free(toplevels);
        return area.width > 0;
    }));
    click(kLeft, (area.x + 3) * 2, (area.y + area.height - 3) * 2);
    runMainLoopFor(300ms);  // handled while the pointer is still there
    settings.reset();

    // Over another client's window, which gets its own clicks, and while another
    // client grabs the pointer, whose grab gets them: the watch holds nothing.
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // placed as asked, with or without a manager
    attributes.event_mask = ButtonReleaseMask;
    const testing::XConnection other;
    const Window window = XCreateWindow(other.display, DefaultRootWindow(other.display), 400, 300,
                                        200, 150, 0, CopyFromParent, InputOutput, nullptr,
                                        CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(other.display, window);
    XSync(other.display, False);
    ASSERT_TRUE(clickAndHear(kLeft, 450, 350));
    XGrabPointer(other.display, DefaultRootWindow(other.display), False, ButtonReleaseMask,
                 GrabModeAsync, GrabModeAsync, 0, 0, CurrentTime);
    ASSERT_TRUE(clickAndHear(kRight, 140, 150));
    EXPECT_EQ(std::vector<Point>(heard.begin() + 2, heard.end()),
              (std::vector<Point>{core(450, 350), core(140, 150)}));
    XEvent event{};
    EXPECT_TRUE(XCheckTypedWindowEvent(other.display, window, ButtonRelease, &event));
    EXPECT_TRUE(XCheckTypedEvent(other.display, ButtonRelease, &event));

    // The watch ends inside its own call with two releases waiting (told the last place): by
    // a null observer, then by ending the window system. The one it replaced hears no more.
    for (const bool endWindowSystem : {false, true}) {
        std::vector<Point> ended;
        windows->setMouseUpObserver([&](double x, double y) {
            ended.emplace_back(x, y);
            endWindowSystem ? windows.reset() : windows->setMouseUpObserver(nullptr);
        });
        click(kLeft, 11, 12);
        click(kRight, 13, 14);
        ASSERT_TRUE(runMainLoopUntil([&] { return !ended.empty(); }, 5s));
        runMainLoopFor(200ms);
        EXPECT_EQ(ended, std::vector<Point>{core(13, 14)}) << endWindowSystem;
    }
    EXPECT_EQ(heard.size(), 4U);

    // The tray icon: a 24-point square centred where the host last said it was
    // clicked, in points; scrolling says nothing of the place.
    const testing::PrivateSessionBus bus;
    testing::StatusWatcher watcher;
    linux_backend::GLibMainQueue queue;
    linux_backend::StatusNotifierBar bar(queue);
    const auto item = bar.createItem(StatusItemOptions{"pagemate-symbolic", "页伴", "页伴"});
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
    testing::TrayHostView host;
    const auto onItem = [&](const char* method, GVariant* parameters) {
        EXPECT_EQ(host.call(watcher.registrations().back().service, "/StatusNotifierItem",
                            "org.kde.StatusNotifierItem", method, parameters)
                      .error,
                  "")
            << method;
    };
    const auto square = [](Point centre) {
        return Rect{centre.first - 12, centre.second - 12, 24, 24};
    };
    onItem("Activate", g_variant_new("(ii)", 1200, 12));
    EXPECT_EQ(item->lastKnownFrame(), square(core(1200, 12)));
    onItem("SecondaryActivate", g_variant_new("(ii)", 30, height - 5));
    onItem("Scroll", g_variant_new("(is)", 120, "vertical"));
    EXPECT_EQ(item->lastKnownFrame(), square(core(30, height - 5)));
}

}  // namespace
}  // namespace pagemate
