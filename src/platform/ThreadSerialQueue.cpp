#include "platform/ThreadSerialQueue.h"

#include <pthread.h>

#include <algorithm>
#include <utility>

namespace pagemate {

void nameCurrentThread(const std::string& name) {
    // The kernel keeps 15 bytes and a terminating zero; a longer name is refused.
    constexpr std::size_t kLimit = 15;
    std::size_t length = std::min(name.size(), kLimit);
    while (length > 0 && length < name.size() &&
           (static_cast<unsigned char>(name[length]) & 0xC0U) == 0x80U) {
        --length;
    }
#if defined(__APPLE__)
    pthread_setname_np(name.substr(0, length).c_str());
#else
    pthread_setname_np(pthread_self(), name.substr(0, length).c_str());
#endif
}

ThreadSerialQueue::ThreadSerialQueue(std::string name)
    : name_(std::move(name)), thread_([this] { run(); }) {}

ThreadSerialQueue::~ThreadSerialQueue() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void ThreadSerialQueue::post(Task task) {
    {
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            return;  // only a task run by the destructor can get here
        }
        tasks_.push_back(std::move(task));
        ++posted_;
    }
    changed_.notify_all();
}

void ThreadSerialQueue::waitForQueued() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    changed_.wait(lock, [&] { return done_ >= target; });
}

void ThreadSerialQueue::run() {
    nameCurrentThread(name_);
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            return;  // stopping, and everything posted has run
        }
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // what the task holds goes before it counts as done
        lock.lock();
        ++done_;
        changed_.notify_all();
    }
}

}  // namespace pagemate
