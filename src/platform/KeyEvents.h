#pragma once

#include <cstdint>

namespace pagemate {

// Synthetic keystrokes delivered to the frontmost application. Key codes and the
// modifier mask are the program's own (the ANSI layout's virtual key codes, the
// Command flag 0x100000); backends map them to their keyboard.
//
// A keystroke is one key-down call and the key-up call of the same key after it. It
// reaches the application with exactly the modifiers of `flags`, whatever the user is
// holding: the user who called the program with a hot key such as Alt+Space often
// still holds Alt, and Control-Alt-C is not "copy". Modifier keys held down (Shift,
// Alt, Super, AltGr …) are lifted at the key-down for the keystroke's duration and
// pressed back after the key-up; a held modifier the keystroke wants stays as it is,
// and lock keys (Caps Lock, Num Lock) are left alone, since pressing them back would
// toggle them. One keystroke at a time; calls come from the main thread.
class KeyEvents {
  public:
    static constexpr std::uint64_t commandFlag = 0x100000;

    virtual ~KeyEvents() = default;

    // Whether keystrokes can be posted at all (an event source can be made). Without
    // one, post() does nothing.
    [[nodiscard]] virtual bool canPost() = 0;
    virtual void post(std::uint16_t virtualKey, bool keyDown, std::uint64_t flags) = 0;
};

}  // namespace pagemate
