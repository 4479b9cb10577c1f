#pragma once

#include <optional>
#include <string>

#include "platform/linux/GObjectPtr.h"
#include "platform/linux/GtkForward.h"

// GError, as GLib declares it.
using GError = struct _GError;  // NOLINT(bugprone-reserved-identifier)

namespace pagemate::linux_backend {

// A GDBus error's message without the remote error's name (which the message holds
// already); "unknown error" for none. Takes the error and frees it.
std::string takeErrorText(GError* error);

// The session bus's address: DBUS_SESSION_BUS_ADDRESS, else the socket in the user's
// runtime folder where the desktop's bus listens; nullopt when there is neither.
std::optional<std::string> sessionBusAddress();

// A connection of its own to the message bus at `address`, hello said; null with the
// reason in `why`. An "autolaunch:" address is not followed: it would start a bus.
GObjectPtr<GDBusConnection> connectToBus(const std::string& address, std::string& why);

}  // namespace pagemate::linux_backend
