#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>

#include "platform/AudioBlock.h"

namespace pagemate {

// A failure of the audio libraries: their own status number (negative AVERROR codes
// with FFmpeg) and their own words for it. The core puts its Chinese text around them.
struct AudioError {
    std::int32_t status = 0;
    std::string description;
};

// Turns blocks of one format into blocks of another (rate, channel count, layout and
// sample type), keeping its filter state from one block to the next, so that a stream
// cut into blocks converts as if it were whole. It is never told that the stream ends.
// Channels are remapped, not mixed: a stereo source gives its first channel.
// Not thread-safe: one thread uses a converter at a time (any thread, not only one).
class AudioConverter {
  public:
    virtual ~AudioConverter() = default;
    // Converts `input` (in the converter's source format) into `output` (in its target
    // format) from its first frame on, up to the output's capacity; sets the output's
    // frame length to what came out, which may be 0 while the filter fills.
    virtual std::variant<std::monostate, AudioError> convert(const AudioBlock& input,
                                                             AudioBlock& output) = 0;
};

// What an AAC recording is written as.
struct AacFileSettings {
    double sampleRate = 16000;
    std::uint32_t channels = 1;
    std::int64_t bitRate = 32000;
};

// Writes an AAC file in an MPEG-4 audio container (".m4a"). Blocks are given in the
// processing format: 32-bit float, planar, at the file's rate and channel count.
// One thread at a time. finish() writes what the encoder still holds and the
// container's index; a writer destroyed without finish() leaves no usable file.
class AudioFileWriter {
  public:
    virtual ~AudioFileWriter() = default;
    [[nodiscard]] virtual AudioFormat processingFormat() const = 0;
    virtual std::variant<std::monostate, AudioError> write(const AudioBlock& block) = 0;
    virtual std::variant<std::monostate, AudioError> finish() = 0;
};

// Reads an audio file (an ".m4a" written above, or a WAV file) as 32-bit float planar
// blocks at the file's own rate and channel count. One thread at a time.
class AudioFileReader {
  public:
    struct Info {
        double sampleRate = 0;
        std::uint32_t channels = 0;
        std::int64_t frames = 0;  // as the container tells it, else counted by reading
        std::int64_t bitRate = 0;  // bits per second, as the stream tells it (0 unknown)
        std::string codec;  // the library's short name, such as "aac" or "pcm_s16le"
        [[nodiscard]] double durationSeconds() const {
            return sampleRate > 0 ? static_cast<double>(frames) / sampleRate : 0;
        }
    };
    virtual ~AudioFileReader() = default;
    [[nodiscard]] virtual const Info& info() const = 0;
    [[nodiscard]] virtual AudioFormat processingFormat() const = 0;
    // Fills `block` (in the processing format) from its first frame on, up to its
    // capacity, and sets its frame length; 0 frames at the end of the file.
    virtual std::variant<std::uint32_t, AudioError> read(AudioBlock& block) = 0;
};

// The audio libraries behind the ports above (FFmpeg on Linux). Any thread.
class AudioCodecs {
  public:
    virtual ~AudioCodecs() = default;
    virtual std::variant<std::unique_ptr<AudioConverter>, AudioError> makeConverter(
        const AudioFormat& from, const AudioFormat& to) = 0;
    // Creates (or replaces) the file.
    virtual std::variant<std::unique_ptr<AudioFileWriter>, AudioError> createAacFile(
        const std::filesystem::path& path, const AacFileSettings& settings) = 0;
    virtual std::variant<std::unique_ptr<AudioFileReader>, AudioError> openFile(
        const std::filesystem::path& path) = 0;
};

}  // namespace pagemate
