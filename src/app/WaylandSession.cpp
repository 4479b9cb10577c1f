#include "app/WaylandSession.h"

#include <cstdlib>
#include <string_view>

#include "base/AppLog.h"

namespace pagemate::WaylandSession {

namespace {

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
    if (text.size() != lowerCase.size()) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char letter = text[index];
        const char lower =
            letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
        if (lower != lowerCase[index]) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> evidence() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read at start-up, before other threads
    if (const char* type = std::getenv("XDG_SESSION_TYPE");
        type != nullptr && equalsIgnoringCase(type, "wayland")) {
        return "XDG_SESSION_TYPE=" + std::string(type);
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read at start-up, before other threads
    if (const char* display = std::getenv("WAYLAND_DISPLAY");
        display != nullptr && *display != '\0') {
        return "WAYLAND_DISPLAY=" + std::string(display);
    }
    return std::nullopt;
}

std::vector<std::string> noteLines(const std::string& evidence) {
    return {
        "Wayland 会话（" + evidence +
            "）：以下功能只对 XWayland 窗口有效——全局热键（X11 抓键只收到 X11 "
            "窗口里的按键，本次不注册）、向 Notion 发送 Ctrl+L/C/V（XTest）、X11 "
            "剪贴板和窗口激活；Notion 须以 XWayland 运行",
        "Wayland 会话：请在桌面设置的自定义快捷键里绑定这些命令代替热键：pagemate "
        "--quick-bar（快速输入条）、pagemate --panel（完整助手）、pagemate "
        "--chat（大窗口）、pagemate --meeting（会议记录）",
    };
}

void logNote() {
    if (const std::optional<std::string> session = evidence()) {
        for (const std::string& line : noteLines(*session)) {
            AppLog::write(line);
        }
    }
}

}  // namespace pagemate::WaylandSession
