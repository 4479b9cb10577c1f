#include "meeting/SystemAudioTap.h"

#include <utility>

#include "base/AppLog.h"

namespace pagemate {

namespace {

// Frames asked of the server per fragment (a wish; any size is accepted).
constexpr std::uint32_t fragmentFrames = 4096;

MeetingCaptureError failure(const char* what, const SoundServerError& error) {
    return MeetingCaptureError(std::string(what) + "（错误码 " + std::to_string(error.status) +
                               "）");
}

}  // namespace

std::shared_ptr<SystemAudioTap> SystemAudioTap::make(SoundServer& server) {
    return std::make_shared<SystemAudioTap>(Key{}, server);
}

SystemAudioTap::SystemAudioTap(Key /*unused*/, SoundServer& server) : server_(server) {}

SystemAudioTap::~SystemAudioTap() {
    const std::lock_guard lock(mutex_);
    teardown();
}

bool SystemAudioTap::running() const {
    const std::lock_guard lock(mutex_);
    return isRunning_;
}

std::optional<MeetingCaptureError> SystemAudioTap::start() {
    const std::lock_guard lock(mutex_);
    if (isRunning_) {
        return std::nullopt;
    }
    // 1. The server and its monitor of the default output.
    auto opened = server_.openDevice(SoundDeviceKind::outputMonitor);
    if (auto* error = std::get_if<SoundServerError>(&opened)) {
        return failure("创建系统声音捕获失败", *error);
    }
    device_ = std::get<std::unique_ptr<SoundDevice>>(std::move(opened));

    // 2. A record stream in the monitor's own format.
    inputFormat_ = device_->format().value_or(fallbackFormat());
    if (!inputFormat_->valid()) {
        inputFormat_ = fallbackFormat();
    }
    auto created = device_->createRecordStream({streamName, *inputFormat_, fragmentFrames});
    if (auto* error = std::get_if<SoundServerError>(&created)) {
        const SoundServerError cause = *error;
        teardown();
        return failure("创建音频聚合设备失败", cause);
    }
    stream_ = std::get<std::unique_ptr<SoundStream>>(std::move(created));

    // 3. The read callback, holding the tap weakly, and the connection to the monitor.
    const std::weak_ptr<SystemAudioTap> weak = weak_from_this();
    auto onRead = [weak](std::span<const SoundBuffer> list) {
        if (const auto self = weak.lock()) {
            self->deliver(list);
        }
    };
    auto lost = [weak](const SoundServerError& error) {
        if (const auto self = weak.lock(); self && self->onLost) {
            self->onLost(error);
        }
    };
    if (auto error = stream_->connect(std::move(onRead), std::move(lost))) {
        teardown();
        return failure("注册音频回调失败", *error);
    }
    callbackInstalled_ = true;

    // 4. The stream delivers.
    if (auto error = stream_->waitUntilReady()) {
        teardown();
        return failure("启动系统声音采集失败", *error);
    }
    isRunning_ = true;
    AppLog::write("系统声音采集：已启动（PulseAudio 监听输出，无需屏幕录制权限）");
    return std::nullopt;
}

void SystemAudioTap::stop() {
    const std::lock_guard lock(mutex_);
    if (!isRunning_ && !stream_ && !device_) {
        return;
    }
    if (stream_ && callbackInstalled_) {
        stream_->stop();
    }
    teardown();
    isRunning_ = false;
    AppLog::write("系统声音采集：已停止");
}

// After stop() has stopped a running stream: disconnect the callback, release the
// stream, release the device handle, in that order.
void SystemAudioTap::teardown() {
    if (stream_ && callbackInstalled_) {
        stream_->disconnect();
    }
    callbackInstalled_ = false;
    stream_.reset();
    device_.reset();
    // No callback runs any more: the format may go.
    inputFormat_.reset();
}

void SystemAudioTap::deliver(std::span<const SoundBuffer> list) {
    // Set before the stream connected and cleared only after it stopped.
    if (!inputFormat_) {
        return;
    }
    auto block = bufferFromList(list, *inputFormat_);
    if (block && onBuffer) {
        onBuffer(std::move(block));
    }
}

}  // namespace pagemate
