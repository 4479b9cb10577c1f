#include "platform/fake/LinearConverterCodecs.h"

#include <cmath>
#include <cstring>
#include <utility>

namespace pagemate::fake {

namespace {

class DecimatingConverter final : public AudioConverter {
  public:
    DecimatingConverter(AudioFormat from, AudioFormat to,
                        std::shared_ptr<LinearConverterCodecs::Shared> shared)
        : from_(from), to_(to), shared_(std::move(shared)) {}

    std::variant<std::monostate, AudioError> convert(const AudioBlock& input,
                                                     AudioBlock& output) override {
        {
            const std::lock_guard lock(shared_->mutex);
            if (shared_->conversionError) {
                return *shared_->conversionError;
            }
        }
        if (input.format() != from_ || output.format() != to_) {
            return AudioError{-22, "Invalid argument"};
        }
        const std::span<const float> samples = input.floats(0);
        const std::size_t stride = from_.interleaved ? from_.channels : 1;
        const double step = from_.sampleRate / to_.sampleRate;
        const std::uint32_t frames = input.frameLength();
        std::span<std::byte> target = output.bytes(0);
        std::uint32_t written = 0;
        while (position_ < frames && written < output.frameCapacity()) {
            const auto index = static_cast<std::size_t>(position_);
            const float sample = samples[index * stride];
            std::memcpy(target.data() + (written * sizeof(float)), &sample, sizeof(float));
            ++written;
            position_ += step;
        }
        position_ -= frames;
        output.setFrameLength(written);
        return std::monostate{};
    }

  private:
    AudioFormat from_;
    AudioFormat to_;
    std::shared_ptr<LinearConverterCodecs::Shared> shared_;
    double position_ = 0;
};

}  // namespace

std::variant<std::unique_ptr<AudioConverter>, AudioError> LinearConverterCodecs::makeConverter(
    const AudioFormat& from, const AudioFormat& to) {
    {
        const std::lock_guard lock(mutex_);
        if (refusal_) {
            return *refusal_;
        }
    }
    if (from.sampleType != SampleType::float32 || to.sampleType != SampleType::float32 ||
        to.channels != 1 || !from.valid() || !to.valid()) {
        return AudioError{-38, "Function not implemented"};
    }
    ++made_;
    return std::make_unique<DecimatingConverter>(from, to, shared_);
}

std::variant<std::unique_ptr<AudioFileWriter>, AudioError> LinearConverterCodecs::createAacFile(
    const std::filesystem::path& /*path*/, const AacFileSettings& /*settings*/) {
    return AudioError{-38, "Function not implemented"};
}

std::variant<std::unique_ptr<AudioFileReader>, AudioError> LinearConverterCodecs::openFile(
    const std::filesystem::path& /*path*/) {
    return AudioError{-38, "Function not implemented"};
}

void LinearConverterCodecs::refuseConverters(std::optional<AudioError> error) {
    const std::lock_guard lock(mutex_);
    refusal_ = std::move(error);
}

void LinearConverterCodecs::failConversions(std::optional<AudioError> error) {
    const std::lock_guard lock(shared_->mutex);
    shared_->conversionError = std::move(error);
}

}  // namespace pagemate::fake
