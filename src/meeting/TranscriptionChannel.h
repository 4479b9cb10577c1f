#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "meeting/MeetingSegment.h"
#include "platform/AudioBlock.h"
#include "platform/AudioCodecs.h"
#include "platform/MainQueue.h"
#include "platform/SpeechRecognizer.h"

namespace pagemate {

// The live transcription of one sound of a meeting (the microphone or the system
// audio): hands every captured block to its own recogniser with a start time counted
// in the recogniser's frames, drops results that fall in silence, keeps the partial
// results of one utterance under one segment id, and reports segments on the main
// thread. Made and owned by MeetingSession.
//
// Threads:
// - start() blocks (it loads the model) and runs off the main thread, once.
// - feed() runs on the capture thread of the channel's source, one call at a time.
// - Results come on the recogniser's decoder thread; each segment is handed to the
//   main thread and the decoder waits until onSegment has returned, so segments keep
//   the order of the results. onSegment and onError run on the main thread.
// - finish() and the destructor run on the main thread. finish() completes on the main
//   thread once the recogniser has delivered everything, at the latest after its drain
//   limit and then finishWait (see finish()); after that no callback runs.
// Made only through make(): the recogniser's handlers hold the channel weakly.
class TranscriptionChannel : public std::enable_shared_from_this<TranscriptionChannel> {
  private:
    struct Key {
        explicit Key() = default;
    };

  public:
    using SegmentCallback = std::function<void(const MeetingSegment&)>;
    using ErrorCallback = std::function<void(const std::string&)>;

    // A result is heard when a block of at least this peak lies within the margin of it.
    static constexpr double silenceThreshold = 0.003;
    static constexpr double silenceMargin = 0.6;
    // Peaks are kept this long behind the point the recogniser has decoded up to (not
    // behind the capture: a decoder running late still finds the peaks of its results),
    // one record per tenth of a second, the loudest block's; so the history is bounded
    // by the longest backlog a channel lets build up.
    static constexpr double peakHistorySeconds = 15;
    static constexpr double peakSlotSeconds = 0.1;
    static constexpr double longestBacklogSeconds = 120;
    static constexpr std::size_t peakHistoryEntries = static_cast<std::size_t>(
        (peakHistorySeconds + longestBacklogSeconds + 1) / peakSlotSeconds);
    // A result starting later than this after everything heard opens a new segment.
    static constexpr double utteranceGap = 1.5;
    static constexpr std::int64_t silentDropsLogged = 3;
    // At finish the recogniser first decodes what it was given (the drain), for at most
    // drainBase + drainPerQueuedSecond x the audio still queued, and no longer than
    // longestBacklogSeconds: a decoder five times slower than real time still gets
    // through; one that is stuck is given up with a log line. Then its last results
    // have finishWait to come. Progress is looked at every drainPoll.
    static constexpr std::chrono::milliseconds finishWait{3000};
    static constexpr std::chrono::milliseconds drainBase{3000};
    static constexpr double drainPerQueuedSecond = 6;
    static constexpr std::chrono::milliseconds drainPoll{100};
    // A backlog beyond this is logged, once per channel.
    static constexpr double backlogLogged = 10;
    static constexpr std::uint32_t extraConverterFrames = 1024;

    static std::shared_ptr<TranscriptionChannel> make(std::string speaker, std::string locale,
                                                      MainQueue::Clock::time_point startedAt);
    TranscriptionChannel(Key /*made by make()*/, std::string speaker, std::string locale,
                         MainQueue::Clock::time_point startedAt);
    TranscriptionChannel(const TranscriptionChannel&) = delete;
    TranscriptionChannel& operator=(const TranscriptionChannel&) = delete;
    ~TranscriptionChannel();

    // Makes the recogniser, chooses its format and starts it. Blocks; off the main
    // thread. The recogniser's failure as a value.
    std::optional<SpeechError> start();
    // One block as captured (16 kHz mono float); ignored before start and after finish.
    void feed(const AudioBlockPtr& block);
    // Ends the input, lets the recogniser decode what it still holds and deliver its
    // last results, and calls `done` on the main thread once they are in. When the
    // decoding does not end within the drain limit (above), one log line names the
    // seconds of audio left untranscribed; when the last results do not come within
    // finishWait after it, they are given up. The recogniser is let go then. Main
    // thread.
    void finish(std::function<void()> done);

