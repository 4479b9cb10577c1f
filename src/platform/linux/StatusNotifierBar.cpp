#include "platform/linux/StatusNotifierBar.h"

#include <gio/gio.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/UnavailableStatusBar.h"
#include "platform/linux/DBusMenuExport.h"
#include "platform/linux/GDBusConnections.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/GtkWindowSystem.h"

namespace pagemate::linux_backend {

namespace {

constexpr const char* kItemPath = "/StatusNotifierItem";
constexpr const char* kItemInterface = "org.kde.StatusNotifierItem";
constexpr const char* kMenuPath = "/MenuBar";
constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
constexpr const char* kWatcherInterface = "org.kde.StatusNotifierWatcher";
// Calls to the bus itself are answered at once; a watcher that takes longer is stuck.
constexpr gint kCallTimeoutMs = 5000;
// The side of the square taken for the icon, in points: panels draw 16 to 24.
constexpr double kIconSize = 24;

constexpr const char* kIntrospection = R"xml(<node>
  <interface name="org.kde.StatusNotifierItem">
    <property name="Category" type="s" access="read"/>
    <property name="Id" type="s" access="read"/>
    <property name="Title" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="WindowId" type="i" access="read"/>
    <property name="IconThemePath" type="s" access="read"/>
    <property name="Menu" type="o" access="read"/>
    <property name="ItemIsMenu" type="b" access="read"/>
    <property name="IconName" type="s" access="read"/>
    <property name="IconPixmap" type="a(iiay)" access="read"/>
    <property name="OverlayIconName" type="s" access="read"/>
    <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionIconName" type="s" access="read"/>
    <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
    <property name="AttentionMovieName" type="s" access="read"/>
    <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
    <method name="ContextMenu">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <method name="Activate">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <method name="SecondaryActivate">
      <arg type="i" name="x" direction="in"/>
      <arg type="i" name="y" direction="in"/>
    </method>
    <method name="Scroll">
      <arg type="i" name="delta" direction="in"/>
      <arg type="s" name="orientation" direction="in"/>
    </method>
    <signal name="NewTitle"/>
    <signal name="NewIcon"/>
    <signal name="NewAttentionIcon"/>
    <signal name="NewOverlayIcon"/>
    <signal name="NewToolTip"/>
    <signal name="NewStatus">
      <arg type="s" name="status"/>
    </signal>
    <signal name="NewIconThemePath">
      <arg type="s" name="icon_theme_path"/>
    </signal>
    <signal name="NewMenu"/>
  </interface>
</node>)xml";

struct NodeInfoUnref {
    void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};

// Whether a call's failure is for the "closed" handler or for no one: the call was
// cancelled (the item may be gone) or the connection closed under it.
bool failedForGood(GObject* bus, GError* error) {
    return error != nullptr && (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
                                g_dbus_connection_is_closed(G_DBUS_CONNECTION(bus)) == TRUE);
}

// A connection of its own to the session bus, or null with the reason. The address
// comes from the environment (or the user's runtime folder); an "autolaunch:" address,
// which would start a bus, is not followed.
GObjectPtr<GDBusConnection> connectSessionBus(std::string& why) {
    const std::optional<std::string> address = sessionBusAddress();
    if (!address) {
        why = "DBUS_SESSION_BUS_ADDRESS is not set";
        return nullptr;
    }
    GObjectPtr<GDBusConnection> bus = connectToBus(*address, why);
    if (!bus) {
        why = *address + ": " + why;
    }
    return bus;
}

// A synchronous call to the message bus itself, which answers without calling back.
GVariantPtr callBus(GDBusConnection* bus, const char* method, GVariant* parameters,
                    const GVariantType* replyType) {
    return GVariantPtr(g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        parameters, replyType, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, nullptr));
}

