#include "platform/linux/GioInstanceLink.h"

#include <gio/gio.h>

#include <optional>
#include <string>

#include "platform/linux/GDBusConnections.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

constexpr const char* kApplicationInterface = "org.freedesktop.Application";
constexpr const char* kIntrospection = R"xml(<node>
  <interface name="org.freedesktop.Application">
    <method name="Activate">
      <arg type="a{sv}" name="platform_data" direction="in"/>
    </method>
    <method name="Open">
      <arg type="as" name="uris" direction="in"/>
      <arg type="a{sv}" name="platform_data" direction="in"/>
    </method>
    <method name="ActivateAction">
      <arg type="s" name="action_name" direction="in"/>
      <arg type="av" name="parameter" direction="in"/>
      <arg type="a{sv}" name="platform_data" direction="in"/>
    </method>
  </interface>
</node>)xml";

// A request from a later start waits this long for the running instance, whose main
// loop may be busy with its own start-up (the web views) for a few seconds.
constexpr int kSendTimeoutMs = 20000;

// The actions as the bus names them (GAction names).
struct NamedAction {
    InstanceAction action;
    const char* name;
};
constexpr NamedAction kNamedActions[] = {
    {InstanceAction::quickBar, "quick-bar"},
    {InstanceAction::panel, "panel"},
    {InstanceAction::chat, "chat"},
    {InstanceAction::meeting, "meeting"},
};

std::optional<InstanceAction> actionNamed(std::string_view name) {
    for (const NamedAction& entry : kNamedActions) {
        if (name == entry.name) {
            return entry.action;
        }
    }
    return std::nullopt;
}

const char* nameOf(InstanceAction action) {
    for (const NamedAction& entry : kNamedActions) {
        if (entry.action == action) {
            return entry.name;
        }
    }
    return nullptr;
}

// GApplication's object path for an application id: dots become slashes, dashes
// underscores.
std::string objectPathFor(std::string_view name) {
    std::string path = "/";
    for (const char letter : name) {
        path += letter == '.' ? '/' : letter == '-' ? '_' : letter;
    }
    return path;
}

struct NodeInfoUnref {
    void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};

// The bus's answers to RequestName.
constexpr guint32 kPrimaryOwner = 1;
constexpr guint32 kAlreadyOwner = 4;
constexpr guint32 kDoNotQueue = 4;

}  // namespace

struct GioInstanceLink::State {
    GObjectPtr<GDBusConnection> bus;
    std::string name;
    std::string objectPath;
    std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> info;
    GObjectPtr<GSimpleActionGroup> actions;
    guint applicationRegistration = 0;
    guint actionsExport = 0;
    ActionHandler handler;

    void perform(InstanceAction action) const {
        if (handler) {
            // A copy: the handler may replace itself.
            const ActionHandler call = handler;
            call(action);
        }
    }

    static void onActionActivated(GSimpleAction* action, GVariant* /*parameter*/, gpointer data) {
        if (const auto known = actionNamed(g_action_get_name(G_ACTION(action)))) {
            static_cast<const State*>(data)->perform(*known);
        }
    }

    static void onMethodCall(GDBusConnection* /*bus*/, const gchar* /*sender*/,
                             const gchar* /*path*/, const gchar* /*interface*/, const gchar* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation,
                             gpointer data) {
        const auto* self = static_cast<const State*>(data);
        const std::string_view called(method);
        if (called == "Activate" || called == "Open") {
            // The program opens no files: opening is showing it.
            g_dbus_method_invocation_return_value(invocation, nullptr);
            self->perform(InstanceAction::activate);
            return;
        }
        const gchar* actionName = nullptr;
        g_variant_get_child(parameters, 0, "&s", &actionName);
        const std::optional<InstanceAction> action = actionNamed(actionName);
        if (!action) {
            g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR,
                                                  G_DBUS_ERROR_INVALID_ARGS, "no action named %s",
                                                  actionName);
            return;
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
        self->perform(*action);
    }

    // The application's interfaces on its object path; an empty text when done.
    std::string exportObjects() {
        GError* error = nullptr;
        info.reset(g_dbus_node_info_new_for_xml(kIntrospection, &error));
        if (!info) {
            return takeErrorText(error);
        }
        static const GDBusInterfaceVTable vtable = {&onMethodCall, nullptr, nullptr, {}};
        applicationRegistration = g_dbus_connection_register_object(
            bus.get(), objectPath.c_str(),
            g_dbus_node_info_lookup_interface(info.get(), kApplicationInterface), &vtable, this,
            nullptr, &error);
        if (applicationRegistration == 0) {
            return takeErrorText(error);
        }
        actions.reset(g_simple_action_group_new());
        for (const NamedAction& entry : kNamedActions) {
            const GObjectPtr<GSimpleAction> action(g_simple_action_new(entry.name, nullptr));
            g_signal_connect(action.get(), "activate", G_CALLBACK(&onActionActivated), this);
            g_action_map_add_action(G_ACTION_MAP(actions.get()), G_ACTION(action.get()));
        }
        actionsExport = g_dbus_connection_export_action_group(
            bus.get(), objectPath.c_str(), G_ACTION_GROUP(actions.get()), &error);
        if (actionsExport == 0) {
            return takeErrorText(error);
        }
        return {};
    }

