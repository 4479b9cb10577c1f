#pragma once

#include <chrono>
#include <functional>

namespace pagemate {

// The main thread's run loop. Every controller, delayed step and continuation runs
// here; other threads hand work over with post(). All delays go through postAfter()
// so that tests can run them on a virtual clock.
class MainQueue {
  public:
    using Task = std::function<void()>;
    using Clock = std::chrono::steady_clock;

    virtual ~MainQueue() = default;

    // Runs the task on the main thread soon. Safe to call from any thread.
    virtual void post(Task task) = 0;
    // Runs the task on the main thread once the delay has passed. Safe from any thread.
    virtual void postAfter(std::chrono::milliseconds delay, Task task) = 0;
    // Runs the loop on the calling (main) thread for the given slice, handling whatever
    // becomes due meanwhile; used by waits that must keep the interface alive.
    virtual void runFor(std::chrono::milliseconds slice) = 0;
    // The same, returning as soon as `stop` holds after something has run.
    virtual void runFor(std::chrono::milliseconds slice, const std::function<bool()>& stop) = 0;
    // Blocks the calling thread without running the loop (the short pauses between
    // key events). On a virtual clock, time moves on and nothing runs meanwhile.
    virtual void sleepFor(std::chrono::milliseconds pause) = 0;
    // Monotonic time as this queue sees it.
    [[nodiscard]] virtual Clock::time_point now() const = 0;

    // The end of the queue, at the platform's shutdown, on the main thread once the loop
    // has stopped: the tasks still waiting are destroyed unrun (with whatever they
    // hold), here and now; a task posted later is destroyed by the poster, unrun.
    virtual void close() = 0;
};

}  // namespace pagemate
