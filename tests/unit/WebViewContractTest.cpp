// The port contracts on the implementations that need no engine or network: the web
// view's recording fake and the view of a window system without a display, the
// scripted HTTP client. (The engine's view and libcurl's client are checked the same
// way in the web and service tests.)

#include <gtest/gtest.h>

#include "contracts/HttpClientContract.h"
#include "contracts/WebViewContract.h"
#include "platform/UnavailableWindowSystem.h"
#include "platform/fake/FakePlatform.h"

#include <thread>

namespace pagemate {
namespace {

using namespace std::chrono_literals;

TEST(WebViewContract, RecordingFakeAndViewWithoutDisplay) {
    fake::FakePlatform platform;
    UnavailableWindowSystem windows;
    const auto pump = [&](const std::function<bool()>& done) {
        return platform.queue.runUntil(done, 200ms);
    };
    testing::checkWebViewContract([] { return std::make_shared<fake::RecordingWebView>(); }, pump);
    testing::checkWebViewContract([&] { return testing::panelWebView(windows.createPanel({})); },
                                  pump);
}

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
