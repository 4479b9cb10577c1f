#pragma once

#include <chrono>
#include <memory>

#include "platform/HotKeys.h"

namespace pagemate::linux_backend {

// Hot keys as passive key grabs on the X root window, through an X connection of their
// own, read by a GLib source on the default main context. Each combination is grabbed
// together with every mix of the lock modifiers (Caps Lock, and the modifiers Num Lock
// and Scroll Lock sit on), so a press counts whatever locks are on. Option is Alt
// (Mod1), Shift is Shift, Command is Super (Mod4), Control is Control; the key codes
// of Space, M and C are the keys with those keysyms. A combination another X client
// holds is `taken`, with X's error code (BadAccess) as the status. Closing the
// connection, when this goes, ends every grab.
//
// While the key that set off a grab is down, X hands the whole keyboard to the grabbing
// connection: keystrokes sent to Notion then would come back here. So a press reaches
// the handler when its key is released (the server ends the grab with that release), or,
// when the key is held longer than `releaseBound`, after the grab has been let go of.
class X11HotKeys final : public HotKeys {
  public:
    // How long a held hot key keeps its action waiting; a person's press lasts 50-400 ms.
    static constexpr std::chrono::milliseconds releaseBound{1000};

    // The hot keys of the display named by $DISPLAY; the unavailable ones (noDisplay)
    // when it cannot be opened.
    static std::unique_ptr<HotKeys> connect();

    X11HotKeys(const X11HotKeys&) = delete;
    X11HotKeys& operator=(const X11HotKeys&) = delete;
    ~X11HotKeys() override;

    [[nodiscard]] Availability availability() const override { return Availability::available; }
    [[nodiscard]] std::string availabilityDetail() const override { return {}; }
    void setPressHandler(PressHandler handler) override;
    HotKeyRegistration registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                      HotKeyIdentifier identifier) override;

    // Made by connect() only (the key is private).
    struct Impl;
    class Key {
        friend class X11HotKeys;
        Key() = default;
    };
    X11HotKeys(Key key, std::unique_ptr<Impl> impl);

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
