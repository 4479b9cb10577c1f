// Where the pointer is let go and where the tray icon is, on a real X server (Xvfb):
// mouse buttons pressed and released through XTest from connections of the test's own,
// over the bare root window, over another client's window and during another client's
// grab, as a user's mouse would; and a tray host's clicks on the item, over a session bus
// of the test's own, with the screen GDK has open.

// GoogleTest before Xlib, whose None macro its names would meet.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <gtk/gtk.h>

#include <filesystem>
#include <iterator>
#include <ostream>
#include <thread>
#include <utility>
#include <vector>

#include "fixtures/Desktop.h"
#include "fixtures/StatusWatcher.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/GtkWindowSystem.h"
#include "platform/linux/StatusNotifierBar.h"

namespace pagemate {

// How GoogleTest shows a frame that differs.
void PrintTo(const Rect& rect, std::ostream* out) {
    *out << "{x " << rect.x << ", y " << rect.y << ", " << rect.width << " × " << rect.height
         << "}";
}

namespace {

using namespace std::chrono_literals;
using linux_backend::GtkWindowSystem;
using testing::runMainLoopFor;
using testing::runMainLoopUntil;
using testing::XConnection;
using Point = std::pair<double, double>;

constexpr unsigned int kLeft = 1;
constexpr unsigned int kRight = 3;

// The user's mouse: moves to (x, y) in root-window pixels, presses and lets go. Returns
// once the server has handled both.
void click(const XConnection& mouse, unsigned int button, int x, int y) {
    XTestFakeMotionEvent(mouse.display, -1, x, y, CurrentTime);
    XTestFakeButtonEvent(mouse.display, button, True, CurrentTime);
    XTestFakeButtonEvent(mouse.display, button, False, CurrentTime);
    XSync(mouse.display, False);
}

// The releases an observer heard of, with the thread that told it.
struct Releases {
    std::vector<Point> points;
    std::vector<std::thread::id> threads;

    std::function<void(double, double)> observer() {
        return [this](double x, double y) {
            points.emplace_back(x, y);
            threads.push_back(std::this_thread::get_id());
        };
    }
    // Hears what `windows` watches from now on: a release made at once is heard.
    void listen(GtkWindowSystem& windows) { windows.setMouseUpObserver(observer()); }
    bool reach(std::size_t count) {
        return runMainLoopUntil([&] { return points.size() >= count; }, 5s);
    }
    // Clicks and waits until the release is heard of, as a user's clicks come one by one:
    // the place is asked when a release is handled, so releases handled together would
    // all be where the pointer is last.
    bool clickAndHear(const XConnection& mouse, unsigned int button, int x, int y) {
        click(mouse, button, x, y);
        return reach(points.size() + 1);
    }
};

// The process's open file descriptors: an X connection is one.
std::size_t openFiles() {
    const std::filesystem::directory_iterator files("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(files), end(files)));
}

int grabPointer(const XConnection& client) {
    const int status = XGrabPointer(client.display, DefaultRootWindow(client.display), False,
                                    ButtonPressMask | ButtonReleaseMask, GrabModeAsync,
                                    GrabModeAsync, 0, 0, CurrentTime);
    XSync(client.display, False);
    return status;
}

class PointerDesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    // The core's point for the root-window pixel (x, y): y counted up from the bottom of
    // the (only) screen, in points of `scale` pixels.
    [[nodiscard]] Point core(int x, int y, int scale = 1) const {
        return {static_cast<double>(x) / scale, static_cast<double>(height - y) / scale};
    }

    XConnection mouse;
    const int height = DisplayHeight(mouse.display, DefaultScreen(mouse.display));
};

TEST_F(PointerDesktopTest, ReleasesAnywhereButOverItsOwnWindowsReachTheObserverAtTheirPlace) {
    auto windows = std::make_unique<GtkWindowSystem>();
    Releases releases;
    releases.listen(*windows);
    EXPECT_TRUE(releases.points.empty()) << "nothing heard before a click";

    // Over the bare root window, at the screen's corners too (the flip runs against the
    // screen's height); the middle button and the wheel (4 to 7) are not heard of.
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 100, 50));
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 0, height - 1));
    for (const unsigned int button : {2U, 4U, 5U, 6U, 7U}) {
        click(mouse, button, 20, 20);
    }
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 0, 0));
    EXPECT_EQ(releases.points, (std::vector<Point>{core(100, 50), {0, 1}, {0, height}}));

    // Over a window of this program (its settings here), on its margins where no control
    // takes the pointer: not heard of, so the quick bar never opens where the user
    // clicked into the program's own windows.
    {
        SettingsWindowOptions options;
        options.width = 300;
        options.height = 200;
        const std::unique_ptr<SettingsWindow> settings = windows->createSettingsWindow(options);
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
        click(mouse, kLeft, area.x + 3, area.y + area.height - 3);
        runMainLoopFor(300ms);  // handled while the pointer is still there
    }
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 700, 100));
    EXPECT_EQ(releases.points.back(), core(700, 100));
    ASSERT_EQ(releases.points.size(), 4U);

    // Over another client's window, which gets its own clicks, and while another client
    // grabs the pointer, whose grab gets them: the watch holds nothing.
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;  // placed as asked, with or without a manager
    attributes.event_mask = ButtonReleaseMask;
    const XConnection other;
    const Window window = XCreateWindow(other.display, DefaultRootWindow(other.display), 400, 300,
                                        200, 150, 0, CopyFromParent, InputOutput, nullptr,
                                        CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(other.display, window);
    XSync(other.display, False);
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 450, 350));
    ASSERT_EQ(grabPointer(other), GrabSuccess);
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 140, 150));
    EXPECT_EQ(releases.points[4], core(450, 350));
    EXPECT_EQ(releases.points[5], core(140, 150));
    XEvent event{};
    ASSERT_TRUE(XCheckTypedWindowEvent(other.display, window, ButtonRelease, &event));
    EXPECT_EQ(std::make_pair(event.xbutton.x, event.xbutton.y), std::make_pair(50, 50));
    ASSERT_TRUE(XCheckTypedEvent(other.display, ButtonRelease, &event));
    EXPECT_EQ(event.xbutton.button, kRight);
    XUngrabPointer(other.display, CurrentTime);
    XDestroyWindow(other.display, window);
    XSync(other.display, False);

    // Always on the main thread, from the main loop.
    for (const std::thread::id thread : releases.threads) {
        EXPECT_EQ(thread, std::this_thread::get_id());
    }
}

