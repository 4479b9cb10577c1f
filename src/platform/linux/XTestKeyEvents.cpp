#include "platform/linux/XTestKeyEvents.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/linux/X11Display.h"

namespace pagemate::linux_backend {

namespace {

// The ANSI layout's virtual key codes the program uses, as keysyms.
KeySym keysymFor(std::uint16_t virtualKey) {
    switch (virtualKey) {
        case 37:
            return XK_l;
        case 8:
            return XK_c;
        case 9:
            return XK_v;
        default:
            return NoSymbol;
    }
}

struct ModifierMapFree {
    void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};
using ModifierMap = std::unique_ptr<XModifierKeymap, ModifierMapFree>;

// One bit per key code, as XQueryKeymap returns it.
using Keymap = std::array<char, 32>;

bool isDown(const Keymap& keymap, KeyCode key) {
    return (static_cast<unsigned char>(keymap[key / 8]) & (1U << (key % 8U))) != 0;
}

// Keys whose press toggles a state: lifting one and pressing it back would flip it.
bool isLockKey(Display* display, KeyCode key) {
    switch (XkbKeycodeToKeysym(display, key, 0, 0)) {
        case XK_Caps_Lock:
        case XK_Shift_Lock:
        case XK_Num_Lock:
        case XK_Scroll_Lock:
        case XK_Kana_Lock:
        case XK_ISO_Lock:
        case XK_ISO_Level3_Lock:
        case XK_ISO_Level5_Lock:
        case XK_ISO_Group_Lock:
            return true;
        default:
            return false;
    }
}

}  // namespace

struct XTestKeyEvents::Impl {
    X11Connection display = openX11Connection();
    bool available = false;
    // The keystroke in progress: the modifier keys lifted at its key-down, and the
    // Control key pressed for it (0 when none was: a Control the user holds stays theirs).
    std::vector<KeyCode> lifted;
    KeyCode pressedControl = 0;

    void begin(KeyCode key, bool wantControl);
    void end(KeyCode key);
    void restore();
};

void XTestKeyEvents::Impl::begin(KeyCode key, bool wantControl) {
    Display* connection = display.get();
    restore();  // a key-down without its key-up ends the keystroke before it
    Keymap keymap{};
    XQueryKeymap(connection, keymap.data());
    bool controlHeld = false;
    if (const ModifierMap map{XGetModifierMapping(connection)}) {
        const int perModifier = map->max_keypermod;
        for (int modifier = ShiftMapIndex; modifier <= Mod5MapIndex; ++modifier) {
            for (int index = 0; index < perModifier; ++index) {
                const KeyCode held = map->modifiermap[modifier * perModifier + index];
                if (held == 0 || !isDown(keymap, held) || modifier == LockMapIndex ||
                    isLockKey(connection, held)) {
                    continue;
                }
                if (modifier == ControlMapIndex && wantControl) {
                    controlHeld = true;
                    continue;
                }
                if (std::find(lifted.begin(), lifted.end(), held) == lifted.end()) {
                    XTestFakeKeyEvent(connection, held, False, CurrentTime);
                    lifted.push_back(held);
                }
            }
        }
    }
    if (wantControl && !controlHeld) {
        pressedControl = XKeysymToKeycode(connection, XK_Control_L);
        if (pressedControl != 0) {
            XTestFakeKeyEvent(connection, pressedControl, True, CurrentTime);
        }
    }
    XTestFakeKeyEvent(connection, key, True, CurrentTime);
    XFlush(connection);
}

void XTestKeyEvents::Impl::end(KeyCode key) {
    XTestFakeKeyEvent(display.get(), key, False, CurrentTime);
    restore();
    // Waits for the server: the user's keys are down again when post() returns.
    XSync(display.get(), False);
}

void XTestKeyEvents::Impl::restore() {
    Display* connection = display.get();
    if (pressedControl != 0) {
        XTestFakeKeyEvent(connection, pressedControl, False, CurrentTime);
        pressedControl = 0;
    }
    for (const KeyCode held : lifted) {
        XTestFakeKeyEvent(connection, held, True, CurrentTime);
    }
    lifted.clear();
}

XTestKeyEvents::XTestKeyEvents() : impl_(std::make_unique<Impl>()) {
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    impl_->available =
        impl_->display && XTestQueryExtension(impl_->display.get(), &event, &error, &major, &minor);
}

XTestKeyEvents::~XTestKeyEvents() {
    if (impl_->available && (impl_->pressedControl != 0 || !impl_->lifted.empty())) {
        impl_->restore();
        XSync(impl_->display.get(), False);
    }
}

bool XTestKeyEvents::canPost() {
    return impl_->available;
}

void XTestKeyEvents::post(std::uint16_t virtualKey, bool keyDown, std::uint64_t flags) {
    if (!impl_->available) {
        return;
    }
    const KeySym keysym = keysymFor(virtualKey);
    const KeyCode key = keysym == NoSymbol ? 0 : XKeysymToKeycode(impl_->display.get(), keysym);
    if (key == 0) {
        return;
    }
    if (keyDown) {
        impl_->begin(key, (flags & commandFlag) != 0);
    } else {
        impl_->end(key);
    }
}

}  // namespace pagemate::linux_backend
