#include "platform/linux/PortalGlobalShortcuts.h"

#include <gio/gio.h>

#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "platform/linux/GDBusConnections.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kShortcutsInterface = "org.freedesktop.portal.GlobalShortcuts";
constexpr const char* kRequestInterface = "org.freedesktop.portal.Request";
constexpr const char* kSessionInterface = "org.freedesktop.portal.Session";
// A desktop may ask the user before it binds: the call itself answers at once, the
// Response comes when the user is done.
constexpr int kCallTimeoutMs = 10000;

// The combination in the notation of the shortcuts the portal takes: modifiers in
// capitals, then the key's XKB keysym name ("ALT+SHIFT+space"); empty for a key
// without a name here.
std::string triggerOf(std::uint32_t keyCode, std::uint32_t modifiers) {
    std::string key;
    switch (keyCode) {
        case HotKeyCode::space:
            key = "space";
            break;
        case HotKeyCode::m:
            key = "m";
            break;
        case HotKeyCode::c:
            key = "c";
            break;
        default:
            return {};
    }
    std::string trigger;
    const std::pair<std::uint32_t, const char*> names[] = {
        {HotKeyModifier::control, "CTRL"},
        {HotKeyModifier::option, "ALT"},
        {HotKeyModifier::shift, "SHIFT"},
        {HotKeyModifier::command, "LOGO"},
    };
    for (const auto& [bit, name] : names) {
        if ((modifiers & bit) != 0) {
            trigger += std::string(name) + "+";
        }
    }
    return trigger + key;
}

// The caller's unique bus name as the portal puts it into request and session paths:
// ":1.42" becomes "1_42".
std::string senderPathPart(GDBusConnection* bus) {
    std::string name = g_dbus_connection_get_unique_name(bus);
    if (!name.empty() && name.front() == ':') {
        name.erase(0, 1);
    }
    for (char& letter : name) {
        letter = letter == '.' ? '_' : letter;
    }
    return name;
}

// A string or object path member of a vardict, empty when absent.
std::string lookupPath(GVariant* results, const char* key) {
    GVariantPtr value(g_variant_lookup_value(results, key, nullptr));
    if (value && (g_variant_is_of_type(value.get(), G_VARIANT_TYPE_STRING) ||
                  g_variant_is_of_type(value.get(), G_VARIANT_TYPE_OBJECT_PATH))) {
        return g_variant_get_string(value.get(), nullptr);
    }
    return {};
}

}  // namespace

struct PortalGlobalShortcuts::Impl : std::enable_shared_from_this<Impl> {
    struct Shortcut {
        HotKeyIdentifier identifier;
        std::string trigger;
        HotKeyLabel label;
        enum class Key { up, down } key = Key::up;
        std::uint64_t press = 0;  // the number of the latest Activated
    };
    // What a finished request gave: the portal's response code (0 success, 1 cancelled
    // by the user, 2 other) and its results, or the D-Bus error's words.
    using ResponseHandler = std::function<void(std::uint32_t, GVariant*, const std::string&)>;

    explicit Impl(MainQueue& mainQueue) : queue(mainQueue) {}

    MainQueue& queue;
    GObjectPtr<GDBusConnection> bus;
    std::string busFailure;
    GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
    PressHandler pressHandler;
    BindingsHandler bindingsHandler;
    std::map<std::pair<std::uint32_t, std::uint32_t>, HotKeyLabel> labels;  // by identifier
    std::vector<Shortcut> shortcuts;  // in the order of registration
    bool bindScheduled = false;
    std::string session;  // the session's object path once created
    std::vector<guint> subscriptions;
    unsigned tokens = 0;

