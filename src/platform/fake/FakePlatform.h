#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/fake/FakeWindows.h"
#include "platform/fake/ManualSerialQueue.h"
#include "platform/fake/MemoryPasteboard.h"
#include "platform/fake/MemoryPreferencesStore.h"
#include "platform/fake/MemorySecretStore.h"
#include "platform/fake/RecordingAudioCodecs.h"
#include "platform/fake/RecordingHotKeys.h"
#include "platform/fake/RecordingNotifications.h"
#include "platform/fake/RecordingStatusBar.h"
#include "platform/fake/ScriptedDesktop.h"
#include "platform/fake/ScriptedHttpClient.h"
#include "platform/fake/ScriptedSoundServer.h"
#include "platform/fake/ScriptedSpeechRecognizer.h"
#include "platform/fake/VirtualClockQueue.h"

namespace pagemate::fake {

class RecordingAlerts final : public Alerts {
  public:
    int show(const Alert& alert) override {
        const std::lock_guard lock(mutex_);
        shown_.push_back(alert);
        return 0;
    }
    [[nodiscard]] std::vector<Alert> shown() const {
        const std::lock_guard lock(mutex_);
        return shown_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Alert> shown_;
};

class RecordingApplication final : public Application {
  public:
    void run() override {}
    void terminate() override { ++terminateCount; }
    int terminateCount = 0;
};

// The fakes installed as the process's platform, with typed access for the test.
// HTTP is scripted; tests of real HTTP put the real client in its place (`http` then
// no longer names the installed client). Uninstalls on destruction.
class FakePlatform {
  public:
    FakePlatform();
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;
    ~FakePlatform();

    VirtualClockQueue& queue;
    MemoryPreferencesStore& preferences;
    MemorySecretStore& secrets;
    RecordingAlerts& alerts;
    ScriptedWorkspace& workspace;
    RecordingApplication& application;
    MemoryPasteboard& pasteboard;
    ScriptedKeyEvents& keys;
    ScriptedAccessibility& accessibility;
    FakeWindowSystem& windows;
    ScriptedHttpClient& http;
    RecordingStatusBar& statusBar;
    RecordingHotKeys& hotKeys;
    RecordingNotifications& notifications;
    ScriptedSoundServer& sound;
    RecordingAudioCodecs& audioCodecs;
    ManualSerialQueues& serialQueues;
    ScriptedSpeechRecognizer& speech;

  private:
    explicit FakePlatform(Platform& platform);
};

}  // namespace pagemate::fake
