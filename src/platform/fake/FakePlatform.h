#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/fake/MemoryPreferencesStore.h"
#include "platform/fake/MemorySecretStore.h"
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

class RecordingWorkspace final : public Workspace {
  public:
    bool openURL(std::string_view url) override {
        const std::lock_guard lock(mutex_);
        opened_.emplace_back(url);
        return true;
    }
    [[nodiscard]] std::vector<std::string> opened() const {
        const std::lock_guard lock(mutex_);
        return opened_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> opened_;
};

class RecordingApplication final : public Application {
  public:
    void run() override {}
    void terminate() override { ++terminateCount; }
    int terminateCount = 0;
};

// The fakes installed as the process's platform, with typed access for the test. HTTP
// is the real libcurl client: tests talk to a loopback server rather than a fake.
// Uninstalls on destruction.
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
    RecordingWorkspace& workspace;
    RecordingApplication& application;

  private:
    explicit FakePlatform(Platform& platform);
};

}  // namespace pagemate::fake
