#pragma once

#include <optional>
#include <string>
#include <vector>

namespace pagemate {

// What a Wayland session means for the program, said once at start-up. The program
// talks X11: under Wayland its global hot keys, its keystrokes into Notion (XTest), the
// X11 clipboard and window activation reach only XWayland windows, so the user binds the
// desktop's own shortcuts to the program's action options instead.
namespace WaylandSession {

// What tells that the session is a Wayland one ("XDG_SESSION_TYPE=wayland", or
// "WAYLAND_DISPLAY=wayland-0"), from the environment; nullopt when it is not.
std::optional<std::string> evidence();

// The log lines for a session that `evidence` names.
std::vector<std::string> noteLines(const std::string& evidence);

// Writes the note into the log when the session is a Wayland one.
void logNote();

}  // namespace WaylandSession
}  // namespace pagemate
