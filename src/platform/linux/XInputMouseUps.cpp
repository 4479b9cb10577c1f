#include "platform/linux/XInputMouseUps.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <glib.h>

#include <array>
#include <utility>

#include "platform/linux/X11Display.h"

namespace pagemate::linux_backend {

namespace {

// The protocol version asked for: from 2.1 on, raw events reach every client that
// selected them, whoever holds a grab; 2.0 sends them to the grabbing client alone.
constexpr int kWantedMajor = 2;
constexpr int kWantedMinor = 2;

constexpr int kLeftButton = 1;
constexpr int kRightButton = 3;

struct SourceDestroy {
    void operator()(GSource* source) const {
        g_source_destroy(source);
        g_source_unref(source);
    }
};

// The extension data of one generic event, fetched for the scope and given back.
class CookieData {
  public:
    CookieData(Display* display, XGenericEventCookie* cookie)
        : display_(display), cookie_(cookie), fetched_(XGetEventData(display, cookie) == True) {}
    CookieData(const CookieData&) = delete;
    CookieData& operator=(const CookieData&) = delete;
    ~CookieData() {
        if (fetched_) {
            XFreeEventData(display_, cookie_);
        }
    }
    [[nodiscard]] bool fetched() const { return fetched_; }

  private:
    Display* display_;
    XGenericEventCookie* cookie_;
    bool fetched_;
};

}  // namespace

struct XInputMouseUps::Impl {
    // GLib allocates the source with room for the fields after it.
    struct EventSource {
        GSource source;
        GPollFD poll;
        Impl* owner;
    };

    X11Connection display;
    int opcode = 0;  // the extension's major opcode, which its events carry
    Observer observer;
    std::unique_ptr<GSource, SourceDestroy> source;
    // Expires with the watch: an observer that ended it stops the reading at once.
    std::shared_ptr<bool> alive = std::make_shared<bool>(true);

    Impl(X11Connection connection, int extensionOpcode, Observer told)
        : display(std::move(connection)), opcode(extensionOpcode), observer(std::move(told)) {}

    void select() const {
        std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> bits{};
        XISetMask(bits.data(), XI_RawButtonRelease);
        // Master devices only: each physical release comes once, not once more for the
        // slave device that made it.
        XIEventMask mask{XIAllMasterDevices, static_cast<int>(bits.size()), bits.data()};
        XISelectEvents(display.get(), DefaultRootWindow(display.get()), &mask, 1);
        // Synced, not just flushed: once the watch has started, the server hears releases
        // for it, even one made at once (a flushed request can still be behind it).
        XSync(display.get(), False);
    }

    void watch() {
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
                // The owner may be gone when this returns; GLib keeps the source alive
                // for the dispatch, and a destroyed source is not dispatched again.
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

    // The button a raw release event let go; 0 for any other event.
    int releasedButton(XEvent& event) const {
        XGenericEventCookie* cookie = &event.xcookie;
        if (cookie->type != GenericEvent || cookie->extension != opcode) {
            return 0;
        }
        const CookieData data(display.get(), cookie);
        if (!data.fetched() || cookie->evtype != XI_RawButtonRelease) {
            return 0;
        }
        return static_cast<const XIRawEvent*>(cookie->data)->detail;
    }

    void readEvents() {
        const std::weak_ptr<bool> watching = alive;
        Display* connection = display.get();
        while (XPending(connection) > 0) {
            XEvent event{};
            XNextEvent(connection, &event);
            const int button = releasedButton(event);
            if (button != kLeftButton && button != kRightButton) {
                continue;
            }
            Window root = 0;
            Window child = 0;
            int rootX = 0;
            int rootY = 0;
            int windowX = 0;
            int windowY = 0;
            unsigned int buttons = 0;
            if (XQueryPointer(connection, DefaultRootWindow(connection), &root, &child, &rootX,
                              &rootY, &windowX, &windowY, &buttons) == False) {
                continue;  // the pointer is on another screen of the display
            }
            const Observer told = observer;
            told(rootX, rootY);
            if (watching.expired()) {
                return;  // the observer ended the watch: nothing here is valid any more
            }
        }
    }
};

std::unique_ptr<XInputMouseUps> XInputMouseUps::watch(const char* displayName, Observer observer,
                                                      std::string& why) {
    X11Connection connection(XOpenDisplay(displayName));
    if (!connection) {
        const char* name = displayName != nullptr ? displayName : g_getenv("DISPLAY");
        why = name == nullptr ? "DISPLAY is not set" : std::string("cannot open display ") + name;
        return nullptr;
    }
    int opcode = 0;
    int firstEvent = 0;
    int firstError = 0;
    if (XQueryExtension(connection.get(), "XInputExtension", &opcode, &firstEvent, &firstError) ==
        False) {
        why = "the X server has no XInputExtension";
        return nullptr;
    }
    int major = kWantedMajor;
    int minor = kWantedMinor;
    // On a server without XInput 2 this answers BadRequest and names its own version.
    if (XIQueryVersion(connection.get(), &major, &minor) != Success) {
        why = "the X server has XInput " + std::to_string(major) + "." + std::to_string(minor) +
              ", not 2";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>(std::move(connection), opcode, std::move(observer));
    impl->select();
    impl->watch();
    return std::make_unique<XInputMouseUps>(Key{}, std::move(impl));
}

XInputMouseUps::XInputMouseUps(Key /*key*/, std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

XInputMouseUps::~XInputMouseUps() = default;

}  // namespace pagemate::linux_backend
