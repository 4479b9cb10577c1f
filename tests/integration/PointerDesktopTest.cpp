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
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "fixtures/StatusWatcher.h"
#include "harness/TestSupport.h"
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
using Point = std::pair<double, double>;

constexpr unsigned int kLeft = 1;
constexpr unsigned int kMiddle = 2;
constexpr unsigned int kRight = 3;

// A connection of the test's own: the user's mouse, or another X client.
struct Connection {
    Connection() : display(XOpenDisplay(nullptr)) {
        if (display == nullptr) {
            throw std::runtime_error("no X display: run under xvfb-run");
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { XCloseDisplay(display); }
    [[nodiscard]] int screenHeight() const {
        return DisplayHeight(display, DefaultScreen(display));
    }
    [[nodiscard]] Window root() const { return DefaultRootWindow(display); }
    Display* display;
};

// The user's mouse: moves to (x, y) in root-window pixels, presses and lets go. Returns
// once the server has handled both.
void click(const Connection& mouse, unsigned int button, int x, int y) {
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
    bool reach(std::size_t count) {
        return runMainLoopUntil([&] { return points.size() >= count; }, 5s);
    }
    // Clicks and waits until the release is heard of, as a user's clicks come one by one:
    // the place is asked when a release is handled, so releases handled together would
    // all be where the pointer is last.
    bool clickAndHear(const Connection& mouse, unsigned int button, int x, int y) {
        click(mouse, button, x, y);
        return reach(points.size() + 1);
    }
};

// A plain window of another X client, on top, taking its own clicks.
class OtherClientWindow {
  public:
    OtherClientWindow(int x, int y, int width, int height) {
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;  // placed as asked, with or without a manager
        attributes.event_mask = ButtonPressMask | ButtonReleaseMask;
        window_ =
            XCreateWindow(client_.display, client_.root(), x, y, static_cast<unsigned int>(width),
                          static_cast<unsigned int>(height), 0, CopyFromParent, InputOutput,
                          nullptr, CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(client_.display, window_);
        XSync(client_.display, False);
    }
    OtherClientWindow(const OtherClientWindow&) = delete;
    OtherClientWindow& operator=(const OtherClientWindow&) = delete;
    ~OtherClientWindow() {
        XDestroyWindow(client_.display, window_);
        XSync(client_.display, False);
    }
    [[nodiscard]] Window window() const { return window_; }

    // The button events of `type` the client has received for its window so far, taken
    // from its queue: (button, x, y) in the window's pixels.
    std::vector<std::tuple<unsigned int, int, int>> take(int type) {
        XSync(client_.display, False);  // after every event sent before now
        std::vector<std::tuple<unsigned int, int, int>> taken;
        XEvent event{};
        while (XCheckTypedWindowEvent(client_.display, window_, type, &event) == True) {
            taken.emplace_back(event.xbutton.button, event.xbutton.x, event.xbutton.y);
        }
        return taken;
    }

  private:
    Connection client_;
    Window window_ = 0;
};

// The top-level window under the pointer now, as the server sees it.
Window windowUnderPointer(const Connection& connection) {
    Window root = 0;
    Window child = 0;
    int rootX = 0;
    int rootY = 0;
    int x = 0;
    int y = 0;
    unsigned int buttons = 0;
    XQueryPointer(connection.display, connection.root(), &root, &child, &rootX, &rootY, &x, &y,
                  &buttons);
    return child;
}

// The process's open file descriptors: an X connection is one.
std::size_t openFiles() {
    const std::filesystem::directory_iterator files("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(files), end(files)));
}

int grabPointer(const Connection& client) {
    const int status =
        XGrabPointer(client.display, client.root(), False, ButtonPressMask | ButtonReleaseMask,
                     GrabModeAsync, GrabModeAsync, 0, 0, CurrentTime);
    XSync(client.display, False);
    return status;
}

void ungrabPointer(const Connection& client) {
    XUngrabPointer(client.display, CurrentTime);
    XSync(client.display, False);
}

class PointerDesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    // The core's point for the root-window pixel (x, y): y counted up from the bottom of
    // the (only) screen.
    [[nodiscard]] Point core(int x, int y) const {
        return {static_cast<double>(x), static_cast<double>(height - y)};
    }

    Connection mouse;
    const int height = mouse.screenHeight();
};

TEST_F(PointerDesktopTest, LeftAndRightReleasesAnywhereReachTheObserverAtTheirPlace) {
    auto windows = std::make_unique<GtkWindowSystem>();
    Releases releases;
    windows->setMouseUpObserver(releases.observer());
    EXPECT_TRUE(releases.points.empty()) << "nothing inside the call that set the observer";

    // Over the bare root window.
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 100, 50));
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 300, 200));
    EXPECT_EQ(releases.points, (std::vector<Point>{core(100, 50), core(300, 200)}));
    // At the screen's corners: the flip runs against the screen's height.
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 0, height - 1));
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 0, 0));
    EXPECT_EQ(releases.points[2], Point(0, 1));
    EXPECT_EQ(releases.points[3], Point(0, height));

    // The middle button and the wheel (4 to 7) are not heard of: the next release after
    // them is the left one that follows.
    for (const unsigned int button : {kMiddle, 4U, 5U, 6U, 7U}) {
        click(mouse, button, 20, 20);
    }
    click(mouse, kLeft, 640, 500);
    ASSERT_TRUE(releases.reach(5));
    runMainLoopFor(200ms);
    ASSERT_EQ(releases.points.size(), 5U);
    EXPECT_EQ(releases.points[4], core(640, 500));

    // Over a window of this program (its settings here): not heard of, so the quick bar
    // never opens where the user clicked into the program's own windows.
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
        // On its margins, where no control opens a menu that would take the pointer.
        for (const auto& [x, y] : {std::pair{area.x + 3, area.y + area.height - 3},
                                   {area.x + area.width - 3, area.y + area.height / 2}}) {
            click(mouse, kLeft, x, y);
            runMainLoopFor(300ms);  // handled while the pointer is still there
        }
    }
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 700, 100));
    ASSERT_EQ(releases.points.size(), 6U);
    EXPECT_EQ(releases.points[5], core(700, 100));

    // Over another client's window, which still gets its own clicks.
    OtherClientWindow other(400, 300, 200, 150);
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 450, 350));
    EXPECT_EQ(windowUnderPointer(mouse), other.window());
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 590, 440));
    EXPECT_EQ(releases.points[6], core(450, 350));
    EXPECT_EQ(releases.points[7], core(590, 440));
    using Event = std::tuple<unsigned int, int, int>;
    EXPECT_EQ(other.take(ButtonPress), (std::vector<Event>{{kLeft, 50, 50}, {kRight, 190, 140}}));
    EXPECT_EQ(other.take(ButtonRelease), (std::vector<Event>{{kLeft, 50, 50}, {kRight, 190, 140}}));

    // Always on the main thread, from the main loop.
    for (const std::thread::id thread : releases.threads) {
        EXPECT_EQ(thread, std::this_thread::get_id());
    }
}

