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
};

inline constexpr std::uint32_t kOptionShift = HotKeyModifier::option | HotKeyModifier::shift;

// In the order of registration.
inline constexpr std::array<StandardHotKey, 4> kStandardHotKeys = {{
    {1, HotKeyCode::space, HotKeyModifier::option, "Alt+Space", "快速输入（就地改写）"},
    {2, HotKeyCode::space, kOptionShift, "Alt+Shift+Space", "打开完整助手"},
    {3, HotKeyCode::m, kOptionShift, "Alt+Shift+M", "会议记录（本地转写）"},
    {4, HotKeyCode::c, kOptionShift, "Alt+Shift+C", "打开大窗口（对话建页面）"},
}};

// What the four hot keys do, each called on the main thread.
struct StandardHotKeyActions {
    std::function<void()> quickBar;    // id 1
    std::function<void()> panel;       // id 2
    std::function<void()> meeting;     // id 3
    std::function<void()> chatWindow;  // id 4
};

// Registers the four hot keys through HotKeyManager::shared(), in the order above. When
// any could not be registered, the user is told once, in one desktop notification,
// which combinations do not work and which status menu items reach their features.
// Called once, at start-up, on the main thread.
void registerStandardHotKeys(StandardHotKeyActions actions);

}  // namespace pagemate
