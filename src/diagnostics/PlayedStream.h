#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "meeting/CaptureStream.h"

namespace pagemate {

// Prepared sound played as a capture stream: block after block on a thread of its own
// (a background thread of the platform), `pause` apart, until the sound ends or stop().
// A self-test's microphone or system audio, so that its sound takes the meeting's path.
class PlayedStream final : public CaptureStream {
  public:
    // The next block, or none at the end of the sound; on the stream's thread.
    using Next = std::function<AudioBlockPtr()>;

    // `ended` runs on the stream's thread after the last block, unless stopped before.
    PlayedStream(Next next, std::chrono::microseconds pause, std::function<void()> ended);
    PlayedStream(const PlayedStream&) = delete;
    PlayedStream& operator=(const PlayedStream&) = delete;
    ~PlayedStream() override;

    [[nodiscard]] std::optional<MeetingCaptureError> start() override;
    // Waits for the stream's thread to end.
    void stop() override;

  private:
    struct Play;
    std::shared_ptr<Play> play_;
};

}  // namespace pagemate
