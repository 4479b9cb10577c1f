#include "notion/NotionContextReader.h"

#include <array>
#include <cctype>

#include "base/AppLog.h"
#include "platform/Platform.h"
#include "support/Text.h"
#include "support/Utf8.h"

namespace pagemate::NotionContextReader {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kPollSlice{20};
constexpr milliseconds kKeyPause{20};
constexpr milliseconds kReadTimeout{700};
constexpr std::size_t kIdLength = 32;

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

// The first run of 32 hexadecimal digits, as a regular-expression search finds it.
std::optional<std::string_view> firstPageId(std::string_view text) {
    std::size_t run = 0;
    for (std::size_t index = 0; index < text.size(); ++index) {
        run = isHex(text[index]) ? run + 1 : 0;
        if (run == kIdLength) {
            return text.substr(index + 1 - kIdLength, kIdLength);
        }
    }
    return std::nullopt;
}

// Trims hyphens, en and em dashes and spaces from both ends.
std::string_view trimDashes(std::string_view text) {
    constexpr std::array<std::string_view, 4> kTrimmed = {"-", "\u2013", "\u2014", " "};
    for (bool changed = true; changed && !text.empty();) {
        changed = false;
        for (std::string_view piece : kTrimmed) {
            if (text.starts_with(piece)) {
                text.remove_prefix(piece.size());
                changed = true;
            }
            if (text.ends_with(piece)) {
                text.remove_suffix(piece.size());
                changed = true;
            }
        }
    }
    return text;
}

// Undoes percent-encoding; nullopt for a bad escape or bytes that are not UTF-8.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '%') {
            decoded += text[index];
            continue;
        }
        if (index + 2 >= text.size() || !isHex(text[index + 1]) || !isHex(text[index + 2])) {
            return std::nullopt;
        }
        decoded += static_cast<char>(hexValue(text[index + 1]) * 16 + hexValue(text[index + 2]));
        index += 2;
    }
    if (!isValidUtf8(decoded)) {
        return std::nullopt;
    }
    return decoded;
}

}  // namespace

std::optional<std::string> guardedCopy(std::uint16_t virtualKey, milliseconds timeout,
                                       CopyWait wait) {
    Platform& platform = Platform::current();
    Pasteboard& pasteboard = *platform.pasteboard;
    MainQueue& queue = *platform.mainQueue;
    const std::vector<PasteboardItem> saved = savePasteboard(pasteboard);
    const long before = pasteboard.changeCount();

    postCommandKey(virtualKey, kKeyPause);

    const auto deadline = queue.now() + timeout;
    while (queue.now() < deadline) {
        if (pasteboard.changeCount() != before) {
            std::optional<std::string> copied = pasteboard.string();
            restorePasteboard(pasteboard, saved);
            return copied;
        }
        if (wait == CopyWait::change) {
            queue.runFor(kPollSlice, [&] { return pasteboard.changeCount() != before; });
        } else {
            queue.runFor(kPollSlice);
        }
    }
    restorePasteboard(pasteboard, saved);
    return std::nullopt;
}

namespace {

std::optional<std::string> copyLinkViaShortcut(std::uint16_t virtualKey, milliseconds timeout) {
    return guardedCopy(virtualKey, timeout, CopyWait::change);
}

std::string trustLogLine(const TrustStatus& status) {
    std::string why;
    switch (status.reason) {
        case UntrustedReason::none:
            return "辅助功能：已可用";
        case UntrustedReason::noSessionBus:
            why = "没有 D-Bus 会话总线";
            break;
        case UntrustedReason::noAccessibilityBus:
            why = "没有 AT-SPI 辅助功能总线";
            break;
        case UntrustedReason::noKeystrokes:
            why = "不能发送按键，没有 XTest";
            break;
    }
    if (!status.detail.empty()) {
        why += "：" + status.detail;
    }
    return "辅助功能：不可用（" + why + "），暂时读不到也写不进 Notion";
}

}  // namespace

bool isTrusted() {
    Platform& platform = Platform::current();
    const TrustStatus status = platform.accessibility->trustStatus();
    if (platform.loggedAccessibility != status.reason) {
        // The first answer is worth a line only when it is a refusal.
        if (!status.trusted() || platform.loggedAccessibility) {
            AppLog::write(trustLogLine(status));
        }
        platform.loggedAccessibility = status.reason;
    }
    return status.trusted();
}

void requestPermission() {
    Platform::current().accessibility->requestPermission();
}

std::optional<RunningApplication> frontmostNotion() {
    std::optional<RunningApplication> frontmost =
        Platform::current().workspace->frontmostApplication();
    if (frontmost && frontmost->bundleIdentifier == notionBundleID) {
        return frontmost;
    }
    return std::nullopt;
}

