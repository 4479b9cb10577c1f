#include "platform/linux/GDBusConnections.h"

#include <gio/gio.h>

#include <filesystem>
#include <system_error>

namespace pagemate::linux_backend {

std::string takeErrorText(GError* raw) {
    const GErrorPtr error(raw);
    if (!error) {
        return "unknown error";
    }
    g_dbus_error_strip_remote_error(error.get());
    return error->message;
}

std::optional<std::string> sessionBusAddress() {
    if (const char* variable = g_getenv("DBUS_SESSION_BUS_ADDRESS");
        variable != nullptr && *variable != '\0') {
        return std::string(variable);
    }
    std::error_code ignored;
    const std::filesystem::path socket = std::filesystem::path(g_get_user_runtime_dir()) / "bus";
    if (std::filesystem::is_socket(socket, ignored)) {
        return "unix:path=" + socket.string();
    }
    return std::nullopt;
}

GObjectPtr<GDBusConnection> connectToBus(const std::string& address, std::string& why) {
    if (address.find("autolaunch:") != std::string::npos) {
        why = "an autolaunch: address is not followed";
        return nullptr;
    }
    GError* error = nullptr;
    GObjectPtr<GDBusConnection> bus(g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error));
    if (!bus) {
        why = takeErrorText(error);
    }
    return bus;
}

}  // namespace pagemate::linux_backend
