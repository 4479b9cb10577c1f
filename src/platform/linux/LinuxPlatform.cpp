#include "platform/linux/LinuxPlatform.h"

#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <glib.h>
#include <gtk/gtk.h>

#include <csignal>
#include <string>

#include "platform/ThreadSerialQueue.h"
#include "platform/UnavailableHotKeys.h"
#include "platform/UnavailableWindowSystem.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/AvAudioCodecs.h"
#include "platform/linux/CurlHttpClient.h"
#include "platform/linux/GDBusNotifications.h"
#include "platform/linux/GLibMainQueue.h"
#include "platform/linux/GtkAlerts.h"
#include "platform/linux/GtkPasteboard.h"
#include "platform/linux/GtkWindowSystem.h"
#include "platform/linux/JsonPreferencesStore.h"
#include "platform/linux/LibsecretStore.h"
#include "platform/linux/PortalGlobalShortcuts.h"
#include "platform/linux/PulseSoundServer.h"
#include "platform/linux/SphinxSpeechRecognizer.h"
#include "platform/linux/StatusNotifierBar.h"
#include "platform/linux/X11HotKeys.h"
#include "platform/linux/X11Workspace.h"
#include "platform/linux/XTestKeyEvents.h"
#include "support/ResourcePaths.h"

namespace pagemate::linux_backend {

namespace {

struct MainLoopUnref {
    void operator()(GMainLoop* loop) const { g_main_loop_unref(loop); }
};

class GLibApplication final : public Application {
  public:
    GLibApplication() : loop_(g_main_loop_new(nullptr, FALSE)) {}

    void run() override { g_main_loop_run(loop_.get()); }
    void terminate() override { g_main_loop_quit(loop_.get()); }

  private:
    std::unique_ptr<GMainLoop, MainLoopUnref> loop_;
};

// The hot keys of this session (chooseHotKeyBackend says which). The portal is asked
// only in a Wayland session: elsewhere X11 grabs serve, and asking would start it.
std::unique_ptr<HotKeys> makeHotKeys(const DesktopSession& session, bool hasDisplay,
                                     MainQueue& queue) {
    std::optional<std::uint32_t> portalVersion;
    std::string why;
    if (session.wayland) {
        portalVersion = PortalGlobalShortcuts::interfaceVersion(why);
    }
    switch (chooseHotKeyBackend(session, hasDisplay, portalVersion)) {
        case HotKeyBackend::x11Grabs:
            return X11HotKeys::connect();
        case HotKeyBackend::shortcutsPortal:
            return std::make_unique<PortalGlobalShortcuts>(queue);
        case HotKeyBackend::none:
            break;
    }
    if (session.wayland) {
        return std::make_unique<UnavailableHotKeys>(HotKeys::Availability::waylandSession,
                                                    *session.wayland);
    }
    return std::make_unique<UnavailableHotKeys>(HotKeys::Availability::noDisplay, "");
}

}  // namespace

std::unique_ptr<Platform> makeLinuxPlatform(bool hasDisplay, const DesktopSession& session) {
    auto platform = std::make_unique<Platform>();
    platform->mainQueue = std::make_unique<GLibMainQueue>();
    platform->preferences =
        std::make_unique<JsonPreferencesStore>(JsonPreferencesStore::defaultPath());
    platform->secrets = std::make_unique<LibsecretStore>();
    platform->http = std::make_unique<CurlHttpClient>();
    platform->workspace = std::make_unique<X11Workspace>();
    platform->application = std::make_unique<GLibApplication>();
    platform->pasteboard = std::make_unique<GtkPasteboard>();
    auto keys = std::make_unique<XTestKeyEvents>();
    platform->accessibility =
        std::make_unique<AtspiAccessibility>(keys->canPost(), *platform->mainQueue);
    platform->keyEvents = std::move(keys);
    if (hasDisplay) {
        platform->windows = std::make_unique<GtkWindowSystem>();
        platform->alerts = std::make_unique<GtkAlerts>();
    } else {
        platform->windows = std::make_unique<UnavailableWindowSystem>();
        platform->alerts = std::make_unique<LoggedAlerts>();
    }
    // The tray speaks D-Bus, so the item is offered with or without a display.
    platform->statusBar = std::make_unique<StatusNotifierBar>(
        *platform->mainQueue, ResourcePaths::current().icons.string());
    platform->hotKeys = makeHotKeys(session, hasDisplay, *platform->mainQueue);
    platform->notifications = GDBusNotifications::connect(*platform->mainQueue);
    platform->sound = std::make_unique<PulseSoundServer>();
    platform->audioCodecs = std::make_unique<AvAudioCodecs>();
    platform->serialQueues = std::make_unique<ThreadSerialQueues>();
    platform->speech =
        SphinxSpeechRecognizer::make(SphinxModelLocations::standard(), *platform->preferences);
    return platform;
}

OpenedDisplay openDisplay(int& argc, char**& argv, const DesktopSession& session) {
    bool opened = false;
    if (const auto backend = session.toolkitBackend()) {
        gdk_set_allowed_backends(std::string(*backend).c_str());
        opened = gtk_init_check(&argc, &argv) == TRUE;
        if (!opened) {
            // XWayland named but not there: the compositor's own display, with what it allows.
            gdk_set_allowed_backends("wayland");
        }
    }
    if (!opened) {
        opened = gtk_init_check(&argc, &argv) == TRUE;
    }
    if (!opened) {
        return OpenedDisplay::none;
    }
    return GDK_IS_X11_DISPLAY(gdk_display_get_default()) ? OpenedDisplay::x11
                                                         : OpenedDisplay::other;
}

void onTerminationSignal(const std::function<void()>& handler) {
    using Handler = std::function<void()>;
    const auto call = [](gpointer data) -> gboolean {
        (*static_cast<Handler*>(data))();
        return G_SOURCE_CONTINUE;
    };
    const auto release = [](gpointer data) {
        std::unique_ptr<Handler>(static_cast<Handler*>(data));
    };
    for (const int signal : {SIGINT, SIGTERM}) {
        // Each source owns its copy of the handler and frees it when it goes.
        g_unix_signal_add_full(G_PRIORITY_DEFAULT, signal, call,
                               std::make_unique<Handler>(handler).release(), release);
    }
}

}  // namespace pagemate::linux_backend
