#include "platform/linux/XTestKeyEvents.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

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

}  // namespace

XTestKeyEvents::XTestKeyEvents() : display_(openX11Connection()) {
    int event = 0;
    int error = 0;
    int major = 0;
    int minor = 0;
    available_ = display_ && XTestQueryExtension(display_.get(), &event, &error, &major, &minor);
}

void XTestKeyEvents::post(std::uint16_t virtualKey, bool keyDown, std::uint64_t flags) {
    if (!available_) {
        return;
    }
    Display* display = display_.get();
    const KeySym keysym = keysymFor(virtualKey);
    const KeyCode key = keysym == NoSymbol ? 0 : XKeysymToKeycode(display, keysym);
    if (key == 0) {
        return;
    }
    const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
    const bool command = (flags & commandFlag) != 0 && control != 0;
    // The modifier goes down before the key and comes up after it.
    if (keyDown) {
        if (command) {
            XTestFakeKeyEvent(display, control, True, CurrentTime);
        }
        XTestFakeKeyEvent(display, key, True, CurrentTime);
    } else {
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        if (command) {
            XTestFakeKeyEvent(display, control, False, CurrentTime);
        }
    }
    XFlush(display);
}

}  // namespace pagemate::linux_backend
