#include "diagnostics/MeetingEnvironment.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <memory>

#include "meeting/AudioCapture.h"
#include "meeting/MeetingSession.h"
#include "notion/NotionContextReader.h"
#include "platform/Platform.h"

namespace pagemate::MeetingEnvironment {

using nlohmann::json;

namespace {

// A value of os-release: the text after "KEY=", its quotes removed.
std::string unquote(std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    std::string plain;
    for (std::size_t index = 0; index < value.size(); ++index) {
        if (value[index] == '\\' && index + 1 < value.size()) {
            ++index;
        }
        plain.push_back(value[index]);
    }
    return plain;
}

}  // namespace

std::string systemName(const std::string& osReleasePath) {
    std::ifstream file(osReleasePath);
    std::string pretty;
    std::string name;
    std::string version;
    for (std::string line; std::getline(file, line);) {
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = unquote(line.substr(equals + 1));
        if (key == "PRETTY_NAME") {
            pretty = value;
        } else if (key == "NAME") {
            name = value;
        } else if (key == "VERSION") {
            version = value;
        }
    }
    if (!pretty.empty()) {
        return pretty;
    }
    if (!name.empty()) {
        return version.empty() ? name : name + " " + version;
    }
    return "Linux";
}

std::string microphoneLabel(int status) {
    static constexpr std::array<const char*, 4> labels = {"未请求", "受限", "已拒绝", "已授权"};
    return labels.at(static_cast<std::size_t>(std::clamp(status, 0, 3)));
}

void report(std::function<void(json)> completion) {
    Platform::current().background.run(
        "pagemate-meetenv", [completion = std::move(completion)](std::stop_token) {
            json values = json::object();
            values["macOS"] = systemName();
            SpeechRecognizer& speech = *Platform::current().speech;
            const bool local = speech.availability() == SpeechRecognizer::Availability::available;
            values["localSpeechAvailable"] = local;
            if (local) {
                values["locale"] = MeetingSession::preferredLocaleNow();
                values["supportedCount"] = speech.supportedLocales().size();
            }
            const int status = AudioCapture::microphoneStatus();
            values["microphoneStatus"] = std::to_string(status);
            values["microphoneLabel"] = microphoneLabel(status);
            values["systemAudio"] = Platform::current().sound->offersOutputMonitor()
                                        ? "系统声音可录（声音服务器提供输出的监听源）"
                                        : "声音服务器没有输出的监听源，只能录麦克风";
            values["note"] = "不再需要屏幕录制权限";
            Platform::current().mainQueue->post([completion, values = std::move(values)]() mutable {
                values["accessibilityTrusted"] = NotionContextReader::isTrusted();
                completion(std::move(values));
            });
        });
}

}  // namespace pagemate::MeetingEnvironment
