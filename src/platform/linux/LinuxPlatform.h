#pragma once

#include <functional>
#include <memory>

#include "platform/Platform.h"

namespace pagemate::linux_backend {

// Opens the display for GTK when there is one; GTK takes its own options out of the
// arguments. False without a display: the program then runs without windows.
bool openDisplay(int& argc, char**& argv);

// The platform of a Linux desktop session: GLib's loop, the JSON preferences file,
// the Secret Service, libcurl, the X11 clipboard, XTest, EWMH and AT-SPI, GTK windows
// with WebKitGTK views. Without a display the window system is the unavailable one.
std::unique_ptr<Platform> makeLinuxPlatform(bool hasDisplay = true);

// Runs `handler` on the main loop whenever SIGINT or SIGTERM arrives.
void onTerminationSignal(const std::function<void()>& handler);

}  // namespace pagemate::linux_backend
