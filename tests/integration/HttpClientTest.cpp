#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <numeric>
#include <random>

#include "contracts/HttpClientContract.h"
#include "fixtures/RawHttpCapture.h"
#include "fixtures/StandInService.h"
#include "harness/TestSupport.h"
#include "platform/linux/CurlHttpClient.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using linux_backend::CurlHttpClient;
using testing::StandInService;

// Sends one request and waits for its completion (at most `limit`).
std::optional<HttpResponse> exchange(HttpClient& client, HttpRequest request,
                                     std::chrono::milliseconds limit = 10s) {
    auto promise = std::make_shared<std::promise<HttpResponse>>();
    auto future = promise->get_future();
    client.send(std::move(request),
                [promise](HttpResponse response) { promise->set_value(std::move(response)); });
    if (future.wait_for(limit) != std::future_status::ready) {
        return std::nullopt;
    }
    return future.get();
}

HttpRequest get(std::string url, std::chrono::milliseconds timeout = 5s) {
    HttpRequest request;
    request.url = std::move(url);
    request.timeout = timeout;
    return request;
}

class HttpClientTest : public ::testing::Test {
  protected:
    StandInService service;
    CurlHttpClient client;
};

TEST_F(HttpClientTest, SendsHeadersIncludingEmptyOnesAndReadsStatusAndBody) {
    service.answer("/echo", 201, R"({"ok":true})");
    HttpRequest request = get(service.base() + "/echo");
    request.headers = {{"x-app-password", ""}, {"x-other", "value 1"}};
    const auto response = exchange(client, request);
    ASSERT_TRUE(response);
    EXPECT_FALSE(response->error);
    EXPECT_EQ(response->status, 201);
    EXPECT_EQ(response->body, R"({"ok":true})");
    const auto received = service.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].method, "GET");
    EXPECT_EQ(received[0].header("x-other"), "value 1");

    // A header with an empty value is sent (the server library would drop it: look
    // at the wire).
    testing::RawHttpCapture wire;
    HttpRequest bare = get(wire.base() + "/api/history");
    bare.headers = {{"x-app-password", ""}};
    ASSERT_TRUE(exchange(client, bare));
    EXPECT_NE(wire.head().find("\r\nx-app-password:\r\n"), std::string::npos);

    // Line breaks in a header would smuggle in headers of their own: not sent.
    HttpRequest smuggling = get(service.base() + "/echo");
    smuggling.headers = {{"x-app-password", "pw\r\nx-admin: 1"}};
    const auto refused = exchange(client, smuggling);
    ASSERT_TRUE(refused && refused->error);
    EXPECT_EQ(refused->error->kind, NetworkError::Kind::invalidRequest);
    EXPECT_EQ(service.received().size(), 1u);

    // An empty body of a completed exchange is present, not missing.
    service.answer("/empty", 200, "");
    const auto empty = exchange(client, get(service.base() + "/empty"));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->body, std::optional<std::string>(""));
}

TEST_F(HttpClientTest, PostsBodiesFromMemoryNothingAndFiles) {
    service.answer("/post", 200, "{}");
    HttpRequest memory = get(service.base() + "/post");
    memory.method = "POST";
    memory.body = std::string("{\"a\":1}");
    memory.headers = {{"Content-Type", "application/json"}};
    ASSERT_TRUE(exchange(client, memory));

    HttpRequest none = get(service.base() + "/post");
    none.method = "POST";
    ASSERT_TRUE(exchange(client, none));

    // A file is streamed as it is read; 24 MiB of noise must arrive byte for byte.
    const testing::TempDir directory;
    const auto file = directory.path() / "meeting.m4a";
    std::string bytes(24u << 20, '\0');
    std::mt19937 random(7);
    for (char& byte : bytes) {
        byte = static_cast<char>(random());
    }
    testing::writeFile(file, bytes);
    HttpRequest upload = get(service.base() + "/post?name=a.m4a&type=audio%2Fmp4", 30s);
    upload.method = "POST";
    upload.body = file;
    upload.headers = {{"Content-Type", "audio/mp4"}};
    const auto uploaded = exchange(client, upload, 30s);
    ASSERT_TRUE(uploaded);
    EXPECT_FALSE(uploaded->error);

    const auto received = service.received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].body, "{\"a\":1}");
    EXPECT_EQ(received[0].header("Content-Type"), "application/json");
    EXPECT_EQ(received[1].method, "POST");
    EXPECT_EQ(received[1].body, "");
    EXPECT_FALSE(received[1].hasHeader("Content-Type"));  // no form-encoding claim
    EXPECT_FALSE(received[1].hasHeader("Expect"));
    EXPECT_EQ(received[2].query.at("type"), "audio/mp4");
    EXPECT_EQ(received[2].header("Content-Type"), "audio/mp4");
    EXPECT_EQ(received[2].body.size(), bytes.size());
    EXPECT_TRUE(received[2].body == bytes);

    HttpRequest missing = upload;
    missing.body = directory.path() / "gone.m4a";
    const auto failed = exchange(client, missing);
    ASSERT_TRUE(failed);
    ASSERT_TRUE(failed->error);
    EXPECT_EQ(failed->error->kind, NetworkError::Kind::fileUnreadable);
    EXPECT_FALSE(failed->body);
}

