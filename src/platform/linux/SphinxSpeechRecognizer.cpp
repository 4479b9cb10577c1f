#include "platform/linux/SphinxSpeechRecognizer.h"

#include <pocketsphinx.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>
#include <utility>

#include "platform/PlatformNotice.h"
#include "platform/UnavailableSpeechRecognizer.h"

namespace pagemate::linux_backend {

namespace {

struct ConfigFree {
    void operator()(cmd_ln_t* config) const { cmd_ln_free_r(config); }
};
using ConfigPtr = std::unique_ptr<cmd_ln_t, ConfigFree>;

struct DecoderFree {
    void operator()(ps_decoder_t* decoder) const { ps_free(decoder); }
};
using DecoderPtr = std::unique_ptr<ps_decoder_t, DecoderFree>;

struct SegmentFree {
    void operator()(ps_seg_t* segment) const { ps_seg_free(segment); }
};
using SegmentPtr = std::unique_ptr<ps_seg_t, SegmentFree>;

constexpr double engineRate = 16000;
constexpr int framesPerSecond = 100;         // pocketsphinx's frame rate
constexpr std::int64_t step = 800;           // samples per ps_process_raw: 50 ms
constexpr std::int64_t partialEvery = 2400;  // samples between partial hypotheses: 150 ms
// What the voice-activity detector keeps before it says "speech" (-vad_prespeech 20 and
// -vad_startspeech 10 frames): where an utterance began when no word times are known.
constexpr std::int64_t speechLead = std::int64_t{30} * 160;
constexpr auto longestUtterance =
    static_cast<std::int64_t>(SpeechChannelRecognizer::longestUtteranceSeconds * engineRate);

bool isFiller(std::string_view word) {
    return word.empty() || word.front() == '<' || word.front() == '[' || word.front() == '+';
}

std::string join(const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& item : list) {
        text += (text.empty() ? "" : ",") + item;
    }
    return text;
}

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> list;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        const std::size_t end = std::min(text.find(',', begin), text.size());
        if (end > begin) {
            list.emplace_back(text.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return list;
}

// The state a channel shares with its decoder thread. The thread holds it as long as it
// runs, so a channel destroyed while the engine is busy leaves the decoder to the thread.
struct DecoderState {
    struct Input {
        AudioBlockPtr block;
        std::int64_t startFrame = 0;
    };

    std::mutex mutex;  // guards everything up to `decoder`
    std::condition_variable changed;
    std::deque<Input> queue;
    bool started = false;
    bool finalizeRequested = false;
    bool ended = false;       // failed or finalized: input is dropped, no callback follows
    bool cancelled = false;   // the channel is gone: no callback starts
    bool delivering = false;  // a callback runs
    bool exited = false;      // the thread has left its loop
    // Frames pushed and not yet through the engine: written under `mutex` by push(),
    // counted down by the decoder thread, read by anyone without the lock.
    std::atomic<std::int64_t> undecodedFrames{0};
    SpeechChannelRecognizer::ResultHandler onResult;
    SpeechChannelRecognizer::FailureHandler onFailure;
    SpeechChannelRecognizer::FinalizeCompletion onFinalized;

    // The decoder thread's own from start() on (prepare() before it).
    DecoderPtr decoder;
    ConfigPtr config;
    AudioFormat format;
    std::string threadName;
    bool haveBase = false;
    std::int64_t base = 0;      // the time line's frame where the engine's stream starts
    std::int64_t position = 0;  // the next frame of the time line to feed
    bool inUtterance = false;
    bool partialSent = false;
    std::int64_t utteranceGuess = 0;  // time-line frame where the utterance began
    std::int64_t lastPartialAt = 0;
    std::string lastPartial;
    std::optional<SpeechError> failure;

    // Runs a callback unless the channel is gone; false when it is.
    template <typename Call>
    bool deliver(Call&& call) {
        {
            const std::lock_guard lock(mutex);
            if (cancelled) {
                return false;
            }
            delivering = true;
        }
        call();
        const std::lock_guard lock(mutex);
        delivering = false;
        changed.notify_all();
        return !cancelled;
    }

    [[nodiscard]] double seconds(std::int64_t frame) const {
        return static_cast<double>(frame) / engineRate;
    }

    // The words' span of the current hypothesis in time-line frames, when it has words.
    std::optional<std::pair<std::int64_t, std::int64_t>> wordSpan() {
        std::optional<std::pair<std::int64_t, std::int64_t>> span;
        for (SegmentPtr segment(ps_seg_iter(decoder.get())); segment;) {
            const char* word = ps_seg_word(segment.get());
            if (word != nullptr && !isFiller(word)) {
                int first = 0;
                int last = 0;
                ps_seg_frames(segment.get(), &first, &last);
                const std::int64_t from =
                    base + static_cast<std::int64_t>(first) * (16000 / framesPerSecond);
                const std::int64_t to =
                    base + static_cast<std::int64_t>(last + 1) * (16000 / framesPerSecond);
                span = span ? std::pair{std::min(span->first, from), std::max(span->second, to)}
                            : std::pair{from, to};
            }
            // ps_seg_next frees the iterator at the end and gives null.
            segment.reset(ps_seg_next(segment.release()));
        }
        return span;
    }

    bool sendHypothesis(bool final) {
        const char* hyp = ps_get_hyp(decoder.get(), nullptr);
        std::string text = hyp != nullptr ? hyp : "";
        if (!final && (text.empty() || text == lastPartial)) {
            return true;
        }
        if (final && text.empty() && !partialSent) {
            return true;
        }
        auto span = wordSpan();
        const std::int64_t from = span ? span->first : std::max(base, utteranceGuess);
        const std::int64_t to = span ? std::max(span->second, from) : std::max(position, from);
        SpeechResult result{std::move(text), seconds(from), seconds(to - from), final};
        if (final) {
            partialSent = false;
            lastPartial.clear();
        } else {
            partialSent = true;
            lastPartial = result.text;
        }
        return deliver([&] {
            if (onResult) {
                onResult(result);
            }
        });
    }

    // Ends the open utterance with its final hypothesis and begins the next one.
    bool cutUtterance() {
        inUtterance = false;
        if (ps_end_utt(decoder.get()) < 0) {
            failure = SpeechError{SpeechError::Kind::recognitionFailed, "ps_end_utt failed"};
            return false;
        }
        if (!sendHypothesis(true)) {
            return false;
        }
        if (ps_start_utt(decoder.get()) < 0) {
            failure = SpeechError{SpeechError::Kind::recognitionFailed, "ps_start_utt failed"};
            return false;
        }
        return true;
    }

    // Feeds samples to the engine and follows its speech detection; false on failure.
    // `input` samples count down the undecoded frames (a gap's silence is not input).
    bool feed(const std::int16_t* samples, std::int64_t count, bool input) {
        for (std::int64_t done = 0; done < count;) {
            const std::int64_t n = std::min(step, count - done);
            if (ps_process_raw(decoder.get(), samples + done, static_cast<size_t>(n), FALSE,
                               FALSE) < 0) {
                failure =
                    SpeechError{SpeechError::Kind::recognitionFailed, "ps_process_raw failed"};
                return false;
            }
            done += n;
            position += n;
            if (input) {
                undecodedFrames -= n;
            }
            const bool inSpeech = ps_get_in_speech(decoder.get()) != 0;
            if (inSpeech && !inUtterance) {
                inUtterance = true;
                utteranceGuess = position - n - speechLead;
                lastPartialAt = position;
            } else if (inSpeech && position - utteranceGuess >= longestUtterance) {
                // Sound without a pause: the utterance ends here; the detector, still
                // hearing speech, opens the next one at the next step.
                if (!cutUtterance()) {
                    return false;
                }
            } else if (inSpeech && position - lastPartialAt >= partialEvery) {
                lastPartialAt = position;
                if (!sendHypothesis(false)) {
                    return false;
                }
            } else if (!inSpeech && inUtterance && !cutUtterance()) {
                return false;
            }
        }
        return true;
    }

    // One block onto the time line: a gap is silence, an overlap is skipped.
    bool feed(const Input& input) {
        const AudioBlock& block = *input.block;
        if (!haveBase) {
            haveBase = true;
            base = input.startFrame;
            position = base;
        }
        std::vector<std::int16_t> silence;
        while (input.startFrame > position) {
            const std::int64_t gap = std::min<std::int64_t>(input.startFrame - position, 16000);
            silence.assign(static_cast<std::size_t>(gap), 0);
            if (!feed(silence.data(), gap, false)) {
                return false;
            }
        }
        const std::int64_t skip = std::max<std::int64_t>(position - input.startFrame, 0);
        const std::int64_t frames = block.frameLength();
        undecodedFrames -= std::min(skip, frames);  // skipped: never goes through
        if (skip >= frames) {
            return true;
        }
        if (block.format().sampleType == SampleType::int16) {
            const auto samples = block.int16s(0);
            return feed(samples.data() + skip, frames - skip, true);
        }
        const auto floats = block.floats(0);
        std::vector<std::int16_t> samples(static_cast<std::size_t>(frames - skip));
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const float value = std::clamp(floats[static_cast<std::size_t>(skip) + i], -1.0F, 1.0F);
            samples[i] = static_cast<std::int16_t>(value * 32767.0F);
        }
        return feed(samples.data(), static_cast<std::int64_t>(samples.size()), true);
    }

    void run() {
        pthread_setname_np(pthread_self(), threadName.c_str());
        bool ok =
            decoder && ps_start_stream(decoder.get()) >= 0 && ps_start_utt(decoder.get()) >= 0;
        if (!decoder) {
            failure = SpeechError{SpeechError::Kind::wrongState, "finalize before start"};
        } else if (!ok) {
            failure = SpeechError{SpeechError::Kind::recognitionFailed, "ps_start_utt failed"};
        }
        std::unique_lock lock(mutex);
        while (ok) {
            changed.wait(lock, [&] { return cancelled || finalizeRequested || !queue.empty(); });
            if (cancelled) {
                break;
            }
            if (queue.empty()) {  // finalize, with everything before it processed
                break;
            }
            Input input = std::move(queue.front());
            queue.pop_front();
            lock.unlock();
            ok = feed(input);
            lock.lock();
        }
        const bool finishing = !cancelled && finalizeRequested && ok;
        queue.clear();  // what a failure or the channel's end left: never decoded
        undecodedFrames = 0;
        lock.unlock();
        if (finishing) {
            if (ps_end_utt(decoder.get()) < 0) {
                failure = SpeechError{SpeechError::Kind::recognitionFailed, "ps_end_utt failed"};
            } else {
                sendHypothesis(true);  // nothing when the last utterance heard nothing
            }
        }
        if (failure) {
            lock.lock();
            const bool report = !ended;
            ended = true;
            lock.unlock();
            if (report) {
                deliver([&] {
                    if (onFailure) {
                        onFailure(*failure);
                    }
                });
            }
        }
        // Wait for finalize() when the results broke off first, to answer it.
        lock.lock();
        ended = true;
        changed.wait(lock, [&] { return cancelled || finalizeRequested; });
        if (!cancelled && onFinalized) {
            auto done = std::move(onFinalized);
            lock.unlock();
            SpeechChannelRecognizer::FinalizeOutcome outcome;
            if (failure) {
                outcome = *failure;
            }
            deliver([&] { done(outcome); });
            lock.lock();
        }
        exited = true;
        changed.notify_all();
    }
};

class SphinxChannel final : public SpeechChannelRecognizer {
  public:
    SphinxChannel(SphinxModel model, std::string threadName,
                  std::shared_ptr<std::mutex> engineStart, SphinxTuning tuning)
        : model_(std::move(model)),
          tuning_(tuning),
          engineStart_(std::move(engineStart)),
          state_(std::make_shared<DecoderState>()) {
        state_->threadName = std::move(threadName);
    }
    SphinxChannel(const SphinxChannel&) = delete;
    SphinxChannel& operator=(const SphinxChannel&) = delete;