    ~State() {
        if (!bus) {
            return;
        }
        if (actionsExport != 0) {
            g_dbus_connection_unexport_action_group(bus.get(), actionsExport);
        }
        if (actions) {
            for (const NamedAction& entry : kNamedActions) {
                if (GAction* action =
                        g_action_map_lookup_action(G_ACTION_MAP(actions.get()), entry.name)) {
                    g_signal_handlers_disconnect_by_data(action, this);
                }
            }
        }
        if (applicationRegistration != 0) {
            g_dbus_connection_unregister_object(bus.get(), applicationRegistration);
        }
        // Closing gives the name up now, not when the last reference goes.
        g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    }

    State() = default;
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

GioInstanceLink::GioInstanceLink() : state_(std::make_unique<State>()) {}

GioInstanceLink::~GioInstanceLink() = default;

void GioInstanceLink::setActionHandler(ActionHandler handler) {
    state_->handler = std::move(handler);
}

namespace {

// The session bus over a connection of its own; null with the reason in `why`.
GObjectPtr<GDBusConnection> connectToSessionBus(std::string& why) {
    const std::optional<std::string> address = sessionBusAddress();
    if (!address) {
        why = "DBUS_SESSION_BUS_ADDRESS is not set and there is no bus socket in $XDG_RUNTIME_DIR";
        return nullptr;
    }
    return connectToBus(*address, why);
}

}  // namespace

bool GioInstanceLink::isHeld(std::string_view name) {
    std::string why;
    const GObjectPtr<GDBusConnection> bus = connectToSessionBus(why);
    if (!bus) {
        return false;
    }
    const GVariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", g_variant_new("(s)", std::string(name).c_str()), G_VARIANT_TYPE("(b)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
    gboolean held = FALSE;
    if (reply) {
        g_variant_get(reply.get(), "(b)", &held);
    }
    g_dbus_connection_close_sync(bus.get(), nullptr, nullptr);
    return held == TRUE;
}

InstanceLink::Claim GioInstanceLink::claim(std::string_view name) {
    State& state = *state_;
    if (!state.bus) {
        std::string why;
        state.bus = connectToSessionBus(why);
        if (!state.bus) {
            return {Claim::Outcome::noSessionBus, why};
        }
        state.name = std::string(name);
        state.objectPath = objectPathFor(name);
        if (std::string failed = state.exportObjects(); !failed.empty()) {
            return {Claim::Outcome::refused, "the application's objects: " + failed};
        }
    }
    GError* error = nullptr;
    const GVariantPtr reply(g_dbus_connection_call_sync(
        state.bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "RequestName", g_variant_new("(su)", state.name.c_str(), kDoNotQueue),
        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error));
    if (!reply) {
        return {Claim::Outcome::refused, takeErrorText(error)};
    }
    guint32 answer = 0;
    g_variant_get(reply.get(), "(u)", &answer);
    if (answer == kPrimaryOwner || answer == kAlreadyOwner) {
        return {Claim::Outcome::primary, {}};
    }
    return {Claim::Outcome::taken, {}};
}

InstanceLink::Delivery GioInstanceLink::send(InstanceAction action) {
    State& state = *state_;
    if (!state.bus) {
        return {Delivery::Outcome::failed, "the name was not claimed"};
    }
    GVariantBuilder noPlatformData;
    g_variant_builder_init(&noPlatformData, G_VARIANT_TYPE_VARDICT);
    GVariant* parameters = nullptr;
    const char* method = "Activate";
    if (const char* actionName = nameOf(action)) {
        method = "ActivateAction";
        parameters =
            g_variant_new("(s@ava{sv})", actionName,
                          g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0), &noPlatformData);
    } else {
        parameters = g_variant_new("(a{sv})", &noPlatformData);
    }
    GError* error = nullptr;
    const GVariantPtr reply(g_dbus_connection_call_sync(
        state.bus.get(), state.name.c_str(), state.objectPath.c_str(), kApplicationInterface,
        method, parameters, G_VARIANT_TYPE_UNIT, G_DBUS_CALL_FLAGS_NO_AUTO_START, kSendTimeoutMs,
        nullptr, &error));
    if (reply) {
        return {Delivery::Outcome::delivered, {}};
    }
    // The holder ended before the request reached it, or before it answered.
    const bool gone = g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
                      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER) ||
                      g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY);
    return {gone ? Delivery::Outcome::ownerGone : Delivery::Outcome::failed, takeErrorText(error)};
}

}  // namespace pagemate::linux_backend
