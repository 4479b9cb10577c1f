#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/fake/VirtualClockQueue.h"
#include "platform/linux/GLibMainQueue.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

TEST(GLibMainQueue, RunsPostedWorkOnTheLoopThreadInOrder) {
    linux_backend::GLibMainQueue queue;
    std::vector<int> order;
    const auto loopThread = std::this_thread::get_id();
    std::atomic<bool> onLoopThread = true;

    queue.postAfter(30ms, [&] { order.push_back(3); });
    queue.post([&] { order.push_back(1); });
    std::thread other([&] {
        queue.post([&] {
            onLoopThread = onLoopThread && std::this_thread::get_id() == loopThread;
            order.push_back(2);
        });
    });
    other.join();
    // The 30 ms task is not due after a 5 ms slice, and is after a longer one.
    queue.runFor(5ms);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    const auto start = queue.now();
    queue.runFor(200ms);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(onLoopThread);
    EXPECT_GE(queue.now() - start, 200ms);  // the slice is served in full
}

TEST(GLibMainQueue, NestedSlicesInsideATaskKeepTheLoopAlive) {
    linux_backend::GLibMainQueue queue;
    bool inner = false;
    bool outerDone = false;
    queue.post([&] {
        queue.postAfter(10ms, [&] { inner = true; });
        // A wait inside a task, as the clipboard waits do.
        while (!inner) {
            queue.runFor(20ms);
        }
        outerDone = true;
    });
    queue.runFor(500ms);
    EXPECT_TRUE(inner);
    EXPECT_TRUE(outerDone);
}

TEST(VirtualClockQueue, RunsTasksInDueOrderAsTimePasses) {
    fake::VirtualClockQueue queue;
    std::vector<std::string> order;
    const auto start = queue.now();
    queue.postAfter(800ms, [&] { order.push_back("800"); });
    queue.postAfter(200ms, [&] {
        order.push_back("200");
        queue.postAfter(100ms, [&] { order.push_back("200+100"); });
        queue.post([&] { order.push_back("200+0"); });
    });
    queue.post([&] { order.push_back("now-a"); });
    queue.post([&] { order.push_back("now-b"); });

    queue.runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"now-a", "now-b"}));
    EXPECT_EQ(queue.now(), start);

    queue.advance(299ms);
    EXPECT_EQ(order, (std::vector<std::string>{"now-a", "now-b", "200", "200+0"}));
    queue.advance(1ms);
    EXPECT_EQ(order.back(), "200+100");
    EXPECT_EQ(queue.now() - start, 300ms);
    queue.advance(10s);
    EXPECT_EQ(order.back(), "800");
    EXPECT_EQ(queue.pendingCount(), 0u);
    EXPECT_EQ(queue.now() - start, 10300ms);
}

TEST(VirtualClockQueue, RunUntilTakesPostsFromOtherThreads) {
    fake::VirtualClockQueue queue;
    std::atomic<int> value = 0;
    std::thread worker([&] {
        std::this_thread::sleep_for(20ms);
        queue.post([&] { value = 7; });
    });
    EXPECT_TRUE(queue.runUntil([&] { return value == 7; }, 5s));
    worker.join();
    EXPECT_FALSE(queue.runUntil([] { return false; }, 10ms));
}

}  // namespace
}  // namespace pagemate
