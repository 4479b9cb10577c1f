#include "platform/linux/X11Workspace.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gio/gio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

#include "platform/PlatformNotice.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/X11Display.h"

namespace pagemate::linux_backend {

namespace {

struct XFreeDeleter {
    void operator()(void* data) const { XFree(data); }
};

// Reads a window property of 32-bit items (CARDINAL or WINDOW), as longs.
std::vector<unsigned long> longProperty(Display* display, Window window, const char* name,
                                        Atom type) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* raw = nullptr;
    const Atom property = XInternAtom(display, name, False);
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType,
                           &actualFormat, &count, &remaining, &raw) != Success) {
        return {};
    }
    const std::unique_ptr<unsigned char, XFreeDeleter> owned(raw);
    if (raw == nullptr || actualFormat != 32) {
        return {};
    }
    const auto* values = reinterpret_cast<const unsigned long*>(raw);
    return {values, values + count};
}

// A text property as UTF-8: _NET_WM_NAME is UTF-8 already; WM_NAME may be Latin-1 or
// compound text, which Xlib converts.
std::optional<std::string> textProperty(Display* display, Window window, const char* name) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* raw = nullptr;
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, 4096, False,
                           AnyPropertyType, &actualType, &actualFormat, &count, &remaining,
                           &raw) != Success) {
        return std::nullopt;
    }
    const std::unique_ptr<unsigned char, XFreeDeleter> owned(raw);
    if (raw == nullptr || actualFormat != 8) {
        return std::nullopt;
    }
    if (actualType == utf8) {
        return std::string(reinterpret_cast<const char*>(raw), count);
    }
    XTextProperty property{raw, actualType, actualFormat, count};
    char** list = nullptr;
    int items = 0;
    if (Xutf8TextPropertyToTextList(display, &property, &list, &items) < Success ||
        list == nullptr) {
        return std::nullopt;
    }
    std::string text = items > 0 && list[0] != nullptr ? list[0] : "";
    XFreeStringList(list);
    return text;
}

// Xlib has one error handler per process. Errors on this workspace's own connection
// (windows that vanish while they are looked at) are ignored; the rest go on to the
// handler that was there before (GDK's).
struct ErrorRouting {
    Display* ours = nullptr;
    XErrorHandler previous = nullptr;
};
ErrorRouting& errorRouting() {
    static ErrorRouting routing;
    return routing;
}

int routeError(Display* display, XErrorEvent* error) {
    const ErrorRouting& routing = errorRouting();
    if (display == routing.ours || routing.previous == nullptr) {
        return 0;
    }
    return routing.previous(display, error);
}

}  // namespace

struct X11Workspace::Impl {
    X11Connection display = openX11Connection();

    [[nodiscard]] std::optional<RunningApplication> applicationOf(Window window) const;
    [[nodiscard]] std::vector<Window> clientWindows(const char* list = "_NET_CLIENT_LIST") const;
    [[nodiscard]] std::optional<std::string> titleOf(Window window) const;
};

X11Workspace::X11Workspace() : impl_(std::make_unique<Impl>()) {
    if (impl_->display && errorRouting().ours == nullptr) {
        errorRouting().ours = impl_->display.get();
        errorRouting().previous = XSetErrorHandler(&routeError);
    }
}

X11Workspace::~X11Workspace() {
    if (impl_->display && errorRouting().ours == impl_->display.get()) {
        XSetErrorHandler(errorRouting().previous);
        errorRouting() = ErrorRouting{};
    }
}

std::string X11Workspace::identityForClass(std::string_view windowClass) {
    std::string lower(windowClass);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    // The class names of Notion's Linux builds (the official one, the community
    // notion-app packages and the enhanced build).
    constexpr std::array<std::string_view, 5> kNotion = {"notion", "notion-app", "notion-desktop",
                                                         "notion-app-enhanced", "notion enhanced"};
    if (std::find(kNotion.begin(), kNotion.end(), lower) != kNotion.end()) {
        return "notion.id";
    }
    return std::string(windowClass);
}

bool X11Workspace::openURL(std::string_view url) {
    const std::string address(url);
    GError* rawError = nullptr;
    if (g_app_info_launch_default_for_uri(address.c_str(), nullptr, &rawError) == TRUE) {
        return true;
    }
    const GErrorPtr error(rawError);
    reportPlatformNotice(AddressNotOpened{address, error ? error->message : ""});
    return false;
}

