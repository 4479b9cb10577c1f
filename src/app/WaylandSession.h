#pragma once

#include <string>
#include <vector>

#include "platform/DesktopSession.h"

namespace pagemate {

// What a Wayland session means for the program, said once at start-up. The program
// talks X11: its windows go to XWayland when there is one (so they keep their places,
// stay above and are activated as on X11), and its keystrokes into Notion (XTest), the
// X11 clipboard and window activation reach only XWayland windows, so Notion has to run
// under XWayland. The hot keys come from the desktop's GlobalShortcuts portal when it
// has one; otherwise the user binds the desktop's own shortcuts to the action options.
namespace WaylandSession {

// Where the program ended up in a Wayland session.
struct Outcome {
    bool windowsOnXWayland = false;  // the display opened is XWayland's
    bool portalHotKeys = false;      // the hot keys are the portal's
};

// The log lines for a session (none outside Wayland).
std::vector<std::string> noteLines(const DesktopSession& session, const Outcome& outcome);

// Writes the note into the log.
void logNote(const DesktopSession& session, const Outcome& outcome);

}  // namespace WaylandSession
}  // namespace pagemate