    void scheduleBind();
    void bind();
    void request(const char* method, GVariant* parametersWith, const std::string& token,
                 ResponseHandler then);
    void subscribeResponse(const std::string& path, const std::shared_ptr<ResponseHandler>& then,
                           guint* subscription);
    void listBound();
    void finish(const HotKeyBindings& bindings);
    void failAll(const std::string& why);
    void onShortcutSignal(const char* member, GVariant* parameters);
    void deliver(Shortcut& shortcut);
    std::string nextToken() { return "pagemate" + std::to_string(++tokens); }
    Shortcut* find(std::string_view id) {
        for (Shortcut& shortcut : shortcuts) {
            if (shortcut.label.id == id) {
                return &shortcut;
            }
        }
        return nullptr;
    }
};

namespace {

// What a GDBus callback needs: the backend, as long as it lives, and what to do next.
template <typename Next>
struct Callback {
    std::weak_ptr<PortalGlobalShortcuts::Impl> owner;
    Next next;
};

}  // namespace

void PortalGlobalShortcuts::Impl::scheduleBind() {
    if (bindScheduled) {
        return;
    }
    bindScheduled = true;
    // All registrations of this turn of the loop go into one BindShortcuts.
    queue.post([weak = weak_from_this()] {
        if (const auto self = weak.lock()) {
            self->bind();
        }
    });
}

void PortalGlobalShortcuts::Impl::subscribeResponse(const std::string& path,
                                                    const std::shared_ptr<ResponseHandler>& then,
                                                    guint* subscription) {
    using Box = Callback<std::shared_ptr<ResponseHandler>>;
    const auto onResponse = [](GDBusConnection* /*bus*/, const gchar* /*sender*/,
                               const gchar* /*path*/, const gchar* /*interface*/,
                               const gchar* /*member*/, GVariant* parameters, gpointer data) {
        const auto* box = static_cast<Box*>(data);
        const auto self = box->owner.lock();
        if (!self || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) {
            return;
        }
        guint32 response = 2;
        GVariant* rawResults = nullptr;
        g_variant_get(parameters, "(u@a{sv})", &response, &rawResults);
        const GVariantPtr results(rawResults);
        // A request answers once; the handler is taken so that it runs once.
        const std::shared_ptr<ResponseHandler> handler = box->next;
        if (*handler) {
            ResponseHandler run = std::exchange(*handler, ResponseHandler{});
            run(response, results.get(), {});
        }
    };
    *subscription = g_dbus_connection_signal_subscribe(
        bus.get(), kPortalName, kRequestInterface, "Response", path.c_str(), nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, onResponse, new Box{weak_from_this(), then},
        [](gpointer data) { delete static_cast<Box*>(data); });
}

