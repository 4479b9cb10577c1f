#include "platform/fake/ScriptedSoundServer.h"

#include <pthread.h>

#include <cmath>
#include <cstring>
#include <numbers>
#include <utility>

namespace pagemate::fake {

namespace {

const char* kindName(SoundDeviceKind kind) {
    return kind == SoundDeviceKind::defaultInput ? "input" : "output";
}

FakeFragment fragmentOf(const AudioFormat& format, std::uint32_t frames,
                        const std::function<float(std::uint64_t)>& sample) {
    const std::size_t perBuffer = format.interleaved ? format.channels : 1;
    FakeFragment fragment(format.bufferCount(),
                          std::vector<std::byte>(std::size_t{frames} * perBuffer * sizeof(float)));
    for (auto& buffer : fragment) {
        for (std::uint32_t frame = 0; frame < frames; ++frame) {
            const float value = sample(frame);
            for (std::size_t channel = 0; channel < perBuffer; ++channel) {
                std::memcpy(buffer.data() + ((frame * perBuffer + channel) * sizeof(float)), &value,
                            sizeof(float));
            }
        }
    }
    return fragment;
}

// What the core holds: the test's stream behind the port, journaled.
class StreamHandle final : public SoundStream {
  public:
    StreamHandle(std::shared_ptr<FakeSoundStream> stream, ScriptedSoundServer::Script script,
                 std::shared_ptr<SoundJournal> journal)
        : stream_(std::move(stream)), script_(std::move(script)), journal_(std::move(journal)) {}
    StreamHandle(const StreamHandle&) = delete;
    StreamHandle& operator=(const StreamHandle&) = delete;
    ~StreamHandle() override {
        stream_->stop();
        stream_->disconnect();
        journal_->add("release stream");
    }

    std::optional<SoundServerError> connect(ReadCallback onRead, LostCallback onLost) override {
        journal_->add("connect");
        if (const auto failure = script_.failures.find(3); failure != script_.failures.end()) {
            return failure->second;
        }
        stream_->connect(std::move(onRead), std::move(onLost));
        return std::nullopt;
    }
    std::optional<SoundServerError> waitUntilReady() override {
        journal_->add("ready");
        if (const auto failure = script_.failures.find(4); failure != script_.failures.end()) {
            return failure->second;
        }
        return std::nullopt;
    }
    void stop() override {
        if (!stopJournaled_) {
            stopJournaled_ = true;
            journal_->add("stop");
        }
        stream_->stop();
    }
    void disconnect() override {
        if (!disconnectJournaled_) {
            disconnectJournaled_ = true;
            journal_->add("disconnect");
        }
        stream_->disconnect();
    }

  private:
    std::shared_ptr<FakeSoundStream> stream_;
    ScriptedSoundServer::Script script_;
    std::shared_ptr<SoundJournal> journal_;
    bool stopJournaled_ = false;
    bool disconnectJournaled_ = false;
};

class ScriptedDevice final : public SoundDevice {
  public:
    ScriptedDevice(ScriptedSoundServer& server, SoundDeviceKind kind)
        : server_(server), kind_(kind), script_(server.scriptFor(kind)) {}
    ScriptedDevice(const ScriptedDevice&) = delete;
    ScriptedDevice& operator=(const ScriptedDevice&) = delete;
    ~ScriptedDevice() override { server_.journalHandle()->add("release device"); }

    [[nodiscard]] std::optional<AudioFormat> format() const override { return script_.format; }
    [[nodiscard]] std::string name() const override {
        return kind_ == SoundDeviceKind::defaultInput ? "fake_input" : "fake_output.monitor";
    }
    std::variant<std::unique_ptr<SoundStream>, SoundServerError> createRecordStream(
        const SoundStreamRequest& request) override {
        auto journal = server_.journalHandle();
        journal->add("create " + request.name);
        if (const auto failure = script_.failures.find(2); failure != script_.failures.end()) {
            return failure->second;
        }
        auto stream = std::make_shared<FakeSoundStream>(request, journal);
        server_.madeStream(kind_, stream);
        return std::make_unique<StreamHandle>(std::move(stream), script_, journal);
    }

  private:
    ScriptedSoundServer& server_;
    SoundDeviceKind kind_;
    ScriptedSoundServer::Script script_;
};

}  // namespace

FakeFragment sineFragment(const AudioFormat& format, std::uint32_t frames, double frequency,
                          float amplitude, std::uint64_t first) {
    return fragmentOf(format, frames, [&](std::uint64_t frame) {
        const double phase = 2 * std::numbers::pi * frequency * static_cast<double>(first + frame) /
                             format.sampleRate;
        return amplitude * static_cast<float>(std::sin(phase));
    });
}

FakeFragment constantFragment(const AudioFormat& format, std::uint32_t frames, float value) {
    return fragmentOf(format, frames, [value](std::uint64_t /*frame*/) { return value; });
}

void SoundJournal::add(std::string entry) {
    const std::lock_guard lock(mutex);
    entries.push_back(std::move(entry));
}

FakeSoundStream::FakeSoundStream(SoundStreamRequest request, std::shared_ptr<SoundJournal> journal)
    : request_(std::move(request)), journal_(std::move(journal)) {}

FakeSoundStream::~FakeSoundStream() {
    {
        const std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void FakeSoundStream::deliver(FakeFragment fragment) {
    {
        const std::lock_guard lock(mutex_);
        queue_.emplace_back(std::move(fragment));
    }
    changed_.notify_all();
}

void FakeSoundStream::lose(SoundServerError error) {
    {
        const std::lock_guard lock(mutex_);
        queue_.emplace_back(std::move(error));
    }
    changed_.notify_all();
}

void FakeSoundStream::flush() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return (queue_.empty() || !connected_ || stopped_) && !busy_; });
}

