#include "meeting/AudioCapture.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/AppLog.h"
#include "meeting/MicrophoneStream.h"
#include "meeting/SystemAudioTap.h"
#include "platform/Platform.h"

namespace pagemate {

namespace {

const char* const noOutputMonitor =
    "声音服务没有提供系统输出的监听源，无法采集系统声音，只能录到你的声音";

std::string sourceKey(CaptureSource source) {
    return source == CaptureSource::microphone ? "microphone: " : "system: ";
}

}  // namespace

std::shared_ptr<AudioCapture> AudioCapture::make() {
    SoundServer& server = *Platform::current().sound;
    return make({[&server] { return MicrophoneStream::make(server); },
                 [&server]() -> std::shared_ptr<CaptureStream> {
                     if (!server.offersOutputMonitor()) {
                         return nullptr;
                     }
                     return SystemAudioTap::make(server);
                 }});
}

std::shared_ptr<AudioCapture> AudioCapture::make(Streams streams) {
    Platform& platform = Platform::current();
    return std::make_shared<AudioCapture>(Key{}, std::move(streams), *platform.audioCodecs,
                                          *platform.mainQueue);
}

AudioCapture::AudioCapture(Key /*unused*/, Streams streams, AudioCodecs& codecs, MainQueue& queue)
    : streams_(std::move(streams)), codecs_(codecs), queue_(queue) {}

AudioCapture::~AudioCapture() {
    // The microphone goes first (its stream's destructor ends its callbacks), then the
    // system audio.
    const std::lock_guard lock(lifecycle_);
    microphone_.reset();
    system_.reset();
}

int AudioCapture::microphoneStatus() {
    return Platform::current().sound->microphoneAccess();
}

void AudioCapture::requestMicrophone(std::function<void(bool granted)> completion) {
    // A sound server that hangs answers only after its time-outs: never on the caller's
    // (the main) thread.
    Platform::current().background.run(
        "pagemate-micask", [completion = std::move(completion)](const std::stop_token&) mutable {
            const bool granted = microphoneStatus() == SoundServer::authorized;
            Platform::current().mainQueue->post([completion = std::move(completion), granted] {
                if (completion) {
                    completion(granted);
                }
            });
        });
}

std::optional<MeetingCaptureError> AudioCapture::start() {
    const std::lock_guard lock(lifecycle_);
    if (started_) {
        return std::nullopt;
    }
    auto microphone = streams_.microphone();
    attach(*microphone, Source::microphone);
    if (auto error = microphone->start()) {
        return error;
    }
    microphone_ = std::move(microphone);
    startSystemAudio();
    started_ = true;
    return std::nullopt;
}

void AudioCapture::attach(CaptureStream& stream, Source source) {
    const std::weak_ptr<AudioCapture> weak = weak_from_this();
    stream.onBuffer = [weak, source](const AudioBlockPtr& block) {
        if (const auto self = weak.lock()) {
            self->handle(source, block);
        }
    };
    stream.onLost = [weak, source](const SoundServerError& error) {
        if (const auto self = weak.lock()) {
            self->sourceLost(source, error);
        }
    };
}

void AudioCapture::startSystemAudio() {
    auto tap = streams_.system();
    if (!tap) {
        if (onFailure) {
            onFailure(noOutputMonitor);
        }
        return;
    }
    attach(*tap, Source::system);
    if (auto error = tap->start()) {
        AppLog::write("音频采集：系统声音启动失败 —— " + error->description());
        if (onFailure) {
            onFailure("系统声音采集失败（只能录到你的声音）：" + error->description());
        }
        return;
    }
    system_ = std::move(tap);
}

void AudioCapture::stop() {
    const std::lock_guard lock(lifecycle_);
    if (!started_) {
        return;
    }
    for (std::shared_ptr<CaptureStream>* stream : {&microphone_, &system_}) {
        if (*stream) {
            (*stream)->stop();
        }
        stream->reset();
    }
    {
        const std::lock_guard stateLock(state_);
        converters_.clear();
    }
    started_ = false;
    AppLog::write("音频采集：已全部停止");
}

void AudioCapture::sourceLost(Source source, const SoundServerError& error) {
    AppLog::write(source == Source::microphone
                      ? "音频采集：麦克风断开了（" + error.description + "），只继续录系统声音"
                      : "音频采集：系统声音的来源断开了（" + error.description +
                            "），只继续录你的声音");
}

float AudioCapture::level(const AudioBlock& block) {
    const std::uint32_t frames = block.frameLength();
    const std::span<const float> samples = block.floats(0);
    if (frames == 0 || samples.size() < frames) {
        return 0;
    }
    double sum = 0;
    for (const float sample : samples.first(frames)) {
        sum += static_cast<double>(sample) * sample;
    }
    return std::min(6.0F * static_cast<float>(std::sqrt(sum / frames)), 1.0F);
}

void AudioCapture::handle(Source source, const AudioBlockPtr& block) {
    const float blockLevel = level(*block);
    {
        const std::lock_guard lock(state_);
        (source == Source::microphone ? micLevel_ : systemLevel_) = blockLevel;
    }
    if (auto converted = convert(source, block); converted && onBuffer) {
        onBuffer(source, converted);
    }
    pushLevelsIfDue();
}

AudioBlockPtr AudioCapture::convert(Source source, const AudioBlockPtr& block) {
    const AudioFormat& format = block->format();
    if (format.sampleRate == targetFormat_.sampleRate && format.channels == 1) {
        return block;
    }
    const std::string key = sourceKey(source) + format.description();
    std::shared_ptr<AudioConverter> converter;
    {
        const std::lock_guard lock(state_);
        if (const auto found = converters_.find(key); found != converters_.end()) {
            converter = found->second;
        }
    }
    if (!converter) {
        auto made = codecs_.makeConverter(format, targetFormat_);
        if (auto* created = std::get_if<std::unique_ptr<AudioConverter>>(&made)) {
            converter = std::move(*created);
        }
        const std::lock_guard lock(state_);
        if (!converter) {
            converters_.erase(key);
            return nullptr;
        }
        converters_[key] = converter;
    }
    const double capacity =
        std::floor(targetFormat_.sampleRate / format.sampleRate * block->frameLength()) + 1024;
    auto output = AudioBlock::make(targetFormat_, static_cast<std::uint32_t>(capacity));
    if (!output) {
        return nullptr;
    }
    const auto result = converter->convert(*block, *output);
    if (const auto* error = std::get_if<AudioError>(&result)) {
        if (onFailure) {
            onFailure("音频格式转换失败：" + error->description);
        }
        return nullptr;
    }
    if (output->frameLength() == 0) {
        return nullptr;
    }
    return output;
}

void AudioCapture::pushLevelsIfDue() {
    const auto now = queue_.now();
    float microphone = 0;
    float system = 0;
    {
        const std::lock_guard lock(state_);
        if (lastLevelPush_ && now - *lastLevelPush_ <= levelInterval) {
            return;
        }
        lastLevelPush_ = now;
        microphone = micLevel_;
        system = systemLevel_;
        micLevel_ *= 0.6F;
        systemLevel_ *= 0.6F;
    }
    // The callback is copied: the push may run after the capture has gone.
    queue_.post([callback = onLevels, microphone, system] {
        if (callback) {
            callback(microphone, system);
        }
    });
}

}  // namespace pagemate
