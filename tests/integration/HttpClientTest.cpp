#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

#include "contracts/HttpClientContract.h"
#include "fixtures/RawHttpCapture.h"
#include "fixtures/StandInService.h"
#include "harness/TestSupport.h"
#include "platform/linux/CurlHttpClient.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using linux_backend::CurlHttpClient;
using Kind = NetworkError::Kind;

HttpRequest to(std::string url, std::chrono::milliseconds timeout = 5s) {
    HttpRequest request;
    request.url = std::move(url);
    request.timeout = timeout;
    return request;
}

std::optional<Kind> failure(const HttpResponse& response) {
    return response.error ? std::optional(response.error->kind) : std::nullopt;
}

class HttpClientTest : public ::testing::Test {
  protected:
    // Sends one request and waits for its completion.
    HttpResponse exchange(HttpRequest request) {
        auto promise = std::make_shared<std::promise<HttpResponse>>();
        auto future = promise->get_future();
        client.send(std::move(request),
                    [promise](HttpResponse response) { promise->set_value(std::move(response)); });
        if (future.wait_for(30s) != std::future_status::ready) {
            ADD_FAILURE() << "no completion";
            return {};
        }
        return future.get();
    }

    testing::StandInService service;
    CurlHttpClient client;
};

TEST_F(HttpClientTest, SendsHeadersAndBodiesAndReadsTheAnswer) {
    service.answer("/echo", 201, R"({"ok":true})");
    service.answer("/empty", 200, "");
    HttpRequest json = to(service.base() + "/echo");
    json.method = "POST";
    json.body = std::string(R"({"a":1})");
    json.headers = {{"Content-Type", "application/json"}, {"x-other", "value 1"}};
    const HttpResponse answered = exchange(json);
    EXPECT_EQ(answered.status, 201);
    EXPECT_EQ(answered.body, R"({"ok":true})");
    HttpRequest bodiless = to(service.base() + "/empty");
    bodiless.method = "POST";
    // An empty body of a completed exchange is present, not missing.
    EXPECT_EQ(exchange(bodiless).body, std::optional<std::string>(""));
    // Line breaks in a header would smuggle in headers of their own: not sent.
    HttpRequest smuggling = to(service.base() + "/echo");
    smuggling.headers = {{"x-app-password", "pw\r\nx-admin: 1"}};
    EXPECT_EQ(failure(exchange(smuggling)), Kind::invalidRequest);

    const auto received = service.received();
    ASSERT_EQ(received.size(), 2U);
    EXPECT_EQ(received[0].body, R"({"a":1})");
    EXPECT_EQ(received[0].header("Content-Type"), "application/json");
    EXPECT_EQ(received[0].header("x-other"), "value 1");
    EXPECT_EQ(received[1].method, "POST");
    EXPECT_EQ(received[1].body, "");
    EXPECT_FALSE(received[1].hasHeader("Content-Type"));  // no form-encoding claim
    EXPECT_FALSE(received[1].hasHeader("Expect"));

    // A header with an empty value is sent (a server library would drop it: the wire).
    testing::RawHttpCapture wire;
    HttpRequest bare = to(wire.base() + "/api/history");
    bare.headers = {{"x-app-password", ""}};
    exchange(bare);
    EXPECT_NE(wire.head().find("\r\nx-app-password:\r\n"), std::string::npos);
}