NotionContext read(bool includeSelection, const std::optional<RunningApplication>& fallbackApp) {
    NotionContext context;
    std::optional<RunningApplication> target = frontmostNotion();
    // Shortcuts go to whatever application has the keyboard: only Notion may get them
    // (Control-L in a browser or an editor does something else entirely).
    const bool notionHasKeyboard = target.has_value();
    if (!target) {
        target = fallbackApp;
    }
    if (!target) {
        return context;
    }
    if (const auto title = windowTitle(target->pid); title && !title->empty()) {
        context.pageTitle = cleanTitle(*title);
    }
    if (notionHasKeyboard && isTrusted()) {
        // The link first: each capture has put the pasteboard back before the next.
        if (const auto link = copyLinkViaShortcut(keyL, kReadTimeout)) {
            if (const auto parsed = parseNotionURL(*link)) {
                context.pageId = parsed->id;
                context.pageUrl = parsed->url;
                if (!parsed->title.empty()) {
                    context.pageTitle = parsed->title;
                }
                context.source = "link";
            }
        }
        if (includeSelection) {
            // An address is a copied link, not a selection; the test comes before trimming.
            if (const auto selection = copyLinkViaShortcut(keyC, kReadTimeout);
                selection && !selection->starts_with("http")) {
                context.selectedText = std::string(trimWhitespace(*selection));
            }
        }
        if (context.source == "link") {
            return context;
        }
    }
    context.source = context.pageTitle.empty() ? "" : "windowTitle";
    return context;
}

std::optional<std::string> windowTitle(int pid) {
    const Platform& platform = Platform::current();
    if (std::optional<std::string> title = platform.accessibility->focusedWindowTitle(pid);
        title && !title->empty()) {
        return title;
    }
    // Electron and Chromium show nothing to the accessibility interface until the
    // desktop's assistive-technologies switch is on, the usual case on a fresh desktop;
    // the window system knows the title all the same.
    return platform.workspace->windowTitle(pid);
}

std::string cleanTitle(std::string_view title) {
    constexpr std::array<std::string_view, 4> kSuffixes = {" \u2013 Notion", " - Notion",
                                                           " \u2014 Notion", " \u2013 Notion.so"};
    for (std::string_view suffix : kSuffixes) {
        if (title.ends_with(suffix)) {
            title.remove_suffix(suffix.size());
        }
    }
    return std::string(trimWhitespace(title));
}

std::optional<ParsedNotionURL> parseNotionURL(std::string_view text) {
    const std::string_view trimmed = trimWhitespace(text);
    const std::optional<std::string_view> rawId = firstPageId(trimmed);
    if (!rawId) {
        return std::nullopt;
    }
    std::string title;
    if (const std::size_t slash = trimmed.rfind('/'); slash != std::string_view::npos) {
        std::string_view tail = trimmed.substr(slash + 1);
        if (const std::size_t at = tail.find(*rawId); at != std::string_view::npos) {
            tail = tail.substr(0, at);
        }
        std::string spaced(trimDashes(tail));
        for (char& c : spaced) {
            if (c == '-') {
                c = ' ';
            }
        }
        title = percentDecoded(spaced).value_or(spaced);
    }
    std::string url = trimmed.starts_with("http")
                          ? std::string(trimmed)
                          : std::string(notionWebOrigin) + "/" + std::string(*rawId);
    return ParsedNotionURL{dash(*rawId), std::move(url), std::move(title)};
}

std::string dash(std::string_view id) {
    if (id.size() != kIdLength) {
        return std::string(id);
    }
    std::string dashed;
    dashed.reserve(kIdLength + 4);
    dashed.append(id.substr(0, 8)).append("-");
    dashed.append(id.substr(8, 4)).append("-");
    dashed.append(id.substr(12, 4)).append("-");
    dashed.append(id.substr(16, 4)).append("-");
    dashed.append(id.substr(20));
    return dashed;
}

std::optional<std::string> captureLink(milliseconds timeout) {
    if (!isTrusted()) {
        return std::nullopt;
    }
    return copyLinkViaShortcut(keyL, timeout);
}

std::string captureSelection(milliseconds timeout) {
    if (!isTrusted()) {
        return "";
    }
    const std::optional<std::string> copied = copyLinkViaShortcut(keyC, timeout);
    if (!copied || copied->starts_with("http")) {
        return "";
    }
    return std::string(trimWhitespace(*copied));
}

std::string readSelectionFromFrontmost() {
    return captureSelection(milliseconds(500));
}

std::vector<PasteboardItem> savePasteboard(Pasteboard& pasteboard) {
    std::vector<PasteboardItem> items;
    const std::size_t count = pasteboard.itemCount();
    items.reserve(count);
    for (std::size_t item = 0; item < count; ++item) {
        PasteboardItem entry;
        for (const std::string& type : pasteboard.types(item)) {
            if (std::optional<std::string> bytes = pasteboard.data(item, type)) {
                entry.emplace(type, std::move(*bytes));
            }
        }
        items.push_back(std::move(entry));  // kept even when it has no data
    }
    return items;
}

void restorePasteboard(Pasteboard& pasteboard, const std::vector<PasteboardItem>& items) {
    pasteboard.clearContents();
    if (!items.empty()) {
        pasteboard.writeItems(items);
    }
}

void postCommandKey(std::uint16_t virtualKey, milliseconds pause) {
    Platform& platform = Platform::current();
    KeyEvents& keys = *platform.keyEvents;
    if (!keys.canPost()) {
        return;
    }
    keys.post(virtualKey, true, KeyEvents::commandFlag);
    platform.mainQueue->sleepFor(pause);
    keys.post(virtualKey, false, KeyEvents::commandFlag);
}

}  // namespace pagemate::NotionContextReader
