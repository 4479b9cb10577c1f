#include "platform/linux/GtkWindowSystem.h"

#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "platform/PlatformNotice.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/GtkSettingsWindow.h"
#include "platform/linux/WebKitView.h"
#include "platform/linux/XInputMouseUps.h"

namespace pagemate::linux_backend {

namespace {

std::filesystem::path dataHome() {
    if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
        return data;
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "/tmp") / ".local" / "share";
}

Rect fromGdk(const GdkRectangle& rectangle) {
    return GtkWindowSystem::flip(
        Rect{static_cast<double>(rectangle.x), static_cast<double>(rectangle.y),
             static_cast<double>(rectangle.width), static_cast<double>(rectangle.height)},
        GtkWindowSystem::referenceBottom());
}

// A top-level GTK window filled by one web view, with the frame in the core's
// coordinates. Closing only hides it: the program lives on in the status area.
class WebWindow {
  public:
    struct Limits {
        double minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    };

    WebWindow(const std::string& title, const Rect& contentRect, const Limits& limits,
              WebKitWebContext* context, WebKitView::Options viewOptions)
        : window_(GTK_WINDOW(g_object_ref_sink(gtk_window_new(GTK_WINDOW_TOPLEVEL)))),
          webView_(context, std::move(viewOptions)) {
        gtk_window_set_title(window_.get(), title.c_str());
        GdkGeometry geometry{};
        geometry.min_width = static_cast<gint>(limits.minWidth);
        geometry.min_height = static_cast<gint>(limits.minHeight);
        geometry.max_width = static_cast<gint>(limits.maxWidth);
        geometry.max_height = static_cast<gint>(limits.maxHeight);
        const bool bounded = limits.maxWidth > 0 && limits.maxHeight > 0;
        gtk_window_set_geometry_hints(
            window_.get(), nullptr, &geometry,
            bounded ? static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE)
                    : GDK_HINT_MIN_SIZE);
        gtk_window_set_default_size(window_.get(), static_cast<gint>(contentRect.width),
                                    static_cast<gint>(contentRect.height));
        // The view fills the window and follows its size.
        gtk_container_add(GTK_CONTAINER(window_.get()), webView_.widget());
        gtk_widget_show(webView_.widget());
        g_signal_connect(window_.get(), "delete-event", G_CALLBACK(&gtk_widget_hide_on_delete),
                         nullptr);
        g_signal_connect(window_.get(), "configure-event", G_CALLBACK(&configured), this);
    }
    WebWindow(const WebWindow&) = delete;
    WebWindow& operator=(const WebWindow&) = delete;
    ~WebWindow() {
        g_signal_handlers_disconnect_by_data(window_.get(), this);
        gtk_widget_destroy(GTK_WIDGET(window_.get()));
    }

    [[nodiscard]] GtkWindow* gtkWindow() const { return window_.get(); }
    [[nodiscard]] WebKitView& webView() { return webView_; }

    void present() {
        gtk_widget_show(GTK_WIDGET(window_.get()));
        gtk_window_present_with_time(window_.get(), GDK_CURRENT_TIME);
    }
    void hide() { gtk_widget_hide(GTK_WIDGET(window_.get())); }
    [[nodiscard]] bool isVisible() const {
        return gtk_widget_get_visible(GTK_WIDGET(window_.get())) == TRUE;
    }

    [[nodiscard]] Rect frame() const {
        if (hasPendingFrame_) {
            return pendingFrame_;  // not applied by the window manager yet
        }
        gint x = 0;
        gint y = 0;
        gint width = 0;
        gint height = 0;
        gtk_window_get_position(window_.get(), &x, &y);
        gtk_window_get_size(window_.get(), &width, &height);
        return fromGdk(GdkRectangle{x, y, width, height});
    }
    void setFrame(const Rect& frame) {
        const Rect gdk = GtkWindowSystem::flip(frame, GtkWindowSystem::referenceBottom());
        gtk_window_move(window_.get(), static_cast<gint>(gdk.x), static_cast<gint>(gdk.y));
        gtk_window_resize(window_.get(), static_cast<gint>(frame.width),
                          static_cast<gint>(frame.height));
        pendingFrame_ = frame;
        hasPendingFrame_ = true;
    }
    void setFrameObserver(std::function<void()> observer) { observer_ = std::move(observer); }

  private:
    static gboolean configured(GtkWidget*, GdkEvent*, gpointer self) {
        auto* window = static_cast<WebWindow*>(self);
        window->hasPendingFrame_ = false;
        if (window->observer_) {
            window->observer_();
        }
        return FALSE;  // GTK's own handling goes on
    }

