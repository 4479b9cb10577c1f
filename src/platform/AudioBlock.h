#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pagemate {

enum class SampleType : std::uint8_t { float32, int16 };

// The shape of PCM audio: sample type, rate, channel count and layout.
struct AudioFormat {
    SampleType sampleType = SampleType::float32;
    double sampleRate = 0;
    std::uint32_t channels = 0;
    // Interleaved: one buffer with the channels' samples side by side. Otherwise one
    // buffer per channel.
    bool interleaved = false;

    // What a meeting's blocks are once captured: 32-bit float, 16 000 Hz, one channel.
    static AudioFormat meeting() { return {SampleType::float32, 16000, 1, false}; }

    [[nodiscard]] bool valid() const { return sampleRate > 0 && channels > 0; }
    [[nodiscard]] std::uint32_t bytesPerSample() const {
        return sampleType == SampleType::float32 ? 4 : 2;
    }
    // The bytes one frame takes in one buffer: every channel's sample when interleaved,
    // a single sample otherwise.
    [[nodiscard]] std::uint32_t bytesPerFrame() const {
        return interleaved ? bytesPerSample() * channels : bytesPerSample();
    }
    [[nodiscard]] std::uint32_t bufferCount() const { return interleaved ? 1 : channels; }
    // A text that tells formats apart, such as "48000 Hz, 2 ch, float32, interleaved".
    [[nodiscard]] std::string description() const;

    friend bool operator==(const AudioFormat&, const AudioFormat&) = default;
};

// A block of PCM audio: bufferCount() buffers of frameCapacity() frames each, of which
// the first frameLength() hold samples. Buffers are aligned for their sample type.
// A block is filled by one thread and then handed on as std::shared_ptr<const
// AudioBlock>: after that nobody writes to it, so any thread may read it.
class AudioBlock {
  public:
    // Null when the format is not valid() or the capacity is 0. The frame length starts
    // at 0 and the samples at silence.
    static std::shared_ptr<AudioBlock> make(const AudioFormat& format,
                                            std::uint32_t frameCapacity);

    [[nodiscard]] const AudioFormat& format() const { return format_; }
    [[nodiscard]] std::uint32_t frameCapacity() const { return frameCapacity_; }
    [[nodiscard]] std::uint32_t frameLength() const { return frameLength_; }
    // Kept at most at the capacity.
    void setFrameLength(std::uint32_t frames);

    [[nodiscard]] std::size_t bufferCount() const { return buffers_.size(); }
    // A whole buffer, capacity × bytesPerFrame bytes.
    [[nodiscard]] std::span<std::byte> bytes(std::size_t buffer);
    [[nodiscard]] std::span<const std::byte> bytes(std::size_t buffer) const;
    // The samples of a float32 buffer (frame length × samples per frame of the buffer),
    // empty for another sample type or an index out of range.
    [[nodiscard]] std::span<float> floats(std::size_t buffer);
    [[nodiscard]] std::span<const float> floats(std::size_t buffer) const;
    // The same for int16 buffers.
    [[nodiscard]] std::span<const std::int16_t> int16s(std::size_t buffer) const;

  private:
    // Blocks are made only through make(): the key is private.
    struct Key {
        explicit Key() = default;
    };

  public:
    AudioBlock(Key /*made by make()*/, const AudioFormat& format, std::uint32_t frameCapacity);

  private:
    AudioFormat format_;
    std::uint32_t frameCapacity_ = 0;
    std::uint32_t frameLength_ = 0;
    // Four-byte words, so that float samples are aligned.
    std::vector<std::vector<std::uint32_t>> buffers_;
};

using AudioBlockPtr = std::shared_ptr<const AudioBlock>;

}  // namespace pagemate
