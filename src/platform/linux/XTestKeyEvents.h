#pragma once

#include "platform/KeyEvents.h"
#include "platform/linux/X11Display.h"

namespace pagemate::linux_backend {

// Keystrokes through the XTest extension, as if typed: they reach the window that has
// the keyboard focus. The Command flag becomes Control, the keys L, C and V their
// keysyms, so Notion's Linux shortcuts (Control-L/C/V) are what arrives.
class XTestKeyEvents final : public KeyEvents {
  public:
    XTestKeyEvents();
    [[nodiscard]] bool canPost() override { return available_; }
    void post(std::uint16_t virtualKey, bool keyDown, std::uint64_t flags) override;

  private:
    X11Connection display_;
    bool available_ = false;
};

}  // namespace pagemate::linux_backend
