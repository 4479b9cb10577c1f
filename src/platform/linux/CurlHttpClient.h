#pragma once

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/HttpClient.h"

namespace pagemate::linux_backend {

// HTTP on libcurl: one worker thread drives a multi handle, so any number of requests
// progress side by side and a slow one never holds up another. Completions run on
// that thread. Destroying the client abandons what is in flight without calling back.
class CurlHttpClient final : public HttpClient {
  public:
    CurlHttpClient();
    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;
    ~CurlHttpClient() override;

    RequestId send(HttpRequest request, Completion completion) override;
    void cancel(RequestId id) override;

    // Whether a redirect from one address to another is followed: on the same host
    // only (any port), and never from https down to http. The request's headers, the
    // app password among them, go nowhere else and never in clear text once they were
    // encrypted; http to https is the usual upgrade of a service.
    static bool mayFollowRedirect(const std::string& from, const std::string& to);

    struct Transfer;

  private:
    void runWorker();
    void wake();
    void takeNewWork(std::vector<std::unique_ptr<Transfer>>& started);
    void finish(Transfer& transfer, int curlCode);
    void deliver(Transfer& transfer, HttpResponse response);

    struct MultiHandle;
    std::unique_ptr<MultiHandle> multi_;

    std::mutex mutex_;  // guards the queues below and stopping_
    std::vector<std::unique_ptr<Transfer>> queued_;
    std::set<RequestId> cancelled_;
    RequestId nextId_ = 1;
    bool stopping_ = false;

    // Held while a completion is checked and run, so that cancel() can promise that a
    // cancelled completion does not run once it has returned.
    std::recursive_mutex delivering_;

    std::map<RequestId, std::unique_ptr<Transfer>> active_;  // worker thread only
    std::thread worker_;
};

}  // namespace pagemate::linux_backend
