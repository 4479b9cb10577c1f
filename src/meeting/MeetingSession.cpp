#include "meeting/MeetingSession.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "base/AppLog.h"
#include "base/SpeechErrorText.h"
#include "platform/Platform.h"

namespace pagemate {

const std::vector<std::string>& MeetingSession::preferredLocales() {
    static const std::vector<std::string> locales = {"zh-CN", "zh-Hans", "zh-TW", "zh-HK"};
    return locales;
}

std::shared_ptr<MeetingSession> MeetingSession::make(TranscriptionEngine engine) {
    return std::make_shared<MeetingSession>(Key{}, engine);
}

MeetingSession::MeetingSession(Key /*made by make()*/, TranscriptionEngine engine)
    : engine_(engine), startedAt_(Platform::current().mainQueue->now()) {}

MeetingSession::~MeetingSession() = default;

std::vector<MeetingSegment> MeetingSession::allSegments() const {
    return segments_;
}

std::vector<std::shared_ptr<TranscriptionChannel>> MeetingSession::localChannels() const {
    const std::lock_guard lock(mutex_);
    return localChannels_;
}

std::string MeetingSession::choosePreferredLocale(const std::vector<std::string>& supported) {
    for (const std::string& preferred : preferredLocales()) {
        if (std::find(supported.begin(), supported.end(), preferred) != supported.end()) {
            return preferred;
        }
    }
    for (const std::string& locale : supported) {
        if (locale.starts_with("zh")) {
            return locale;
        }
    }
    // Whether the recogniser lists it or not, English is the last resort.
    return "en-US";
}

std::string MeetingSession::preferredLocaleNow() {
    return choosePreferredLocale(Platform::current().speech->supportedLocales());
}

void MeetingSession::preferredLocale(std::function<void(std::string)> completion) {
    Platform::current().background.run(
        "pagemate-locale", [completion = std::move(completion)](const std::stop_token&) {
            std::string locale = preferredLocaleNow();
            Platform::current().mainQueue->post(
                [completion, locale = std::move(locale)] { completion(locale); });
        });
}

std::optional<SpeechError> MeetingSession::ensureModelNow() {
    SpeechRecognizer& speech = *Platform::current().speech;
    const std::string locale = preferredLocaleNow();
    auto request = speech.installationRequest(locale);
    if (const auto* error = std::get_if<SpeechError>(&request)) {
        return *error;
    }
    if (const auto& download = std::get<std::optional<SpeechModelDownload>>(request); !download) {
        AppLog::write("语音模型：已就绪");
    } else {
        AppLog::write("语音模型：需要下载（" + std::to_string(download->bytes) +
                      " 字节），开始下载…");
        if (auto installed = speech.downloadAndInstall(*download);
            const auto* error = std::get_if<SpeechError>(&installed)) {
            return *error;
        }
        AppLog::write("语音模型：下载完成");
    }
    const std::vector<std::string> reserved = speech.reservedLocales();
    if (std::find(reserved.begin(), reserved.end(), locale) != reserved.end()) {
        return std::nullopt;
    }
    if (auto outcome = speech.reserve(locale);
        const auto* error = std::get_if<SpeechError>(&outcome)) {
        AppLog::write("语音模型：预留失败（可忽略）" + describeSpeechError(*error));
    } else {
        AppLog::write("语音模型：已预留 " + locale);
    }
    return std::nullopt;
}

void MeetingSession::ensureModel(std::function<void(std::optional<SpeechError>)> completion) {
    Platform::current().background.run(
        "pagemate-model", [completion = std::move(completion)](const std::stop_token&) {
            std::optional<SpeechError> outcome = ensureModelNow();
            Platform::current().mainQueue->post(
                [completion, outcome = std::move(outcome)] { completion(outcome); });
        });
}

MeetingSession::Started MeetingSession::startLocal() {
    SpeechRecognizer& speech = *Platform::current().speech;
    if (speech.availability() != SpeechRecognizer::Availability::available) {
        return MeetingCaptureError(std::string(noModelMessage));
    }
    if (const std::optional<SpeechError> error = ensureModelNow()) {
        return MeetingCaptureError(describeSpeechError(*error));
    }
    const std::string locale = preferredLocaleNow();
    AppLog::write("会议转写：本机语言 " + locale);

    std::vector<std::shared_ptr<TranscriptionChannel>> channels = {
        TranscriptionChannel::make(std::string(microphoneSpeaker), locale, startedAt_),
        TranscriptionChannel::make(std::string(systemSpeaker), locale, startedAt_)};
    const std::weak_ptr<MeetingSession> weakSelf = weak_from_this();
    for (const auto& channel : channels) {
        channel->onSegment = [weakSelf](const MeetingSegment& segment) {
            if (const auto self = weakSelf.lock()) {
                self->handleSegment(segment);
            }
        };
        channel->onError = [weakSelf](const std::string& message) {
            if (const auto self = weakSelf.lock(); self && self->onError) {
                self->onError(message);
            }
        };
    }
    for (const auto& channel : channels) {
        if (const std::optional<SpeechError> error = channel->start()) {
            return MeetingCaptureError(describeSpeechError(*error));
        }
    }
    return channels;
}

void MeetingSession::start(StartCompletion completion) {
    AppLog::write("会议转写：引擎 = 本机识别");
    Platform::current().background.run(
        "pagemate-session",
        [self = shared_from_this(), completion = std::move(completion)](const std::stop_token&) {
            auto started = std::make_shared<Started>(self->startLocal());
            Platform::current().mainQueue->post([self, started, completion] {
                if (auto* error = std::get_if<MeetingCaptureError>(started.get())) {
                    completion(*error);
                    return;
                }
                {
                    const std::lock_guard lock(self->mutex_);
                    self->localChannels_ = std::move(
                        std::get<std::vector<std::shared_ptr<TranscriptionChannel>>>(*started));
                }
                AppLog::write("会议转写：本机两条通道已启动");
                completion(std::nullopt);
            });
        });
}

void MeetingSession::feed(CaptureSource source, const AudioBlockPtr& block) {
    std::shared_ptr<TranscriptionChannel> channel;
    {
        const std::lock_guard lock(mutex_);
        if (localChannels_.size() == 2) {
            channel = localChannels_[source == CaptureSource::microphone ? 0 : 1];
        }
    }
    if (channel) {
        channel->feed(block);
    }
}

double MeetingSession::backlogSeconds() const {
    double backlog = 0;
    for (const auto& channel : localChannels()) {
        backlog = std::max(backlog, channel->backlogSeconds());
    }
    return backlog;
}

void MeetingSession::handleSegment(const MeetingSegment& segment) {
    const auto same =
        std::find_if(segments_.begin(), segments_.end(),
                     [&](const MeetingSegment& kept) { return kept.id == segment.id; });
    if (same != segments_.end()) {
        *same = segment;
    } else {
        segments_.push_back(segment);
    }
    if (onSegment) {
        onSegment(segment);
    }
}

void MeetingSession::finish(FinishCompletion completion) {
    finishChannel(0, localChannels(), std::move(completion));
}

void MeetingSession::finishChannel(std::size_t index,
                                   std::vector<std::shared_ptr<TranscriptionChannel>> channels,
                                   FinishCompletion completion) {
    if (index >= channels.size()) {
        {
            const std::lock_guard lock(mutex_);
            localChannels_.clear();
        }
        double largest = 0;
        for (const auto& channel : channels) {
            largest = std::max(largest, channel->largestBacklogSeconds());
        }
        std::array<char, 32> seconds{};
        (void)std::snprintf(seconds.data(), seconds.size(), "%.1f", largest);
        AppLog::write(std::string("会议转写：识别最多落后录音 ") + seconds.data() + " 秒");
        completion(segments_);
        return;
    }
    const std::shared_ptr<TranscriptionChannel> channel = channels[index];
    channel->finish([self = shared_from_this(), index, channels = std::move(channels),
                     completion = std::move(completion)]() mutable {
        const auto& finished = channels[index];
        self->droppedSilentSegments_ += finished->droppedSilent();
        self->resultsReceived_ += finished->resultsReceived();
        self->finishChannel(index + 1, std::move(channels), std::move(completion));
    });
}

}  // namespace pagemate
