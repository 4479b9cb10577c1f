#pragma once

#include <X11/Xlib.h>

#include <memory>

namespace pagemate::linux_backend {

struct DisplayClose {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
// A connection of its own to the X server named by $DISPLAY; null without one.
using X11Connection = std::unique_ptr<Display, DisplayClose>;

inline X11Connection openX11Connection() {
    return X11Connection(XOpenDisplay(nullptr));
}

}  // namespace pagemate::linux_backend
