#pragma once

#include <string>

namespace pagemate {

// Why a request or a page load failed, as a backend reports it: a kind, which the
// program words for the user in one place (networkErrorText), and the platform's own
// detail, kept for the log and for kinds without a wording of their own.
struct NetworkError {
    enum class Kind {
        invalidURL,         // not an address the client can request
        invalidRequest,     // a header that cannot be sent as given
        timedOut,           // no answer within the request's time-out
        cannotConnect,      // the connection was refused or could not be made
        cannotResolveHost,  // the host name is unknown
        connectionLost,     // the connection broke before the answer was complete
        secureConnectionFailed,
        tooManyRedirects,
        responseTooLarge,  // the answer passed the request's limit
        fileUnreadable,    // the file to upload cannot be read
        cancelled,
        other
    };
    Kind kind = Kind::other;
    std::string detail;
    bool operator==(const NetworkError&) const = default;
};

}  // namespace pagemate
