#pragma once

#include <cstdint>

namespace pagemate {

// Synthetic keystrokes delivered to the frontmost application. Key codes and the
// modifier mask are the program's own (the ANSI layout's virtual key codes, the
// Command flag 0x100000); backends map them to their keyboard.
class KeyEvents {
  public:
    static constexpr std::uint64_t commandFlag = 0x100000;

    virtual ~KeyEvents() = default;

    // Whether keystrokes can be posted at all (an event source can be made).
    [[nodiscard]] virtual bool canPost() = 0;
    virtual void post(std::uint16_t virtualKey, bool keyDown, std::uint64_t flags) = 0;
};

}  // namespace pagemate
