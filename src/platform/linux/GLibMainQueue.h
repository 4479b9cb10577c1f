#pragma once

#include "platform/MainQueue.h"

namespace pagemate::linux_backend {

// The main queue on GLib's default main context, which GTK's loop also runs.
class GLibMainQueue final : public MainQueue {
  public:
    void post(Task task) override;
    void postAfter(std::chrono::milliseconds delay, Task task) override;
    void runFor(std::chrono::milliseconds slice) override;
    void runFor(std::chrono::milliseconds slice, const std::function<bool()>& stop) override;
    void sleepFor(std::chrono::milliseconds pause) override;
    [[nodiscard]] Clock::time_point now() const override;
};

}  // namespace pagemate::linux_backend
