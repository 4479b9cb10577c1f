#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/HttpClient.h"

namespace pagemate::fake {

// An HTTP client whose answers the test scripts; every request is recorded. As the
// real client does, it answers on a thread of its own, never inside send(), and not
// after cancel() has returned or the client is gone. Without a script every request
// fails as if nothing listened. (Tests of real HTTP use the real client against a
// loopback server instead.)
class ScriptedHttpClient final : public HttpClient {
  public:
    using Responder = std::function<HttpResponse(const HttpRequest&)>;

    ScriptedHttpClient();
    ScriptedHttpClient(const ScriptedHttpClient&) = delete;
    ScriptedHttpClient& operator=(const ScriptedHttpClient&) = delete;
    ~ScriptedHttpClient() override;

    RequestId send(HttpRequest request, Completion completion) override;
    void cancel(RequestId id) override;

    // How requests are answered from now on; called on the client's thread.
    void respondWith(Responder responder);
    [[nodiscard]] std::vector<HttpRequest> requests() const;

    // The answer of a port where nothing listens.
    static HttpResponse refused();

  private:
    struct Pending {
        RequestId id;
        HttpRequest request;
        Completion completion;
    };
    void run();

    mutable std::mutex mutex_;  // guards everything below but delivering_
    std::condition_variable wake_;
    std::deque<Pending> queue_;
    std::set<RequestId> cancelled_;
    std::vector<HttpRequest> requests_;
    Responder responder_;
    RequestId nextId_ = 1;
    bool stopping_ = false;
    // Held while a completion is checked and run, so that cancel() can promise.
    std::recursive_mutex delivering_;
    std::thread worker_;
};

}  // namespace pagemate::fake
