#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <variant>

#include "platform/AudioCodecs.h"
#include "platform/linux/AvHandles.h"

namespace pagemate::linux_backend {

// AudioFileWriter on FFmpeg's own AAC encoder and its "ipod" muxer (the .m4a flavour
// of MP4). Blocks of any length are gathered into the encoder's frames (1 024 samples)
// through a FIFO; the last, shorter frame goes out at finish().
class AvFileWriter final : public AudioFileWriter {
  public:
    static std::variant<std::unique_ptr<AudioFileWriter>, AudioError> create(
        const std::filesystem::path& path, const AacFileSettings& settings);

    struct Parts;
    explicit AvFileWriter(std::unique_ptr<Parts> parts);
    AvFileWriter(const AvFileWriter&) = delete;
    AvFileWriter& operator=(const AvFileWriter&) = delete;
    ~AvFileWriter() override;

    [[nodiscard]] AudioFormat processingFormat() const override;
    std::variant<std::monostate, AudioError> write(const AudioBlock& block) override;
    // Once finished, later writes fail and another finish() does nothing.
    std::variant<std::monostate, AudioError> finish() override;

  private:
    // Encodes `frames` samples from the FIFO as one frame (none: drains the encoder) and
    // writes the packets that come out.
    std::variant<std::monostate, AudioError> encode(int frames);
    std::variant<std::monostate, AudioError> writePackets();

    std::unique_ptr<Parts> parts_;
    std::int64_t nextPts_ = 0;  // in samples, the encoder's time base
    bool finished_ = false;
};

}  // namespace pagemate::linux_backend