    ~SphinxChannel() override {
        std::unique_lock lock(state_->mutex);
        state_->cancelled = true;
        state_->queue.clear();
        state_->undecodedFrames = 0;
        state_->changed.notify_all();
        if (!thread_.joinable()) {
            return;
        }
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
            return;
        }
        state_->changed.wait(lock, [&] { return !state_->delivering; });
        // The thread leaves between two 50 ms steps; one stuck in the engine is left to
        // end on its own (it owns the decoder through the shared state).
        const bool left =
            state_->changed.wait_for(lock, std::chrono::seconds(2), [&] { return state_->exited; });
        lock.unlock();
        if (left) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }

    [[nodiscard]] std::optional<AudioFormat> bestFormat(const AudioFormat&) const override {
        return AudioFormat{SampleType::int16, engineRate, 1, false};
    }

    std::variant<std::monostate, SpeechError> prepare(const AudioFormat& format) override {
        if (format.sampleRate != engineRate || format.channels != 1) {
            return SpeechError{SpeechError::Kind::formatRejected,
                               "pocketsphinx takes 16000 Hz mono, not " + format.description()};
        }
        const std::lock_guard stateLock(state_->mutex);
        if (state_->decoder || state_->started) {
            return SpeechError{SpeechError::Kind::wrongState, "prepared already"};
        }
        const std::string hmm = model_.acousticModel.string();
        const std::string lm = model_.languageModel.string();
        const std::string dict = model_.dictionary.string();
        const std::lock_guard engineLock(*engineStart_);
        ConfigPtr config(cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.c_str(), "-lm",
                                     lm.c_str(), "-dict", dict.c_str(), "-logfn", "/dev/null",
                                     nullptr));
        if (config && tuning_ == SphinxTuning::live) {
            // The settings of the header's comment; the rest are pocketsphinx's.
            cmd_ln_set_boolean_r(config.get(), "-fwdflat", FALSE);
            cmd_ln_set_boolean_r(config.get(), "-bestpath", FALSE);
            cmd_ln_set_boolean_r(config.get(), "-mmap", TRUE);
            cmd_ln_set_int32_r(config.get(), "-ds", 2);
            cmd_ln_set_int32_r(config.get(), "-topn", 3);
            cmd_ln_set_int32_r(config.get(), "-maxhmmpf", 2000);
            cmd_ln_set_int32_r(config.get(), "-maxwpf", 5);
        }
        if (!config) {
            return SpeechError{SpeechError::Kind::modelUnusable,
                               "pocketsphinx refused the configuration for " + hmm};
        }
        DecoderPtr decoder(ps_init(config.get()));
        if (!decoder) {
            return SpeechError{
                SpeechError::Kind::modelUnusable,
                "pocketsphinx could not load the model " + hmm + ", " + lm + ", " + dict};
        }
        state_->config = std::move(config);
        state_->decoder = std::move(decoder);
        state_->format = format;
        return {};
    }

    std::variant<std::monostate, SpeechError> start(ResultHandler onResult,
                                                    FailureHandler onFailure) override {
        const std::lock_guard lock(state_->mutex);
        if (!state_->decoder || state_->started) {
            return SpeechError{SpeechError::Kind::wrongState,
                               state_->started ? "started already" : "start before prepare"};
        }
        state_->started = true;
        state_->onResult = std::move(onResult);
        state_->onFailure = std::move(onFailure);
        thread_ = std::thread([state = state_] { state->run(); });
        return {};
    }

    void push(AudioBlockPtr block, std::int64_t startFrame) override {
        const std::lock_guard lock(state_->mutex);
        if (!state_->started || state_->finalizeRequested || state_->ended || !block ||
            block->format() != state_->format || block->frameLength() == 0) {
            return;
        }
        state_->undecodedFrames += block->frameLength();
        state_->queue.push_back(DecoderState::Input{std::move(block), startFrame});
        state_->changed.notify_all();
    }

    void finalize(FinalizeCompletion done) override {
        const std::lock_guard lock(state_->mutex);
        if (state_->finalizeRequested) {
            return;
        }
        state_->finalizeRequested = true;
        state_->onFinalized = std::move(done);
        state_->changed.notify_all();
        if (!state_->started) {
            // Never started: the thread only answers, with the failure.
            state_->started = true;
            state_->decoder.reset();
            thread_ = std::thread([state = state_] { state->run(); });
        }
    }

    [[nodiscard]] double undecodedSeconds() const override {
        return static_cast<double>(std::max<std::int64_t>(state_->undecodedFrames, 0)) / engineRate;
    }

  private:
    SphinxModel model_;
    SphinxTuning tuning_;
    std::shared_ptr<std::mutex> engineStart_;
    std::shared_ptr<DecoderState> state_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<SpeechRecognizer> SphinxSpeechRecognizer::make(
    const SphinxModelLocations& locations, PreferencesStore& preferences) {
    auto recognizer = std::make_unique<SphinxSpeechRecognizer>(locations, preferences);
    if (recognizer->availability() == Availability::available) {
        return recognizer;
    }
    return std::make_unique<UnavailableSpeechRecognizer>(recognizer->availabilityDetail());
}