void PortalGlobalShortcuts::Impl::request(const char* method, GVariant* parameters,
                                          const std::string& token, ResponseHandler then) {
    const std::string expected =
        std::string(kPortalPath) + "/request/" + senderPathPart(bus.get()) + "/" + token;
    // The subscription comes before the call, so that no Response can be missed; a
    // portal that answers with another handle gets a subscription there too.
    struct Pending {
        std::shared_ptr<ResponseHandler> handler;
        std::string expected;
        guint subscription = 0;
    };
    auto pending = std::make_shared<Pending>();
    pending->expected = expected;
    pending->handler = std::make_shared<ResponseHandler>(
        [weak = weak_from_this(), pending, then = std::move(then)](
            std::uint32_t response, GVariant* results, const std::string& error) {
            if (const auto self = weak.lock()) {
                g_dbus_connection_signal_unsubscribe(self->bus.get(), pending->subscription);
                std::erase(self->subscriptions, pending->subscription);
            }
            then(response, results, error);
        });
    subscribeResponse(expected, pending->handler, &pending->subscription);
    subscriptions.push_back(pending->subscription);

    using Box = Callback<std::shared_ptr<Pending>>;
    const auto onReply = [](GObject* source, GAsyncResult* result, gpointer data) {
        const std::unique_ptr<Box> box(static_cast<Box*>(data));
        GError* rawError = nullptr;
        const GVariantPtr reply(
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
        GErrorPtr error(rawError);
        const auto self = box->owner.lock();
        if (!self) {
            return;
        }
        Pending& call = *box->next;
        if (!reply) {
            if (*call.handler) {
                ResponseHandler run = std::exchange(*call.handler, ResponseHandler{});
                run(2, nullptr, takeErrorText(error.release()));
            }
            return;
        }
        const gchar* handle = nullptr;
        g_variant_get(reply.get(), "(&o)", &handle);
        if (handle != call.expected && *call.handler) {
            g_dbus_connection_signal_unsubscribe(self->bus.get(), call.subscription);
            std::erase(self->subscriptions, call.subscription);
            self->subscribeResponse(handle, call.handler, &call.subscription);
            self->subscriptions.push_back(call.subscription);
        }
    };
    g_dbus_connection_call(bus.get(), kPortalName, kPortalPath, kShortcutsInterface, method,
                           parameters, G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE,
                           kCallTimeoutMs, cancellable.get(), onReply,
                           new Box{weak_from_this(), pending});
}

void PortalGlobalShortcuts::Impl::bind() {
    if (!bus) {
        failAll(busFailure);
        return;
    }
    // Presses of this session's shortcuts, subscribed before any can come.
    using Box = Callback<int>;
    const auto onSignal = [](GDBusConnection* /*bus*/, const gchar* /*sender*/,
                             const gchar* /*path*/, const gchar* /*interface*/, const gchar* member,
                             GVariant* parameters, gpointer data) {
        if (const auto self = static_cast<Box*>(data)->owner.lock()) {
            self->onShortcutSignal(member, parameters);
        }
    };
    for (const char* member : {"Activated", "Deactivated"}) {
        subscriptions.push_back(g_dbus_connection_signal_subscribe(
            bus.get(), kPortalName, kShortcutsInterface, member, kPortalPath, nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE, onSignal, new Box{weak_from_this(), 0},
            [](gpointer data) { delete static_cast<Box*>(data); }));
    }

    const std::string token = nextToken();
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    g_variant_builder_add(&options, "{sv}", "session_handle_token",
                          g_variant_new_string("pagemate"));
    request(
        "CreateSession", g_variant_new("(a{sv})", &options), token,
        [weak = weak_from_this()](std::uint32_t response, GVariant* results,
                                  const std::string& error) {
            const auto self = weak.lock();
            if (!self) {
                return;
            }
            const std::string handle =
                results != nullptr ? lookupPath(results, "session_handle") : "";
            if (response != 0 || handle.empty()) {
                self->failAll(
                    !error.empty() ? error : "CreateSession answered " + std::to_string(response));
                return;
            }
            self->session = handle;
            GVariantBuilder list;
            g_variant_builder_init(&list, G_VARIANT_TYPE("a(sa{sv})"));
            for (const Shortcut& shortcut : self->shortcuts) {
                GVariantBuilder properties;
                g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
                g_variant_builder_add(&properties, "{sv}", "description",
                                      g_variant_new_string(shortcut.label.description.c_str()));
                g_variant_builder_add(&properties, "{sv}", "preferred_trigger",
                                      g_variant_new_string(shortcut.trigger.c_str()));
                g_variant_builder_add(&list, "(sa{sv})", shortcut.label.id.c_str(), &properties);
            }
            const std::string bindToken = self->nextToken();
            GVariantBuilder bindOptions;
            g_variant_builder_init(&bindOptions, G_VARIANT_TYPE_VARDICT);
            g_variant_builder_add(&bindOptions, "{sv}", "handle_token",
                                  g_variant_new_string(bindToken.c_str()));
            // No window to be the dialog's parent: the program may have none shown.
            self->request(
                "BindShortcuts",
                g_variant_new("(oa(sa{sv})sa{sv})", handle.c_str(), &list, "", &bindOptions),
                bindToken,
                [weak](std::uint32_t bound, GVariant* /*results*/, const std::string& why) {
                    const auto owner = weak.lock();
                    if (!owner) {
                        return;
                    }
                    if (bound != 0) {
                        owner->failAll(
                            !why.empty() ? why : "BindShortcuts answered " + std::to_string(bound));
                        return;
                    }
                    owner->listBound();
                });
        });
}

// What the desktop holds now: the desktop may have bound other triggers than asked, or
// left some out, whatever BindShortcuts said.
void PortalGlobalShortcuts::Impl::listBound() {
    const std::string token = nextToken();
    GVariantBuilder options;
    g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string(token.c_str()));
    request("ListShortcuts", g_variant_new("(oa{sv})", session.c_str(), &options), token,
            [weak = weak_from_this()](std::uint32_t response, GVariant* results,
                                      const std::string& error) {
                const auto self = weak.lock();
                if (!self) {
                    return;
                }
                if (response != 0 || results == nullptr) {
                    self->failAll(!error.empty()
                                      ? error
                                      : "ListShortcuts answered " + std::to_string(response));
                    return;
                }
                std::map<std::string, std::string> triggers;
                GVariantPtr list(
                    g_variant_lookup_value(results, "shortcuts", G_VARIANT_TYPE("a(sa{sv})")));
                if (list) {
                    GVariantIter iter;
                    g_variant_iter_init(&iter, list.get());
                    const gchar* id = nullptr;
                    GVariant* rawProperties = nullptr;
                    while (g_variant_iter_next(&iter, "(&s@a{sv})", &id, &rawProperties)) {
                        const GVariantPtr properties(rawProperties);
                        const gchar* trigger = nullptr;
                        triggers[id] = g_variant_lookup(properties.get(), "trigger_description",
                                                        "&s", &trigger) != FALSE
                                           ? trigger
                                           : "";
                    }
                }
                HotKeyBindings bindings;
                for (const Shortcut& shortcut : self->shortcuts) {
                    const auto found = triggers.find(shortcut.label.id);
                    if (found != triggers.end()) {
                        bindings.bound.push_back({shortcut.identifier, found->second});
                    } else {
                        bindings.unbound.push_back(shortcut.identifier);
                    }
                }
                self->finish(bindings);
            });
}

