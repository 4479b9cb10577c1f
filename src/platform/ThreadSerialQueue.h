#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/SerialQueue.h"

namespace pagemate {

// A serial queue on a std::thread of its own, started with the queue.
class ThreadSerialQueue final : public SerialQueue {
  public:
    explicit ThreadSerialQueue(std::string name);
    ThreadSerialQueue(const ThreadSerialQueue&) = delete;
    ThreadSerialQueue& operator=(const ThreadSerialQueue&) = delete;
    // Signal, run what is left, join.
    ~ThreadSerialQueue() override;

    void post(Task task) override;
    void waitForQueued() override;

  private:
    void run();

    std::string name_;
    // Guards everything below but the thread itself.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Task> tasks_;
    std::uint64_t posted_ = 0;  // tasks ever posted
    std::uint64_t done_ = 0;    // tasks that have run to their end
    bool stopping_ = false;
    // Last, so that it starts once the fields above exist.
    std::thread thread_;
};

// The queues of a program: ThreadSerialQueue each.
class ThreadSerialQueues final : public SerialQueues {
  public:
    std::unique_ptr<SerialQueue> make(const std::string& name) override {
        return std::make_unique<ThreadSerialQueue>(name);
    }
};

// Gives the calling thread its name in the tools (ps, top, gdb); at most 15 bytes are
// kept, cut where a UTF-8 character begins.
void nameCurrentThread(const std::string& name);

}  // namespace pagemate
