#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <future>
#include <thread>
#include <variant>

#include "fixtures/StandInService.h"
#include "platform/linux/CurlHttpClient.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using linux_backend::CurlHttpClient;
using Kind = NetworkError::Kind;

HttpRequest to(std::string url, std::string method = "GET", HttpRequest::Body body = {},
               std::vector<HttpRequest::Header> headers = {},
               std::chrono::milliseconds timeout = 5s) {
    return {std::move(method), std::move(url), std::move(headers), std::move(body), timeout};
}

std::optional<Kind> failure(const HttpResponse& response) {
    return response.error ? std::optional(response.error->kind) : std::nullopt;
}

// Each request, and the body (and status) it comes back with or the kind of its failure;
// then the promises of every HttpClient (HttpClient.h).
TEST(HttpClientTest, AnswersRedirectsAndFailuresOfEachKindAndKeepsTheContract) {
    testing::StandInService service;
    testing::StandInService otherPort;  // the same host on another port
    otherPort.answer("/moved-here", 200, "other port");
    testing::StandInService otherHost;
    // One connection taken as it came off the wire, which a server library would normalise
    // (a header with an empty value): the head of its request.
    int wirePort = 0;
    const int listener = testing::loopbackSocket(wirePort, true);
    std::future<std::string> wire = std::async(std::launch::async, [listener] {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::string head;
        std::array<char, 4096> buffer{};
        for (ssize_t count = 0;
             head.find("\r\n\r\n") == std::string::npos &&
             (count = ::recv(connection, buffer.data(), buffer.size(), 0)) > 0;) {
            head.append(buffer.data(), static_cast<std::size_t>(count));
        }
        const std::string reply =
            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}";
        ::send(connection, reply.data(), reply.size(), MSG_NOSIGNAL);
        ::close(connection);
        return head;
    });
    const auto redirect = [&](const std::string& path, const std::string& target, int status) {
        service.on(path, [target, status](const httplib::Request&, httplib::Response& response) {
            response.set_redirect(target, status);
        });
    };
    redirect("/moved", "/final", 302);
    redirect("/port", otherPort.base() + "/moved-here", 301);
    redirect("/upgrade", "https" + otherPort.base().substr(4), 301);
    redirect("/away", "http://localhost:" + std::to_string(otherHost.port()) + "/elsewhere", 302);
    redirect("/loop", "/loop", 307);
    service.answer("/final", 200, "here");
    service.answer("/echo", 201, R"({"ok":true})");
    service.answer("/empty", 200, "");
    service.answer("/huge", 200, std::string((8U << 20) + 1, 'x'));
    service.answer("/fits", 200, std::string(8U << 20, 'y'));
    const std::string base = service.base();
    const std::vector<HttpRequest::Header> password = {{"x-app-password", "secret"}};
    const struct Case {
        HttpRequest request;
        std::variant<Kind, std::string> outcome;
        int status = 200;
    } cases[] = {
        {to(base + "/echo", "POST", std::string(R"({"a":1})"),
            {{"Content-Type", "application/json"}, {"x-other", "value 1"}}),
         R"({"ok":true})", 201},
        {to(base + "/empty", "POST"), ""},  // present, not missing
        // Line breaks in a header would smuggle in headers of their own: not sent.
        {to(base + "/echo", "GET", {}, {{"x-app-password", "pw\r\nx-admin: 1"}}),
         Kind::invalidRequest},
        {to("http://127.0.0.1:" + std::to_string(wirePort), "GET", {}, {{"x-app-password", ""}}),
         "{}"},
        {to(base + "/huge"), Kind::responseTooLarge},
        {to(base + "/fits"), std::string(8U << 20, 'y')},
        // Streaming a file is shown by the recording's upload (RecorderUploadTest).
        {to(base + "/fits", "POST", std::filesystem::path("/nonexistent/meeting.m4a")),
         Kind::fileUnreadable},
        {to("http://127.0.0.1:" + std::to_string(testing::refusingPort())), Kind::cannotConnect},
        {to("/health"), Kind::invalidURL},
        {to("ftp://127.0.0.1/x"), Kind::invalidURL},
        {to(""), Kind::invalidURL},
        {to(base + "/moved", "GET", {}, password), "here"},
        {to(base + "/moved", "POST", std::string("{}"), password), "here"},
        {to(base + "/port", "GET", {}, password), "other port"},
        // Up to https: followed, with a TLS handshake that the plain server cannot answer.
        {to(base + "/upgrade"), Kind::secureConnectionFailed},
        // Another host: the redirect comes back as it is, and the password stays home.
        {to(base + "/away", "GET", {}, password), "", 302},
        {to(base + "/loop"), Kind::tooManyRedirects},
    };
    // Meanwhile a server that never answers: curl gives up on its own clock, holding nothing up.
    service.answerLate("/silent", 60s, 200, "{}");
    auto client = std::make_unique<CurlHttpClient>();
    const auto exchange = [&](const HttpRequest& request) {
        auto promise = std::make_shared<std::promise<HttpResponse>>();
        client->send(request,
                     [promise](HttpResponse response) { promise->set_value(std::move(response)); });
        return promise->get_future();
    };
    const auto start = std::chrono::steady_clock::now();
    std::future<HttpResponse> silent = exchange(to(base + "/silent", "GET", {}, {}, 3s));
    EXPECT_EQ(exchange(to(base + "/health")).get().status, 200);
    EXPECT_EQ(silent.wait_for(0s), std::future_status::timeout);
    for (const auto& [request, outcome, status] : cases) {
        const HttpResponse response = exchange(request).get();
        if (const Kind* kind = std::get_if<Kind>(&outcome)) {
            EXPECT_EQ(failure(response), *kind) << request.url;
            EXPECT_FALSE(response.body) << request.url;  // a body only when it completed
        } else {
            EXPECT_EQ(failure(response), std::nullopt) << request.url;
            EXPECT_EQ(response.status, status) << request.url;
            EXPECT_TRUE(response.body == std::get<std::string>(outcome)) << request.url;
        }
    }

    std::map<std::string, testing::StandInService::ReceivedRequest> last;  // by path
    for (auto& request : service.received()) {
        last[request.path] = std::move(request);
    }
    EXPECT_EQ(service.countFor("/echo"), 1U);
    EXPECT_EQ(last["/echo"].body, R"({"a":1})");
    EXPECT_EQ(last["/echo"].header("Content-Type"), "application/json");
    EXPECT_EQ(last["/echo"].header("x-other"), "value 1");
    EXPECT_EQ(last["/empty"].method + last["/empty"].body, "POST");
    EXPECT_FALSE(last["/empty"].headers.contains("Content-Type"));  // no form-encoding claim
    EXPECT_FALSE(last["/empty"].headers.contains("Expect"));
    ::shutdown(listener, SHUT_RDWR);  // no wait for a connection that never came
    EXPECT_NE(wire.get().find("\r\nx-app-password:\r\n"), std::string::npos);
    ::close(listener);
    // After a POST, a 302 goes on as a GET without the body, as browsers do.
    EXPECT_EQ(last["/final"].method + last["/final"].body, "GET");
    EXPECT_EQ(last["/final"].header("x-app-password"), "secret");
    EXPECT_EQ(otherPort.received().at(0).header("x-app-password"), "secret");
    EXPECT_TRUE(otherHost.received().empty());
    EXPECT_EQ(service.countFor("/loop"), 6U);

    EXPECT_EQ(failure(silent.get()), Kind::timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2900ms);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);

    const auto follows = &CurlHttpClient::mayFollowRedirect;
    EXPECT_TRUE(follows("http://pagemate.example/x", "https://PageMate.example:8443/x"));
    EXPECT_FALSE(follows("https://pagemate.example/x", "http://pagemate.example/x"));
    EXPECT_FALSE(follows("http://pagemate.example/x", "ftp://pagemate.example/x"));
    EXPECT_FALSE(follows("http://pagemate.example/x", "not an address"));

    // A completion runs once, never on the caller's thread, and never after cancel() has
    // returned or the client is gone.
    service.answerLate("/slow", 1s, 200, "{}");
    auto completions = std::make_shared<std::atomic<int>>(0);
    const auto count = [completions](const HttpResponse&) { ++*completions; };
    std::promise<std::thread::id> answered;
    client->send(to(base + "/health"), [&answered, completions](const HttpResponse&) {
        if (++*completions == 1) {
            answered.set_value(std::this_thread::get_id());
        }
    });
    std::future<std::thread::id> thread = answered.get_future();
    ASSERT_EQ(thread.wait_for(5s), std::future_status::ready);
    EXPECT_NE(thread.get(), std::this_thread::get_id()) << "completed on the caller's thread";
    // Cancelled before the answer (unknown ids ignored), then in flight when the client goes.
    const HttpClient::RequestId id = client->send(to(base + "/slow"), count);
    std::this_thread::sleep_for(50ms);
    client->cancel(id);
    client->cancel(id + 1000);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(*completions, 1) << "a cancelled request completed, or the quick one twice";
    client->send(to(base + "/slow"), count);
    std::this_thread::sleep_for(50ms);
    client.reset();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(*completions, 1) << "a request completed after its client was destroyed";
}

}  // namespace
}  // namespace pagemate
