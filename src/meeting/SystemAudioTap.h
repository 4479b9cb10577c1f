#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/AudioBlock.h"
#include "platform/SoundServer.h"

namespace pagemate {

// Captures what the computer plays (the other side of an online meeting) through the
// sound server's monitor of the default output: no screen-recording permission, no
// change to what the speakers play. Each fragment becomes one block in the monitor's
// own format, handed to the owner. The only owner is AudioCapture.
//
// start() and stop() run on the capture's background executor (not from inside
// onBuffer or onLost). onBuffer and onLost run on the stream's capture thread, one
// fragment at a time and in order; they hold the tap weakly, so a fragment that
// arrives while the tap is being released does nothing. After stop() has returned no
// callback runs. Created only through make().
class SystemAudioTap : public std::enable_shared_from_this<SystemAudioTap> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    using BufferCallback = std::function<void(const AudioBlockPtr&)>;
    using LostCallback = std::function<void(const SoundServerError&)>;

    static constexpr const char* streamName = "Pagemate System Audio";

    static std::shared_ptr<SystemAudioTap> make(SoundServer& server);
    SystemAudioTap(Key /*made by make()*/, SoundServer& server);
    SystemAudioTap(const SystemAudioTap&) = delete;
    SystemAudioTap& operator=(const SystemAudioTap&) = delete;
    // Runs the teardown.
    ~SystemAudioTap();

    // Throws MeetingCaptureError when a step fails, after releasing what the earlier
    // steps made. A second call while running returns at once.
    void start();
    // Never throws; safe in any state.
    void stop();
    [[nodiscard]] bool running() const;

    // Set by the owner before start().
    BufferCallback onBuffer;
    // The monitor went away after the start (the output was removed): no block follows.
    LostCallback onLost;

    // The format blocks are made in when the monitor's cannot be read: 32-bit float,
    // 48 000 Hz, 2 channels, planar.
    static AudioFormat fallbackFormat() { return {SampleType::float32, 48000, 2, false}; }
    // A block in `format` from a fragment's buffers; none when the list is empty, its
    // first buffer holds no byte or less than one frame.
    static std::shared_ptr<AudioBlock> bufferFromList(std::span<const SoundBuffer> list,
                                                      const AudioFormat& format);

  private:
    void teardown();
    void deliver(std::span<const SoundBuffer> list);

    SoundServer& server_;
    mutable std::mutex mutex_;  // guards the fields below against running()
    // The monitor of the default output, from step 1; none when there is none.
    std::unique_ptr<SoundDevice> device_;
    // The record stream on it, from step 2.
    std::unique_ptr<SoundStream> stream_;
    // Whether the read callback is installed and the stream connected (step 3).
    bool callbackInstalled_ = false;
    // The blocks' format, fixed at start; read by the capture thread, which only runs
    // while it is set.
    std::optional<AudioFormat> inputFormat_;
    bool isRunning_ = false;
};

}  // namespace pagemate
