// A saved recording to the assistant service: POST /api/meeting/audio with the file's
// bytes as they are, streamed from disk.

#include <nlohmann/json.hpp>

#include "base/AppLog.h"
#include "base/NetworkErrorText.h"
#include "base/Settings.h"
#include "meeting/MeetingRecorder.h"
#include "platform/Platform.h"
#include "support/Url.h"
#include "support/Utf8.h"

namespace pagemate {

namespace {

constexpr std::chrono::seconds kUploadTimeout{300};
// The answer is a small JSON object; an error page is only quoted in part.
constexpr std::size_t kMaxAnswerBytes = std::size_t{1} << 20;
constexpr std::size_t kQuotedCharacters = 200;

}  // namespace

std::optional<MeetingRecorder::UploadAnswer> MeetingRecorder::uploadAnswer(
    const HttpResponse& response, const std::string& localName) {
    if (response.error) {
        AppLog::write("会议录音：上传出错 —— " + networkErrorText(*response.error));
        return std::nullopt;
    }
    const int status = response.status.value_or(0);
    const std::string body = response.body.value_or("");
    if (status < 200 || status > 299) {
        const std::string_view quoted =
            isValidUtf8(body) ? characterPrefix(body, kQuotedCharacters) : std::string_view();
        AppLog::write("会议录音：上传失败（HTTP " + std::to_string(status) + "）" +
                      std::string(quoted));
        return std::nullopt;
    }
    const nlohmann::json parsed = nlohmann::json::parse(body, nullptr, false);
    if (parsed.is_object()) {
        const auto id = parsed.find("id");
        if (id != parsed.end() && id->is_string() && !id->get<std::string>().empty()) {
            const auto filename = parsed.find("filename");
            std::string name = filename != parsed.end() && filename->is_string()
                                   ? filename->get<std::string>()
                                   : localName;
            AppLog::write("会议录音：已上传到 Notion（" + name + "）");
            return UploadAnswer{id->get<std::string>(), std::move(name)};
        }
    }
    AppLog::write("会议录音：上传返回里没有文件 id");
    return std::nullopt;
}

void MeetingRecorder::uploadAudio(const std::filesystem::path& file, UploadCompletion completion) {
    Platform& platform = Platform::current();
    MainQueue& main = *platform.mainQueue;
    const Settings& settings = Settings::shared();
    const std::string base =
        settings.runtimeBaseURL().empty() ? settings.serverURL() : settings.runtimeBaseURL();
    const std::string endpoint = base + "/api/meeting/audio";
    if (!isValidURL(endpoint)) {
        main.post([completion = std::move(completion)] { completion(std::nullopt); });
        return;
    }
    std::string name = file.filename().string();
    HttpRequest request;
    request.method = "POST";
    request.url = endpoint + "?name=" + percentEncodeQueryValue(name) +
                  "&type=" + percentEncodeQueryValue("audio/mp4");
    request.headers = {{"Content-Type", "audio/mp4"}, {"x-app-password", settings.password()}};
    request.body = file;
    request.timeout = kUploadTimeout;
    request.maxResponseBytes = kMaxAnswerBytes;
    platform.http->send(
        std::move(request), [&main, name = std::move(name),
                             completion = std::move(completion)](const HttpResponse& response) {
            // The answer is read here, on the client's thread; the caller hears on the main.
            std::optional<UploadAnswer> answer = uploadAnswer(response, name);
            main.post([completion, answer = std::move(answer)] { completion(answer); });
        });
}

}  // namespace pagemate
