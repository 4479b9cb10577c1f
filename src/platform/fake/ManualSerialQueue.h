#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialQueue.h"

namespace pagemate::fake {

// The tasks of one manual queue: posted by the core from any thread, run only when
// the test says, on the test's thread, so that ordering rules can be checked step by
// step. waitForQueued() blocks (another thread) until the test has run what it waits
// for, or until the queue is destroyed.
class ManualTasks {
  public:
    explicit ManualTasks(std::string name) : name_(std::move(name)) {}

    [[nodiscard]] const std::string& name() const { return name_; }
    [[nodiscard]] std::size_t pending() const;
    // How many threads are blocked in waitForQueued().
    [[nodiscard]] std::size_t waiting() const;
    // Whether the queue handed to the core has been destroyed.
    [[nodiscard]] bool destroyed() const;
    // Runs the oldest task; false when there was none.
    bool runNext();
    // Runs tasks until none is left, also those posted meanwhile; how many ran.
    std::size_t runAll();

    // The core's side.
    void post(SerialQueue::Task task);
    void waitForQueued();
    void destroy();  // drops what has not run and wakes the waiters

  private:
    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<SerialQueue::Task> tasks_;
    std::uint64_t posted_ = 0;
    std::uint64_t done_ = 0;
    std::size_t waiting_ = 0;
    bool destroyed_ = false;
};

// Makes manual queues and keeps their tasks reachable for the test.
class ManualSerialQueues final : public SerialQueues {
  public:
    std::unique_ptr<SerialQueue> make(const std::string& name) override;

    // The tasks of every queue made, oldest first.
    [[nodiscard]] std::vector<std::shared_ptr<ManualTasks>> made() const;
    // The most recently made queue of that name, or null.
    [[nodiscard]] std::shared_ptr<ManualTasks> latest(const std::string& name) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ManualTasks>> made_;
};

}  // namespace pagemate::fake