TEST_F(PointerDesktopTest, ThePointerIsOnlyWatchedNeverGrabbed) {
    auto windows = std::make_unique<GtkWindowSystem>();
    Releases releases;
    windows->setMouseUpObserver(releases.observer());
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 10, 10));

    // Another client can take the pointer while the watch runs: nothing holds it.
    const Connection other;
    ASSERT_EQ(grabPointer(other), GrabSuccess);
    // Its grab gets the clicks, and they are still heard of.
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 120, 130));
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 140, 150));
    EXPECT_EQ(releases.points[1], core(120, 130));
    EXPECT_EQ(releases.points[2], core(140, 150));
    int releasesToTheGrab = 0;
    XEvent event{};
    while (XCheckTypedEvent(other.display, ButtonRelease, &event) == True) {
        ++releasesToTheGrab;
    }
    EXPECT_EQ(releasesToTheGrab, 2);
    ungrabPointer(other);

    // And again once the watch has handled releases.
    EXPECT_EQ(grabPointer(mouse), GrabSuccess);
    ungrabPointer(mouse);
}

TEST_F(PointerDesktopTest, ANullOrNewObserverOrTheWindowSystemsEndStopsTheOldOne) {
    auto windows = std::make_unique<GtkWindowSystem>();
    const std::size_t filesBefore = openFiles();
    Releases first;
    windows->setMouseUpObserver(first.observer());
    EXPECT_EQ(openFiles(), filesBefore + 1) << "the watch's own X connection";
    click(mouse, kLeft, 10, 20);
    ASSERT_TRUE(first.reach(1));

    // Stopped: the connection closes, and the release meanwhile goes to no one, then or
    // later.
    windows->setMouseUpObserver(nullptr);
    EXPECT_EQ(openFiles(), filesBefore);
    click(mouse, kLeft, 30, 40);
    runMainLoopFor(100ms);
    Releases second;
    windows->setMouseUpObserver(second.observer());
    click(mouse, kRight, 50, 60);
    ASSERT_TRUE(second.reach(1));
    runMainLoopFor(200ms);
    EXPECT_EQ(first.points, std::vector<Point>{core(10, 20)});
    EXPECT_EQ(second.points, std::vector<Point>{core(50, 60)});

    // A new observer takes the old one's place, on the same connection.
    const std::size_t filesWatching = openFiles();
    Releases third;
    windows->setMouseUpObserver(third.observer());
    EXPECT_EQ(openFiles(), filesWatching);
    click(mouse, kLeft, 70, 80);
    ASSERT_TRUE(third.reach(1));
    runMainLoopFor(200ms);
    EXPECT_EQ(second.points.size(), 1U);
    EXPECT_EQ(third.points, std::vector<Point>{core(70, 80)});

    // Gone with the window system: a second one hears the next release, the first's
    // observer nothing more.
    windows.reset();
    EXPECT_EQ(openFiles(), filesBefore);
    click(mouse, kLeft, 90, 100);
    runMainLoopFor(100ms);
    auto again = std::make_unique<GtkWindowSystem>();
    Releases fourth;
    again->setMouseUpObserver(fourth.observer());
    click(mouse, kRight, 110, 120);
    ASSERT_TRUE(fourth.reach(1));
    runMainLoopFor(200ms);
    EXPECT_EQ(third.points.size(), 1U);
    EXPECT_EQ(fourth.points, std::vector<Point>{core(110, 120)});
}

