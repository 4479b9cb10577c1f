#include "platform/AudioBlock.h"

#include <algorithm>
#include <cmath>

namespace pagemate {

std::string AudioFormat::description() const {
    const double rounded = std::round(sampleRate);
    std::string rate = rounded == sampleRate ? std::to_string(static_cast<long long>(rounded))
                                             : std::to_string(sampleRate);
    return rate + " Hz, " + std::to_string(channels) + " ch, " +
           (sampleType == SampleType::float32 ? "float32" : "int16") + ", " +
           (interleaved ? "interleaved" : "planar");
}

AudioBlock::AudioBlock(Key /*unused*/, const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format), frameCapacity_(frameCapacity) {
    const std::size_t bytes = std::size_t{frameCapacity} * format.bytesPerFrame();
    buffers_.assign(format.bufferCount(), std::vector<std::uint32_t>((bytes + 3) / 4, 0));
}

std::shared_ptr<AudioBlock> AudioBlock::make(const AudioFormat& format,
                                             std::uint32_t frameCapacity) {
    if (!format.valid() || frameCapacity == 0) {
        return nullptr;
    }
    return std::make_shared<AudioBlock>(Key{}, format, frameCapacity);
}

void AudioBlock::setFrameLength(std::uint32_t frames) {
    frameLength_ = std::min(frames, frameCapacity_);
}

std::span<std::byte> AudioBlock::bytes(std::size_t buffer) {
    if (buffer >= buffers_.size()) {
        return {};
    }
    return std::as_writable_bytes(std::span(buffers_[buffer]))
        .first(std::size_t{frameCapacity_} * format_.bytesPerFrame());
}

std::span<const std::byte> AudioBlock::bytes(std::size_t buffer) const {
    if (buffer >= buffers_.size()) {
        return {};
    }
    return std::as_bytes(std::span(buffers_[buffer]))
        .first(std::size_t{frameCapacity_} * format_.bytesPerFrame());
}

std::span<float> AudioBlock::floats(std::size_t buffer) {
    if (format_.sampleType != SampleType::float32 || buffer >= buffers_.size()) {
        return {};
    }
    const std::size_t perFrame = format_.interleaved ? format_.channels : 1;
    return std::span(reinterpret_cast<float*>(buffers_[buffer].data()),
                     std::size_t{frameLength_} * perFrame);
}

std::span<const float> AudioBlock::floats(std::size_t buffer) const {
    if (format_.sampleType != SampleType::float32 || buffer >= buffers_.size()) {
        return {};
    }
    const std::size_t perFrame = format_.interleaved ? format_.channels : 1;
    return std::span(reinterpret_cast<const float*>(buffers_[buffer].data()),
                     std::size_t{frameLength_} * perFrame);
}

std::span<const std::int16_t> AudioBlock::int16s(std::size_t buffer) const {
    if (format_.sampleType != SampleType::int16 || buffer >= buffers_.size()) {
        return {};
    }
    const std::size_t perFrame = format_.interleaved ? format_.channels : 1;
    return std::span(reinterpret_cast<const std::int16_t*>(buffers_[buffer].data()),
                     std::size_t{frameLength_} * perFrame);
}

}  // namespace pagemate
