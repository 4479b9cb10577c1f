#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "meeting/CaptureStream.h"
#include "platform/SoundServer.h"

namespace pagemate {

// Captures what the computer plays (the other side of an online meeting) through the
// sound server's monitor of the default output: no screen-recording permission, no
// change to what the speakers play. Each fragment becomes one block in the monitor's
// own format, handed to the owner. The only owner is AudioCapture; the threads are
// CaptureStream's. Created only through make().
class SystemAudioTap : public CaptureStream, public std::enable_shared_from_this<SystemAudioTap> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    static constexpr const char* streamName = "Pagemate System Audio";

    static std::shared_ptr<SystemAudioTap> make(SoundServer& server);
    SystemAudioTap(Key /*made by make()*/, SoundServer& server);
    SystemAudioTap(const SystemAudioTap&) = delete;
    SystemAudioTap& operator=(const SystemAudioTap&) = delete;
    // Runs the teardown.
    ~SystemAudioTap() override;

    // A failing step's error names the step and the server's status.
    [[nodiscard]] std::optional<MeetingCaptureError> start() override;
    void stop() override;
    [[nodiscard]] bool running() const;

    // The format blocks are made in when the monitor's cannot be read: 32-bit float,
    // 48 000 Hz, 2 channels, planar.
    static AudioFormat fallbackFormat() { return {SampleType::float32, 48000, 2, false}; }

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
