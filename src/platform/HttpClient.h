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

struct HttpError {
    enum class Kind {
        invalidURL,
        timedOut,
        cannotConnect,
        cannotResolveHost,
        responseTooLarge,
        fileUnreadable,
        cancelled,
        other
    };
    Kind kind = Kind::other;
    std::string description;  // readable, in the user's language
};

struct HttpResponse {
    std::optional<int> status;        // the final HTTP status, when a response arrived
    std::optional<std::string> body;  // present exactly when the exchange completed
    std::optional<HttpError> error;   // the transport error, when there was one
};

// Asynchronous HTTP. Completions run on a worker thread of the client: callers hop to
// the main queue before touching state. Requests do not wait for one another.
// Redirects are followed within the same origin only, so that headers such as the app
// password never travel to another host; a redirect elsewhere is returned as it is.
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
