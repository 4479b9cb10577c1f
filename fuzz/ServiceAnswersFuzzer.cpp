// What the assistant service answers, decoded as the program decodes it: "/health"
// (whether the service is ours), "/api/config" (the settings window's connection
// test), "/api/history" (the archive's address), "/api/history/sync" (the counts), the
// answer to a meeting recording's upload, and the transport errors the HTTP client
// reports. Beyond the sanitizers it checks that every text meant for the user is
// UTF-8 and not empty, and that only web and Notion addresses would be opened.
//
// Input: a decoder byte, a byte choosing the exchange's outcome (HTTP status, or a
// transport error), then the body.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "app/HistoryCommands.h"
#include "app/SettingsWindowController.h"
#include "base/NetworkErrorText.h"
#include "meeting/MeetingRecorder.h"
#include "platform/fake/FakePlatform.h"
#include "support/Url.h"
#include "support/Utf8.h"
#include "web/ServiceResolver.h"

namespace pagemate::fuzz {
namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
    (void)std::fprintf(stderr, "service_answers: %s: %s\n", what, detail.c_str());
    std::abort();
}

void checkUserText(const char* what, const std::string& text) {
    if (text.empty() || !isValidUtf8(text)) {
        fail(what, text);
    }
}

// The outcome byte: a status with the body, or a transport error without one (its
// detail is the body, as the client's own words).
HttpResponse responseOf(std::uint8_t outcome, std::string_view body) {
    static constexpr std::array<int, 12> kStatuses = {200, 200, 200, 201, 204, 299,
                                                      302, 400, 401, 404, 500, 503};
    HttpResponse response;
    if (outcome < 0xF0) {
        response.status = kStatuses.at(outcome % kStatuses.size());
        response.body = std::string(body);
        return response;
    }
    // The client's detail is its library's own message, which is UTF-8.
    const auto kind = static_cast<NetworkError::Kind>((outcome - 0xF0) % 12);
    response.error = NetworkError{kind, isValidUtf8(body) ? std::string(body) : std::string()};
    return response;
}

void decode(std::uint8_t decoder, const HttpResponse& response) {
    const std::string body = response.body.value_or("");
    switch (decoder % 6) {
        case 0: {
            const std::string product = healthProduct(body);
            if (!product.empty() && !isValidUtf8(product)) {
                fail("product is no UTF-8", product);
            }
            break;
        }
        case 1:
            checkUserText("connection test text",
                          SettingsWindowController::outcomeText(response, "http://127.0.0.1:4310"));
            break;
        case 2: {
            const HistoryCommands::HistoryAnswer answer = HistoryCommands::historyAnswer(response);
            if (answer.url) {
                if (answer.url->empty() || answer.disabled) {
                    fail("history answer both ways", *answer.url);
                }
                // As openHistory decides whether to hand the address to the desktop.
                const std::optional<std::string> scheme = urlScheme(*answer.url);
                (void)(isValidURL(*answer.url) && scheme && isOpenableScheme(*scheme));
            }
            break;
        }
        case 3:
            checkUserText("sync result", HistoryCommands::syncResultText(response));
            break;
        case 4: {
            const auto answer = MeetingRecorder::uploadAnswer(response, "会议录音 2026-12-07.m4a");
            if (answer && (answer->id.empty() || !isValidUtf8(answer->filename))) {
                fail("upload answer without id", answer->id);
            }
            break;
        }
        default:
            if (response.error) {
                const std::string text = networkErrorText(*response.error);
                if (text.empty()) {
                    fail("network error text empty", "");
                }
            }
            break;
    }
}

}  // namespace
}  // namespace pagemate::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pagemate;
    fuzz::QuietLog& log = fuzz::quietLog();
    // The connection test asks the accessibility permission of the platform: one fake
    // platform serves every input (nothing in it changes).
    static const auto platform = std::make_unique<fake::FakePlatform>();
    fuzz::ByteReader input(data, size);
    const std::uint8_t decoder = input.byte();
    const std::uint8_t outcome = input.byte();
    fuzz::decode(decoder, fuzz::responseOf(outcome, input.rest()));
    log.clear();
    return 0;
}
