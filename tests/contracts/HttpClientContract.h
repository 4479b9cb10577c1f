#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "platform/HttpClient.h"

namespace pagemate::testing {

// The promises of every HttpClient (HttpClient.h): a completion runs once, never on the
// caller's thread, and never after cancel() has returned or the client is gone.
// `quick` is a request answered at once, `slow` one answered after about a second.
inline void checkHttpClientContract(const std::function<std::unique_ptr<HttpClient>()>& makeClient,
                                    const std::function<HttpRequest()>& quick,
                                    const std::function<HttpRequest()>& slow) {
    using namespace std::chrono_literals;
    std::unique_ptr<HttpClient> client = makeClient();
    auto completions = std::make_shared<std::atomic<int>>(0);
    const auto count = [completions](const HttpResponse&) { ++*completions; };
    std::promise<std::thread::id> answered;
    client->send(quick(), [&answered, completions](const HttpResponse&) {
        if (++*completions == 1) {
            answered.set_value(std::this_thread::get_id());
        }
    });
    std::future<std::thread::id> thread = answered.get_future();
    ASSERT_EQ(thread.wait_for(5s), std::future_status::ready);
    EXPECT_NE(thread.get(), std::this_thread::get_id()) << "completed on the caller's thread";

    // Cancelled before the answer (unknown ids ignored), then in flight when the client goes.
    const HttpClient::RequestId id = client->send(slow(), count);
    std::this_thread::sleep_for(50ms);
    client->cancel(id);
    client->cancel(id + 1000);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(*completions, 1) << "a cancelled request completed, or the quick one twice";
    client->send(slow(), count);
    std::this_thread::sleep_for(50ms);
    client.reset();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(*completions, 1) << "a request completed after its client was destroyed";
}

}  // namespace pagemate::testing
