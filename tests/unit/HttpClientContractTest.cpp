// The HTTP client's contract on its scripted fake, which the unit tests stand on.
// (libcurl's client is checked the same way in the service tests; the web view's
// promises on the engine's view in PanelWebTest.)

#include <gtest/gtest.h>

#include <thread>

#include "contracts/HttpClientContract.h"
#include "platform/fake/ScriptedHttpClient.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

TEST(HttpClientContract, ScriptedFake) {
    const auto to = [](const char* url) {
        return [url] {
            HttpRequest request;
            request.url = url;
            return request;
        };
    };
    testing::checkHttpClientContract(
        [] {
            auto client = std::make_unique<fake::ScriptedHttpClient>();
            client->respondWith([](const HttpRequest& asked) {
                if (asked.url.ends_with("/slow")) {
                    std::this_thread::sleep_for(1s);
                }
                return HttpResponse{200, "{}", std::nullopt};
            });
            return client;
        },
        to("http://127.0.0.1:9/quick"), to("http://127.0.0.1:9/slow"));
}

}  // namespace
}  // namespace pagemate
