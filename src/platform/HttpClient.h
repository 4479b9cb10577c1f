#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "platform/NetworkError.h"

namespace pagemate {

struct HttpRequest {
    using Header = std::pair<std::string, std::string>;
    // No body, a body held in memory, or a file streamed from disk as it is sent.
    using Body = std::variant<std::monostate, std::string, std::filesystem::path>;

    std::string method = "GET";
    std::string url;
    std::vector<Header> headers;  // sent as given, also when a value is empty
    Body body;
    // Connecting and transferring together, redirects included.
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
    // A longer response body fails the request instead of filling memory.
    std::size_t maxResponseBytes = std::size_t{8} << 20;
};

struct HttpResponse {
    std::optional<int> status;          // the final HTTP status, when a response arrived
    std::optional<std::string> body;    // present exactly when the exchange completed
    std::optional<NetworkError> error;  // the transport error, when there was one
};

// Asynchronous HTTP.
// - send() may be called from any thread and never runs the completion itself: the
//   completion runs later, on a worker thread of the client, exactly once unless the
//   request is cancelled or the client destroyed first (callers hop to the main queue
//   before touching state). Requests do not wait for one another.
// - cancel() may be called from any thread, also from inside a completion; once it
//   has returned, the completion of that request does not run.
// - Destroying the client abandons what is in flight: no completion runs during or
//   after the destructor.
// - Redirects are followed while they stay on the request's host, also from http to
//   https (a service that upgrades its address), never from https to http; a redirect
//   to another host or down to http is returned as the 3xx answer it is, so that
//   headers such as the app password never travel elsewhere or in clear text.
class HttpClient {
  public:
    using RequestId = std::uint64_t;
    using Completion = std::function<void(HttpResponse)>;

    virtual ~HttpClient() = default;

    virtual RequestId send(HttpRequest request, Completion completion) = 0;
    // Abandons a request; its completion does not run afterwards. Unknown ids are ignored.
    virtual void cancel(RequestId id) = 0;
};

}  // namespace pagemate
