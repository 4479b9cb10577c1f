#include "meeting/MicrophoneStream.h"

#include <string>
#include <utility>

#include "base/AppLog.h"

namespace pagemate {

namespace {

const char* const noMicrophone = "拿不到麦克风（可能没有可用的输入设备）";

}  // namespace

std::shared_ptr<MicrophoneStream> MicrophoneStream::make(SoundServer& server) {
    return std::make_shared<MicrophoneStream>(Key{}, server);
}

MicrophoneStream::MicrophoneStream(Key /*unused*/, SoundServer& server) : server_(server) {}

MicrophoneStream::~MicrophoneStream() {
    const std::lock_guard lock(mutex_);
    stream_.reset();
    device_.reset();
}

std::optional<MeetingCaptureError> MicrophoneStream::start() {
    const std::lock_guard lock(mutex_);
    if (stream_) {
        return std::nullopt;
    }
    auto opened = server_.openDevice(SoundDeviceKind::defaultInput);
    auto* device = std::get_if<std::unique_ptr<SoundDevice>>(&opened);
    const std::optional<AudioFormat> format =
        device != nullptr ? (*device)->format() : std::nullopt;
    if (!format || format->sampleRate <= 0 || format->channels == 0) {
        return MeetingCaptureError(noMicrophone);
    }
    auto created = (*device)->createRecordStream({streamName, *format, fragmentFrames});
    if (auto* error = std::get_if<SoundServerError>(&created)) {
        return MeetingCaptureError(error->description);
    }
    auto stream = std::get<std::unique_ptr<SoundStream>>(std::move(created));
    format_ = format;
    const std::weak_ptr<MicrophoneStream> weak = weak_from_this();
    auto onRead = [weak](std::span<const SoundBuffer> list) {
        const auto self = weak.lock();
        if (!self || !self->format_) {
            return;
        }
        if (auto block = bufferFromList(list, *self->format_); block && self->onBuffer) {
            self->onBuffer(block);
        }
    };
    auto lost = [weak](const SoundServerError& error) {
        if (const auto self = weak.lock(); self && self->onLost) {
            self->onLost(error);
        }
    };
    std::optional<SoundServerError> failure = stream->connect(std::move(onRead), std::move(lost));
    if (!failure) {
        failure = stream->waitUntilReady();
    }
    if (failure) {
        stream.reset();
        format_.reset();
        return MeetingCaptureError(failure->description);
    }
    stream_ = std::move(stream);
    device_ = std::move(*device);
    AppLog::write("音频采集：麦克风已启动（" +
                  std::to_string(static_cast<long long>(format->sampleRate)) + "Hz / " +
                  std::to_string(format->channels) + " 声道）");
    return std::nullopt;
}

void MicrophoneStream::stop() {
    const std::lock_guard lock(mutex_);
    if (stream_) {
        stream_->stop();
        stream_->disconnect();
        stream_.reset();
    }
    device_.reset();
    format_.reset();
}

}  // namespace pagemate