TEST_F(HttpClientTest, TimeOutCoversAServerThatNeverAnswers) {
    service.answerLate("/silent", 60s, 200, "{}");
    const auto start = std::chrono::steady_clock::now();
    const auto response = exchange(client, get(service.base() + "/silent", 400ms));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(response);
    ASSERT_TRUE(response->error);
    EXPECT_EQ(response->error->kind, NetworkError::Kind::timedOut);
    EXPECT_FALSE(response->body);
    EXPECT_GE(elapsed, 350ms);  // curl times out on its own clock
    EXPECT_LT(elapsed, 3s);
}

TEST_F(HttpClientTest, TransportErrorsHaveTheirKinds) {
    const int closedPort = testing::refusingPort();
    const auto refused = exchange(client, get("http://127.0.0.1:" + std::to_string(closedPort)));
    ASSERT_TRUE(refused && refused->error);
    EXPECT_EQ(refused->error->kind, NetworkError::Kind::cannotConnect);
    EXPECT_FALSE(refused->status);

    for (const char* bad : {"/health", "ftp://127.0.0.1/x", "file:///etc/passwd", "health", ""}) {
        const auto response = exchange(client, get(bad));
        ASSERT_TRUE(response && response->error) << bad;
        EXPECT_EQ(response->error->kind, NetworkError::Kind::invalidURL) << bad;
    }
}

TEST_F(HttpClientTest, OversizedBodiesFailInsteadOfFillingMemory) {
    service.answer("/huge", 200, std::string((8u << 20) + 1, 'x'));
    service.answer("/fits", 200, std::string(8u << 20, 'y'));
    const auto huge = exchange(client, get(service.base() + "/huge"));
    ASSERT_TRUE(huge && huge->error);
    EXPECT_EQ(huge->error->kind, NetworkError::Kind::responseTooLarge);
    EXPECT_FALSE(huge->body);
    const auto fits = exchange(client, get(service.base() + "/fits"));
    ASSERT_TRUE(fits && fits->body);
    EXPECT_EQ(fits->body->size(), 8u << 20);
}

// A listener on 127.0.0.1 that keeps the first bytes of one connection and hangs up:
// enough to see whether a client came to it speaking TLS.
class FirstBytes {
  public:
    FirstBytes() {
        listener_ = testing::listenOnLoopback(port_);
        thread_ = std::thread([this] {
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            std::string received(3, '\0');
            if (connection >= 0) {
                const ssize_t count = ::recv(connection, received.data(), 3, MSG_WAITALL);
                received.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
                ::close(connection);
            } else {
                received.clear();
            }
            promise_.set_value(received);
        });
    }
    FirstBytes(const FirstBytes&) = delete;
    FirstBytes& operator=(const FirstBytes&) = delete;
    ~FirstBytes() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    [[nodiscard]] int port() const { return port_; }
    std::string bytes() {
        return future_.wait_for(5s) == std::future_status::ready ? future_.get() : "";
    }

