#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "meeting/CaptureSource.h"
#include "meeting/CaptureStream.h"
#include "meeting/MeetingCaptureError.h"
#include "platform/AudioBlock.h"
#include "platform/AudioCodecs.h"
#include "platform/MainQueue.h"
#include "platform/SoundServer.h"

namespace pagemate {

// Records a meeting's two sounds, the microphone (MicrophoneStream) and what the
// computer plays (SystemAudioTap), both run as a CaptureStream, and hands every block on as 32-bit
// float, 16 kHz, mono, tagged with its source. Keeps a level per source, pushed at most
// every 0.1 s. Without system audio it records the microphone alone.
//
// Threads:
// - start() and stop() block (the sound server, a few seconds at most) and run on the
//   owner's background executor, never on the main thread; one at a time.
// - Microphone blocks arrive on the microphone stream's capture thread, system blocks
//   on the tap's; onBuffer runs synchronously on those threads, so one call per source
//   can run at the same time.
// - onLevels runs on the main thread (MainQueue::post).
// - onFailure runs on the thread that found the problem: the start executor for the
//   system-audio messages, a capture thread for conversion errors.
// - After stop() has returned no callback but an already posted onLevels runs.
// Created only through make(); the capture threads hold it weakly.
class AudioCapture : public std::enable_shared_from_this<AudioCapture> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    using Source = CaptureSource;
    using BufferCallback = std::function<void(Source, const AudioBlockPtr&)>;
    using LevelsCallback = std::function<void(float microphone, float system)>;
    using FailureCallback = std::function<void(const std::string&)>;

    static constexpr std::chrono::milliseconds levelInterval{100};

    // Where the two sounds come from, a new stream at each start; the system's maker
    // gives none when there is no system audio to capture.
    struct Streams {
        std::function<std::shared_ptr<CaptureStream>()> microphone;
        std::function<std::shared_ptr<CaptureStream>()> system;
    };

    // Uses the installed platform's sound server, audio codecs and main queue.
    static std::shared_ptr<AudioCapture> make();
    // The same with other streams than the sound server's (a self-test's prepared sound).
    static std::shared_ptr<AudioCapture> make(Streams streams);
    AudioCapture(Key /*made by make()*/, Streams streams, AudioCodecs& codecs, MainQueue& queue);
    AudioCapture(const AudioCapture&) = delete;
    AudioCapture& operator=(const AudioCapture&) = delete;
    ~AudioCapture();

    // The microphone permission as the sound server answers it (numbers and their
    // meaning: SoundServer::MicrophoneAccess). Blocks briefly; any thread.
    static int microphoneStatus();
    // There is no prompt on a sound server: asks again, off the calling thread (a
    // server that hangs takes seconds to answer), and calls `completion` with whether
    // access is authorized, on the main thread. Any thread.
    static void requestMicrophone(std::function<void(bool granted)> completion);

    // Starts the microphone, then the system audio. The error when the microphone
    // cannot be had; the object then stays idle. A failing system audio never fails
    // the start (onFailure says so). A second call while started does nothing.
    [[nodiscard]] std::optional<MeetingCaptureError> start();
    // Stops both; logs only when it was started.
    void stop();

    BufferCallback onBuffer;
    LevelsCallback onLevels;
    FailureCallback onFailure;

    // The level of a block: 6 × the RMS of its first channel, clamped at 1; 0 for a
    // block without float samples or frames.
    static float level(const AudioBlock& block);
    // The block handler of both sources: level, conversion, hand-on, level push.
    void handle(Source source, const AudioBlockPtr& block);

  private:
    AudioBlockPtr convert(Source source, const AudioBlockPtr& block);
    void pushLevelsIfDue();
    void sourceLost(Source source, const SoundServerError& error);
    // Hands the stream's blocks and its loss on as `source`'s.
    void attach(CaptureStream& stream, Source source);
    void startSystemAudio();

    const Streams streams_;
    AudioCodecs& codecs_;
    MainQueue& queue_;

    std::mutex lifecycle_;  // held by start() and stop(); guards the fields below
    std::shared_ptr<CaptureStream> microphone_;
    std::shared_ptr<CaptureStream> system_;  // none without system audio
    bool started_ = false;

    // Held only around look-ups, insertions and field updates, never around a
    // conversion or a callback. Guards the fields below.
    std::mutex state_;
    // One converter per source and format (key: source + format description), so the
    // two capture threads never share one.
    std::map<std::string, std::shared_ptr<AudioConverter>> converters_;
    float micLevel_ = 0;
    float systemLevel_ = 0;
    std::optional<MainQueue::Clock::time_point> lastLevelPush_;  // none: push at once
    const AudioFormat targetFormat_ = AudioFormat::meeting();
};

}  // namespace pagemate
