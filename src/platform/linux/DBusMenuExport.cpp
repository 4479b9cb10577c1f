#include "platform/linux/DBusMenuExport.h"

#include <gdk/gdk.h>
#include <gio/gio.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

// Hosts read a shortcut's key by its key name, as GTK's accelerators do: "comma",
// not ",". A key without a name goes as it is.
std::string keyName(const std::string& key) {
    const gunichar character = g_utf8_get_char_validated(key.c_str(), -1);
    if (character == static_cast<gunichar>(-1) || character == static_cast<gunichar>(-2) ||
        g_utf8_strlen(key.c_str(), -1) != 1) {
        return key;
    }
    const gchar* name = gdk_keyval_name(gdk_unicode_to_keyval(character));
    return name != nullptr ? std::string(name) : key;
}

constexpr std::string_view kInterface = "com.canonical.dbusmenu";
constexpr gint32 kRootId = 0;
// The protocol version this export speaks.
constexpr guint32 kVersion = 3;

constexpr const char* kIntrospection = R"xml(<node>
  <interface name="com.canonical.dbusmenu">
    <property name="Version" type="u" access="read"/>
    <property name="TextDirection" type="s" access="read"/>
    <property name="Status" type="s" access="read"/>
    <property name="IconThemePath" type="as" access="read"/>
    <method name="GetLayout">
      <arg type="i" name="parentId" direction="in"/>
      <arg type="i" name="recursionDepth" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="u" name="revision" direction="out"/>
      <arg type="(ia{sv}av)" name="layout" direction="out"/>
    </method>
    <method name="GetGroupProperties">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="as" name="propertyNames" direction="in"/>
      <arg type="a(ia{sv})" name="properties" direction="out"/>
    </method>
    <method name="GetProperty">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="name" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <method name="Event">
      <arg type="i" name="id" direction="in"/>
      <arg type="s" name="eventId" direction="in"/>
      <arg type="v" name="data" direction="in"/>
      <arg type="u" name="timestamp" direction="in"/>
    </method>
    <method name="EventGroup">
      <arg type="a(isvu)" name="events" direction="in"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <method name="AboutToShow">
      <arg type="i" name="id" direction="in"/>
      <arg type="b" name="needUpdate" direction="out"/>
    </method>
    <method name="AboutToShowGroup">
      <arg type="ai" name="ids" direction="in"/>
      <arg type="ai" name="updatesNeeded" direction="out"/>
      <arg type="ai" name="idErrors" direction="out"/>
    </method>
    <signal name="ItemsPropertiesUpdated">
      <arg type="a(ia{sv})" name="updatedProps"/>
      <arg type="a(ias)" name="removedProps"/>
    </signal>
    <signal name="LayoutUpdated">
      <arg type="u" name="revision"/>
      <arg type="i" name="parent"/>
    </signal>
    <signal name="ItemActivationRequested">
      <arg type="i" name="id"/>
      <arg type="u" name="timestamp"/>
    </signal>
  </interface>
</node>)xml";

struct NodeInfoUnref {
    void operator()(GDBusNodeInfo* info) const { g_dbus_node_info_unref(info); }
};

// A single underscore marks the mnemonic in a dbusmenu label; titles mean them literally.
std::string labelFor(const std::string& title) {
    std::string label;
    label.reserve(title.size());
    for (const char character : title) {
        label += character;
        if (character == '_') {
            label += '_';
        }
    }
    return label;
}

// The property names a caller asked for; none means all.
class NameFilter {
  public:
    NameFilter() = default;
    explicit NameFilter(GVariant* names) {
        GVariantIter iter;
        g_variant_iter_init(&iter, names);
        const gchar* name = nullptr;
        while (g_variant_iter_next(&iter, "&s", &name)) {
            names_.emplace_back(name);
        }
    }
    [[nodiscard]] bool wants(std::string_view name) const {
        return names_.empty() || std::find(names_.begin(), names_.end(), name) != names_.end();
    }

  private:
    std::vector<std::string> names_;
};

GVariantPtr argument(GVariant* parameters, gsize index) {
    return GVariantPtr(g_variant_get_child_value(parameters, index));
}

void returnUnknownId(GDBusMethodInvocation* invocation, gint32 id) {
    g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR, G_DBUS_ERROR_INVALID_ARGS,
                                          "no menu item with the id %d", id);
}

}  // namespace

struct DBusMenuExport::State {
    struct Entry {
        gint32 id = 0;
        MenuItem item;
    };

