#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/StatusItem.h"

namespace pagemate::StatusMenu {

// What the menu shows of the moment it is built.
struct State {
    std::string statusLine;
    bool accessibilityTrusted = false;
};

// The commands behind the items; each runs on the main thread when chosen.
struct Commands {
    std::function<void()> toggleQuickBar;
    std::function<void()> toggleChatWindow;
    std::function<void()> togglePanel;
    std::function<void()> toggleMeeting;
    std::function<void()> readContext;
    std::function<void()> grantPermission;
    std::function<void()> openWebConsole;
    std::function<void()> openSettings;
    std::function<void()> openLogs;
    std::function<void()> openHistory;
    std::function<void()> syncHistoryNow;
    std::function<void()> openRecordings;
    std::function<void()> openFeedback;
    std::function<void()> quit;
};

// The keys as a Linux keyboard names them (⌥ and ⇧ are a Mac's).
inline constexpr const char* hotKeysHint =
    "快捷键：Alt+Space 快速输入 · Alt+Shift+Space 面板 · Alt+Shift+C 大窗口 · Alt+Shift+M 会议";

// The 21 items of the status menu, in order.
std::vector<MenuItem> build(const State& state, const Commands& commands);

}  // namespace pagemate::StatusMenu
