#include "platform/linux/X11HotKeys.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <glib.h>

#include <array>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/UnavailableHotKeys.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/X11Display.h"

namespace pagemate::linux_backend {

namespace {

KeySym keysymFor(std::uint32_t keyCode) {
    switch (keyCode) {
        case HotKeyCode::space:
            return XK_space;
        case HotKeyCode::m:
            return XK_m;
        case HotKeyCode::c:
            return XK_c;
        default:
            return NoSymbol;
    }
}

unsigned int x11Modifiers(std::uint32_t modifiers) {
    unsigned int mask = 0;
    mask |= (modifiers & HotKeyModifier::option) != 0 ? Mod1Mask : 0U;
    mask |= (modifiers & HotKeyModifier::shift) != 0 ? ShiftMask : 0U;
    mask |= (modifiers & HotKeyModifier::command) != 0 ? Mod4Mask : 0U;
    mask |= (modifiers & HotKeyModifier::control) != 0 ? ControlMask : 0U;
    return mask;
}

constexpr unsigned int kModifierBits =
    ShiftMask | LockMask | ControlMask | Mod1Mask | Mod2Mask | Mod3Mask | Mod4Mask | Mod5Mask;

struct ModifierMapFree {
    void operator()(XModifierKeymap* map) const { XFreeModifiermap(map); }
};

// The modifier bit the key of `keysym` sets (Num Lock is usually Mod2); 0 for none.
unsigned int modifierOfKeysym(Display* display, KeySym keysym) {
    const KeyCode key = XKeysymToKeycode(display, keysym);
    const std::unique_ptr<XModifierKeymap, ModifierMapFree> map(XGetModifierMapping(display));
    if (key == 0 || !map) {
        return 0;
    }
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int index = 0; index < map->max_keypermod; ++index) {
            if (map->modifiermap[modifier * map->max_keypermod + index] == key) {
                return 1U << static_cast<unsigned int>(modifier);
            }
        }
    }
    return 0;
}

// Every mix of the lock modifiers, none included: a grab is for exact modifiers.
std::vector<unsigned int> lockVariants(unsigned int locks) {
    std::vector<unsigned int> variants = {0};
    for (unsigned int bit = 1; bit <= Mod5Mask; bit <<= 1U) {
        if ((locks & bit) == 0) {
            continue;
        }
        const std::size_t count = variants.size();
        for (std::size_t index = 0; index < count; ++index) {
            variants.push_back(variants[index] | bit);
        }
    }
    return variants;
}

// Catches the X errors of one connection while it lives. Xlib has a single error
// handler per process, and its default one ends the program; the trap takes its place
// for the scope, passes errors of other connections on to the handler it replaced and
// puts that one back. The handler carries no context, hence the one active trap.
class ErrorTrap {
  public:
    explicit ErrorTrap(Display* display) : display_(display) {
        XSync(display_, False);  // errors of earlier requests are not this trap's
        outer_ = active();
        active() = this;
        previous_ = XSetErrorHandler(&record);
    }
    ErrorTrap(const ErrorTrap&) = delete;
    ErrorTrap& operator=(const ErrorTrap&) = delete;
    ~ErrorTrap() {
        XSync(display_, False);
        XSetErrorHandler(previous_);
        active() = outer_;
    }

    // Waits until the server has handled every request sent; the first error's code
    // since the trap was set, 0 for none.
    unsigned char sync() {
        XSync(display_, False);
        return code_;
    }

  private:
    static ErrorTrap*& active() {
        static ErrorTrap* trap = nullptr;
        return trap;
    }
    static int record(Display* display, XErrorEvent* error) {
        ErrorTrap* trap = active();
        if (trap == nullptr) {
            return 0;
        }
        if (display != trap->display_) {
            return trap->previous_ != nullptr ? trap->previous_(display, error) : 0;
        }
        if (trap->code_ == 0) {
            trap->code_ = error->error_code;
        }
        return 0;
    }

    Display* display_;
    ErrorTrap* outer_ = nullptr;
    XErrorHandler previous_ = nullptr;
    unsigned char code_ = 0;
};

std::string errorText(Display* display, int code) {
    std::array<char, 256> text{};
    XGetErrorText(display, code, text.data(), static_cast<int>(text.size()));
    return text.data();
}

struct SourceDestroy {
    void operator()(GSource* source) const {
        g_source_destroy(source);
        g_source_unref(source);
    }
};

}  // namespace

struct X11HotKeys::Impl {
    // GLib allocates the source with room for the fields after it.
    struct EventSource {
        GSource source;
        GPollFD poll;
        Impl* owner;
    };

    // A press held back until the keyboard is Notion's again: while the key that set off
    // a passive grab is down, X gives the whole keyboard to this connection, so the
    // shortcuts an action sends (Control-C, Control-L) would come back here instead of
    // reaching the application.
    struct PendingPress {
        KeyCode key = 0;
        unsigned int modifiers = 0;
        HotKeyIdentifier identifier;
    };

