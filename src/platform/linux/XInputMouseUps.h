#pragma once

#include <functional>
#include <memory>
#include <string>

namespace pagemate::linux_backend {

// Releases of the left and the right mouse button anywhere on an X screen, whichever
// client's window they happen over, seen as XInput 2 raw events selected on the root
// window over an X connection of its own and read by a GLib source on the default main
// context. Raw events are copies the server sends alongside the normal ones: nothing is
// grabbed, every click still reaches its window, and other clients' grabs do not hide
// them (XInput 2.1 and later). The middle button and the wheel (buttons 4 to 7) are left
// out. A raw event has no position: the pointer's place is asked when the event is
// handled, in root-window pixels (top left, y down).
//
// Main thread only. The observer runs from the main loop and may destroy the watch; it
// is never called once the watch is gone, and closing the connection ends the
// selection on the server.
class XInputMouseUps {
  public:
    using Observer = std::function<void(int x, int y)>;

    // Watches the display `displayName` (null: $DISPLAY). Null, with the reason in `why`,
    // when the display cannot be opened or its server has no XInput 2.
    static std::unique_ptr<XInputMouseUps> watch(const char* displayName, Observer observer,
                                                 std::string& why);

    XInputMouseUps(const XInputMouseUps&) = delete;
    XInputMouseUps& operator=(const XInputMouseUps&) = delete;
    ~XInputMouseUps();

    // Made by watch() only (the key is private).
    struct Impl;
    class Key {
        friend class XInputMouseUps;
        Key() = default;
    };
    XInputMouseUps(Key key, std::unique_ptr<Impl> impl);

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace pagemate::linux_backend
