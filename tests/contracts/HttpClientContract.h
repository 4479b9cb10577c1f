#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "platform/HttpClient.h"

namespace pagemate::testing {

// The promises every HttpClient makes (HttpClient.h), checked the same way on each:
// a completion never runs inside send() nor on the caller's thread, runs once, and
// never after cancel() has returned or the client is gone.
//   makeClient: a fresh client;
//   quick: a request answered at once; slow: one answered after about a second.
inline void checkHttpClientContract(const std::function<std::unique_ptr<HttpClient>()>& makeClient,
                                    const std::function<HttpRequest()>& quick,
                                    const std::function<HttpRequest()>& slow) {
    using namespace std::chrono_literals;
    std::unique_ptr<HttpClient> client = makeClient();

    // Elsewhere (not on the caller's thread), once.
    std::atomic<int> completions = 0;
    std::atomic<bool> onCallerThread = false;
    std::promise<void> answered;
    client->send(quick(), [&, caller = std::this_thread::get_id()](const HttpResponse&) {
        onCallerThread = onCallerThread || std::this_thread::get_id() == caller;
        if (++completions == 1) {
            answered.set_value();
        }
    });
    ASSERT_EQ(answered.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(onCallerThread) << "the completion ran on the caller's thread";
    EXPECT_EQ(completions, 1);

    // Cancelled before the answer, or in flight when the client goes: nothing arrives,
    // during or after. Unknown ids are ignored.
    auto late = std::make_shared<std::atomic<int>>(0);
    const HttpClient::RequestId id = client->send(slow(), [late](const HttpResponse&) { ++*late; });
    std::this_thread::sleep_for(50ms);
    client->cancel(id);
    client->cancel(id + 1000);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(*late, 0) << "a cancelled request completed";
    client->send(slow(), [late](const HttpResponse&) { ++*late; });
    std::this_thread::sleep_for(50ms);
    client.reset();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(*late, 0) << "a request completed after its client was destroyed";
}

}  // namespace pagemate::testing