    X11Connection display;
    std::unique_ptr<GSource, SourceDestroy> source;
    PressHandler handler;
    // The registered combinations: the key and its modifiers without locks.
    std::map<std::pair<KeyCode, unsigned int>, HotKeyIdentifier> grabs;
    unsigned int locks = LockMask;
    // Grabbed keys down now: a press of one of them again is the key repeating.
    std::set<KeyCode> down;
    std::optional<PendingPress> pending;
    // Ends a press held too long (releaseBound): the grab is let go of without waiting.
    std::unique_ptr<GSource, SourceDestroy> releaseTimer;
    // After a grab was let go of early, the key's release goes to the focused window, not
    // here: the server's key state tells when it is up.
    std::unique_ptr<GSource, SourceDestroy> releasePoll;
    // The combination whose passive grab is lifted while its key, let go of early, is
    // still held: the key's autorepeat would set the grab off again and take the keyboard
    // back from the application the action is talking to.
    std::optional<std::pair<KeyCode, unsigned int>> suspended;

    explicit Impl(X11Connection connection);
    void watch();
    void readEvents();
    void handle(const XKeyEvent& event);
    void deliverPending();
    void endGrabEarly();
    void setGrabbed(KeyCode key, unsigned int modifiers, bool grabbed);
    [[nodiscard]] bool serverHasKeyDown(KeyCode key) const;
    void watchForForcedRelease();
};

X11HotKeys::Impl::Impl(X11Connection connection) : display(std::move(connection)) {}

void X11HotKeys::Impl::watch() {
    static GSourceFuncs funcs = {
        // prepare: events Xlib has read already are waiting
        [](GSource* base, gint* timeout) -> gboolean {
            *timeout = -1;
            const auto* self = reinterpret_cast<EventSource*>(base);
            return XEventsQueued(self->owner->display.get(), QueuedAlready) > 0 ? TRUE : FALSE;
        },
        // check: the connection has something to read, or Xlib has it already
        [](GSource* base) -> gboolean {
            const auto* self = reinterpret_cast<EventSource*>(base);
            Display* connection = self->owner->display.get();
            if ((self->poll.revents & G_IO_IN) != 0) {
                return XPending(connection) > 0 ? TRUE : FALSE;
            }
            return XEventsQueued(connection, QueuedAlready) > 0 ? TRUE : FALSE;
        },
        [](GSource* base, GSourceFunc, gpointer) -> gboolean {
            reinterpret_cast<EventSource*>(base)->owner->readEvents();
            return G_SOURCE_CONTINUE;
        },
        nullptr,
        nullptr,
        nullptr,
    };
    source.reset(g_source_new(&funcs, sizeof(EventSource)));
    auto* event = reinterpret_cast<EventSource*>(source.get());
    event->owner = this;
    event->poll.fd = ConnectionNumber(display.get());
    event->poll.events = G_IO_IN | G_IO_HUP | G_IO_ERR;
    g_source_add_poll(source.get(), &event->poll);
    g_source_set_priority(source.get(), G_PRIORITY_DEFAULT);
    g_source_attach(source.get(), nullptr);
}

void X11HotKeys::Impl::readEvents() {
    while (XPending(display.get()) > 0) {
        XEvent event{};
        XNextEvent(display.get(), &event);
        if (event.type == KeyPress || event.type == KeyRelease) {
            handle(event.xkey);
        }
    }
}

