#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "meeting/CaptureSource.h"
#include "meeting/MeetingCaptureError.h"
#include "meeting/MeetingSegment.h"
#include "meeting/TranscriptionChannel.h"
#include "platform/AudioBlock.h"
#include "platform/MainQueue.h"
#include "platform/SpeechRecognizer.h"

namespace pagemate {

// Where a meeting is transcribed; recognition on this computer is the only engine.
enum class TranscriptionEngine : std::uint8_t { local };

// The live transcription of one meeting: makes the speech model ready, picks the
// locale and runs two channels, "现场" for the microphone and "线上" for the system
// audio. Keeps the transcript, in which a later version of a segment replaces the one
// with its id in place.
//
// Threads:
// - start() and finish() are called on the main thread and return at once; their
//   waiting runs off the main thread (start) or on the channels' completions (finish),
//   and their completions run on the main thread.
// - feed() runs on the capture threads, one per source, possibly at the same time.
// - onSegment and onError run on the main thread.
// Made only through make(): the channels' callbacks hold the session weakly.
class MeetingSession : public std::enable_shared_from_this<MeetingSession> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    using SegmentCallback = std::function<void(const MeetingSegment&)>;
    using ErrorCallback = std::function<void(const std::string&)>;
    // Nothing on success; the error to report otherwise.
    using StartCompletion = std::function<void(std::optional<MeetingCaptureError>)>;
    using FinishCompletion = std::function<void(std::vector<MeetingSegment>)>;

    static constexpr std::string_view microphoneSpeaker = "现场";
    static constexpr std::string_view systemSpeaker = "线上";
    static constexpr std::string_view noModelMessage =
        "本机识别需要安装本机语音模型（pocketsphinx），请先安装 pocketsphinx-en-us，"
        "或把模型放进 ~/.local/share/pagemate/speech/ 下以语言命名的目录";
    // In order of preference.
    static const std::vector<std::string>& preferredLocales();

    static std::shared_ptr<MeetingSession> make(TranscriptionEngine engine);
    MeetingSession(Key /*made by make()*/, TranscriptionEngine engine);
    MeetingSession(const MeetingSession&) = delete;
    MeetingSession& operator=(const MeetingSession&) = delete;
    ~MeetingSession();

    // Set before start().
    SegmentCallback onSegment;
    ErrorCallback onError;

    // Model, locale, both channels. Main thread; `completion` on the main thread.
    void start(StartCompletion completion);
    // One captured block: to the channel of its source while both channels run.
    // Capture threads.
    void feed(CaptureSource source, const AudioBlockPtr& block);
    // Finishes the microphone channel, then the system one, sums their counters and
    // gives the transcript. Main thread; `completion` on the main thread.
    void finish(FinishCompletion completion);

    [[nodiscard]] TranscriptionEngine engine() const { return engine_; }
    [[nodiscard]] MainQueue::Clock::time_point startedAt() const { return startedAt_; }
    // The transcript now. Main thread.
    [[nodiscard]] std::vector<MeetingSegment> allSegments() const;
    // Filled in by finish().
    [[nodiscard]] std::int64_t droppedSilentSegments() const { return droppedSilentSegments_; }
    [[nodiscard]] std::int64_t resultsReceived() const { return resultsReceived_; }
    // How far the channels' decoding runs behind the audio fed, in seconds: the larger
    // of the two; 0 before start and after finish. Any thread.
    [[nodiscard]] double backlogSeconds() const;
    // The running channels: microphone, then system; empty before start and after finish.
    [[nodiscard]] std::vector<std::shared_ptr<TranscriptionChannel>> localChannels() const;

    // The locale to recognise, from the supported ones (pure rule).
    static std::string choosePreferredLocale(const std::vector<std::string>& supported);
    // The same from the recogniser's supported locales. Blocks; off the main thread.
    static std::string preferredLocaleNow();
    // Asynchronous form: `completion` on the main thread.
    static void preferredLocale(std::function<void(std::string)> completion);
    // Makes the preferred locale's model installed and reserved. Blocks; off the main
    // thread. The request's or the download's failure as a value; a failed reservation
    // is only logged.
    static std::optional<SpeechError> ensureModelNow();
    // Asynchronous form: `completion` on the main thread.
    static void ensureModel(std::function<void(std::optional<SpeechError>)> completion);

  private:
    // The blocking part of start(), off the main thread: the channels, started, or the
    // error.
    using Started =
        std::variant<std::vector<std::shared_ptr<TranscriptionChannel>>, MeetingCaptureError>;
    Started startLocal();
    void handleSegment(const MeetingSegment& segment);
    void finishChannel(std::size_t index,
                       std::vector<std::shared_ptr<TranscriptionChannel>> channels,
                       FinishCompletion completion);

    const TranscriptionEngine engine_;
    const MainQueue::Clock::time_point startedAt_;

    // Guards the channels; feed() copies what it needs and lets go.
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<TranscriptionChannel>> localChannels_;

    // The main thread's own.
    std::vector<MeetingSegment> segments_;
    std::int64_t droppedSilentSegments_ = 0;
    std::int64_t resultsReceived_ = 0;
};

}  // namespace pagemate