TEST_F(PointerDesktopTest, TheWatchEndsWithANullOrNewObserverTheWindowSystemOrInsideItsCall) {
    auto windows = std::make_unique<GtkWindowSystem>();
    const std::size_t filesBefore = openFiles();
    Releases first;
    first.listen(*windows);
    EXPECT_EQ(openFiles(), filesBefore + 1) << "the watch's own X connection";
    ASSERT_TRUE(first.clickAndHear(mouse, kLeft, 10, 20));

    // Stopped: the connection closes, and the release meanwhile goes to no one, then or
    // later; a new observer takes the old one's place, on the same connection.
    windows->setMouseUpObserver(nullptr);
    EXPECT_EQ(openFiles(), filesBefore);
    click(mouse, kLeft, 30, 40);
    runMainLoopFor(100ms);
    Releases second;
    second.listen(*windows);
    ASSERT_TRUE(second.clickAndHear(mouse, kRight, 50, 60));
    Releases third;
    third.listen(*windows);
    EXPECT_EQ(openFiles(), filesBefore + 1);
    ASSERT_TRUE(third.clickAndHear(mouse, kLeft, 70, 80));
    runMainLoopFor(200ms);
    EXPECT_EQ(first.points, std::vector<Point>{core(10, 20)});
    EXPECT_EQ(second.points, std::vector<Point>{core(50, 60)});
    EXPECT_EQ(third.points, std::vector<Point>{core(70, 80)});

    // Gone with the window system.
    windows.reset();
    EXPECT_EQ(openFiles(), filesBefore);
    click(mouse, kLeft, 90, 100);
    runMainLoopFor(100ms);
    EXPECT_EQ(third.points.size(), 1U);

    // From inside its call, with several releases waiting at once (handled together, they
    // are all where the pointer is last): by a null observer, or by ending the window
    // system itself.
    for (const bool endWindowSystem : {false, true}) {
        SCOPED_TRACE(endWindowSystem ? "the window system ended" : "a null observer");
        windows = std::make_unique<GtkWindowSystem>();
        std::vector<Point> heard;
        windows->setMouseUpObserver([&](double x, double y) {
            heard.emplace_back(x, y);
            if (endWindowSystem) {
                windows.reset();
            } else {
                windows->setMouseUpObserver(nullptr);
            }
        });
        click(mouse, kLeft, 11, 12);
        click(mouse, kRight, 13, 14);
        ASSERT_TRUE(runMainLoopUntil([&] { return !heard.empty(); }, 5s));
        runMainLoopFor(200ms);
        EXPECT_EQ(heard, std::vector<Point>{core(13, 14)});
        EXPECT_EQ(windows == nullptr, endWindowSystem);
    }
}

