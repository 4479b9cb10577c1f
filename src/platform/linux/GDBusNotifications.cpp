#include "platform/linux/GDBusNotifications.h"

#include <gio/gio.h>

#include <string>

#include "platform/UnavailableNotifications.h"
#include "platform/linux/GDBusConnections.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

// Notification servers answer at once; a bus that stalls longer is not coming.
constexpr int kCallTimeoutMs = 10000;

// One notification on its way, owned by the callback that runs next.
struct Request {
    Notification notification;
    Notifications::Completion completion;
    GObjectPtr<GCancellable> cancellable;  // the backend's: cancelled when it goes

    // False once the backend is gone: nothing more is done or answered.
    [[nodiscard]] bool wanted() const {
        return g_cancellable_is_cancelled(cancellable.get()) == FALSE;
    }
    void answer(bool shown, std::string detail) const {
        if (completion) {
            completion(Notifications::Result{shown, std::move(detail)});
        }
    }
};

void onReply(GObject* source, GAsyncResult* result, gpointer data) {
    const std::unique_ptr<Request> request(static_cast<Request*>(data));
    GError* rawError = nullptr;
    const GVariantPtr reply(
        g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &rawError));
    GErrorPtr error(rawError);
    if (!request->wanted()) {
        return;
    }
    if (!reply) {
        request->answer(false, takeErrorText(error.release()));
        return;
    }
    request->answer(true, {});
}

void onBus(GObject* /*source*/, GAsyncResult* result, gpointer data) {
    std::unique_ptr<Request> request(static_cast<Request*>(data));
    GError* rawError = nullptr;
    const GObjectPtr<GDBusConnection> bus(g_bus_get_finish(result, &rawError));
    GErrorPtr error(rawError);
    if (!request->wanted()) {
        return;
    }
    if (!bus) {
        request->answer(false, takeErrorText(error.release()));
        return;
    }
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    const Notification& notice = request->notification;
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    // (-1: the server's default).
    GVariant* parameters =
        g_variant_new("(susssasa{sv}i)", notice.appName.c_str(), 0U, notice.iconName.c_str(),
                      notice.summary.c_str(), notice.body.c_str(), &actions, &hints, -1);
    GCancellable* cancellable = request->cancellable.get();
    g_dbus_connection_call(bus.get(), "org.freedesktop.Notifications",
                           "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                           "Notify", parameters, G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
                           kCallTimeoutMs, cancellable, &onReply, request.release());
}

}  // namespace

struct GDBusNotifications::Impl {
    GObjectPtr<GCancellable> cancellable{g_cancellable_new()};
};

std::unique_ptr<Notifications> GDBusNotifications::connect(MainQueue& queue) {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address == nullptr || *address == '\0') {
        return std::make_unique<UnavailableNotifications>(queue, Availability::noSessionBus,
                                                          "DBUS_SESSION_BUS_ADDRESS is not set");
    }
    return std::make_unique<GDBusNotifications>();
}

GDBusNotifications::GDBusNotifications() : impl_(std::make_unique<Impl>()) {}

GDBusNotifications::~GDBusNotifications() {
    g_cancellable_cancel(impl_->cancellable.get());
}

void GDBusNotifications::notify(const Notification& notification, Completion completion) {
    GCancellable* cancellable = impl_->cancellable.get();
    auto request = std::make_unique<Request>(
        Request{notification, std::move(completion),
                GObjectPtr<GCancellable>(G_CANCELLABLE(g_object_ref(cancellable)))});
    g_bus_get(G_BUS_TYPE_SESSION, cancellable, &onBus, request.release());
}

}  // namespace pagemate::linux_backend