bool hasIconIn(const std::filesystem::path& themes, const std::string& iconName) {
    std::error_code error;
    std::filesystem::directory_iterator sizes(themes / "hicolor", error);
    if (error) {
        return false;
    }
    for (const auto& size : sizes) {
        for (const char* extension : {".svg", ".png"}) {
            if (std::filesystem::is_regular_file(size.path() / "apps" / (iconName + extension),
                                                 error)) {
                return true;
            }
        }
    }
    return false;
}

class StatusNotifierItem final : public StatusItem {
  public:
    StatusNotifierItem(GObjectPtr<GDBusConnection> bus, const std::string& wellKnownName,
                       const StatusItemOptions& options, std::string iconThemePath,
                       MainQueue& queue)
        : bus_(std::move(bus)),
          options_(options),
          iconThemePath_(std::move(iconThemePath)),
          menu_(bus_.get(), kMenuPath, queue) {
        const char* program = g_get_prgname();
        id_ = program != nullptr ? program : "pagemate";
        exportItem();
        if (!menu_.exportError().empty()) {
            become(Availability::noTrayHost,
                   "the menu could not be exported: " + menu_.exportError());
        }
        // The watcher finds the item by this name; the connection's own name will do if
        // the well-known one is taken.
        const GVariantPtr owned =
            callBus(bus_.get(), "RequestName",
                    g_variant_new("(su)", wellKnownName.c_str(), 4U /* DO_NOT_QUEUE */),
                    G_VARIANT_TYPE("(u)"));
        guint32 ownership = 0;
        if (owned) {
            g_variant_get(owned.get(), "(u)", &ownership);
        }
        busName_ =
            ownership == 1 /* PRIMARY_OWNER */ ? wellKnownName
                                               : g_dbus_connection_get_unique_name(bus_.get());

        // Whether a watcher runs decides the state at once; the watch below then follows
        // it and registers the item with every watcher that appears.
        const GVariantPtr watcherOwner = callBus(
            bus_.get(), "GetNameOwner", g_variant_new("(s)", kWatcherName), G_VARIANT_TYPE("(s)"));
        if (watcherOwner) {
            const gchar* owner = nullptr;
            g_variant_get(watcherOwner.get(), "(&s)", &owner);
            // Registered now rather than from the loop's first turn: the tray shows the
            // item while the rest of start-up goes on.
            registeredEarlyWith_ = owner != nullptr ? owner : "";
            if (availability_ == Availability::shown) {
                registerWithWatcher();
            }
        } else if (availability_ == Availability::shown) {
            availability_ = Availability::noTrayHost;
            detail_ = noWatcherDetail();
        }
        watch_ =
            g_bus_watch_name_on_connection(bus_.get(), kWatcherName, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                           &onWatcherAppeared, &onWatcherVanished, this, nullptr);
        hostSignals_ = g_dbus_connection_signal_subscribe(
            bus_.get(), nullptr, kWatcherInterface, nullptr, kWatcherPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, &onWatcherSignal, this, nullptr);
        closedHandler_ = g_signal_connect(bus_.get(), "closed", G_CALLBACK(&onClosed), this);
    }

    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    ~StatusNotifierItem() override {
        // Pending replies come back cancelled and touch nothing; the watch, the
        // subscription and the object call nothing once removed.
        cancelPending();
        g_signal_handler_disconnect(bus_.get(), closedHandler_);
        g_dbus_connection_signal_unsubscribe(bus_.get(), hostSignals_);
        g_bus_unwatch_name(watch_);
        if (registration_ != 0) {
            g_dbus_connection_unregister_object(bus_.get(), registration_);
        }
        // Closing gives the name up now, so the tray drops the item at once.
        g_dbus_connection_close(bus_.get(), nullptr, nullptr, nullptr);
    }

