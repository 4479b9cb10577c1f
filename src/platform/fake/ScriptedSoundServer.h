#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "platform/SoundServer.h"

namespace pagemate::fake {

// One fragment as the fake hands it over: its buffers' bytes.
using FakeFragment = std::vector<std::vector<std::byte>>;

// A sine on every channel, in `format` (float32), from frame `first` of the tone.
FakeFragment sineFragment(const AudioFormat& format, std::uint32_t frames, double frequency,
                          float amplitude, std::uint64_t first = 0);
// A fragment whose every sample is `value`.
FakeFragment constantFragment(const AudioFormat& format, std::uint32_t frames, float value);

// What the scripted server was asked, in order ("open output", "create Pagemate
// System Audio", "connect", "ready", "stop", "disconnect", "release stream",
// "release device"); shared by the server and what it made.
struct SoundJournal {
    std::mutex mutex;
    std::vector<std::string> entries;
    void add(std::string entry);
};

// A stream of the fake as the test sees it: what the test hands it is delivered on a
// thread of the stream's own ("fake-sound"), in order, once it is connected. It keeps
// the port's promise: after stop() or disconnect() no callback runs.
class FakeSoundStream {
  public:
    FakeSoundStream(SoundStreamRequest request, std::shared_ptr<SoundJournal> journal);
    FakeSoundStream(const FakeSoundStream&) = delete;
    FakeSoundStream& operator=(const FakeSoundStream&) = delete;
    ~FakeSoundStream();

    // Queues a fragment, or the loss of the device, for the stream's thread.
    void deliver(FakeFragment fragment);
    void lose(SoundServerError error);
    // Waits until everything queued so far has been handed over (or dropped, when the
    // stream is not connected or has stopped).
    void flush();
    [[nodiscard]] const SoundStreamRequest& request() const { return request_; }
    [[nodiscard]] bool connected() const;
    [[nodiscard]] bool stopped() const;

    // The port's side (used by the handle the core holds).
    void connect(SoundStream::ReadCallback onRead, SoundStream::LostCallback onLost);
    void stop();
    void disconnect();

  private:
    void run();

    const SoundStreamRequest request_;
    const std::shared_ptr<SoundJournal> journal_;
    mutable std::mutex mutex_;  // guards the fields below
    std::condition_variable changed_;
    std::deque<std::variant<FakeFragment, SoundServerError>> queue_;
    SoundStream::ReadCallback onRead_;
    SoundStream::LostCallback onLost_;
    bool connected_ = false;
    bool stopped_ = false;
    bool busy_ = false;  // a callback is running
    bool quit_ = false;
    std::thread thread_;  // started by connect(), joined by the destructor
};

// A sound server for unit tests: devices of given formats, steps that fail on demand,
// a journal of the calls, streams the test feeds by hand.
class ScriptedSoundServer final : public SoundServer {
  public:
    ScriptedSoundServer();

    // By default the input is 44 100 Hz stereo and the monitor 48 000 Hz stereo, both
    // float32 interleaved; none: the device's format cannot be read.
    void setFormat(SoundDeviceKind kind, std::optional<AudioFormat> format);
    // Step 1 open, 2 create the stream, 3 connect, 4 ready: fails with `error` for the
    // device of that kind.
    void failAt(SoundDeviceKind kind, int step, SoundServerError error);
    void setOffersOutputMonitor(bool offers);
    void setMicrophoneAccess(int access);
    // While held, microphoneAccess() keeps its caller waiting (a server that hangs)
    // until released.
    void holdMicrophoneAccess(bool held);

    [[nodiscard]] std::vector<std::string> journal() const;
    void clearJournal();
    // The latest stream made on the device of that kind; null when none was made.
    [[nodiscard]] std::shared_ptr<FakeSoundStream> stream(SoundDeviceKind kind) const;

    std::variant<std::unique_ptr<SoundDevice>, SoundServerError> openDevice(
        SoundDeviceKind kind) override;
    bool offersOutputMonitor() override;
    int microphoneAccess() override;

    struct Script {
        std::optional<AudioFormat> format;
        std::map<int, SoundServerError> failures;
    };

  private:
    mutable std::mutex mutex_;  // guards the fields below
    std::map<SoundDeviceKind, Script> scripts_;
    std::map<SoundDeviceKind, std::shared_ptr<FakeSoundStream>> streams_;
    bool offersMonitor_ = true;
    int microphoneAccess_ = authorized;
    bool accessHeld_ = false;
    std::condition_variable accessReleased_;
    std::shared_ptr<SoundJournal> journal_ = std::make_shared<SoundJournal>();

  public:
    // The device's script, and the note of a stream made on it (the fake's devices).
    Script scriptFor(SoundDeviceKind kind) const;
    void madeStream(SoundDeviceKind kind, std::shared_ptr<FakeSoundStream> stream);
    [[nodiscard]] std::shared_ptr<SoundJournal> journalHandle() const { return journal_; }
};

}  // namespace pagemate::fake