    // Set before start().
    SegmentCallback onSegment;
    ErrorCallback onError;

    [[nodiscard]] const std::string& speaker() const { return speaker_; }
    [[nodiscard]] std::int64_t droppedSilent() const { return droppedSilent_; }
    [[nodiscard]] std::int64_t resultsReceived() const { return resultsReceived_; }
    [[nodiscard]] std::int64_t framesSent() const { return framesSent_; }
    [[nodiscard]] std::optional<AudioFormat> preparedFormat() const;
    // How far decoding runs behind the audio fed, in seconds: now, and the most this
    // meeting. Any thread.
    [[nodiscard]] double backlogSeconds() const;
    [[nodiscard]] double largestBacklogSeconds() const { return largestBacklog_; }

    // Rate, channel count, sample type and layout all match.
    static bool sameFormat(const AudioFormat& left, const AudioFormat& right);
    // The largest absolute sample of a float block, over every channel; 0 otherwise.
    static float peakLevel(const AudioBlock& block);
    // "mm:ss" of an offset in seconds; an offset that is not above 0 or not finite
    // stands for `elapsed` instead. Minutes are not limited to two digits.
    static std::string timeLabel(double offset, double elapsed);

  private:
    struct PeakRecord {
        double at = 0;
        float peak = 0;
    };
    // What the decoder thread keeps between results, and the hand-over to the main
    // thread that finish() and the destructor can cut short.
    struct ResultsLink;
    // A result that made it through the silence check: its segment and its end.
    struct Heard {
        MeetingSegment segment;
        double end = 0;
    };

    // On the decoder thread: text, silence check, counters and id.
    std::optional<Heard> handleResult(const SpeechResult& result, const ResultsLink& link);
    // Hands the segment to onSegment on the main thread and waits for it; then moves the
    // open utterance on.
    static void deliver(const std::weak_ptr<TranscriptionChannel>& weakSelf,
                        const std::shared_ptr<ResultsLink>& link, MainQueue& queue,
                        const Heard& heard);
    void handleFailure(const SpeechError& error);
    std::optional<AudioBlockPtr> convertForRecognizer(const AudioBlockPtr& block,
                                                      const AudioFormat& prepared);
    void recordPeak(double at, double backlog, float peak);
    void noteBacklog(double backlog);
    // One look at the drain of finish(): on, over (the last wait begins) or given up.
    struct Finishing;
    void watchDrain(const std::shared_ptr<Finishing>& finishing);
    bool heard(double start, double end);
    void logConvertFailure(const std::string& message);
    // Stops the results and takes the recogniser out of the channel, for its owner to
    // destroy.
    std::unique_ptr<SpeechChannelRecognizer> release();

    const std::string speaker_;
    const std::string locale_;
    const MainQueue::Clock::time_point startedAt_;
    MainQueue& queue_;
    const AudioFormat captureFormat_ = AudioFormat::meeting();

    // Guards the recogniser, the prepared format and whether input is open (the
    // "continuation"): feed() pushes under it, finish() and the destructor close it.
    mutable std::mutex input_;
    std::unique_ptr<SpeechChannelRecognizer> recognizer_;
    std::optional<AudioFormat> prepared_;
    bool inputOpen_ = false;
    std::shared_ptr<ResultsLink> link_;

    // The capture thread's own (feed()).
    std::unique_ptr<AudioConverter> converter_;
    std::optional<AudioFormat> converterInput_;
    bool loggedConvertFailure_ = false;
    std::atomic<std::int64_t> framesSent_{0};
    std::atomic<double> largestBacklog_{0};
    std::atomic<bool> loggedBacklog_{false};

    // Written by feed(), scanned by the decoder thread.
    std::mutex peaksMutex_;
    std::deque<PeakRecord> recentPeaks_;

    // Written by the decoder thread, read after finish().
    std::atomic<std::int64_t> droppedSilent_{0};
    std::atomic<std::int64_t> resultsReceived_{0};
};

}  // namespace pagemate
