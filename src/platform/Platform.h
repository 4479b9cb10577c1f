#pragma once

#include <memory>
#include <optional>

#include "platform/Accessibility.h"
#include "platform/Alerts.h"
#include "platform/Application.h"
#include "platform/AudioCodecs.h"
#include "platform/HotKeys.h"
#include "platform/HttpClient.h"
#include "platform/KeyEvents.h"
#include "platform/MainQueue.h"
#include "platform/Notifications.h"
#include "platform/Pasteboard.h"
#include "platform/PreferencesStore.h"
#include "platform/SecretStore.h"
#include "platform/SoundServer.h"
#include "platform/StatusItem.h"
#include "platform/WindowSystem.h"
#include "platform/Workspace.h"

namespace pagemate {

// The bundle of platform services the core runs on. Start-up installs one (the Linux
// backends, or fakes in tests) before anything else; process-wide objects reach the
// platform through Platform::current().
class Platform {
  public:
    std::unique_ptr<MainQueue> mainQueue;
    std::unique_ptr<PreferencesStore> preferences;
    std::unique_ptr<SecretStore> secrets;
    // Declared after the queue so that it goes first: no completion outlives the queue.
    std::unique_ptr<HttpClient> http;
    std::unique_ptr<Alerts> alerts;
    std::unique_ptr<Workspace> workspace;
    std::unique_ptr<Application> application;
    std::unique_ptr<Pasteboard> pasteboard;
    std::unique_ptr<KeyEvents> keyEvents;
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<WindowSystem> windows;
    std::unique_ptr<StatusBar> statusBar;
    // After the queue, so that they go first: no press or completion outlives it.
    std::unique_ptr<HotKeys> hotKeys;
    std::unique_ptr<Notifications> notifications;
    // The sound server: the microphone and the monitor of the system output.
    std::unique_ptr<SoundServer> sound;
    // Conversion, .m4a writing and audio file reading; usable from any thread.
    std::unique_ptr<AudioCodecs> audioCodecs;

    // The accessibility reason the log last gave (NotionContextReader says why once per
    // change); it belongs to these services and goes with them.
    std::optional<UntrustedReason> loggedAccessibility;

    // Installs the bundle for the process; the previous one, if any, is destroyed.
    static void install(std::unique_ptr<Platform> platform);
    // Destroys the installed bundle (tests, and the end of main).
    static void uninstall();
    static Platform& current();
};

}  // namespace pagemate