    GObjectPtr<GtkWindow> window_;
    WebKitView webView_;
    std::function<void()> observer_;
    Rect pendingFrame_;
    bool hasPendingFrame_ = false;
};

// The visible frame of the monitor the window is on (the primary one before it is shown).
std::optional<Rect> visibleFrameOf(const WebWindow& webWindow) {
    GdkDisplay* display = gdk_display_get_default();
    GdkWindow* window = gtk_widget_get_window(GTK_WIDGET(webWindow.gtkWindow()));
    GdkMonitor* monitor = window != nullptr ? gdk_display_get_monitor_at_window(display, window)
                                            : gdk_display_get_primary_monitor(display);
    if (monitor == nullptr) {
        return std::nullopt;
    }
    GdkRectangle area{};
    gdk_monitor_get_workarea(monitor, &area);
    return fromGdk(area);
}

class GtkPanelWindow final : public PanelWindow {
  public:
    GtkPanelWindow(const PanelOptions& options, WebKitWebContext* context)
        : window_(options.title, options.contentRect,
                  {options.minWidth, options.minHeight, options.maxWidth, options.maxHeight},
                  context,
                  WebKitView::Options{.developerExtras = options.developerExtras,
                                      .hostMessages = true,
                                      .drawsBackground = false,
                                      .documentEndScripts = {}}) {
        GtkWindow* window = window_.gtkWindow();
        gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_UTILITY);
        if (options.floating) {
            gtk_window_set_keep_above(window, TRUE);
            gtk_window_stick(window);
        }
        gtk_window_set_skip_taskbar_hint(window, TRUE);
    }

    WebView& webView() override { return window_.webView(); }
    void orderFront() override { window_.present(); }
    void orderOut() override { window_.hide(); }
    bool isVisible() override { return window_.isVisible(); }
    Rect frame() override { return window_.frame(); }
    void setFrame(const Rect& frame) override { window_.setFrame(frame); }

    std::optional<Rect> screenVisibleFrame() override { return visibleFrameOf(window_); }

  private:
    WebWindow window_;
};

// The quick bar: a borderless top-level window rather than a popup, since a popup
// window never gets the keyboard focus the bar's input needs. An RGBA visual with a
// transparent web view lets the page's own margins and corners show what lies below.
class GtkQuickBarWindow final : public PanelWindow {
  public:
    GtkQuickBarWindow(const QuickBarOptions& options, WebKitWebContext* context)
        : window_(options.title, options.contentRect,
                  {options.contentRect.width, options.minHeight, options.contentRect.width,
                   options.maxHeight},
                  context,
                  WebKitView::Options{.developerExtras = false,
                                      .hostMessages = true,
                                      .drawsBackground = false,
                                      .documentEndScripts = {}}) {
        GtkWindow* window = window_.gtkWindow();
        GtkWidget* widget = GTK_WIDGET(window);
        gtk_window_set_decorated(window, FALSE);
        gtk_window_set_type_hint(window, GDK_WINDOW_TYPE_HINT_UTILITY);
        gtk_window_set_keep_above(window, TRUE);
        gtk_window_stick(window);
        gtk_window_set_skip_taskbar_hint(window, TRUE);
        gtk_window_set_skip_pager_hint(window, TRUE);
        // Without a compositor there is no RGBA visual: the bar is then opaque.
        if (GdkVisual* rgba = gdk_screen_get_rgba_visual(gtk_widget_get_screen(widget))) {
            gtk_widget_set_visual(widget, rgba);
        }
        gtk_widget_set_app_paintable(widget, TRUE);
        g_signal_connect(window, "draw", G_CALLBACK(&clearBackground), nullptr);
        // Presses the web view leaves to its window move the bar, as a title bar would.
        gtk_widget_add_events(widget, GDK_BUTTON_PRESS_MASK);
        g_signal_connect(window, "button-press-event", G_CALLBACK(&pressed), nullptr);
    }

    WebView& webView() override { return window_.webView(); }
    void orderFront() override { window_.present(); }
    void orderOut() override { window_.hide(); }
    bool isVisible() override { return window_.isVisible(); }
    Rect frame() override { return window_.frame(); }
    void setFrame(const Rect& frame) override { window_.setFrame(frame); }
    std::optional<Rect> screenVisibleFrame() override { return visibleFrameOf(window_); }

  private:
    static gboolean clearBackground(GtkWidget*, cairo_t* cairo, gpointer) {
        cairo_save(cairo);
        cairo_set_source_rgba(cairo, 0, 0, 0, 0);
        cairo_set_operator(cairo, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cairo);
        cairo_restore(cairo);
        return FALSE;  // the web view draws over it
    }