// GDK opened with a window scale of 2 (GDK_SCALE, as on a high-density screen) taken as
// the default display for the scope; the X server's pixels are then two points each.
class ScaledDisplay {
  public:
    ScaledDisplay() {
        const testing::ScopedEnvironment scale("GDK_SCALE", "2");
        scaled_ = gdk_display_open(gdk_display_get_name(original_));
        if (scaled_ == nullptr) {
            throw std::runtime_error("cannot open the display a second time");
        }
        gdk_display_manager_set_default_display(gdk_display_manager_get(), scaled_);
    }
    ScaledDisplay(const ScaledDisplay&) = delete;
    ScaledDisplay& operator=(const ScaledDisplay&) = delete;
    ~ScaledDisplay() {
        gdk_display_manager_set_default_display(gdk_display_manager_get(), original_);
        gdk_display_close(scaled_);
    }

  private:
    GdkDisplay* original_ = gdk_display_get_default();
    GdkDisplay* scaled_ = nullptr;
};

// A tray host's clicks on the item, on a session bus of the test's own: the icon is a
// 24-point square centred where the host last said it was clicked, in points; opening
// the menu, choosing in it and scrolling say nothing of the place.
TEST_F(PointerDesktopTest, TheTrayIconIsWhereTheHostLastSaidItWasClickedInPoints) {
    for (const int scale : {1, 2}) {
        SCOPED_TRACE("scale " + std::to_string(scale));
        const std::unique_ptr<ScaledDisplay> scaled =
            scale == 2 ? std::make_unique<ScaledDisplay>() : nullptr;
        ASSERT_EQ(gdk_monitor_get_scale_factor(
                      gdk_display_get_primary_monitor(gdk_display_get_default())),
                  scale);
        // The releases too are in points.
        auto windows = std::make_unique<GtkWindowSystem>();
        Releases releases;
        releases.listen(*windows);
        ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 200, 100));
        ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 7, height - 1));
        EXPECT_EQ(releases.points,
                  (std::vector<Point>{core(200, 100, scale), core(7, height - 1, scale)}));

        windows.reset();

        const testing::PrivateSessionBus bus;
        testing::StatusWatcher watcher;
        linux_backend::GLibMainQueue queue;
        linux_backend::StatusNotifierBar bar(queue);
        const auto item = bar.createItem(StatusItemOptions{"pagemate-symbolic", "页伴", "页伴"});
        ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
        EXPECT_EQ(item->lastKnownFrame(), std::nullopt) << "no host has said anything yet";
        testing::TrayHostView host;
        const auto call = [&](const char* path, const char* interface, const char* method,
                              GVariant* parameters) {
            EXPECT_EQ(host.call(watcher.registrations().back().service, path, interface, method,
                                parameters)
                          .error,
                      "")
                << method;
        };
        const auto onItem = [&](const char* method, GVariant* parameters) {
            call("/StatusNotifierItem", "org.kde.StatusNotifierItem", method, parameters);
        };
        const auto square = [&](int x, int y) {
            const Point centre = core(x, y, scale);
            return Rect{centre.first - 12, centre.second - 12, 24, 24};
        };
        const auto menuAndScroll = [&] {
            call("/MenuBar", "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0));
            call("/MenuBar", "com.canonical.dbusmenu", "Event",
                 g_variant_new("(isvu)", 0, "opened", g_variant_new_int32(0), 0U));
            onItem("Scroll", g_variant_new("(is)", 120, "vertical"));
        };
        menuAndScroll();
        EXPECT_EQ(item->lastKnownFrame(), std::nullopt);
        onItem("Activate", g_variant_new("(ii)", 1200, 12));
        EXPECT_EQ(item->lastKnownFrame(), square(1200, 12));
        onItem("ContextMenu", g_variant_new("(ii)", 30, height - 5));
        EXPECT_EQ(item->lastKnownFrame(), square(30, height - 5));
        onItem("SecondaryActivate", g_variant_new("(ii)", 640, 500));
        menuAndScroll();
        EXPECT_EQ(item->lastKnownFrame(), square(640, 500));
    }
}

}  // namespace
}  // namespace pagemate