TEST_F(HttpClientTest, FailuresHaveTheirKinds) {
    service.answer("/huge", 200, std::string((8U << 20) + 1, 'x'));
    service.answer("/fits", 200, std::string(8U << 20, 'y'));
    // Streaming a file is shown by the recording's upload (RecorderUploadTest).
    HttpRequest unreadable = to(service.base() + "/fits");
    unreadable.method = "POST";
    unreadable.body = std::filesystem::path("/nonexistent/meeting.m4a");
    const std::vector<std::pair<HttpRequest, std::optional<Kind>>> cases = {
        {to(service.base() + "/huge"), Kind::responseTooLarge},
        {to(service.base() + "/fits"), std::nullopt},
        {unreadable, Kind::fileUnreadable},
        {to("http://127.0.0.1:" + std::to_string(testing::refusingPort())), Kind::cannotConnect},
        {to("/health"), Kind::invalidURL},
        {to("ftp://127.0.0.1/x"), Kind::invalidURL},
        {to("file:///etc/passwd"), Kind::invalidURL},
        {to("health"), Kind::invalidURL},
        {to(""), Kind::invalidURL},
    };
    for (const auto& [request, kind] : cases) {
        const HttpResponse response = exchange(request);
        EXPECT_EQ(failure(response), kind) << request.url;
        // A body exactly when the exchange completed: whole, or none at all.
        EXPECT_EQ(response.body.has_value(), !kind) << request.url;
    }

    // A server that never answers: curl times out on its own clock.
    service.answerLate("/silent", 60s, 200, "{}");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(exchange(to(service.base() + "/silent", 400ms))), Kind::timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 350ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST(HttpRedirectRule, SameHostAndNeverDownFromHttps) {
    const auto follows = &CurlHttpClient::mayFollowRedirect;
    EXPECT_TRUE(follows("http://127.0.0.1:4310/x", "http://127.0.0.1:4310/y"));
    EXPECT_TRUE(follows("http://127.0.0.1:4310/x", "https://127.0.0.1/x"));  // upgraded
    EXPECT_TRUE(follows("http://pagemate.example/x", "https://PageMate.example:8443/x"));
    EXPECT_TRUE(follows("https://pagemate.example/x", "https://pagemate.example:8443/y"));
    EXPECT_FALSE(follows("https://pagemate.example/x", "http://pagemate.example/x"));
    EXPECT_FALSE(follows("http://127.0.0.1/x", "http://localhost/x"));
    EXPECT_FALSE(follows("http://pagemate.example/x", "https://evil.example/x"));
    EXPECT_FALSE(follows("http://pagemate.example/x", "ftp://pagemate.example/x"));
    EXPECT_FALSE(follows("http://pagemate.example/x", "not an address"));
}

TEST_F(HttpClientTest, RedirectsStayOnTheHostAndMayUpgradeToHttps) {
    testing::StandInService otherPort;  // the same host on another port
    otherPort.answer("/moved-here", 200, "other port");
    testing::StandInService otherHost;
    testing::RawHttpCapture secure;  // stands for the service's https address
    const auto redirect = [&](const std::string& path, const std::string& target, int status) {
        service.on(path, [target, status](const httplib::Request&, httplib::Response& response) {
            response.set_redirect(target, status);
        });
    };
    redirect("/moved", "/final", 302);
    redirect("/port", otherPort.base() + "/moved-here", 301);
    redirect("/upgrade", "https" + secure.base().substr(4) + "/api", 301);
    redirect("/away", "http://localhost:" + std::to_string(otherHost.port()) + "/elsewhere", 302);
    redirect("/loop", "/loop", 307);
    service.answer("/final", 200, "here");
    const auto withPassword = [&](const std::string& path, const std::string& method = "GET") {
        HttpRequest request = to(service.base() + path);
        request.method = method;
        request.body = method == "POST" ? HttpRequest::Body(std::string("{}")) : std::monostate();
        request.headers = {{"x-app-password", "secret"}};
        return exchange(request);
    };

    EXPECT_EQ(withPassword("/moved").body, "here");
    EXPECT_EQ(service.received().back().header("x-app-password"), "secret");
    // After a POST, a 302 goes on as a GET without the body, as browsers do.
    EXPECT_EQ(withPassword("/moved", "POST").body, "here");
    EXPECT_EQ(service.received().back().method, "GET");
    EXPECT_EQ(service.received().back().body, "");
    // Another port of the same host: followed, as an https address on it would be.
    EXPECT_EQ(withPassword("/port").body, "other port");
    EXPECT_EQ(otherPort.received().at(0).header("x-app-password"), "secret");
    // http to https: the client goes there and opens with a TLS handshake record (content
    // type 22, version 3.x), gets no answer, and the exchange ends in a secure-connection
    // error rather than in the 301.
    EXPECT_EQ(failure(withPassword("/upgrade")), Kind::secureConnectionFailed);
    EXPECT_EQ(secure.head().substr(0, 2), std::string("\x16\x03"));
    // Another host: the redirect comes back as it is and the password stays home.
    EXPECT_EQ(withPassword("/away").status, 302);
    EXPECT_TRUE(otherHost.received().empty());
    EXPECT_EQ(failure(withPassword("/loop")), Kind::tooManyRedirects);
    EXPECT_EQ(service.countFor("/loop"), 6U);
}

TEST_F(HttpClientTest, SlowRequestsDoNotHoldUpQuickOnes) {
    service.answerLate("/slow", 3s, 200, "slow");
    std::mutex mutex;
    std::condition_variable changed;
    int quick = 0;
    client.send(to(service.base() + "/slow", 10s), [](const HttpResponse&) {});
    for (int index = 0; index < 5; ++index) {
        client.send(to(service.base() + "/health"), [&](const HttpResponse&) {
            const std::lock_guard lock(mutex);
            ++quick;
            changed.notify_all();
        });
    }
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, 2s, [&] { return quick == 5; }));
}

TEST_F(HttpClientTest, KeepsTheHttpClientContract) {
    service.answer("/quick", 200, "{}");
    service.answerLate("/slow", 1s, 200, "{}");
    testing::checkHttpClientContract([] { return std::make_unique<CurlHttpClient>(); },
                                     [&] { return to(service.base() + "/quick"); },
                                     [&] { return to(service.base() + "/slow"); });
}

}  // namespace
}  // namespace pagemate
