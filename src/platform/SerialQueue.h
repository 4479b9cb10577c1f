#pragma once

#include <functional>
#include <memory>
#include <string>

namespace pagemate {

// Tasks run one at a time, in the order they were posted, on a thread of the queue's
// own (named after the queue), never on the thread that posts them.
// - post() may be called from any thread, also from inside a task of the queue.
// - waitForQueued() blocks the calling thread until every task posted before the call
//   has run. Never call it from inside a task of the same queue (it would wait for
//   itself), nor on the main thread (it may take as long as the tasks do).
// - Destroying the queue stops it taking tasks, runs the ones already posted, then
//   joins its thread: once the destructor has returned, no task of it runs or is
//   running. Tasks must not destroy their own queue.
class SerialQueue {
  public:
    using Task = std::function<void()>;

    virtual ~SerialQueue() = default;
    virtual void post(Task task) = 0;
    virtual void waitForQueued() = 0;
};

// Makes serial queues; any thread. The name is the thread's name as tools show it
// (at most 15 bytes are kept).
class SerialQueues {
  public:
    virtual ~SerialQueues() = default;
    virtual std::unique_ptr<SerialQueue> make(const std::string& name) = 0;
};

}  // namespace pagemate