    State(GDBusConnection* bus, std::string objectPath, MainQueue& mainQueue)
        : connection(G_DBUS_CONNECTION(g_object_ref(bus))),
          path(std::move(objectPath)),
          queue(mainQueue) {}

    GObjectPtr<GDBusConnection> connection;
    std::string path;
    MainQueue& queue;
    std::unique_ptr<GDBusNodeInfo, NodeInfoUnref> info;
    guint registration = 0;
    std::string error;
    std::vector<Entry> entries;
    // The menu of the revision before: a host may still show it when the user clicks.
    std::vector<Entry> previousEntries;
    gint32 nextId = 1;
    guint32 revision = 1;
    // Posted actions hold this weakly: none runs once the export is gone.
    std::shared_ptr<int> alive = std::make_shared<int>(0);

    [[nodiscard]] const Entry* find(gint32 id) const {
        const auto found = std::find_if(entries.begin(), entries.end(),
                                        [id](const Entry& e) { return e.id == id; });
        return found == entries.end() ? nullptr : &*found;
    }
    [[nodiscard]] bool known(gint32 id) const { return id == kRootId || find(id) != nullptr; }

    // The current item an id of this or the previous revision stands for: the same id,
    // else the command of the same title; null when the item is gone.
    [[nodiscard]] const Entry* resolve(gint32 id) const {
        if (const Entry* current = find(id)) {
            return current;
        }
        const auto old = std::find_if(previousEntries.begin(), previousEntries.end(),
                                      [id](const Entry& e) { return e.id == id; });
        if (old == previousEntries.end() || old->item.kind != MenuItem::Kind::command) {
            return nullptr;
        }
        const auto same = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) {
            return e.item.kind == MenuItem::Kind::command && e.item.title == old->item.title;
        });
        return same == entries.end() ? nullptr : &*same;
    }

    // The item's properties (a{sv}); `entry` null for the root.
    [[nodiscard]] static GVariant* properties(const Entry* entry, const NameFilter& filter) {
        GVariantBuilder builder;
        g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
        const auto add = [&](const char* name, GVariant* value) {
            if (filter.wants(name)) {
                g_variant_builder_add(&builder, "{sv}", name, value);
            } else {
                g_variant_unref(g_variant_ref_sink(value));
            }
        };
        if (entry == nullptr) {
            add("children-display", g_variant_new_string("submenu"));
        } else if (entry->item.kind == MenuItem::Kind::separator) {
            add("type", g_variant_new_string("separator"));
        } else {
            add("label", g_variant_new_string(labelFor(entry->item.title).c_str()));
            if (!entry->item.enabled) {
                add("enabled", g_variant_new_boolean(FALSE));
            }
            if (!entry->item.keyEquivalent.empty()) {
                const std::string key = keyName(entry->item.keyEquivalent);
                const gchar* keys[] = {"Control", key.c_str()};
                GVariant* combination = g_variant_new_strv(keys, 2);
                add("shortcut", g_variant_new_array(G_VARIANT_TYPE("as"), &combination, 1));
            }
        }
        return g_variant_builder_end(&builder);
    }

    // One node of the layout, (ia{sv}av), with its children down to `depth` levels
    // (-1: all).
    [[nodiscard]] GVariant* node(gint32 id, gint32 depth, const NameFilter& filter) const {
        const Entry* entry = id == kRootId ? nullptr : find(id);
        GVariantBuilder children;
        g_variant_builder_init(&children, G_VARIANT_TYPE("av"));
        if (id == kRootId && depth != 0) {
            for (const Entry& child : entries) {
                g_variant_builder_add(&children, "v", node(child.id, depth - 1, filter));
            }
        }
        return g_variant_new("(i@a{sv}av)", id, properties(entry, filter), &children);
    }

    void getLayout(GVariant* parameters, GDBusMethodInvocation* invocation) const {
        gint32 parent = 0;
        gint32 depth = 0;
        g_variant_get(parameters, "(ii@as)", &parent, &depth, nullptr);
        const NameFilter filter(argument(parameters, 2).get());
        if (!known(parent)) {
            returnUnknownId(invocation, parent);
            return;
        }
        g_dbus_method_invocation_return_value(
            invocation, g_variant_new("(u@(ia{sv}av))", revision, node(parent, depth, filter)));
    }

    void getGroupProperties(GVariant* parameters, GDBusMethodInvocation* invocation) const {
        const GVariantPtr ids = argument(parameters, 0);
        const NameFilter filter(argument(parameters, 1).get());
        GVariantBuilder result;
        g_variant_builder_init(&result, G_VARIANT_TYPE("a(ia{sv})"));
        gsize count = 0;
        const auto* requested = static_cast<const gint32*>(
            g_variant_get_fixed_array(ids.get(), &count, sizeof(gint32)));
        if (count == 0) {
            // No ids: every item.
            for (const Entry& entry : entries) {
                g_variant_builder_add(&result, "(i@a{sv})", entry.id, properties(&entry, filter));
            }
        }
        for (gsize index = 0; index < count; ++index) {
            const gint32 id = requested[index];
            if (known(id)) {
                g_variant_builder_add(&result, "(i@a{sv})", id,
                                      properties(id == kRootId ? nullptr : find(id), filter));
            }
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(a(ia{sv}))", &result));
    }

    void getProperty(GVariant* parameters, GDBusMethodInvocation* invocation) const {
        gint32 id = 0;
        const gchar* name = nullptr;
        g_variant_get(parameters, "(i&s)", &id, &name);
        if (!known(id)) {
            returnUnknownId(invocation, id);
            return;
        }
        const GVariantPtr all(
            g_variant_ref_sink(properties(id == kRootId ? nullptr : find(id), NameFilter{})));
        GVariantPtr value(g_variant_lookup_value(all.get(), name, nullptr));
        // Properties left out of the layout have their default values.
        const std::string_view asked(name);
        if (!value && (asked == "enabled" || asked == "visible")) {
            value.reset(g_variant_ref_sink(g_variant_new_boolean(TRUE)));
        } else if (!value && asked == "type") {
            value.reset(g_variant_ref_sink(g_variant_new_string("standard")));
        }
        if (!value) {
            g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR,
                                                  G_DBUS_ERROR_INVALID_ARGS,
                                                  "menu item %d has no property \"%s\"", id, name);
            return;
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(v)", value.get()));
    }

    // Runs a "clicked" event's action later on the main loop; false for an unknown id.
    bool event(gint32 id, std::string_view eventId) const {
        if (id == kRootId) {
            return true;
        }
        const Entry* entry = resolve(id);
        if (entry == nullptr) {
            return false;
        }
        const MenuItem& item = entry->item;
        if (eventId == "clicked" && item.kind == MenuItem::Kind::command && item.enabled &&
            item.action) {
            queue.post([weakAlive = std::weak_ptr<int>(alive), action = item.action] {
                if (!weakAlive.expired()) {
                    action();
                }
            });
        }
        return true;
    }

    void eventGroup(GVariant* parameters, GDBusMethodInvocation* invocation) const {
        const GVariantPtr group = argument(parameters, 0);
        GVariantIter events;
        g_variant_iter_init(&events, group.get());
        GVariantBuilder errors;
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        gint32 id = 0;
        const gchar* eventId = nullptr;
        gsize total = 0;
        gsize failed = 0;
        while (g_variant_iter_next(&events, "(i&svu)", &id, &eventId, nullptr, nullptr)) {
            ++total;
            if (!event(id, eventId)) {
                ++failed;
                g_variant_builder_add(&errors, "i", id);
            }
        }
        if (total > 0 && failed == total) {
            g_variant_builder_clear(&errors);
            g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR,
                                                  G_DBUS_ERROR_INVALID_ARGS,
                                                  "none of the menu items exists");
            return;
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(ai)", &errors));
    }

    void aboutToShowGroup(GVariant* parameters, GDBusMethodInvocation* invocation) const {
        const GVariantPtr ids = argument(parameters, 0);
        gsize count = 0;
        const auto* requested = static_cast<const gint32*>(
            g_variant_get_fixed_array(ids.get(), &count, sizeof(gint32)));
        GVariantBuilder errors;
        g_variant_builder_init(&errors, G_VARIANT_TYPE("ai"));
        for (gsize index = 0; index < count; ++index) {
            if (!known(requested[index])) {
                g_variant_builder_add(&errors, "i", requested[index]);
            }
        }
        // The menu is always current: no update is ever needed before showing.
        g_dbus_method_invocation_return_value(
            invocation,
            g_variant_new("(@aiai)", g_variant_new_array(G_VARIANT_TYPE_INT32, nullptr, 0),
                          &errors));
    }

    void call(std::string_view method, GVariant* parameters,
              GDBusMethodInvocation* invocation) const {
        if (method == "GetLayout") {
            getLayout(parameters, invocation);
        } else if (method == "GetGroupProperties") {
            getGroupProperties(parameters, invocation);
        } else if (method == "GetProperty") {
            getProperty(parameters, invocation);
        } else if (method == "Event") {
            gint32 id = 0;
            const gchar* eventId = nullptr;
            g_variant_get(parameters, "(i&svu)", &id, &eventId, nullptr, nullptr);
            if (event(id, eventId)) {
                g_dbus_method_invocation_return_value(invocation, nullptr);
            } else {
                returnUnknownId(invocation, id);
            }
        } else if (method == "EventGroup") {
            eventGroup(parameters, invocation);
        } else if (method == "AboutToShow") {
            gint32 id = 0;
            g_variant_get(parameters, "(i)", &id);
            if (known(id)) {
                g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
            } else {
                returnUnknownId(invocation, id);
            }
        } else if (method == "AboutToShowGroup") {
            aboutToShowGroup(parameters, invocation);
        } else {
            g_dbus_method_invocation_return_error(invocation, G_DBUS_ERROR,
                                                  G_DBUS_ERROR_UNKNOWN_METHOD, "no method %s",
                                                  std::string(method).c_str());
        }
    }

    [[nodiscard]] static GVariant* property(std::string_view name) {
        if (name == "Version") {
            return g_variant_new_uint32(kVersion);
        }
        if (name == "TextDirection") {
            return g_variant_new_string("ltr");
        }
        if (name == "Status") {
            return g_variant_new_string("normal");
        }
        if (name == "IconThemePath") {
            return g_variant_new_strv(nullptr, 0);
        }
        return nullptr;
    }

    static void onMethodCall(GDBusConnection* /*connection*/, const gchar* /*sender*/,
                             const gchar* /*path*/, const gchar* /*interface*/, const gchar* method,
                             GVariant* parameters, GDBusMethodInvocation* invocation,
                             gpointer data) {
        static_cast<const State*>(data)->call(method, parameters, invocation);
    }

    static GVariant* onGetProperty(GDBusConnection* /*connection*/, const gchar* /*sender*/,
                                   const gchar* /*path*/, const gchar* /*interface*/,
                                   const gchar* name, GError** error, gpointer /*data*/) {
        GVariant* value = property(name);
        if (value == nullptr) {
            g_set_error(error, G_DBUS_ERROR, G_DBUS_ERROR_UNKNOWN_PROPERTY, "no property %s", name);
        }
        return value;
    }
};