SphinxSpeechRecognizer::SphinxSpeechRecognizer(SphinxModelLocations locations,
                                               PreferencesStore& preferences, SphinxTuning tuning)
    : locations_(std::move(locations)), preferences_(preferences), tuning_(tuning) {}

SphinxModelScan SphinxSpeechRecognizer::scan() const {
    SphinxModelScan found = scanSphinxModels(locations_);
    for (const SphinxModelProblem& problem : found.problems) {
        const std::string key = problem.folder.string() + "\n" + problem.detail;
        bool fresh = false;
        {
            const std::lock_guard lock(mutex_);
            fresh = reported_.insert(key).second;
        }
        if (fresh) {
            reportPlatformNotice(
                SpeechModelUnusable{problem.locale, problem.folder.string(), problem.detail});
        }
    }
    return found;
}

SpeechRecognizer::Availability SphinxSpeechRecognizer::availability() const {
    return scan().models.empty() ? Availability::noModel : Availability::available;
}

std::string SphinxSpeechRecognizer::availabilityDetail() const {
    if (!scan().models.empty()) {
        return {};
    }
    std::string detail = "no pocketsphinx model in " + locations_.systemModel.string();
    if (!locations_.userModels.empty()) {
        detail += " or " + locations_.userModels.string();
    }
    return detail;
}