bool FakeSoundStream::connected() const {
    const std::lock_guard lock(mutex_);
    return connected_;
}

bool FakeSoundStream::stopped() const {
    const std::lock_guard lock(mutex_);
    return stopped_;
}

void FakeSoundStream::connect(SoundStream::ReadCallback onRead, SoundStream::LostCallback onLost) {
    const std::lock_guard lock(mutex_);
    onRead_ = std::move(onRead);
    onLost_ = std::move(onLost);
    connected_ = true;
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
    changed_.notify_all();
}

void FakeSoundStream::stop() {
    std::unique_lock lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
    // A callback under way finishes before stop() returns.
    changed_.wait(lock, [this] { return !busy_; });
}

void FakeSoundStream::disconnect() {
    SoundStream::ReadCallback onRead;
    SoundStream::LostCallback onLost;
    {
        std::unique_lock lock(mutex_);
        stopped_ = true;
        connected_ = false;
        changed_.notify_all();
        changed_.wait(lock, [this] { return !busy_; });
        onRead = std::move(onRead_);
        onLost = std::move(onLost_);
    }
}

void FakeSoundStream::run() {
    pthread_setname_np(pthread_self(), "fake-sound");
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock,
                      [this] { return quit_ || (!queue_.empty() && connected_) || stopped_; });
        if (quit_) {
            return;
        }
        if (stopped_) {
            queue_.clear();
            changed_.notify_all();
            changed_.wait(lock, [this] { return quit_; });
            return;
        }
        auto item = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        const auto onRead = onRead_;
        const auto onLost = onLost_;
        lock.unlock();
        if (auto* fragment = std::get_if<FakeFragment>(&item)) {
            std::vector<SoundBuffer> buffers;
            for (const auto& buffer : *fragment) {
                buffers.push_back({buffer.data(), buffer.size()});
            }
            if (onRead) {
                onRead(buffers);
            }
        } else if (onLost) {
            onLost(std::get<SoundServerError>(item));
        }
        lock.lock();
        busy_ = false;
        changed_.notify_all();
    }
}

ScriptedSoundServer::ScriptedSoundServer() {
    scripts_[SoundDeviceKind::defaultInput].format =
        AudioFormat{SampleType::float32, 44100, 2, true};
    scripts_[SoundDeviceKind::outputMonitor].format =
        AudioFormat{SampleType::float32, 48000, 2, true};
}

void ScriptedSoundServer::setFormat(SoundDeviceKind kind, std::optional<AudioFormat> format) {
    const std::lock_guard lock(mutex_);
    scripts_[kind].format = format;
}

void ScriptedSoundServer::failAt(SoundDeviceKind kind, int step, SoundServerError error) {
    const std::lock_guard lock(mutex_);
    scripts_[kind].failures[step] = std::move(error);
}

void ScriptedSoundServer::setOffersOutputMonitor(bool offers) {
    const std::lock_guard lock(mutex_);
    offersMonitor_ = offers;
}

void ScriptedSoundServer::setMicrophoneAccess(int access) {
    const std::lock_guard lock(mutex_);
    microphoneAccess_ = access;
}

void ScriptedSoundServer::holdMicrophoneAccess(bool held) {
    const std::lock_guard lock(mutex_);
    accessHeld_ = held;
    accessReleased_.notify_all();
}

std::vector<std::string> ScriptedSoundServer::journal() const {
    const std::lock_guard lock(journal_->mutex);
    return journal_->entries;
}

void ScriptedSoundServer::clearJournal() {
    const std::lock_guard lock(journal_->mutex);
    journal_->entries.clear();
}

std::shared_ptr<FakeSoundStream> ScriptedSoundServer::stream(SoundDeviceKind kind) const {
    const std::lock_guard lock(mutex_);
    const auto found = streams_.find(kind);
    return found != streams_.end() ? found->second : nullptr;
}

ScriptedSoundServer::Script ScriptedSoundServer::scriptFor(SoundDeviceKind kind) const {
    const std::lock_guard lock(mutex_);
    return scripts_.at(kind);
}

void ScriptedSoundServer::madeStream(SoundDeviceKind kind,
                                     std::shared_ptr<FakeSoundStream> stream) {
    const std::lock_guard lock(mutex_);
    streams_[kind] = std::move(stream);
}

std::variant<std::unique_ptr<SoundDevice>, SoundServerError> ScriptedSoundServer::openDevice(
    SoundDeviceKind kind) {
    journal_->add(std::string("open ") + kindName(kind));
    const Script script = scriptFor(kind);
    if (const auto failure = script.failures.find(1); failure != script.failures.end()) {
        return failure->second;
    }
    return std::make_unique<ScriptedDevice>(*this, kind);
}

bool ScriptedSoundServer::offersOutputMonitor() {
    const std::lock_guard lock(mutex_);
    return offersMonitor_;
}

int ScriptedSoundServer::microphoneAccess() {
    std::unique_lock lock(mutex_);
    accessReleased_.wait(lock, [&] { return !accessHeld_; });
    return microphoneAccess_;
}

}  // namespace pagemate::fake
