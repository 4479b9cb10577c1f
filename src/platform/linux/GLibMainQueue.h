#pragma once

#include <memory>

#include "platform/MainQueue.h"

namespace pagemate::linux_backend {

// The main queue on GLib's default main context, which GTK's loop also runs. It keeps
// the sources of its waiting tasks, so that close() can destroy them.
class GLibMainQueue final : public MainQueue {
  public:
    GLibMainQueue();
    GLibMainQueue(const GLibMainQueue&) = delete;
    GLibMainQueue& operator=(const GLibMainQueue&) = delete;
    ~GLibMainQueue() override;

    void post(Task task) override;
    void postAfter(std::chrono::milliseconds delay, Task task) override;
    void runFor(std::chrono::milliseconds slice) override;
    void runFor(std::chrono::milliseconds slice, const std::function<bool()>& stop) override;
    void sleepFor(std::chrono::milliseconds pause) override;
    [[nodiscard]] Clock::time_point now() const override;
    void close() override;

    struct Waiting;

  private:
    // Shared with the sources, which may outlive the queue in GLib's context.
    std::shared_ptr<Waiting> waiting_;
};

}  // namespace pagemate::linux_backend
