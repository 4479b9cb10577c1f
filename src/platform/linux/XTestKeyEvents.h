#pragma once

#include <memory>

#include "platform/KeyEvents.h"

namespace pagemate::linux_backend {

// Keystrokes through the XTest extension, as if typed: they reach the window that has
// the keyboard focus. The Command flag becomes Control, the keys L, C and V their
// keysyms, so Notion's Linux shortcuts (Control-L/C/V) are what arrives. XTest events
// join the keyboard state the X server already has, so the modifier keys the user
// holds are released through XTest too for the keystroke, and pressed back after it
// (the keyboard state is read from the server at each key-down). Without an X display
// or the XTest extension, canPost() is false and nothing is sent.
class XTestKeyEvents final : public KeyEvents {
  public:
    XTestKeyEvents();
    XTestKeyEvents(const XTestKeyEvents&) = delete;
    XTestKeyEvents& operator=(const XTestKeyEvents&) = delete;
    // Presses back whatever a keystroke left lifted.
    ~XTestKeyEvents() override;

    [[nodiscard]] bool canPost() override;
    void post(std::uint16_t virtualKey, bool keyDown, std::uint64_t flags) override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