bool X11Workspace::openFile(const std::filesystem::path& path) {
    const GObjectPtr<GFile> file(g_file_new_for_path(path.c_str()));
    const GCharPtr uri(g_file_get_uri(file.get()));
    return openURL(uri.get());
}

std::optional<RunningApplication> X11Workspace::Impl::applicationOf(Window window) const {
    Display* connection = display.get();
    RunningApplication application;
    const auto pid = longProperty(connection, window, "_NET_WM_PID", XA_CARDINAL);
    if (pid.empty()) {
        return std::nullopt;
    }
    application.pid = static_cast<int>(pid[0]);
    XClassHint hint{};
    if (XGetClassHint(connection, window, &hint) != 0) {
        if (hint.res_class != nullptr) {
            application.localizedName = hint.res_class;
            application.bundleIdentifier = identityForClass(hint.res_class);
        }
        XFree(hint.res_name);
        XFree(hint.res_class);
    }
    return application;
}

std::vector<Window> X11Workspace::Impl::clientWindows(const char* list) const {
    if (!display) {
        return {};
    }
    Display* connection = display.get();
    const auto windows = longProperty(connection, DefaultRootWindow(connection), list, XA_WINDOW);
    return {windows.begin(), windows.end()};
}

std::optional<std::string> X11Workspace::Impl::titleOf(Window window) const {
    std::optional<std::string> title = textProperty(display.get(), window, "_NET_WM_NAME");
    if (!title || title->empty()) {
        title = textProperty(display.get(), window, "WM_NAME");
    }
    if (title && title->empty()) {
        return std::nullopt;
    }
    return title;
}

std::optional<RunningApplication> X11Workspace::frontmostApplication() {
    if (!impl_->display) {
        return std::nullopt;
    }
    Display* display = impl_->display.get();
    const auto active =
        longProperty(display, DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    if (active.empty() || active[0] == None) {
        return std::nullopt;
    }
    return impl_->applicationOf(static_cast<Window>(active[0]));
}

std::vector<RunningApplication> X11Workspace::runningApplications() {
    std::vector<RunningApplication> applications;
    for (const Window window : impl_->clientWindows()) {
        std::optional<RunningApplication> application = impl_->applicationOf(window);
        const bool known = application && std::any_of(applications.begin(), applications.end(),
                                                      [&](const auto& other) {
                                                          return other.pid == application->pid;
                                                      });
        if (application && !known) {
            applications.push_back(std::move(*application));
        }
    }
    return applications;
}

std::optional<std::string> X11Workspace::windowTitle(int pid) {
    if (!impl_->display) {
        return std::nullopt;
    }
    Display* display = impl_->display.get();
    const auto active =
        longProperty(display, DefaultRootWindow(display), "_NET_ACTIVE_WINDOW", XA_WINDOW);
    std::vector<Window> candidates;
    if (!active.empty() && active[0] != None) {
        candidates.push_back(static_cast<Window>(active[0]));
    }
    // Bottom to top: the highest window of the application is its most recent one.
    std::vector<Window> stacked = impl_->clientWindows("_NET_CLIENT_LIST_STACKING");
    if (stacked.empty()) {
        stacked = impl_->clientWindows();
    }
    candidates.insert(candidates.end(), stacked.rbegin(), stacked.rend());
    for (const Window window : candidates) {
        const std::optional<RunningApplication> owner = impl_->applicationOf(window);
        if (!owner || owner->pid != pid) {
            continue;
        }
        if (std::optional<std::string> title = impl_->titleOf(window)) {
            return title;
        }
    }
    return std::nullopt;
}

bool X11Workspace::activate(const RunningApplication& application) {
    if (!impl_->display) {
        return false;
    }
    Display* display = impl_->display.get();
    for (const Window window : impl_->clientWindows()) {
        const std::optional<RunningApplication> candidate = impl_->applicationOf(window);
        if (!candidate || candidate->pid != application.pid) {
            continue;
        }
        // Asked as a pager would (source 2): window managers let the user's own
        // tools switch windows, where they may refuse an application's request.
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2;
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, DefaultRootWindow(display), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XFlush(display);
        return true;
    }
    return false;
}

}  // namespace pagemate::linux_backend
