#include "app/WaylandSession.h"

#include "base/AppLog.h"

namespace pagemate::WaylandSession {

std::vector<std::string> noteLines(const DesktopSession& session, const Outcome& outcome) {
    if (!session.wayland) {
        return {};
    }
    const std::string& evidence = *session.wayland;
    std::vector<std::string> lines;
    if (!outcome.windowsOnXWayland) {
        lines.push_back("Wayland 会话（" + evidence +
                        "）：没有 XWayland（未设置 DISPLAY 或连不上），窗口由合成器摆放——不能出现"
                        "在鼠标附近、不能置顶或在所有工作区显示；向 Notion 发送 "
                        "Ctrl+L/C/V（XTest）、X11 剪贴板和窗口激活都不可用，读不到也写不进 "
                        "Notion");
    } else if (outcome.portalHotKeys) {
        lines.push_back("Wayland 会话（" + evidence +
                        "）：页伴的窗口在 XWayland（DISPLAY=" + session.xDisplay.value_or("") +
                        "）上，位置、置顶和激活照常；向 Notion 发送 Ctrl+L/C/V（XTest）、X11 "
                        "剪贴板和窗口激活只对 XWayland 窗口有效，Notion 须以 XWayland 运行");
    } else {
        // Without the portal the note is the one users of such desktops know already.
        lines.push_back("Wayland 会话（" + evidence +
                        "）：以下功能只对 XWayland 窗口有效——全局热键（X11 抓键只收到 X11 "
                        "窗口里的按键，本次不注册）、向 Notion 发送 Ctrl+L/C/V（XTest）、X11 "
                        "剪贴板和窗口激活；Notion 须以 XWayland 运行");
    }
    if (outcome.portalHotKeys) {
        lines.push_back(
            "Wayland 会话：全局热键由桌面的 GlobalShortcuts 门户绑定（Alt+Space 等只是建议，"
            "桌面可以改动或不绑定）");
    } else {
        lines.push_back(
            "Wayland 会话：请在桌面设置的自定义快捷键里绑定这些命令代替热键：pagemate "
            "--quick-bar（快速输入条）、pagemate --panel（完整助手）、pagemate "
            "--chat（大窗口）、pagemate --meeting（会议记录）");
    }
    return lines;
}

void logNote(const DesktopSession& session, const Outcome& outcome) {
    for (const std::string& line : noteLines(session, outcome)) {
        AppLog::write(line);
    }
}

}  // namespace pagemate::WaylandSession
