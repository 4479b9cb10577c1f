#pragma once

#include <functional>
#include <memory>

#include "platform/DesktopSession.h"
#include "platform/Platform.h"

namespace pagemate::linux_backend {

// Opens the display for GTK when there is one, on the toolkit backend the session asks
// for (X11 on XWayland in a Wayland session); GTK takes its own options out of the
// arguments. None without a display: the program then runs without windows.
enum class OpenedDisplay { none, x11, other };
OpenedDisplay openDisplay(int& argc, char**& argv,
                          const DesktopSession& session = DesktopSession::fromEnvironment());

// The platform of a Linux desktop session: GLib's loop, the JSON preferences file,
// the Secret Service, libcurl, the X11 clipboard, XTest, EWMH and AT-SPI, GTK windows
// with WebKitGTK views. Without a display the window system is the unavailable one.
// Hot keys: X11 grabs, the desktop's GlobalShortcuts portal in a Wayland session that
// has it (asked here, for up to PortalGlobalShortcuts::probeTimeout), or none.
std::unique_ptr<Platform> makeLinuxPlatform(
    bool hasDisplay = true, const DesktopSession& session = DesktopSession::fromEnvironment());

// Runs `handler` on the main loop whenever SIGINT or SIGTERM arrives.
void onTerminationSignal(const std::function<void()>& handler);

}  // namespace pagemate::linux_backend
