#pragma once

#include <memory>

#include "platform/Platform.h"

namespace pagemate::linux_backend {

// The platform of a Linux desktop session: GLib's loop, the JSON preferences file,
// the Secret Service, libcurl, GTK dialogs and the desktop's URL handlers.
// Without a display there are no windows: `windows` stays empty.
std::unique_ptr<Platform> makeLinuxPlatform(bool hasDisplay = true);

}  // namespace pagemate::linux_backend