  private:
    int listener_ = -1;
    int port_ = 0;
    std::promise<std::string> promise_;
    std::future<std::string> future_ = promise_.get_future();
    std::thread thread_;
};

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
    StandInService otherPort;  // the same host on another port
    otherPort.answer("/moved-here", 200, "other port");
    StandInService otherHost;
    otherHost.answer("/elsewhere", 200, "other host");
    FirstBytes secure;  // stands for the service's https address
    service.on("/moved", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/final", 302);
    });
    service.answer("/final", 200, "here");
    service.on("/port", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(otherPort.base() + "/moved-here", 301);
    });
    service.on("/upgrade", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("https://127.0.0.1:" + std::to_string(secure.port()) + "/api", 301);
    });
    service.on("/away", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("http://localhost:" + std::to_string(otherHost.port()) +
                              "/elsewhere");
    });
    service.on("/loop", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/loop", 307);
    });
    const auto withPassword = [&](const std::string& path) {
        HttpRequest request = get(service.base() + path);
        request.headers = {{"x-app-password", "secret"}};
        return request;
    };

    const auto followed = exchange(client, withPassword("/moved"));
    ASSERT_TRUE(followed);
    EXPECT_EQ(followed->status, 200);
    EXPECT_EQ(followed->body, "here");
    EXPECT_EQ(service.received().back().header("x-app-password"), "secret");

    // Another port of the same host: followed, as an https address on it would be.
    const auto moved = exchange(client, withPassword("/port"));
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->status, 200);
    EXPECT_EQ(moved->body, "other port");
    EXPECT_EQ(otherPort.received().at(0).header("x-app-password"), "secret");

    // http to https: the client goes there and opens with a TLS handshake record
    // (content type 22, version 3.x); this listener then hangs up, so the exchange ends
    // in a secure-connection error rather than in the 301.
    const auto upgraded = exchange(client, withPassword("/upgrade"));
    ASSERT_TRUE(upgraded);
    EXPECT_EQ(secure.bytes().substr(0, 2), std::string("\x16\x03"));
    ASSERT_TRUE(upgraded->error) << upgraded->status.value_or(0);
    EXPECT_EQ(upgraded->error->kind, NetworkError::Kind::secureConnectionFailed)
        << upgraded->error->detail;
    EXPECT_NE(upgraded->status, 301);

    // Another host: the redirect comes back as it is and the password stays home.
    const auto notFollowed = exchange(client, withPassword("/away"));
    ASSERT_TRUE(notFollowed);
    EXPECT_EQ(notFollowed->status, 302);
    EXPECT_TRUE(otherHost.received().empty());

    const auto looping = exchange(client, get(service.base() + "/loop"));
    ASSERT_TRUE(looping && looping->error);
    EXPECT_EQ(looping->error->kind, NetworkError::Kind::tooManyRedirects);
    EXPECT_EQ(service.countFor("/loop"), 6u);
}

TEST_F(HttpClientTest, SlowRequestsDoNotHoldUpQuickOnes) {
    service.answerLate("/slow", 3s, 200, "slow");
    std::mutex mutex;
    std::vector<std::string> finished;
    std::condition_variable changed;
    auto record = [&](const std::string& name) {
        return [&, name](const HttpResponse&) {
            const std::lock_guard lock(mutex);
            finished.push_back(name);
            changed.notify_all();
        };
    };
    client.send(get(service.base() + "/slow", 10s), record("slow"));
    for (int index = 0; index < 5; ++index) {
        client.send(get(service.base() + "/health"), record("quick"));
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 2s, [&] { return finished.size() == 5; }));
    EXPECT_EQ(std::count(finished.begin(), finished.end(), "quick"), 5);
}

TEST_F(HttpClientTest, CancelledAndAbandonedRequestsNeverCallBack) {
    service.answerLate("/slow", 2s, 200, "{}");
    std::atomic<int> calls = 0;
    const auto id =
        client.send(get(service.base() + "/slow"), [&](const HttpResponse&) { ++calls; });
    client.cancel(id);
    client.cancel(9999);  // unknown ids are ignored
    {
        // A client destroyed with a request in flight returns at once and calls nothing.
        CurlHttpClient shortLived;
        shortLived.send(get(service.base() + "/slow"), [&](const HttpResponse&) { ++calls; });
        std::this_thread::sleep_for(50ms);
    }
    const auto after = exchange(client, get(service.base() + "/health"));
    ASSERT_TRUE(after);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(calls, 0);
}

TEST_F(HttpClientTest, KeepsTheHttpClientContract) {
    service.answer("/quick", 200, "{}");
    service.answerLate("/slow", 1s, 200, "{}");
    testing::checkHttpClientContract([] { return std::make_unique<CurlHttpClient>(); },
                                     [&] { return get(service.base() + "/quick"); },
                                     [&] { return get(service.base() + "/slow"); });
}

}  // namespace
}  // namespace pagemate
