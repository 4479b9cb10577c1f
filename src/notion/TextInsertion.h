#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>

#include "platform/Workspace.h"

namespace pagemate {

// The road that put the text in: "粘贴" or "辅助功能写入".
struct Inserted {
    std::string road;
    bool operator==(const Inserted&) const = default;
};
// Why nothing was inserted, worded for the user.
struct InsertFailed {
    std::string message;
    bool operator==(const InsertFailed&) const = default;
};
using InsertOutcome = std::variant<Inserted, InsertFailed>;

namespace TextInsertion {

inline constexpr std::string_view emptyTextMessage = "没有可插入的内容";
inline constexpr std::string_view permissionMessage =
    "缺少「辅助功能」权限。请到 系统设置 → 隐私与安全性 → 辅助功能 里勾选「页伴」，然后重启助手。";
inline constexpr std::string_view activationMessage =
    "无法把 Notion 切到前台。请先手动点一下 Notion 窗口再重试。";
inline constexpr std::string_view pasteMessage =
    "粘贴没有生效。请先在 Notion 正文里点一下，让光标出现，再重试。";

// Writes the text at the application's cursor: paste first, accessibility write second.
InsertOutcome insert(std::string_view text, const RunningApplication& into);
// Brings the application to the front and waits until it is frontmost.
bool activate(const RunningApplication& application,
              std::chrono::milliseconds timeout = std::chrono::seconds(2));
// True when Command-V was sent; the user's pasteboard comes back 0.8 s later unless
// something else has changed it meanwhile.
bool pasteViaClipboard(std::string_view text);
bool insertViaAccessibility(std::string_view text, int pid);
// What the focused element is and allows, for the self-tests.
nlohmann::json probeFocusedElement(int pid);

}  // namespace TextInsertion
}  // namespace pagemate