void PortalGlobalShortcuts::Impl::failAll(const std::string& why) {
    HotKeyBindings bindings;
    for (const Shortcut& shortcut : shortcuts) {
        bindings.unbound.push_back(shortcut.identifier);
    }
    bindings.failure = why.empty() ? "the portal did not answer" : why;
    finish(bindings);
}

void PortalGlobalShortcuts::Impl::finish(const HotKeyBindings& bindings) {
    if (bindingsHandler) {
        bindingsHandler(bindings);
    }
}

void PortalGlobalShortcuts::Impl::onShortcutSignal(const char* member, GVariant* parameters) {
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osta{sv})"))) {
        return;
    }
    const gchar* sessionHandle = nullptr;
    const gchar* id = nullptr;
    g_variant_get(parameters, "(&o&sta{sv})", &sessionHandle, &id, nullptr, nullptr);
    Shortcut* shortcut = session == sessionHandle ? find(id) : nullptr;
    if (shortcut == nullptr) {
        return;  // another application's session, or a shortcut not of this program
    }
    if (std::string_view(member) == "Activated") {
        if (shortcut->key == Shortcut::Key::down) {
            return;  // repeated while held: the same press
        }
        shortcut->key = Shortcut::Key::down;
        const std::uint64_t press = ++shortcut->press;
        queue.postAfter(releaseBound, [weak = weak_from_this(), id = std::string(id), press] {
            const auto self = weak.lock();
            Shortcut* held = self ? self->find(id) : nullptr;
            // No Deactivated in time (held long, or a desktop that sends none): the press
            // runs now, and the next Activated is a new press.
            if (held != nullptr && held->press == press && held->key == Shortcut::Key::down) {
                held->key = Shortcut::Key::up;
                self->deliver(*held);
            }
        });
        return;
    }
    const bool waiting = shortcut->key == Shortcut::Key::down;
    shortcut->key = Shortcut::Key::up;
    if (waiting) {
        deliver(*shortcut);
    }
}

void PortalGlobalShortcuts::Impl::deliver(Shortcut& shortcut) {
    if (pressHandler) {
        const PressHandler handler = pressHandler;  // it may replace itself
        handler(shortcut.identifier);
    }
}

