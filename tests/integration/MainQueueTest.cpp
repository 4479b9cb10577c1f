#include <glib.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <thread>

#include "platform/ThreadSerialQueue.h"
#include "platform/linux/GLibMainQueue.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

TEST(GLibMainQueue, RunsPostedWorkOnTheLoopThreadInOrderAndDelayedWorkWhenDue) {
    linux_backend::GLibMainQueue queue;
    std::vector<std::string> order;
    const auto loopThread = std::this_thread::get_id();
    std::atomic<bool> onLoopThread = true;

    queue.postAfter(30ms, [&] { order.emplace_back("after 30 ms"); });
    // A plain GLib timer of 45 ms, attached after it: a stretched delay would let it first.
    g_timeout_add(
        45,
        [](gpointer data) -> gboolean {
            static_cast<std::vector<std::string>*>(data)->emplace_back("45 ms timer");
            return G_SOURCE_REMOVE;
        },
        &order);
    queue.post([&] { order.emplace_back("posted"); });
    std::thread other([&] {
        queue.post([&] {
            onLoopThread = onLoopThread && std::this_thread::get_id() == loopThread;
            order.emplace_back("from another thread");
        });
    });
    other.join();
    const auto start = queue.now();
    queue.runFor(200ms);
    EXPECT_EQ(order, (std::vector<std::string>{"posted", "from another thread", "after 30 ms",
                                               "45 ms timer"}));
    EXPECT_TRUE(onLoopThread);
    EXPECT_GE(queue.now() - start, 200ms);  // the slice is served in full
}

// The recorder's and the channels' queues: waiting for the queued work outlasts the last
// task, which runs on a thread named as the queue, cut to what the kernel keeps.
TEST(ThreadSerialQueue, WaitingOutlastsTheLastTaskOnAThreadOfTheQueuesName) {
    ThreadSerialQueue queue("meeting-recorder");
    std::atomic<bool> ended = false;
    std::array<char, 32> name{};
    queue.post([&] {
        std::this_thread::sleep_for(50ms);
        pthread_getname_np(pthread_self(), name.data(), name.size());
        ended = true;
    });
    queue.waitForQueued();
    ASSERT_TRUE(ended);
    EXPECT_STREQ(name.data(), "meeting-recorde");
}

}  // namespace
}  // namespace pagemate
