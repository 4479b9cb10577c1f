#include "notion/TextInsertion.h"

#include "base/AppLog.h"
#include "notion/NotionContextReader.h"
#include "platform/Platform.h"

namespace pagemate::TextInsertion {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kActivationTimeout{2000};
constexpr milliseconds kActivationPoll{50};
constexpr milliseconds kBeforePaste{150};
constexpr milliseconds kKeyPause{25};
constexpr milliseconds kRestoreDelay{800};
constexpr milliseconds kRetryPause{250};
constexpr int kAccessibilityAttempts = 3;

bool isFrontmost(const RunningApplication& application) {
    const std::optional<RunningApplication> frontmost =
        Platform::current().workspace->frontmostApplication();
    // Two absent identities count as the same; one absent and one present do not.
    const std::optional<std::string> frontmostIdentity =
        frontmost ? frontmost->bundleIdentifier : std::nullopt;
    return frontmost && frontmostIdentity == application.bundleIdentifier;
}

}  // namespace

InsertOutcome insert(std::string_view text, const RunningApplication& into) {
    if (text.empty()) {
        return InsertFailed{std::string(emptyTextMessage)};
    }
    if (!NotionContextReader::isTrusted()) {
        return InsertFailed{std::string(permissionMessage)};
    }
    const bool activated = activate(into, kActivationTimeout);
    AppLog::write("插入：切换到 " + (into.localizedName.empty() ? "Notion" : into.localizedName) +
                  " → " + (activated ? "成功" : "失败"));
    if (activated && pasteViaClipboard(text)) {
        AppLog::write("插入：已发送 ⌘V");
        return Inserted{"粘贴"};
    }
    for (int attempt = 1; attempt <= kAccessibilityAttempts; ++attempt) {
        if (insertViaAccessibility(text, into.pid)) {
            return Inserted{"辅助功能写入"};
        }
        if (attempt < kAccessibilityAttempts) {
            Platform::current().mainQueue->sleepFor(kRetryPause);
        }
    }
    return InsertFailed{std::string(activated ? pasteMessage : activationMessage)};
}

bool activate(const RunningApplication& application, milliseconds timeout) {
    if (isFrontmost(application)) {
        return true;
    }
    Platform& platform = Platform::current();
    platform.workspace->activate(application);
    MainQueue& queue = *platform.mainQueue;
    const auto deadline = queue.now() + timeout;
    while (queue.now() < deadline) {
        if (isFrontmost(application)) {
            return true;
        }
        queue.runFor(kActivationPoll);
    }
    return isFrontmost(application);
}

bool pasteViaClipboard(std::string_view text) {
    Platform& platform = Platform::current();
    MainQueue& queue = *platform.mainQueue;
    queue.sleepFor(kBeforePaste);
    Pasteboard& pasteboard = *platform.pasteboard;
    std::vector<PasteboardItem> saved = NotionContextReader::savePasteboard(pasteboard);
    pasteboard.clearContents();
    pasteboard.setString(text);
    const long written = pasteboard.changeCount();
    if (!platform.keyEvents->canPost()) {
        return false;  // the text stays on the pasteboard: nothing to restore after
    }
    NotionContextReader::postCommandKey(NotionContextReader::keyV, kKeyPause);
    queue.postAfter(kRestoreDelay, [&pasteboard, written, saved = std::move(saved)] {
        // Whatever was copied since the paste is the user's now and stays.
        if (pasteboard.changeCount() == written) {
            NotionContextReader::restorePasteboard(pasteboard, saved);
        }
    });
    return true;
}

bool insertViaAccessibility(std::string_view text, int pid) {
    Accessibility& accessibility = *Platform::current().accessibility;
    if (!accessibility.hasFocusedElement(pid)) {
        AppLog::write("AX 插入：拿不到焦点元素");
        return false;
    }
    if (accessibility.selectedTextSettable(pid) != true) {
        AppLog::write("AX 插入：焦点元素不允许写入选中文本（Notion 编辑器常见）");
        return false;
    }
    const int code = accessibility.setSelectedText(pid, text);
    AppLog::write("AX 插入：写入结果 " + std::to_string(code));
    return code == Accessibility::success;
}

nlohmann::json probeFocusedElement(int pid) {
    Accessibility& accessibility = *Platform::current().accessibility;
    if (!accessibility.hasFocusedElement(pid)) {
        return {{"focusedElement", "拿不到"}};
    }
    return {{"focusedElement", accessibility.focusedElementRole(pid).value_or("未知")},
            {"selectedTextSettable", accessibility.selectedTextSettable(pid).value_or(false)}};
}

}  // namespace pagemate::TextInsertion
