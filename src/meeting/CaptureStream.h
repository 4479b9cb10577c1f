#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "meeting/MeetingCaptureError.h"
#include "platform/AudioBlock.h"
#include "platform/SoundServer.h"

namespace pagemate {

// One of a meeting's two sounds as the sound server delivers it: the microphone
// (MicrophoneStream) or what the computer plays (SystemAudioTap). AudioCapture runs
// both through this one type.
//
// start() and stop() block (the sound server, a few seconds at most) and run on the
// capture's background executor, never from inside onBuffer or onLost; one at a time.
// onBuffer and onLost run on the stream's capture thread, one fragment at a time and in
// order; the stream's read callback holds it weakly, so a fragment that arrives while
// it is being released does nothing. After stop() has returned no callback runs.
class CaptureStream {
  public:
    using BufferCallback = std::function<void(const AudioBlockPtr&)>;
    using LostCallback = std::function<void(const SoundServerError&)>;

    CaptureStream() = default;
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;
    virtual ~CaptureStream() = default;

    // Nothing once the stream delivers; otherwise the error to show, after releasing
    // what the earlier steps made. A second call while running returns at once.
    [[nodiscard]] virtual std::optional<MeetingCaptureError> start() = 0;
    // Safe in any state.
    virtual void stop() = 0;

    // Set by the owner before start(): each fragment as one block in the stream's
    // own format.
    BufferCallback onBuffer;
    // The source went away after the start: no block follows.
    LostCallback onLost;

    // A block in `format` from a fragment's buffers; none when the list is empty, its
    // first buffer holds no byte or less than one frame.
    static std::shared_ptr<AudioBlock> bufferFromList(std::span<const SoundBuffer> list,
                                                      const AudioFormat& format);
};

}  // namespace pagemate