std::vector<std::string> SphinxSpeechRecognizer::supportedLocales() const {
    std::vector<std::string> locales;
    for (const SphinxModel& model : scan().models) {
        locales.push_back(model.locale);
    }
    return locales;
}

std::vector<std::string> SphinxSpeechRecognizer::installedLocales() const {
    return supportedLocales();
}

std::variant<std::optional<SpeechModelDownload>, SpeechError>
SphinxSpeechRecognizer::installationRequest(std::string_view locale) {
    const auto locales = supportedLocales();
    if (std::find(locales.begin(), locales.end(), locale) == locales.end()) {
        return SpeechError{SpeechError::Kind::unsupportedLocale,
                           "no pocketsphinx model for " + std::string(locale)};
    }
    return std::optional<SpeechModelDownload>();
}

std::variant<std::monostate, SpeechError> SphinxSpeechRecognizer::downloadAndInstall(
    const SpeechModelDownload& request) {
    return SpeechError{SpeechError::Kind::downloadFailed,
                       "pocketsphinx models are not downloaded; add one under " +
                           locations_.userModels.string() + "/" + request.locale};
}

std::vector<std::string> SphinxSpeechRecognizer::reservedLocales() const {
    const auto stored = preferences_.value(reservedKey);
    if (!stored) {
        return {};
    }
    if (const auto* text = std::get_if<std::string>(&*stored)) {
        return split(*text);
    }
    return {};
}

