#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pagemate {

// What kind of desktop session the program runs in, told by its environment before the
// display is opened. The program speaks X11: in a Wayland session with an X server
// beside the compositor (XWayland) its windows open there, so that placement, keep-above,
// activation, the X11 clipboard and XTest reach Notion (an XWayland client) as on X11.
struct DesktopSession {
    // What tells that the session is a Wayland one ("XDG_SESSION_TYPE=wayland", or
    // "WAYLAND_DISPLAY=wayland-0"); nullopt when it is not.
    std::optional<std::string> wayland;
    // $DISPLAY when set: the X server, which in a Wayland session is XWayland.
    std::optional<std::string> xDisplay;

    // The session of this process's environment. Read at start-up, before other threads.
    static DesktopSession fromEnvironment();

    // The toolkit backend to allow before the display is opened: X11 in a Wayland
    // session with XWayland; nullopt leaves the toolkit's own order (the Wayland backend
    // in a Wayland session without XWayland, X11 elsewhere).
    [[nodiscard]] std::optional<std::string_view> toolkitBackend() const;
};

// Where global hot keys come from.
enum class HotKeyBackend {
    x11Grabs,         // key grabs on the X root window: an X11 session
    shortcutsPortal,  // the desktop's GlobalShortcuts portal: a Wayland session that has it
    none,             // neither: the unavailable hot keys, which say why
};

// The backend for a session. In a Wayland session X11 grabs on XWayland would only see
// keys typed into X11 windows, so only the portal serves there; it counts when it offers
// its interface (a version of 1 or more). Elsewhere a display that opened gets X11 grabs.
HotKeyBackend chooseHotKeyBackend(const DesktopSession& session, bool displayOpened,
                                  std::optional<std::uint32_t> shortcutsPortalVersion);

}  // namespace pagemate
