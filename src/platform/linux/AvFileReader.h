#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <variant>

#include "platform/AudioCodecs.h"
#include "platform/linux/AvHandles.h"

namespace pagemate::linux_backend {

// AudioFileReader on libavformat and libavcodec: the file's best audio stream, decoded
// and turned into 32-bit float planar samples (through libswresample when the decoder
// gives another sample format, as WAV's 16-bit samples), gathered in a FIFO so that
// each read fills the block it is given.
class AvFileReader final : public AudioFileReader {
  public:
    static std::variant<std::unique_ptr<AudioFileReader>, AudioError> open(
        const std::filesystem::path& path);

    // One pass of demuxing and decoding over a file's audio stream.
    class Decoding;
    // `lengthTold`: info.frames is the container's word, and reading stops there.
    AvFileReader(std::unique_ptr<Decoding> decoding, const Info& info, bool lengthTold);
    AvFileReader(const AvFileReader&) = delete;
    AvFileReader& operator=(const AvFileReader&) = delete;
    ~AvFileReader() override;

    [[nodiscard]] const Info& info() const override { return info_; }
    [[nodiscard]] AudioFormat processingFormat() const override { return format_; }
    std::variant<std::uint32_t, AudioError> read(AudioBlock& block) override;

  private:
    std::unique_ptr<Decoding> decoding_;
    Info info_;
    bool lengthTold_ = false;
    AudioFormat format_;
    AudioFifoPtr fifo_;
    std::int64_t delivered_ = 0;  // frames handed out so far
    bool ended_ = false;
};

}  // namespace pagemate::linux_backend
