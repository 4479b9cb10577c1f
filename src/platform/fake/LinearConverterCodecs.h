#pragma once

#include <atomic>
#include <mutex>
#include <optional>

#include "platform/AudioCodecs.h"

namespace pagemate::fake {

// Audio codecs for unit tests: converters from float32 (any rate, channel count and
// layout) to float32 mono at another rate, by taking the first channel and picking the
// nearest earlier sample (plain decimation, its position kept from block to block).
// Files are not offered. Tests can refuse converters or make conversions fail.
class LinearConverterCodecs final : public AudioCodecs {
  public:
    std::variant<std::unique_ptr<AudioConverter>, AudioError> makeConverter(
        const AudioFormat& from, const AudioFormat& to) override;
    std::variant<std::unique_ptr<AudioFileWriter>, AudioError> createAacFile(
        const std::filesystem::path& path, const AacFileSettings& settings) override;
    std::variant<std::unique_ptr<AudioFileReader>, AudioError> openFile(
        const std::filesystem::path& path) override;

    // Every later makeConverter() fails with this error (none: they succeed again).
    void refuseConverters(std::optional<AudioError> error);
    // Every later conversion, of new and existing converters, fails with this error.
    void failConversions(std::optional<AudioError> error);
    [[nodiscard]] int convertersMade() const { return made_; }

    struct Shared {
        std::mutex mutex;
        std::optional<AudioError> conversionError;
    };

  private:
    std::mutex mutex_;
    std::optional<AudioError> refusal_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    std::atomic<int> made_{0};
};

}  // namespace pagemate::fake