    static gboolean pressed(GtkWidget* widget, GdkEventButton* event, gpointer) {
        if (event->type != GDK_BUTTON_PRESS || event->button != GDK_BUTTON_PRIMARY) {
            return FALSE;
        }
        gtk_window_begin_move_drag(GTK_WINDOW(widget), static_cast<gint>(event->button),
                                   static_cast<gint>(event->x_root),
                                   static_cast<gint>(event->y_root), event->time);
        return TRUE;
    }

    WebWindow window_;
};

class GtkDocumentWindow final : public DocumentWindow {
  public:
    GtkDocumentWindow(const DocumentWindowOptions& options, WebKitWebContext* context)
        : window_(options.title, options.contentRect, {options.minWidth, options.minHeight, 0, 0},
                  context,
                  WebKitView::Options{.developerExtras = false,
                                      .hostMessages = false,
                                      .drawsBackground = true,
                                      .documentEndScripts = options.documentEndScripts}) {}

    WebView& webView() override { return window_.webView(); }
    void makeKeyAndOrderFront() override { window_.present(); }
    void orderOut() override { window_.hide(); }
    bool isVisible() override { return window_.isVisible(); }
    bool isKey() override { return gtk_window_is_active(window_.gtkWindow()) == TRUE; }
    Rect frame() override { return window_.frame(); }
    void setFrame(const Rect& frame) override { window_.setFrame(frame); }
    void setFrameObserver(std::function<void()> observer) override {
        window_.setFrameObserver(std::move(observer));
    }

  private:
    WebWindow window_;
};

}  // namespace

Rect GtkWindowSystem::flip(const Rect& rect, double referenceBottom) {
    return Rect{rect.x, referenceBottom - (rect.y + rect.height), rect.width, rect.height};
}

namespace {

// The primary monitor, else the first; null without a display or a monitor.
GdkMonitor* referenceMonitor(GdkDisplay* display) {
    GdkMonitor* primary = display != nullptr ? gdk_display_get_primary_monitor(display) : nullptr;
    if (primary == nullptr && display != nullptr && gdk_display_get_n_monitors(display) > 0) {
        primary = gdk_display_get_monitor(display, 0);
    }
    return primary;
}

}  // namespace

double GtkWindowSystem::referenceBottom() {
    GdkMonitor* primary = referenceMonitor(gdk_display_get_default());
    if (primary == nullptr) {
        return 0;
    }
    GdkRectangle geometry{};
    gdk_monitor_get_geometry(primary, &geometry);
    return geometry.y + geometry.height;
}

std::optional<std::pair<double, double>> GtkWindowSystem::fromScreenPixels(double x, double y) {
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) {
        return std::nullopt;
    }
    // GDK's coordinates are device pixels divided by the window scale, which X11 shares
    // between all monitors.
    GdkMonitor* primary = referenceMonitor(display);
    const int scale = primary != nullptr ? gdk_monitor_get_scale_factor(primary) : 1;
    const double factor = scale > 0 ? static_cast<double>(scale) : 1.0;
    return std::pair{x / factor, referenceBottom() - y / factor};
}

struct GtkWindowSystem::WebContexts {
    std::map<std::string, GObjectPtr<WebKitWebContext>> byName;

    // An empty name means the default store, "webdata".
    WebKitWebContext* contextFor(const std::string& requestedName) {
        const std::string dataName = requestedName.empty() ? "webdata" : requestedName;
        auto& context = byName[dataName];
        if (!context) {
            const std::string base = (dataHome() / "pagemate" / dataName).string();
            const std::string cache = (dataHome() / "pagemate" / (dataName + "-cache")).string();
            const GObjectPtr<WebKitWebsiteDataManager> manager(
                webkit_website_data_manager_new("base-data-directory", base.c_str(),
                                                "base-cache-directory", cache.c_str(), nullptr));
            context.reset(webkit_web_context_new_with_website_data_manager(manager.get()));
        }
        return context.get();
    }
};

GtkWindowSystem::GtkWindowSystem() : contexts_(std::make_unique<WebContexts>()) {}

GtkWindowSystem::~GtkWindowSystem() = default;

