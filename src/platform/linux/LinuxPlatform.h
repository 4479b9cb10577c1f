#pragma once

#include <memory>

#include "platform/Platform.h"

namespace pagemate::linux_backend {

// The platform of a Linux desktop session: GLib's loop, the JSON preferences file,
// the Secret Service, libcurl, GTK dialogs and the desktop's URL handlers.
std::unique_ptr<Platform> makeLinuxPlatform();

}  // namespace pagemate::linux_backend
