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
#include "platform/SerialQueue.h"
#include "platform/SoundServer.h"
#include "platform/SpeechRecognizer.h"
#include "platform/StatusItem.h"
#include "platform/WindowSystem.h"
#include "platform/Workspace.h"
#include "support/BackgroundThreads.h"

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
    // The meeting's sound: the sound server (microphone and system output) and the
    // audio libraries (conversion, .m4a writing and audio file reading; any thread).
    std::unique_ptr<SoundServer> sound;
    std::unique_ptr<AudioCodecs> audioCodecs;
    // Where the queues of worker threads come from (the recorder's writes).
    std::unique_ptr<SerialQueues> serialQueues;
    // Declared late so that it goes early: its decoder threads read the preferences.
    std::unique_ptr<SpeechRecognizer> speech;
    // The short-lived worker threads of the core (speech model, probes, freeing
    // decoders): they reach the services above, and are joined before any goes.
    BackgroundThreads background;

    // The accessibility reason the log last gave (NotionContextReader says why once per
    // change); it belongs to these services and goes with them.
    std::optional<UntrustedReason> loggedAccessibility;

    // Installs the bundle for the process; the previous one, if any, is shut down.
    static void install(std::unique_ptr<Platform> platform);
    // Shuts the installed bundle down (tests, and the end of main, once the loop has
    // stopped), in this order, while it is still current for whatever runs meanwhile:
    //  1. signal: the background threads' stop tokens;
    //  2. join: the background threads (their posts to the main queue still land);
    //  3. free: the main queue is closed, so the tasks still waiting go unrun with what
    //     they hold (a meeting's session, its recognisers and their threads) while the
    //     services they use are there; then the services, in reverse order of
    //     declaration (each joins its own threads: HTTP, capture, decoders, queues).
    static void uninstall();
    static Platform& current();
};

}  // namespace pagemate