std::variant<std::monostate, SpeechError> SphinxSpeechRecognizer::reserve(std::string_view locale) {
    const auto locales = supportedLocales();
    if (std::find(locales.begin(), locales.end(), locale) == locales.end()) {
        return SpeechError{SpeechError::Kind::reserveFailed,
                           "no pocketsphinx model for " + std::string(locale)};
    }
    const std::lock_guard lock(mutex_);
    auto reserved = reservedLocales();
    if (std::find(reserved.begin(), reserved.end(), locale) == reserved.end()) {
        reserved.emplace_back(locale);
        preferences_.setValue(reservedKey, join(reserved));
    }
    return {};
}

std::variant<std::unique_ptr<SpeechChannelRecognizer>, SpeechError>
SphinxSpeechRecognizer::makeChannel(std::string_view locale) {
    const SphinxModelScan found = scan();
    const auto model = std::find_if(found.models.begin(), found.models.end(),
                                    [&](const SphinxModel& m) { return m.locale == locale; });
    if (model == found.models.end()) {
        return SpeechError{found.models.empty() ? SpeechError::Kind::unavailable
                                                : SpeechError::Kind::unsupportedLocale,
                           "no pocketsphinx model for " + std::string(locale)};
    }
    const unsigned number = ++channelsMade_;
    // Thread names have room for 15 bytes.
    std::string name = "pagemate-asr-" + std::to_string(number % 100);
    return std::unique_ptr<SpeechChannelRecognizer>(
        std::make_unique<SphinxChannel>(*model, std::move(name), engineStart_, tuning_));
}

}  // namespace pagemate::linux_backend