namespace {

// Whether the pointer is over a window of this program (the panel, the settings, the
// quick bar...): going down from the root through the windows under the pointer (a
// window manager's frame, then the client's own), one of them is known to GDK.
bool pointerOverOwnWindow() {
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr || !GDK_IS_X11_DISPLAY(display)) {
        return false;
    }
    Display* xdisplay = GDK_DISPLAY_XDISPLAY(display);
    Window window = DefaultRootWindow(xdisplay);
    for (int depth = 0; depth < 8; ++depth) {  // a frame, a client, its subwindows
        Window root = 0;
        Window child = 0;
        int rootX = 0;
        int rootY = 0;
        int x = 0;
        int y = 0;
        unsigned int buttons = 0;
        if (XQueryPointer(xdisplay, window, &root, &child, &rootX, &rootY, &x, &y, &buttons) ==
                False ||
            child == 0) {
            return false;
        }
        if (gdk_x11_window_lookup_for_display(display, child) != nullptr) {
            return true;
        }
        window = child;
    }
    return false;
}

}  // namespace

void GtkWindowSystem::setMouseUpObserver(std::function<void(double x, double y)> observer) {
    mouseUpObserver_ = std::move(observer);
    if (!mouseUpObserver_) {
        mouseUps_.reset();  // may be inside the watch's own call: it stops reading at once
        return;
    }
    if (mouseUps_ || mouseUpsUnavailable_) {
        return;
    }
    std::string why;
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) {
        why = "GDK has no display open";
    } else if (!GDK_IS_X11_DISPLAY(display)) {
        why = std::string("the display is not an X11 one (") + G_OBJECT_TYPE_NAME(display) + ")";
    } else {
        mouseUps_ = XInputMouseUps::watch(
            gdk_display_get_name(display),
            [this](int x, int y) {
                const std::optional<std::pair<double, double>> point = fromScreenPixels(x, y);
                if (point && mouseUpObserver_ && !pointerOverOwnWindow()) {
                    // A copy: the observer may replace itself or end the watch.
                    const auto told = mouseUpObserver_;
                    told(point->first, point->second);
                }
            },
            why);
    }
    if (!mouseUps_) {
        mouseUpsUnavailable_ = true;
        reportPlatformNotice(MouseUpsNotWatched{why});
    }
}

std::unique_ptr<PanelWindow> GtkWindowSystem::createPanel(const PanelOptions& options) {
    return std::make_unique<GtkPanelWindow>(options, contexts_->contextFor(options.webDataName));
}

std::unique_ptr<PanelWindow> GtkWindowSystem::createQuickBar(const QuickBarOptions& options) {
    return std::make_unique<GtkQuickBarWindow>(options, contexts_->contextFor(options.webDataName));
}

std::unique_ptr<DocumentWindow> GtkWindowSystem::createDocumentWindow(
    const DocumentWindowOptions& options) {
    return std::make_unique<GtkDocumentWindow>(options, contexts_->contextFor(options.webDataName));
}

std::unique_ptr<SettingsWindow> GtkWindowSystem::createSettingsWindow(
    const SettingsWindowOptions& options) {
    return std::make_unique<GtkSettingsWindow>(options);
}

std::vector<Screen> GtkWindowSystem::screens() {
    std::vector<Screen> result;
    GdkDisplay* display = gdk_display_get_default();
    if (display == nullptr) {
        return result;
    }
    const int count = gdk_display_get_n_monitors(display);
    for (int index = 0; index < count; ++index) {
        GdkMonitor* monitor = gdk_display_get_monitor(display, index);
        GdkRectangle geometry{};
        GdkRectangle area{};
        gdk_monitor_get_geometry(monitor, &geometry);
        gdk_monitor_get_workarea(monitor, &area);
        result.push_back(Screen{fromGdk(geometry), fromGdk(area)});
    }
    return result;
}

std::optional<Screen> GtkWindowSystem::mainScreen() {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* primary = display != nullptr ? gdk_display_get_primary_monitor(display) : nullptr;
    if (primary == nullptr) {
        const std::vector<Screen> all = screens();
        return all.empty() ? std::nullopt : std::optional(all.front());
    }
    GdkRectangle geometry{};
    GdkRectangle area{};
    gdk_monitor_get_geometry(primary, &geometry);
    gdk_monitor_get_workarea(primary, &area);
    return Screen{fromGdk(geometry), fromGdk(area)};
}

std::pair<double, double> GtkWindowSystem::mouseLocation() {
    GdkDisplay* display = gdk_display_get_default();
    GdkSeat* seat = display != nullptr ? gdk_display_get_default_seat(display) : nullptr;
    GdkDevice* pointer = seat != nullptr ? gdk_seat_get_pointer(seat) : nullptr;
    if (pointer == nullptr) {
        return {0, 0};
    }
    gint x = 0;
    gint y = 0;
    gdk_device_get_position(pointer, nullptr, &x, &y);
    return {static_cast<double>(x), referenceBottom() - y};
}

}  // namespace pagemate::linux_backend