    void setMenu(std::vector<MenuItem> menu) override { menu_.setMenu(std::move(menu)); }
    [[nodiscard]] Availability availability() const override { return availability_; }
    [[nodiscard]] std::string availabilityDetail() const override { return detail_; }
    void setAvailabilityObserver(std::function<void()> observer) override {
        observer_ = std::move(observer);
    }
    // A square of the usual panel icon size around the last click a host passed on, put
    // into the core's coordinates with the screen GDK has open, if any.
    [[nodiscard]] std::optional<Rect> lastKnownFrame() const override {
        if (!lastClick_) {
            return std::nullopt;
        }
        const auto centre =
            GtkWindowSystem::fromScreenPixels(lastClick_->first, lastClick_->second);
        if (!centre) {
            return std::nullopt;
        }
        return Rect{centre->first - kIconSize / 2, centre->second - kIconSize / 2, kIconSize,
                    kIconSize};
    }

  private:
    static std::string noWatcherDetail() {
        return std::string("no ") + kWatcherName + " on the session bus";
    }

    void exportItem() {
        GError* error = nullptr;
        info_.reset(g_dbus_node_info_new_for_xml(kIntrospection, &error));
        if (!info_) {
            become(Availability::noTrayHost, takeErrorText(error));
            return;
        }
        static const GDBusInterfaceVTable vtable = {&onMethodCall, &onGetProperty, nullptr, {}};
        registration_ = g_dbus_connection_register_object(
            bus_.get(), kItemPath, g_dbus_node_info_lookup_interface(info_.get(), kItemInterface),
            &vtable, this, nullptr, &error);
        if (registration_ == 0) {
            become(Availability::noTrayHost,
                   std::string("the item could not be exported: ") + takeErrorText(error));
        }
    }

    // The state, and the observer told when the availability changed. Nothing here
    // touches the item after the observer, which may destroy it.
    void become(Availability availability, std::string detail) {
        const bool changed = availability != availability_;
        availability_ = availability;
        detail_ = availability == Availability::shown ? std::string() : std::move(detail);
        if (changed && observer_) {
            const std::function<void()> observer = observer_;
            observer();
        }
    }

    void cancelPending() {
        if (pending_) {
            g_cancellable_cancel(pending_.get());
        }
        pending_.reset(g_cancellable_new());
    }

    void registerWithWatcher() {
        cancelPending();
        registered_ = false;
        g_dbus_connection_call(bus_.get(), kWatcherName, kWatcherPath, kWatcherInterface,
                               "RegisterStatusNotifierItem", g_variant_new("(s)", busName_.c_str()),
                               nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, pending_.get(),
                               &onRegistered, this);
    }

    // Whether the watcher has a host that shows the items; a watcher that does not say
    // is taken to have one.
    void readHostState() {
        g_dbus_connection_call(
            bus_.get(), kWatcherName, kWatcherPath, "org.freedesktop.DBus.Properties", "Get",
            g_variant_new("(ss)", kWatcherInterface, "IsStatusNotifierHostRegistered"),
            G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, pending_.get(),
            &onHostState, this);
    }

