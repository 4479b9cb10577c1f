#include "app/HistoryCommands.h"

#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>

#include "base/AppLog.h"
#include "base/NetworkErrorText.h"
#include "base/Settings.h"
#include "platform/Platform.h"
#include "support/Url.h"

namespace pagemate::HistoryCommands {

namespace {

constexpr std::chrono::seconds kHistoryTimeout{20};
constexpr std::chrono::seconds kSyncTimeout{300};

// The base as it is, without slash handling: the path is appended as text.
std::string serviceBase() {
    const Settings& settings = Settings::shared();
    return settings.runtimeBaseURL().empty() ? settings.serverURL() : settings.runtimeBaseURL();
}

HttpRequest authorisedRequest(std::string method, std::string url,
                              std::chrono::milliseconds timeout) {
    HttpRequest request;
    request.method = std::move(method);
    request.url = std::move(url);
    request.timeout = timeout;
    request.headers.emplace_back("x-app-password", Settings::shared().password());
    return request;
}

std::optional<nlohmann::json> objectIn(const std::optional<std::string>& body) {
    if (!body) {
        return std::nullopt;
    }
    nlohmann::json parsed = nlohmann::json::parse(*body, nullptr, false);
    if (!parsed.is_object()) {
        return std::nullopt;
    }
    return parsed;
}

// A JSON number holding a whole value; fractions, strings and Booleans are not counts.
std::optional<std::int64_t> integerMember(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    if (found == object.end() || !found->is_number()) {
        return std::nullopt;
    }
    if (found->is_number_integer()) {
        if (found->is_number_unsigned() &&
            found->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        return found->get<std::int64_t>();
    }
    const double value = found->get<double>();
    constexpr double kLimit = 9.2e18;
    if (std::trunc(value) != value || std::fabs(value) > kLimit) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(value);
}

void openOnMain(const std::string& url) {
    if (!isValidURL(url)) {
        return;  // an address that cannot be formed is skipped
    }
    const std::optional<std::string> scheme = urlScheme(url);
    if (!scheme || !isOpenableScheme(*scheme)) {
        // A file: or an arbitrary handler from a mistaken service is not opened.
        AppLog::write("打开对话历史失败：不打开这种地址（" + scheme.value_or("无协议") + "）");
        return;
    }
    Platform::current().workspace->openURL(url);
}

}  // namespace

void openHistory() {
    std::string url = serviceBase() + "/api/history";
    if (!isValidURL(url)) {
        return;
    }
    Platform& platform = Platform::current();
    MainQueue& queue = *platform.mainQueue;
    platform.http->send(
        authorisedRequest("GET", std::move(url), kHistoryTimeout),
        [&queue](const HttpResponse& response) {
            const HistoryAnswer answer = historyAnswer(response);
            if (answer.url) {
                queue.post([url = *answer.url] { openOnMain(url); });
                return;
            }
            if (answer.disabled) {
                queue.post([] {
                    Platform::current().alerts->show(
                        {"对话历史未开启",
                         "设置里打开「对话自动存到 Notion」后，这里就能看到历史记录。"});
                });
                return;
            }
            AppLog::write("打开对话历史失败：" + (response.error
                                                      ? networkErrorText(*response.error)
                                                      : std::string("服务端没有返回地址")));
        });
}

void syncHistoryNow(const std::function<void(const std::string&)>& status) {
    std::string url = serviceBase() + "/api/history/sync";
    if (!isValidURL(url)) {
        return;
    }
    HttpRequest request = authorisedRequest("POST", std::move(url), kSyncTimeout);
    if (status) {
        status("正在同步对话历史…");
    }
    Platform& platform = Platform::current();
    MainQueue& queue = *platform.mainQueue;
    platform.http->send(std::move(request), [&queue](const HttpResponse& response) {
        const std::string result = syncResultText(response);
        AppLog::write("手动同步对话历史：" + result);
        queue.post([result] { Platform::current().alerts->show({result, "", {"好"}}); });
    });
}

HistoryAnswer historyAnswer(const HttpResponse& response) {
    HistoryAnswer answer;
    const std::optional<nlohmann::json> object = objectIn(response.body);
    if (!object) {
        return answer;
    }
    if (!response.error) {
        const auto address = object->find("url");
        if (address != object->end() && address->is_string() &&
            !address->get<std::string>().empty()) {
            answer.url = address->get<std::string>();
            return answer;
        }
    }
    const auto enabled = object->find("enabled");
    answer.disabled = enabled != object->end() && enabled->is_boolean() && !enabled->get<bool>();
    return answer;
}

std::string syncResultText(const HttpResponse& response) {
    if (const std::optional<nlohmann::json> object = objectIn(response.body)) {
        const std::int64_t updated = integerMember(*object, "updated").value_or(0);
        const std::optional<std::int64_t> failed = integerMember(*object, "failed");
        if (failed && *failed >= 1) {
            return "同步完成：更新 " + std::to_string(updated) + " 段，" + std::to_string(*failed) +
                   " 段失败（下次会自动重试）";
        }
        return "同步完成：更新 " + std::to_string(updated) + " 段对话";
    }
    if (response.error) {
        return "同步失败：" + networkErrorText(*response.error);
    }
    return "同步失败";
}

}  // namespace pagemate::HistoryCommands
