#include "platform/fake/FakePlatform.h"

namespace pagemate::fake {

namespace {

Platform& installFakes() {
    auto platform = std::make_unique<Platform>();
    platform->mainQueue = std::make_unique<VirtualClockQueue>();
    platform->preferences = std::make_unique<MemoryPreferencesStore>();
    platform->secrets = std::make_unique<MemorySecretStore>();
    platform->http = std::make_unique<ScriptedHttpClient>();
    platform->alerts = std::make_unique<RecordingAlerts>();
    platform->workspace = std::make_unique<ScriptedWorkspace>();
    platform->application = std::make_unique<RecordingApplication>();
    platform->pasteboard = std::make_unique<MemoryPasteboard>();
    platform->keyEvents = std::make_unique<ScriptedKeyEvents>();
    platform->accessibility = std::make_unique<ScriptedAccessibility>();
    platform->windows = std::make_unique<FakeWindowSystem>();
    platform->statusBar = std::make_unique<RecordingStatusBar>();
    platform->hotKeys = std::make_unique<RecordingHotKeys>();
    platform->notifications = std::make_unique<RecordingNotifications>();
    platform->sound = std::make_unique<ScriptedSoundServer>();
    platform->audioCodecs = std::make_unique<RecordingAudioCodecs>();
    platform->serialQueues = std::make_unique<ManualSerialQueues>();
    platform->speech = std::make_unique<ScriptedSpeechRecognizer>();
    Platform& installed = *platform;
    Platform::install(std::move(platform));
    return installed;
}

}  // namespace

FakePlatform::FakePlatform() : FakePlatform(installFakes()) {}

FakePlatform::FakePlatform(Platform& platform)
    : queue(static_cast<VirtualClockQueue&>(*platform.mainQueue)),
      preferences(static_cast<MemoryPreferencesStore&>(*platform.preferences)),
      secrets(static_cast<MemorySecretStore&>(*platform.secrets)),
      alerts(static_cast<RecordingAlerts&>(*platform.alerts)),
      workspace(static_cast<ScriptedWorkspace&>(*platform.workspace)),
      application(static_cast<RecordingApplication&>(*platform.application)),
      pasteboard(static_cast<MemoryPasteboard&>(*platform.pasteboard)),
      keys(static_cast<ScriptedKeyEvents&>(*platform.keyEvents)),
      accessibility(static_cast<ScriptedAccessibility&>(*platform.accessibility)),
      windows(static_cast<FakeWindowSystem&>(*platform.windows)),
      http(static_cast<ScriptedHttpClient&>(*platform.http)),
      statusBar(static_cast<RecordingStatusBar&>(*platform.statusBar)),
      hotKeys(static_cast<RecordingHotKeys&>(*platform.hotKeys)),
      notifications(static_cast<RecordingNotifications&>(*platform.notifications)),
      sound(static_cast<ScriptedSoundServer&>(*platform.sound)),
      audioCodecs(static_cast<RecordingAudioCodecs&>(*platform.audioCodecs)),
      serialQueues(static_cast<ManualSerialQueues&>(*platform.serialQueues)),
      speech(static_cast<ScriptedSpeechRecognizer&>(*platform.speech)) {}

FakePlatform::~FakePlatform() {
    Platform::uninstall();
}

}  // namespace pagemate::fake
