#include "app/StatusMenu.h"

namespace pagemate::StatusMenu {

namespace {

MenuItem command(std::string title, std::function<void()> action, std::string key = {}) {
    return MenuItem{MenuItem::Kind::command, std::move(title), std::move(action), std::move(key),
                    true};
}

MenuItem disabled(std::string title) {
    return MenuItem{MenuItem::Kind::command, std::move(title), {}, {}, false};
}

}  // namespace

std::vector<MenuItem> build(const State& state, const Commands& commands) {
    return {
        command("快速输入（就地改写）", commands.toggleQuickBar),
        command("打开大窗口（对话建页面）", commands.toggleChatWindow),
        command("打开完整助手", commands.togglePanel),
        command("会议记录（本地转写）", commands.toggleMeeting),
        command(hotKeysHint, {}),  // shown enabled, does nothing
        command("读取当前 Notion 页面", commands.readContext),
        MenuItem::separator(),
        disabled("状态：" + state.statusLine),
        state.accessibilityTrusted
            ? disabled("✓ 辅助功能权限已授权")
            : command("⚠️ 授予辅助功能权限（插入/读取页面需要）…",
                      commands.grantPermission),
        command("打开权限设置…", commands.grantPermission),
        MenuItem::separator(),
        command("打开网页工作台", commands.openWebConsole),
        command("设置…", commands.openSettings, ","),
        command("查看日志", commands.openLogs),
        command("打开对话历史（Notion）", commands.openHistory),
        command("立即同步对话历史", commands.syncHistoryNow),
        command("打开录音文件夹", commands.openRecordings),
        MenuItem::separator(),
        MenuItem::separator(),
        command("提意见 / 反馈问题…", commands.openFeedback),
        command("退出", commands.quit, "q"),
    };
}

}  // namespace pagemate::StatusMenu