TEST_F(PointerDesktopTest, AnObserverMayEndTheWatchFromInsideItsCall) {
    // Several releases waiting at once; the first one's observer stops the watch.
    auto windows = std::make_unique<GtkWindowSystem>();
    std::vector<Point> heard;
    windows->setMouseUpObserver([&](double x, double y) {
        heard.emplace_back(x, y);
        windows->setMouseUpObserver(nullptr);
    });
    // (Handled together, they are all where the pointer is last.)
    click(mouse, kLeft, 11, 12);
    click(mouse, kLeft, 13, 14);
    click(mouse, kRight, 15, 16);
    ASSERT_TRUE(runMainLoopUntil([&] { return !heard.empty(); }, 5s));
    runMainLoopFor(200ms);
    EXPECT_EQ(heard, std::vector<Point>{core(15, 16)});

    // Or destroys the window system itself.
    heard.clear();
    windows->setMouseUpObserver([&](double x, double y) {
        heard.emplace_back(x, y);
        windows.reset();
    });
    click(mouse, kRight, 21, 22);
    click(mouse, kLeft, 23, 24);
    ASSERT_TRUE(runMainLoopUntil([&] { return !heard.empty(); }, 5s));
    runMainLoopFor(200ms);
    EXPECT_EQ(heard, std::vector<Point>{core(23, 24)});
    EXPECT_FALSE(windows);
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

TEST_F(PointerDesktopTest, OnAScaledScreenDevicePixelsBecomePoints) {
    const ScaledDisplay scaled;
    ASSERT_EQ(
        gdk_monitor_get_scale_factor(gdk_display_get_primary_monitor(gdk_display_get_default())),
        2);
    // The screen is half as many points high as it has pixels.
    const auto point = [&](int x, int y) { return Point(x / 2.0, height / 2.0 - y / 2.0); };
    auto windows = std::make_unique<GtkWindowSystem>();
    Releases releases;
    windows->setMouseUpObserver(releases.observer());
    ASSERT_TRUE(releases.clickAndHear(mouse, kLeft, 200, 100));
    ASSERT_TRUE(releases.clickAndHear(mouse, kRight, 7, height - 1));
    EXPECT_EQ(releases.points, (std::vector<Point>{point(200, 100), point(7, height - 1)}));

    const testing::PrivateSessionBus bus;
    testing::StatusWatcher watcher;
    linux_backend::GLibMainQueue queue;
    linux_backend::StatusNotifierBar bar(queue);
    const auto item = bar.createItem(StatusItemOptions{"pagemate-symbolic", "页伴", "页伴"});
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
    testing::TrayHostView host;
    const testing::TrayHostView::Reply reply =
        host.call(watcher.registrations()[0].service, "/StatusNotifierItem",
                  "org.kde.StatusNotifierItem", "Activate", g_variant_new("(ii)", 1000, 20));
    ASSERT_EQ(reply.error, "");
    // Still a 24-point square, centred on the click's point.
    const Point centre = point(1000, 20);
    EXPECT_EQ(item->lastKnownFrame(), (Rect{centre.first - 12, centre.second - 12, 24, 24}));
}

// A tray host's clicks on the item, on a session bus of the test's own.
TEST_F(PointerDesktopTest, TheTrayIconIsWhereTheHostLastSaidItWasClicked) {
    const testing::PrivateSessionBus bus;
    testing::StatusWatcher watcher;
    linux_backend::GLibMainQueue queue;
    linux_backend::StatusNotifierBar bar(queue);
    const auto item = bar.createItem(StatusItemOptions{"pagemate-symbolic", "页伴", "页伴"});
    ASSERT_TRUE(runMainLoopUntil([&] { return !watcher.registrations().empty(); }));
    const std::string service = watcher.registrations()[0].service;
    EXPECT_EQ(item->lastKnownFrame(), std::nullopt) << "no host has said anything yet";

    testing::TrayHostView host;
    const auto call = [&](const char* path, const char* interface, const char* method,
                          GVariant* parameters) {
        const testing::TrayHostView::Reply reply =
            host.call(service, path, interface, method, parameters);
        EXPECT_EQ(reply.error, "") << method;
    };
    const auto onItem = [&](const char* method, GVariant* parameters) {
        call("/StatusNotifierItem", "org.kde.StatusNotifierItem", method, parameters);
    };
    const auto square = [&](int x, int y) {
        const Point centre = core(x, y);
        return Rect{centre.first - 12, centre.second - 12, 24, 24};
    };
    // Opening the menu and choosing in it say nothing of the place; scrolling neither.
    call("/MenuBar", "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0));
    call("/MenuBar", "com.canonical.dbusmenu", "Event",
         g_variant_new("(isvu)", 0, "opened", g_variant_new_int32(0), 0U));
    onItem("Scroll", g_variant_new("(is)", 120, "vertical"));
    EXPECT_EQ(item->lastKnownFrame(), std::nullopt);

    // Each of the three clicks moves it to its place, in the core's coordinates.
    onItem("Activate", g_variant_new("(ii)", 1200, 12));
    EXPECT_EQ(item->lastKnownFrame(), square(1200, 12));
    EXPECT_EQ(item->lastKnownFrame()->midX(), 1200);
    EXPECT_EQ(item->lastKnownFrame()->maxY(), height) << "12 pixels under the top, 24 high";
    onItem("ContextMenu", g_variant_new("(ii)", 30, height - 5));
    EXPECT_EQ(item->lastKnownFrame(), square(30, height - 5));
    onItem("SecondaryActivate", g_variant_new("(ii)", 640, 500));
    EXPECT_EQ(item->lastKnownFrame(), square(640, 500));
    // The menu and scrolling after them leave the last place as it was.
    call("/MenuBar", "com.canonical.dbusmenu", "AboutToShow", g_variant_new("(i)", 0));
    onItem("Scroll", g_variant_new("(is)", -120, "horizontal"));
    EXPECT_EQ(item->lastKnownFrame(), square(640, 500));
}

}  // namespace
}  // namespace pagemate
