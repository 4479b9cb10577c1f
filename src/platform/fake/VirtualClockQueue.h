#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

#include "platform/MainQueue.h"

namespace pagemate::fake {

// A main queue on a virtual clock: time moves only when the test says so, and delayed
// tasks run in due order as it passes. Tasks may be posted from any thread; the test
// thread plays the main thread.
class VirtualClockQueue final : public MainQueue {
  public:
    void post(Task task) override;
    void postAfter(std::chrono::milliseconds delay, Task task) override;
    // As a nested run of the loop: the virtual clock moves on by the slice.
    void runFor(std::chrono::milliseconds slice) override { advance(slice); }
    // Stops at the due time of the task after which `stop` holds.
    void runFor(std::chrono::milliseconds slice, const std::function<bool()>& stop) override;
    // The blocked thread runs nothing; the clock moves on by the pause.
    void sleepFor(std::chrono::milliseconds pause) override;
    [[nodiscard]] Clock::time_point now() const override;
    void close() override;

    // Runs everything due now, including what those tasks post for now.
    void runUntilIdle();
    // Moves the clock on, running each task at its due time.
    void advance(std::chrono::milliseconds duration);
    // Runs tasks as they are posted (from other threads too) until `done` holds or
    // `realTimeout` of wall-clock time has passed; the virtual clock stands still.
    // `done` is checked after every task and every few milliseconds.
    // True when `done` held.
    template <typename Predicate>
    bool runUntil(Predicate done, std::chrono::milliseconds realTimeout);
    [[nodiscard]] std::size_t pendingCount() const;

  private:
    using Key = std::pair<Clock::time_point, std::uint64_t>;
    bool runOneDueBy(Clock::time_point limit);
    bool waitForPost(std::chrono::steady_clock::time_point until);

    mutable std::mutex mutex_;
    std::condition_variable posted_;
    Clock::time_point now_ = Clock::time_point(std::chrono::hours(1000));
    std::uint64_t sequence_ = 0;
    std::map<Key, Task> tasks_;
    bool closed_ = false;
};

template <typename Predicate>
bool VirtualClockQueue::runUntil(Predicate done, std::chrono::milliseconds realTimeout) {
    using std::chrono::steady_clock;
    const auto until = steady_clock::now() + realTimeout;
    for (;;) {
        runUntilIdle();
        if (done()) {
            return true;
        }
        if (steady_clock::now() >= until) {
            return false;
        }
        // Also wakes now and then: `done` may watch what other threads do directly.
        waitForPost(std::min(until, steady_clock::now() + std::chrono::milliseconds(5)));
    }
}

}  // namespace pagemate::fake
