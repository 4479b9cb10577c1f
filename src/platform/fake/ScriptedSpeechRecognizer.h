#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/SpeechRecognizer.h"

namespace pagemate::fake {

// The test's side of one scripted channel recogniser: what it should answer, what it
// was given, and results the test hands to the core as the decoder would. It outlives
// the recogniser the core holds, so a test can read the inputs after the core let go.
// Safe from any thread.
class FakeSpeechChannel {
  public:
    enum class FinalizeMode : std::uint8_t {
        complete,   // deliver finalResults, then call done with success
        fail,       // deliver finalResults, then call done with finalizeError
        neverEnds,  // never call done (a decoder stuck in the engine)
    };
    struct Input {
        AudioBlockPtr block;
        std::int64_t startFrame = 0;
    };

    // --- Script (set before the core makes the channel, or before the call concerned).
    // The answer of bestFormat(); nullopt means "no preference".
    void setBestFormat(std::optional<AudioFormat> format);
    void failPrepare(SpeechError error);
    void failStart(SpeechError error);
    // Results finalize() delivers before it completes (the end of an open utterance).
    void setFinalResults(std::vector<SpeechResult> results);
    void setFinalizeMode(FinalizeMode mode, SpeechError error = {});

    // --- Acting as the decoder: queued for the channel's own thread, after what is
    // queued already. Ignored unless the channel has started and not yet ended.
    void deliver(SpeechResult result);
    void deliver(const std::vector<SpeechResult>& results);
    // Breaks the results off with the error: the failure handler runs, nothing follows.
    void fail(SpeechError error);
    // How far the engine has got, in seconds of the pushed input: undecodedSeconds()
    // answers the rest, and a finalize completes only once everything pushed is
    // decoded. nullopt (the default): it keeps up with every push.
    void setDecodedSeconds(std::optional<double> seconds);
    // Waits (real time, at most `limit`) until everything queued so far has been handed
    // to the core; false when the limit passed first.
    bool waitUntilDelivered(std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

    // --- Record.
    [[nodiscard]] std::string locale() const;
    [[nodiscard]] std::optional<AudioFormat> proposedFormat() const;
    [[nodiscard]] std::optional<AudioFormat> preparedFormat() const;
    [[nodiscard]] bool started() const;
    [[nodiscard]] std::vector<Input> inputs() const;
    [[nodiscard]] std::int64_t framesPushed() const;
    [[nodiscard]] bool finalizeCalled() const;
    // The finalize completion ran.
    [[nodiscard]] bool finalized() const;
    // The core destroyed its recogniser.
    [[nodiscard]] bool destroyed() const;
    // Waits (real time, at most `limit`) until the core has destroyed its recogniser;
    // the name of the thread that did, or nullopt when the limit passed first.
    [[nodiscard]] std::optional<std::string> waitUntilDestroyed(
        std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    // Names of the thread callbacks ran on (all the same: the channel's own).
    [[nodiscard]] std::vector<std::string> callbackThreads() const;

  private:
    friend class ScriptedSpeechChannel;
    friend class ScriptedSpeechRecognizer;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;

    std::optional<AudioFormat> bestFormat_;
    std::optional<SpeechError> prepareFailure_;
    std::optional<SpeechError> startFailure_;
    std::vector<SpeechResult> finalResults_;
    FinalizeMode finalizeMode_ = FinalizeMode::complete;
    SpeechError finalizeError_;

    std::string locale_;
    std::optional<AudioFormat> proposed_;
    std::optional<AudioFormat> prepared_;
    bool started_ = false;
    bool ended_ = false;  // failed or finalized: nothing more is delivered
    bool finalizeCalled_ = false;
    bool finalized_ = false;
    bool destroyed_ = false;
    std::string destroyedOn_;
    std::vector<Input> inputs_;
    std::vector<std::string> callbackThreads_;
    std::optional<double> decodedSeconds_;

    // Under mutex_.
    [[nodiscard]] double undecodedLocked() const;

    // Work for the channel's thread, in order; `busy_` while one item runs.
    struct Item {
        enum class Kind : std::uint8_t { result, failure, finalize };
        Kind kind = Kind::result;
        SpeechResult result;
        SpeechError error;
    };
    std::deque<Item> queue_;
    bool busy_ = false;
    SpeechChannelRecognizer::ResultHandler onResult_;
    SpeechChannelRecognizer::FailureHandler onFailure_;
    SpeechChannelRecognizer::FinalizeCompletion onFinalized_;
};

// A recogniser whose answers the test scripts; every call is recorded. Channels answer
// on a thread of their own, as the real decoder does, and keep the port's promises
// about callbacks after finalize and destruction.
class ScriptedSpeechRecognizer final : public SpeechRecognizer {
  public:
    ScriptedSpeechRecognizer();

    // --- Script.
    Availability availabilityState = Availability::available;
    std::string availabilityReason;
    std::vector<std::string> supported;
    std::vector<std::string> installed;
    std::vector<std::string> reserved;
    // Locales that need a download first (installationRequest answers with it).
    std::map<std::string, std::int64_t, std::less<>> downloadSizes;
    std::map<std::string, SpeechError, std::less<>> requestFailures;
    std::optional<SpeechError> downloadFailure;
    std::optional<SpeechError> reserveFailure;
    std::optional<SpeechError> channelFailure;
    // Runs at every call, on the caller's thread, before the answer (a test holds a
    // background thread there).
    std::function<void(const std::string& call)> onCall;

    // The channel the core makes as its n-th (from 0), scripted beforehand or
    // inspected afterwards.
    FakeSpeechChannel& channel(std::size_t index);
    [[nodiscard]] std::size_t channelsMade() const;

    // Every call, in order: "supportedLocales", "installationRequest zh-CN", ...
    [[nodiscard]] std::vector<std::string> calls() const;

    [[nodiscard]] Availability availability() const override;
    [[nodiscard]] std::string availabilityDetail() const override;
    [[nodiscard]] std::vector<std::string> supportedLocales() const override;
    [[nodiscard]] std::vector<std::string> installedLocales() const override;
    std::variant<std::optional<SpeechModelDownload>, SpeechError> installationRequest(
        std::string_view locale) override;
    std::variant<std::monostate, SpeechError> downloadAndInstall(
        const SpeechModelDownload& request) override;
    [[nodiscard]] std::vector<std::string> reservedLocales() const override;
    std::variant<std::monostate, SpeechError> reserve(std::string_view locale) override;
    std::variant<std::unique_ptr<SpeechChannelRecognizer>, SpeechError> makeChannel(
        std::string_view locale) override;

  private:
    void record(std::string call) const;

    mutable std::mutex mutex_;  // guards calls_, channels_, made_
    mutable std::vector<std::string> calls_;
    std::vector<std::shared_ptr<FakeSpeechChannel>> channels_;
    std::size_t made_ = 0;
};

}  // namespace pagemate::fake
