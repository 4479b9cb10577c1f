#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "meeting/CaptureStream.h"
#include "platform/SoundServer.h"

namespace pagemate {

// The user's microphone: the sound server's default input, recorded in its own format,
// each fragment one block handed to the owner. The only owner is AudioCapture; the
// threads are CaptureStream's. Created only through make().
class MicrophoneStream : public CaptureStream,
                         public std::enable_shared_from_this<MicrophoneStream> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    static constexpr const char* streamName = "Pagemate Microphone";
    // Frames asked of the server per fragment (a wish).
    static constexpr std::uint32_t fragmentFrames = 4096;

    static std::shared_ptr<MicrophoneStream> make(SoundServer& server);
    MicrophoneStream(Key /*made by make()*/, SoundServer& server);
    MicrophoneStream(const MicrophoneStream&) = delete;
    MicrophoneStream& operator=(const MicrophoneStream&) = delete;
    // The stream goes first (its destructor ends its callbacks), then the device.
    ~MicrophoneStream() override;

    // Without an input of a usable format the error says so; otherwise it is the
    // server's own description.
    [[nodiscard]] std::optional<MeetingCaptureError> start() override;
    void stop() override;

  private:
    SoundServer& server_;
    std::mutex mutex_;  // held by start() and stop(); guards the fields below
    std::unique_ptr<SoundDevice> device_;
    std::unique_ptr<SoundStream> stream_;
    // Read by the capture thread, which only runs while it is set.
    std::optional<AudioFormat> format_;
};

}  // namespace pagemate
