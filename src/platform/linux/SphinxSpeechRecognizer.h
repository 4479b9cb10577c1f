#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/PreferencesStore.h"
#include "platform/SpeechRecognizer.h"
#include "platform/linux/SphinxModelStore.h"

namespace pagemate::linux_backend {

// On-device recognition with pocketsphinx (Debian's libpocketsphinx 0.8+5prealpha).
//
// Models: the locales with a complete model in the store (SphinxModelStore.h), read
// anew on every call, so a model the user adds is found without a restart. Supported
// and installed are the same; installation requests are always none (nothing is
// downloaded); a folder with a missing or damaged part is left out and reported once
// (PlatformNotice SpeechModelUnusable). Reserved locales are kept in the preferences
// under "SpeechReservedLocales" (identifiers separated by commas).
//
// Channels: each has its own decoder and its own thread, "pagemate-asr-<n>", that
// drains the channel's unbounded input queue through ps_process_raw in 50 ms steps.
// pocketsphinx's voice-activity detection cuts utterances: while in speech a partial
// hypothesis goes out at most every 150 ms of audio (when it changed), and when speech
// turns to silence the utterance ends with its final hypothesis; finalize() ends the one
// still open. Times come from the words' frames (100 per second of the stream that
// starts at the first block pushed). Sound without a pause is cut into utterances of
// at most SpeechChannelRecognizer::longestUtteranceSeconds. undecodedSeconds() counts
// the frames pushed and not yet through ps_process_raw. The best input format is 16 kHz
// mono int16; prepare() also takes 16 kHz mono float32.
//
// Search settings: two decoders run beside a video call on a laptop, so the search is
// tuned for live use (SphinxTuning::live): one forward tree pass and no second passes
// (-fwdflat no -bestpath no), every second frame's senones computed (-ds 2), the three best
// Gaussians per mixture (-topn 3), at most 2000 active HMMs and 5 word exits per frame
// (-maxhmmpf 2000 -maxwpf 5), model files memory-mapped (-mmap yes). On 60 s of the
// LibriVox recordings this costs less than half the processor time of pocketsphinx's
// defaults and recognises as many words (bench/speech_speed). engineDefaults keeps
// pocketsphinx's own settings, for comparison.
enum class SphinxTuning : std::uint8_t { live, engineDefaults };

class SphinxSpeechRecognizer final : public SpeechRecognizer {
  public:
    // The recogniser over the models at `locations`, or the unavailable one when there
    // is no complete model at all. Reservations go to `preferences`, which must outlive
    // the recogniser (not its channels: they need no preferences).
    static std::unique_ptr<SpeechRecognizer> make(const SphinxModelLocations& locations,
                                                  PreferencesStore& preferences);

    SphinxSpeechRecognizer(SphinxModelLocations locations, PreferencesStore& preferences,
                           SphinxTuning tuning = SphinxTuning::live);

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

    // The preferences key of the reserved locales.
    static constexpr const char* reservedKey = "SpeechReservedLocales";

  private:
    // Scans the store and reports folders that cannot be used, each once.
    [[nodiscard]] SphinxModelScan scan() const;

    SphinxModelLocations locations_;
    PreferencesStore& preferences_;
    SphinxTuning tuning_;
    mutable std::mutex mutex_;                // guards reported_ and the reservation
    mutable std::set<std::string> reported_;  // "<folder>\n<detail>" already reported
    std::atomic<unsigned> channelsMade_{0};
    // pocketsphinx sets its log file for the whole process at each decoder's start: one
    // decoder starts at a time. Shared with the channels, which may outlive this object.
    std::shared_ptr<std::mutex> engineStart_ = std::make_shared<std::mutex>();
};

}  // namespace pagemate::linux_backend