DBusMenuExport::DBusMenuExport(GDBusConnection* connection, const std::string& path,
                               MainQueue& queue)
    : state_(std::make_unique<State>(connection, path, queue)) {
    GError* error = nullptr;
    state_->info.reset(g_dbus_node_info_new_for_xml(kIntrospection, &error));
    if (!state_->info) {
        state_->error = GErrorPtr(error)->message;
        return;
    }
    static const GDBusInterfaceVTable vtable = {
        &State::onMethodCall, &State::onGetProperty, nullptr, {}};
    GDBusInterfaceInfo* interface =
        g_dbus_node_info_lookup_interface(state_->info.get(), std::string(kInterface).c_str());
    state_->registration = g_dbus_connection_register_object(
        connection, path.c_str(), interface, &vtable, state_.get(), nullptr, &error);
    if (state_->registration == 0) {
        state_->error = GErrorPtr(error)->message;
    }
}

DBusMenuExport::~DBusMenuExport() {
    // No call reaches the state once the object is unregistered.
    if (state_->registration != 0) {
        g_dbus_connection_unregister_object(state_->connection.get(), state_->registration);
    }
}

const std::string& DBusMenuExport::exportError() const {
    return state_->error;
}

void DBusMenuExport::setMenu(std::vector<MenuItem> menu) {
    const std::vector<State::Entry>& before = state_->entries;
    std::vector<State::Entry> entries;
    entries.reserve(menu.size());
    for (std::size_t index = 0; index < menu.size(); ++index) {
        MenuItem& item = menu[index];
        // An item keeps its id while its place and kind stay, and while it is the same
        // command (a click on the old row must not run another one); rows that only
        // show something (the status line) keep it as their text changes.
        const bool same = index < before.size() && before[index].item.kind == item.kind &&
                          (before[index].item.title == item.title ||
                           (!before[index].item.enabled && !item.enabled));
        entries.push_back(
            State::Entry{same ? before[index].id : state_->nextId++, std::move(item)});
    }
    state_->previousEntries = std::exchange(state_->entries, std::move(entries));
    ++state_->revision;
    if (state_->registration != 0) {
        g_dbus_connection_emit_signal(state_->connection.get(), nullptr, state_->path.c_str(),
                                      std::string(kInterface).c_str(), "LayoutUpdated",
                                      g_variant_new("(ui)", state_->revision, kRootId), nullptr);
    }
}

unsigned DBusMenuExport::revision() const {
    return state_->revision;
}

}  // namespace pagemate::linux_backend