    static void onRegistered(GObject* source, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        const GVariantPtr reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error));
        if (failedForGood(source, error)) {
            g_error_free(error);
            return;
        }
        auto* self = static_cast<StatusNotifierItem*>(data);
        if (!reply) {
            self->become(Availability::noTrayHost,
                         std::string(kWatcherName) + " refused the item: " + takeErrorText(error));
            return;
        }
        self->registered_ = true;
        self->readHostState();
    }

    static void onHostState(GObject* source, GAsyncResult* result, gpointer data) {
        GError* error = nullptr;
        const GVariantPtr reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error));
        if (failedForGood(source, error)) {
            g_error_free(error);
            return;
        }
        g_clear_error(&error);
        auto* self = static_cast<StatusNotifierItem*>(data);
        gboolean hostThere = TRUE;
        if (reply) {
            const GVariantPtr boxed(g_variant_get_child_value(reply.get(), 0));
            const GVariantPtr value(g_variant_get_variant(boxed.get()));
            if (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN)) {
                hostThere = g_variant_get_boolean(value.get());
            }
        }
        if (hostThere == FALSE) {
            self->become(Availability::noTrayHost,
                         std::string(kWatcherName) + " has no StatusNotifierHost registered");
        } else {
            self->become(Availability::shown, {});
        }
    }

    static void onWatcherAppeared(GDBusConnection* /*bus*/, const gchar* /*name*/,
                                  const gchar* owner, gpointer data) {
        auto* self = static_cast<StatusNotifierItem*>(data);
        // The watcher the item registered with while it was made: once is enough.
        if (const std::string early = std::exchange(self->registeredEarlyWith_, {});
            !early.empty() && owner != nullptr && early == owner) {
            return;
        }
        self->registerWithWatcher();
    }

    static void onWatcherVanished(GDBusConnection* bus, const gchar* /*name*/, gpointer data) {
        auto* self = static_cast<StatusNotifierItem*>(data);
        if (bus == nullptr || g_dbus_connection_is_closed(bus) == TRUE) {
            return;  // the closed connection says so itself
        }
        self->cancelPending();
        self->registered_ = false;
        self->become(Availability::noTrayHost, noWatcherDetail());
    }

    static void onWatcherSignal(GDBusConnection* /*bus*/, const gchar* /*sender*/,
                                const gchar* /*path*/, const gchar* /*interface*/,
                                const gchar* signal, GVariant* /*parameters*/, gpointer data) {
        auto* self = static_cast<StatusNotifierItem*>(data);
        const std::string_view name(signal);
        if (self->registered_ &&
            (name == "StatusNotifierHostRegistered" || name == "StatusNotifierHostUnregistered")) {
            self->readHostState();
        }
    }

    static void onClosed(GDBusConnection* /*bus*/, gboolean /*remotePeerVanished*/, GError* error,
                         gpointer data) {
        auto* self = static_cast<StatusNotifierItem*>(data);
        self->cancelPending();
        self->registered_ = false;
        self->become(Availability::noSessionBus,
                     std::string("the session bus connection closed") +
                         (error != nullptr ? std::string(": ") + error->message : std::string()));
    }

    static void onMethodCall(GDBusConnection* /*bus*/, const gchar* /*sender*/,
                             const gchar* /*path*/, const gchar* /*interface*/, const gchar* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation,
                             gpointer data) {
        // The item is a menu (ItemIsMenu): hosts open it themselves; activation,
        // scrolling and the context menu have nothing more to do. The click's place that
        // comes with them is the only word a host gives of where the icon is.
        const std::string_view name(method);
        if ((name == "Activate" || name == "SecondaryActivate" || name == "ContextMenu") &&
            g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ii)"))) {
            gint32 x = 0;
            gint32 y = 0;
            g_variant_get(parameters, "(ii)", &x, &y);
            static_cast<StatusNotifierItem*>(data)->lastClick_ = std::pair{x, y};
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }

    static GVariant* onGetProperty(GDBusConnection* /*bus*/, const gchar* /*sender*/,
                                   const gchar* /*path*/, const gchar* /*interface*/,
                                   const gchar* name, GError** error, gpointer data) {
        GVariant* value = static_cast<const StatusNotifierItem*>(data)->property(name);
        if (value == nullptr) {
            g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
        }
        return value;
    }

    [[nodiscard]] GVariant* property(std::string_view name) const {
        const auto text = [](const std::string& value) {
            return g_variant_new_string(value.c_str());
        };
        const auto noPixmaps = [] {
            return g_variant_new_array(G_VARIANT_TYPE("(iiay)"), nullptr, 0);
        };
        if (name == "Category") {
            return g_variant_new_string("ApplicationStatus");
        }
        if (name == "Id") {
            return text(id_);
        }
        if (name == "Title") {
            return text(options_.accessibleName);
        }
        if (name == "Status") {
            return g_variant_new_string("Active");
        }
        if (name == "WindowId") {
            return g_variant_new_int32(0);
        }
        if (name == "IconThemePath") {
            return text(iconThemePath_);
        }
        if (name == "Menu") {
            return g_variant_new_object_path(kMenuPath);
        }
        if (name == "ItemIsMenu") {
            return g_variant_new_boolean(TRUE);
        }
        if (name == "IconName") {
            return text(options_.iconName);
        }
        if (name == "OverlayIconName" || name == "AttentionIconName" ||
            name == "AttentionMovieName") {
            return g_variant_new_string("");
        }
        if (name == "IconPixmap" || name == "OverlayIconPixmap" || name == "AttentionIconPixmap") {
            return noPixmaps();
        }
        if (name == "ToolTip") {
            return g_variant_new("(s@a(iiay)ss)", options_.iconName.c_str(), noPixmaps(),
                                 options_.toolTip.c_str(), "");
        }
        return nullptr;
    }

    GObjectPtr<GDBusConnection> bus_;
    StatusItemOptions options_;
    std::string iconThemePath_;
    std::string id_;
    // The watcher's unique name when the item registered with it at once; its first
    // "appeared" then needs no second registration.
    std::string registeredEarlyWith_;
    std::string busName_;
    std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> info_;
    guint registration_ = 0;
    DBusMenuExport menu_;
    guint watch_ = 0;
    guint hostSignals_ = 0;
    gulong closedHandler_ = 0;
    // Cancels the calls to the current watcher when it goes, or the item does.
    GObjectPtr<GCancellable> pending_;
    bool registered_ = false;
    Availability availability_ = Availability::shown;
    std::string detail_;
    std::function<void()> observer_;
    // Where a host last said the user clicked the icon: X root-window pixels.
    std::optional<std::pair<gint32, gint32>> lastClick_;
};

}  // namespace

