#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace pagemate {

// The owner of short-lived worker threads: blocking work (loading a speech model, the
// probes' feeds, freeing a decoder) whose continuation is posted elsewhere. Each thread
// is named (at most 15 bytes show) and kept until it is joined: a finished one at the
// next run(), the rest by stop(), which signals their stop tokens, then joins them, in
// that order. Work handed over after stop() is dropped unrun, so nothing started here
// outlives what stopped it.
//
// Any thread may call run(); stop() is called by the owner's owner (never from one of
// these threads), and again by the destructor.
class BackgroundThreads {
  public:
    using Work = std::function<void(std::stop_token)>;

    BackgroundThreads() = default;
    BackgroundThreads(const BackgroundThreads&) = delete;
    BackgroundThreads& operator=(const BackgroundThreads&) = delete;
    ~BackgroundThreads();

    // Starts `work` on a thread of its own; false (and the work dropped) after stop().
    bool run(std::string name, Work work);

    // Signal, then join every thread running now; later work still starts.
    void joinRunning();
    // The same, and later work is refused.
    void stop();

  private:
    struct Worker {
        std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
        std::jthread thread;
    };
    // Joins the workers that have finished; with the lock held.
    void reapFinished();

    std::mutex mutex_;
    bool stopped_ = false;
    std::list<Worker> workers_;
};

}  // namespace pagemate
