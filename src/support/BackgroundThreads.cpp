#include "support/BackgroundThreads.h"

#include <pthread.h>

#include <utility>

namespace pagemate {

BackgroundThreads::~BackgroundThreads() {
    stop();
}

void BackgroundThreads::reapFinished() {
    workers_.remove_if([](Worker& worker) {
        if (!worker.finished->load(std::memory_order_acquire)) {
            return false;
        }
        worker.thread.join();
        return true;
    });
}

bool BackgroundThreads::run(std::string name, Work work) {
    const std::lock_guard lock(mutex_);
    if (stopped_) {
        return false;
    }
    reapFinished();
    Worker& worker = workers_.emplace_back();
    worker.thread = std::jthread([name = std::move(name), work = std::move(work),
                                  finished = worker.finished](std::stop_token stop) {
        (void)pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
        work(std::move(stop));
        finished->store(true, std::memory_order_release);
    });
    return true;
}

void BackgroundThreads::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    joinRunning();
}

void BackgroundThreads::joinRunning() {
    std::list<Worker> running;
    {
        const std::lock_guard lock(mutex_);
        running.swap(workers_);
    }
    // Signal all first, then join: they wind down side by side.
    for (Worker& worker : running) {
        worker.thread.request_stop();
    }
    for (Worker& worker : running) {
        worker.thread.join();
    }
}

}  // namespace pagemate
