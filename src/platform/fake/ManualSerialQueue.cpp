#include "platform/fake/ManualSerialQueue.h"

#include <utility>

namespace pagemate::fake {

namespace {

class ManualSerialQueue final : public SerialQueue {
  public:
    explicit ManualSerialQueue(std::shared_ptr<ManualTasks> tasks) : tasks_(std::move(tasks)) {}
    ManualSerialQueue(const ManualSerialQueue&) = delete;
    ManualSerialQueue& operator=(const ManualSerialQueue&) = delete;
    ~ManualSerialQueue() override { tasks_->destroy(); }

    void post(Task task) override { tasks_->post(std::move(task)); }
    void waitForQueued() override { tasks_->waitForQueued(); }

  private:
    std::shared_ptr<ManualTasks> tasks_;
};

}  // namespace

std::size_t ManualTasks::pending() const {
    const std::lock_guard lock(mutex_);
    return tasks_.size();
}

std::size_t ManualTasks::waiting() const {
    const std::lock_guard lock(mutex_);
    return waiting_;
}

bool ManualTasks::destroyed() const {
    const std::lock_guard lock(mutex_);
    return destroyed_;
}

bool ManualTasks::runNext() {
    SerialQueue::Task task;
    {
        const std::lock_guard lock(mutex_);
        if (tasks_.empty()) {
            return false;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    task();
    task = nullptr;
    {
        const std::lock_guard lock(mutex_);
        ++done_;
    }
    changed_.notify_all();
    return true;
}

std::size_t ManualTasks::runAll() {
    std::size_t count = 0;
    while (runNext()) {
        ++count;
    }
    return count;
}

void ManualTasks::post(SerialQueue::Task task) {
    const std::lock_guard lock(mutex_);
    if (!destroyed_) {
        tasks_.push_back(std::move(task));
        ++posted_;
    }
}

void ManualTasks::waitForQueued() {
    std::unique_lock lock(mutex_);
    const std::uint64_t target = posted_;
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return done_ >= target || destroyed_; });
    --waiting_;
}

void ManualTasks::destroy() {
    std::deque<SerialQueue::Task> dropped;
    {
        const std::lock_guard lock(mutex_);
        destroyed_ = true;
        dropped.swap(tasks_);
    }
    changed_.notify_all();
}

std::unique_ptr<SerialQueue> ManualSerialQueues::make(const std::string& name) {
    auto tasks = std::make_shared<ManualTasks>(name);
    {
        const std::lock_guard lock(mutex_);
        made_.push_back(tasks);
    }
    return std::make_unique<ManualSerialQueue>(std::move(tasks));
}

std::vector<std::shared_ptr<ManualTasks>> ManualSerialQueues::made() const {
    const std::lock_guard lock(mutex_);
    return made_;
}

std::shared_ptr<ManualTasks> ManualSerialQueues::latest(const std::string& name) const {
    const std::lock_guard lock(mutex_);
    for (auto tasks = made_.rbegin(); tasks != made_.rend(); ++tasks) {
        if ((*tasks)->name() == name) {
            return *tasks;
        }
    }
    return nullptr;
}

}  // namespace pagemate::fake