std::optional<std::uint32_t> PortalGlobalShortcuts::interfaceVersion(std::string& why) {
    const std::optional<std::string> address = sessionBusAddress();
    if (!address) {
        why = "no session bus";
        return std::nullopt;
    }
    GError* rawError = nullptr;
    const GObjectPtr<GDBusConnection> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    if (!bus) {
        why = takeErrorText(rawError);
        return std::nullopt;
    }
    const GVariantPtr reply(g_dbus_connection_call_sync(
        bus.get(), kPortalName, kPortalPath, "org.freedesktop.DBus.Properties", "Get",
        g_variant_new("(ss)", kShortcutsInterface, "version"), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, static_cast<int>(probeTimeout.count()), nullptr, &rawError));
    if (!reply) {
        why = takeErrorText(rawError);
        return std::nullopt;
    }
    GVariant* rawValue = nullptr;
    g_variant_get(reply.get(), "(v)", &rawValue);
    const GVariantPtr value(rawValue);
    if (!g_variant_is_of_type(value.get(), G_VARIANT_TYPE_UINT32)) {
        why = "the portal's version is not a number";
        return std::nullopt;
    }
    return g_variant_get_uint32(value.get());
}

PortalGlobalShortcuts::PortalGlobalShortcuts(MainQueue& queue)
    : impl_(std::make_shared<Impl>(queue)) {
    GError* rawError = nullptr;
    impl_->bus.reset(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    if (!impl_->bus) {
        impl_->busFailure = takeErrorText(rawError);
    }
}

PortalGlobalShortcuts::~PortalGlobalShortcuts() {
    g_cancellable_cancel(impl_->cancellable.get());
    if (!impl_->bus) {
        return;
    }
    for (const guint subscription : impl_->subscriptions) {
        g_dbus_connection_signal_unsubscribe(impl_->bus.get(), subscription);
    }
    if (!impl_->session.empty()) {
        g_dbus_connection_call(impl_->bus.get(), kPortalName, impl_->session.c_str(),
                               kSessionInterface, "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                               kCallTimeoutMs, nullptr, nullptr, nullptr);
        g_dbus_connection_flush_sync(impl_->bus.get(), nullptr, nullptr);
    }
}

void PortalGlobalShortcuts::setPressHandler(PressHandler handler) {
    impl_->pressHandler = std::move(handler);
}

void PortalGlobalShortcuts::setLabel(const HotKeyIdentifier& identifier, HotKeyLabel label) {
    impl_->labels[{identifier.signature, identifier.id}] = std::move(label);
}

void PortalGlobalShortcuts::setBindingsHandler(BindingsHandler handler) {
    impl_->bindingsHandler = std::move(handler);
}

HotKeyRegistration PortalGlobalShortcuts::registerHotKey(std::uint32_t keyCode,
                                                         std::uint32_t modifiers,
                                                         HotKeyIdentifier identifier) {
    HotKeyRegistration registration;
    const std::string trigger = triggerOf(keyCode, modifiers);
    if (trigger.empty()) {
        registration.outcome = HotKeyRegistration::Outcome::refused;
        registration.status = unknownKeyStatus;
        registration.detail = "no key for key code " + std::to_string(keyCode);
        return registration;
    }
    HotKeyLabel label;
    if (const auto found = impl_->labels.find({identifier.signature, identifier.id});
        found != impl_->labels.end()) {
        label = found->second;
    } else {
        label.id = "hotkey-" + std::to_string(identifier.id);
    }
    // A combination registered again moves to the new identifier.
    std::erase_if(impl_->shortcuts, [&trigger](const Impl::Shortcut& shortcut) {
        return shortcut.trigger == trigger;
    });
    impl_->shortcuts.push_back(Impl::Shortcut{identifier, trigger, std::move(label)});
    impl_->scheduleBind();
    registration.ref = HotKeyRef{keyCode, modifiers, identifier};
    return registration;
}

}  // namespace pagemate::linux_backend
