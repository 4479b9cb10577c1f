#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "notion/NotionContext.h"
#include "platform/Pasteboard.h"
#include "platform/Workspace.h"

namespace pagemate::NotionContextReader {

// The identity every "is this Notion?" test compares with, exactly.
inline constexpr std::string_view notionBundleID = "notion.id";
// Addresses built from a bare page id start here.
inline constexpr std::string_view notionWebOrigin = "https://www.notion.so";

// Virtual key codes of the ANSI layout: copy link (L), copy (C), paste (V).
inline constexpr std::uint16_t keyL = 37;
inline constexpr std::uint16_t keyC = 8;
inline constexpr std::uint16_t keyV = 9;

struct ParsedNotionURL {
    std::string id;  // dashed
    std::string url;
    std::string title;
    bool operator==(const ParsedNotionURL&) const = default;
};

// Whether Notion may be read and written now. Every caller goes through here: the log
// says why not once, when the reason changes (and once when it is gone).
bool isTrusted();
void requestPermission();
std::optional<RunningApplication> frontmostNotion();

// Everything that can be learnt of the current page; see the notes in the source.
NotionContext read(bool includeSelection, const std::optional<RunningApplication>& fallbackApp);

// The title of the application's focused window from the accessibility interface, else
// the one the window system shows for it.
std::optional<std::string> windowTitle(int pid);
std::string cleanTitle(std::string_view title);
std::optional<ParsedNotionURL> parseNotionURL(std::string_view text);
std::string dash(std::string_view id);

std::optional<std::string> captureLink(
    std::chrono::milliseconds timeout = std::chrono::milliseconds(500));
std::string captureSelection(std::chrono::milliseconds timeout);
std::string readSelectionFromFrontmost();

std::vector<PasteboardItem> savePasteboard(Pasteboard& pasteboard);
void restorePasteboard(Pasteboard& pasteboard, const std::vector<PasteboardItem>& items);

// How a guarded copy waits for the pasteboard: on its own 20 ms polls, or also ending
// as soon as the platform reports the change (the clipboard owner-change event), which
// saves up to one poll per capture.
enum class CopyWait { poll, change };
// One guarded copy: the keystroke, the wait for the pasteboard to change, and the
// user's pasteboard put back on every way out. The operations above use CopyWait::change.
std::optional<std::string> guardedCopy(std::uint16_t virtualKey, std::chrono::milliseconds timeout,
                                       CopyWait wait);

// Posts one Command-key stroke: key-down, a 20 ms pause, key-up (nothing when no
// keystroke can be posted). Shared with text insertion, which pauses 25 ms.
void postCommandKey(std::uint16_t virtualKey, std::chrono::milliseconds pause);

}  // namespace pagemate::NotionContextReader
