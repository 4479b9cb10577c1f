#include "platform/fake/VirtualClockQueue.h"

namespace pagemate::fake {

void VirtualClockQueue::post(Task task) {
    postAfter(std::chrono::milliseconds(0), std::move(task));
}

void VirtualClockQueue::postAfter(std::chrono::milliseconds delay, Task task) {
    {
        std::unique_lock lock(mutex_);
        if (closed_) {
            lock.unlock();
            task = nullptr;  // outside the lock: what it holds may post
            return;
        }
        const auto due = now_ + std::max(delay, std::chrono::milliseconds(0));
        tasks_.emplace(Key{due, sequence_++}, std::move(task));
    }
    posted_.notify_all();
}

void VirtualClockQueue::close() {
    std::map<Key, Task> waiting;
    {
        const std::lock_guard lock(mutex_);
        closed_ = true;
        waiting.swap(tasks_);
    }
    waiting.clear();  // outside the lock: what they hold may post
}

MainQueue::Clock::time_point VirtualClockQueue::now() const {
    const std::lock_guard lock(mutex_);
    return now_;
}

bool VirtualClockQueue::runOneDueBy(Clock::time_point limit) {
    Task task;
    {
        const std::lock_guard lock(mutex_);
        if (tasks_.empty() || tasks_.begin()->first.first > limit) {
            return false;
        }
        auto first = tasks_.begin();
        now_ = std::max(now_, first->first.first);
        task = std::move(first->second);
        tasks_.erase(first);
    }
    task();  // outside the lock: tasks post more tasks
    return true;
}

void VirtualClockQueue::runUntilIdle() {
    while (runOneDueBy(now())) {
    }
}

void VirtualClockQueue::advance(std::chrono::milliseconds duration) {
    const Clock::time_point target = now() + duration;
    while (runOneDueBy(target)) {
    }
    const std::lock_guard lock(mutex_);
    now_ = std::max(now_, target);
}

void VirtualClockQueue::runFor(std::chrono::milliseconds slice, const std::function<bool()>& stop) {
    const Clock::time_point target = now() + slice;
    while (runOneDueBy(target)) {
        if (stop()) {
            return;
        }
    }
    const std::lock_guard lock(mutex_);
    now_ = std::max(now_, target);
}

void VirtualClockQueue::sleepFor(std::chrono::milliseconds pause) {
    const std::lock_guard lock(mutex_);
    now_ += std::max(pause, std::chrono::milliseconds(0));
}

std::size_t VirtualClockQueue::pendingCount() const {
    const std::lock_guard lock(mutex_);
    return tasks_.size();
}

bool VirtualClockQueue::waitForPost(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    return posted_.wait_until(
        lock, until, [this] { return !tasks_.empty() && tasks_.begin()->first.first <= now_; });
}

}  // namespace pagemate::fake
