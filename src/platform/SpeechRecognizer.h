#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/AudioBlock.h"

namespace pagemate {

// A failure of the on-device speech recogniser: what went wrong and the engine's own
// words (English, for the log). The core puts its Chinese text around them.
struct SpeechError {
    enum class Kind : std::uint8_t {
        unavailable,        // no speech model on this computer (SpeechRecognizer::availability)
        unsupportedLocale,  // no model for the locale asked for
        modelUnusable,      // the locale's model is there but the engine could not load it
        downloadFailed,     // a model could not be downloaded or installed
        reserveFailed,      // a locale could not be reserved
        formatRejected,     // prepare() with a format the engine cannot take
        wrongState,         // a call out of order (start() before prepare(), twice, ...)
        recognitionFailed,  // the engine broke off while decoding
    };
    Kind kind = Kind::unavailable;
    std::string detail;
};

// A model that has to be downloaded before a locale can be recognised.
struct SpeechModelDownload {
    std::string locale;      // BCP 47, as asked for
    std::int64_t bytes = 0;  // the size of the download
};

// One result of a channel's recogniser: the text heard in a stretch of the input.
// `start` and `duration` are seconds on the input's time line (the start times given
// to push(), in frames of the prepared format, divided by its rate). For one utterance
// zero or more partial results (final = false) come first, each with the text so far,
// then one final result; the next result belongs to the next utterance. An utterance
// ends at a pause, or after SpeechChannelRecognizer::longestUtteranceSeconds of sound without
// one (music, a noisy room): the engine then ends it there, delivers its final result
// and goes on with a new one. Text may be empty or white space only.
struct SpeechResult {
    std::string text;
    double start = 0;
    double duration = 0;
    bool final = false;
};

// The recogniser of one sound source (one transcription channel).
//
// Order of calls: bestFormat() any time; prepare() once; start() once, after prepare();
// push() any number of times after start(); finalize() once. Calls other than push()
// come from one thread at a time (any thread); push() comes from one thread at a time
// (the capture thread of the source) and may overlap the other calls.
//
// Threads: each recogniser decodes on a thread of its own (on Linux named
// "pagemate-asr-<n>"). The results handler, the failure handler and the finalize
// completion all run on that thread, one at a time, in order, never inside a call the
// core made. A handler may block (for instance to wait for the main thread), which
// holds up decoding but never push().
//
// End of callbacks: after the finalize completion, or after the failure handler, no
// further callback runs. Destroying the recogniser abandons it: no callback starts after
// the destructor has returned; the destructor waits for a callback that is running
// (so a handler must not wait for the thread that destroys the recogniser), but never
// for the engine: a decoder stuck inside the engine is left to finish on its own and
// frees itself then. This is how a finalize that does not complete in time is given
// up: the caller waits as long as it likes (MainQueue::postAfter), then destroys the
// recogniser.
class SpeechChannelRecognizer {
  public:
    using ResultHandler = std::function<void(const SpeechResult&)>;
    // The results broke off; nothing follows but the finalize completion (if asked for).
    using FailureHandler = std::function<void(const SpeechError&)>;
    // The outcome of finalize(): the input is fully processed and the last results
    // delivered (monostate), or the engine failed while finishing.
    using FinalizeOutcome = std::variant<std::monostate, SpeechError>;
    using FinalizeCompletion = std::function<void(const FinalizeOutcome&)>;

    // The longest utterance an engine lets grow before it cuts it (above): its
    // hypotheses, their cost and memory stay bounded however long the sound goes on.
    static constexpr double longestUtteranceSeconds = 25;

    virtual ~SpeechChannelRecognizer() = default;

    // The input format the engine works best with, given the one the caller proposes;
    // nullopt when the engine has no preference (the caller then keeps its own).
    [[nodiscard]] virtual std::optional<AudioFormat> bestFormat(
        const AudioFormat& proposed) const = 0;
    // Gets ready for input in `format` (loads the model). May take a while.
    virtual std::variant<std::monostate, SpeechError> prepare(const AudioFormat& format) = 0;
    // Begins reading the input stream; results go to the handlers on the decoder thread.
    virtual std::variant<std::monostate, SpeechError> start(ResultHandler onResult,
                                                            FailureHandler onFailure) = 0;
    // Appends one block (in the prepared format) to the input stream, starting at
    // `startFrame` frames of the prepared format on the input's time line. The stream
    // buffers without limit, so push() only takes a lock for an append and never waits
    // for the decoder. Blocks come in time order; a gap before a block counts as
    // silence, frames before the end of the previous block are skipped. Blocks pushed
    // before start(), after finalize() or after a failure, and blocks of another
    // format, are dropped.
    virtual void push(AudioBlockPtr block, std::int64_t startFrame) = 0;
    // Ends the input stream, processes everything pushed so far, delivers the last
    // results (the final result of an utterance still open) and then calls `done` once on
    // the decoder thread. Asynchronous: it returns at once. After a failure `done` gets
    // that failure. To give up on a finalize, destroy the recogniser (above).
    virtual void finalize(FinalizeCompletion done) = 0;
    // Seconds of pushed audio the engine has not consumed yet: how far decoding runs
    // behind the input (0 when it keeps up, and once finalize() has processed
    // everything). Any thread, also from inside a handler; never waits for the decoder
    // (a lock around a read at most), so it may be asked as often as one likes.
    [[nodiscard]] virtual double undecodedSeconds() const = 0;
};

// The on-device speech recogniser: its models (one per locale, BCP 47 identifiers such
// as "en-US" or "zh-CN") and one recogniser per channel.
//
// Every call may come from any thread and may block for a while (it reads the model
// store); the core calls them off the main thread. Failures are values.
class SpeechRecognizer {
  public:
    enum class Availability : std::uint8_t {
        available,
        noModel,  // no usable speech model at all: nothing can be recognised
    };

    virtual ~SpeechRecognizer() = default;

    // Whether local recognition can run here; the capability gate of local
    // transcription.
    [[nodiscard]] virtual Availability availability() const = 0;
    // The platform's words for why it cannot (empty when available).
    [[nodiscard]] virtual std::string availabilityDetail() const = 0;

    // The locales the recogniser supports, each once.
    [[nodiscard]] virtual std::vector<std::string> supportedLocales() const = 0;
    // The locales whose model is on this computer and ready.
    [[nodiscard]] virtual std::vector<std::string> installedLocales() const = 0;
    // What it takes to make the locale's model ready: nullopt when it is installed, a
    // download otherwise; an error when the locale cannot be had at all.
    virtual std::variant<std::optional<SpeechModelDownload>, SpeechError> installationRequest(
        std::string_view locale) = 0;
    // Downloads and installs the model of a request given by installationRequest().
    virtual std::variant<std::monostate, SpeechError> downloadAndInstall(
        const SpeechModelDownload& request) = 0;
    // The locales whose models are kept for this program.
    [[nodiscard]] virtual std::vector<std::string> reservedLocales() const = 0;
    // Keeps the locale's model for this program.
    virtual std::variant<std::monostate, SpeechError> reserve(std::string_view locale) = 0;

    // A recogniser for one channel in the locale; an error when the locale is not
    // supported or its model cannot be used. Never null on success.
    virtual std::variant<std::unique_ptr<SpeechChannelRecognizer>, SpeechError> makeChannel(
        std::string_view locale) = 0;
};

}  // namespace pagemate