StatusNotifierBar::StatusNotifierBar(MainQueue& queue, std::string programIcons)
    : queue_(queue), programIcons_(std::move(programIcons)) {}

std::unique_ptr<StatusItem> StatusNotifierBar::createItem(const StatusItemOptions& options) {
    std::string why;
    GObjectPtr<GDBusConnection> bus = connectSessionBus(why);
    if (!bus) {
        return UnavailableStatusBar(StatusItem::Availability::noSessionBus, why)
            .createItem(options);
    }
    ++created_;
    const std::string name =
        "org.kde.StatusNotifierItem-" + std::to_string(::getpid()) + "-" + std::to_string(created_);
    return std::make_unique<StatusNotifierItem>(
        std::move(bus), name, options, iconThemePath(options.iconName, programIcons_), queue_);
}

std::string StatusNotifierBar::iconThemePath(const std::string& iconName,
                                             const std::string& programIcons) {
    if (iconName.empty()) {
        return {};
    }
    // Read from the environment on every call, as the tray host reads it (GLib's own
    // accessors keep the first answer).
    std::vector<std::filesystem::path> themes;
    if (const char* home = g_getenv("XDG_DATA_HOME"); home != nullptr && *home != '\0') {
        themes.push_back(std::filesystem::path(home) / "icons");
    } else {
        const char* userHome = g_getenv("HOME");
        themes.push_back(std::filesystem::path(userHome != nullptr ? userHome : g_get_home_dir()) /
                         ".local" / "share" / "icons");
    }
    const char* dataDirs = g_getenv("XDG_DATA_DIRS");
    const std::string folders =
        dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share:/usr/share";
    for (std::size_t start = 0; start <= folders.size();) {
        const std::size_t end = std::min(folders.find(':', start), folders.size());
        if (end > start) {
            themes.push_back(std::filesystem::path(folders.substr(start, end - start)) / "icons");
        }
        start = end + 1;
    }
    for (const auto& theme : themes) {
        if (hasIconIn(theme, iconName)) {
            return {};
        }
    }
    if (!programIcons.empty() && hasIconIn(programIcons, iconName)) {
        return programIcons;
    }
    return {};
}

}  // namespace pagemate::linux_backend