void X11HotKeys::Impl::handle(const XKeyEvent& event) {
    const auto key = static_cast<KeyCode>(event.keycode);
    if (event.type == KeyRelease) {
        down.erase(key);
        // The server ended the grab with this release: the keyboard is the focused
        // window's again, and what the action sends reaches it.
        if (pending && pending->key == key) {
            deliverPending();
        }
        return;
    }
    const unsigned int modifiers = event.state & kModifierBits & ~locks;
    const auto grab = grabs.find({key, modifiers});
    if (grab == grabs.end() || !down.insert(key).second) {
        return;  // not ours, or the key repeating
    }
    if (pending) {
        deliverPending();  // another of ours went down first: its press stands
    }
    pending = PendingPress{key, modifiers, grab->second};
    releaseTimer.reset(g_timeout_source_new(static_cast<guint>(X11HotKeys::releaseBound.count())));
    g_source_set_callback(
        releaseTimer.get(),
        [](gpointer data) -> gboolean {
            static_cast<Impl*>(data)->endGrabEarly();
            return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(releaseTimer.get(), nullptr);
}

void X11HotKeys::Impl::deliverPending() {
    const std::optional<PendingPress> press = std::exchange(pending, std::nullopt);
    // Also from the timer's own callback: GLib holds the source while it dispatches it.
    releaseTimer.reset();
    if (press && handler) {
        handler(press->identifier);
    }
}

void X11HotKeys::Impl::endGrabEarly() {
    if (!pending) {
        return;
    }
    setGrabbed(pending->key, pending->modifiers, false);
    suspended = std::pair{pending->key, pending->modifiers};
    XUngrabKeyboard(display.get(), CurrentTime);
    XSync(display.get(), False);
    watchForForcedRelease();
    deliverPending();
}

void X11HotKeys::Impl::setGrabbed(KeyCode key, unsigned int modifiers, bool grabbed) {
    const Window root = DefaultRootWindow(display.get());
    // Another client may have taken the combination while it was lifted: its error is
    // caught, and the key then stays with that client.
    ErrorTrap trap(display.get());
    for (const unsigned int variant : lockVariants(locks)) {
        if (grabbed) {
            XGrabKey(display.get(), key, modifiers | variant, root, False, GrabModeAsync,
                     GrabModeAsync);
        } else {
            XUngrabKey(display.get(), key, modifiers | variant, root);
        }
    }
    (void)trap.sync();
}

bool X11HotKeys::Impl::serverHasKeyDown(KeyCode key) const {
    std::array<char, 32> keymap{};
    XQueryKeymap(display.get(), keymap.data());
    return (static_cast<unsigned char>(keymap[key / 8]) & (1U << (key % 8U))) != 0;
}

void X11HotKeys::Impl::watchForForcedRelease() {
    releasePoll.reset(g_timeout_source_new(50));
    g_source_set_callback(
        releasePoll.get(),
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            for (auto key = self->down.begin(); key != self->down.end();) {
                key = self->serverHasKeyDown(*key) ? std::next(key) : self->down.erase(key);
            }
            if (const auto lifted = self->suspended;
                lifted && !self->down.contains(lifted->first)) {
                self->suspended.reset();
                if (self->grabs.contains(*lifted)) {  // still registered: the grab comes back
                    self->setGrabbed(lifted->first, lifted->second, true);
                }
            }
            return self->down.empty() ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(releasePoll.get(), nullptr);
}

std::unique_ptr<HotKeys> X11HotKeys::connect() {
    X11Connection connection = openX11Connection();
    if (!connection) {
        const char* name = g_getenv("DISPLAY");
        return std::make_unique<UnavailableHotKeys>(
            Availability::noDisplay,
            name == nullptr ? "DISPLAY is not set" : std::string("cannot open display ") + name);
    }
    return std::make_unique<X11HotKeys>(Key{}, std::make_unique<Impl>(std::move(connection)));
}

X11HotKeys::X11HotKeys(Key /*key*/, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {
    // Holding a hot key down sends presses only, no release between them, so a repeat
    // is told from a new press.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(impl_->display.get(), True, &supported);
    impl_->watch();
}

X11HotKeys::~X11HotKeys() = default;

void X11HotKeys::setPressHandler(PressHandler handler) {
    impl_->handler = std::move(handler);
}

HotKeyRegistration X11HotKeys::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                              HotKeyIdentifier identifier) {
    Display* display = impl_->display.get();
    HotKeyRegistration registration;
    const KeySym keysym = keysymFor(keyCode);
    const KeyCode key = keysym == NoSymbol ? 0 : XKeysymToKeycode(display, keysym);
    if (key == 0) {
        registration.outcome = HotKeyRegistration::Outcome::refused;
        registration.status = unknownKeyStatus;
        registration.detail = "no key for key code " + std::to_string(keyCode);
        return registration;
    }

    impl_->locks = LockMask | modifierOfKeysym(display, XK_Num_Lock) |
                   modifierOfKeysym(display, XK_Scroll_Lock);
    const unsigned int mask = x11Modifiers(modifiers) & ~impl_->locks;
    const std::vector<unsigned int> variants = lockVariants(impl_->locks);
    const Window root = DefaultRootWindow(display);
    const bool alreadyOurs = impl_->grabs.contains({key, mask});

    ErrorTrap trap(display);
    for (const unsigned int variant : variants) {
        XGrabKey(display, key, mask | variant, root, False, GrabModeAsync, GrabModeAsync);
    }
    const unsigned char code = trap.sync();
    if (code != Success) {
        // Leaves nothing half-grabbed (an ungrab only touches this client's own grabs).
        if (!alreadyOurs) {
            for (const unsigned int variant : variants) {
                XUngrabKey(display, key, mask | variant, root);
            }
        }
        registration.outcome = code == BadAccess ? HotKeyRegistration::Outcome::taken
                                                 : HotKeyRegistration::Outcome::refused;
        registration.status = code;
        registration.detail = errorText(display, code);
        return registration;
    }
    impl_->grabs[{key, mask}] = identifier;
    registration.ref = HotKeyRef{keyCode, modifiers, identifier};
    return registration;
}

}  // namespace pagemate::linux_backend
