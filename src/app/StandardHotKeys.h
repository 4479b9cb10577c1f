#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

#include "platform/HotKeys.h"

namespace pagemate {

// One of the program's four hot keys, and where its feature is in the status menu.
struct StandardHotKey {
    std::uint32_t id = 0;
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;
    std::string_view keys;      // as a Linux keyboard names them: "Alt+Space"
    std::string_view menuItem;  // the status menu's item for the same feature
    std::string_view name;      // the id a desktop that lists shortcuts keeps for it
};

inline constexpr std::uint32_t kOptionShift = HotKeyModifier::option | HotKeyModifier::shift;

// In the order of registration.
inline constexpr std::array<StandardHotKey, 4> kStandardHotKeys = {{
    {1, HotKeyCode::space, HotKeyModifier::option, "Alt+Space", "快速输入（就地改写）",
     "quick-bar"},
    {2, HotKeyCode::space, kOptionShift, "Alt+Shift+Space", "打开完整助手", "panel"},
    {3, HotKeyCode::m, kOptionShift, "Alt+Shift+M", "会议记录（本地转写）", "meeting"},
    {4, HotKeyCode::c, kOptionShift, "Alt+Shift+C", "打开大窗口（对话建页面）", "chat"},
}};

// What the four hot keys do, each called on the main thread.
struct StandardHotKeyActions {
    std::function<void()> quickBar;    // id 1
    std::function<void()> panel;       // id 2
    std::function<void()> meeting;     // id 3
    std::function<void()> chatWindow;  // id 4
};

// Registers the four hot keys through HotKeyManager::shared(), in the order above, each
// labelled with its name and menu item for desktops that list shortcuts. When any could
// not be registered, or a desktop that binds shortcuts itself (the portal) left some
// unbound, the user is told once, in one desktop notification, which combinations do
// not work and which status menu items reach their features; the log names what the
// desktop bound. Called once, at start-up, on the main thread.
void registerStandardHotKeys(StandardHotKeyActions actions);

}  // namespace pagemate
