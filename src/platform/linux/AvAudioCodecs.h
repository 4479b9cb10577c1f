#pragma once

#include "platform/AudioCodecs.h"

namespace pagemate::linux_backend {

// The audio libraries of a Linux system: FFmpeg's libswresample for conversion, its
// native AAC encoder and "ipod" muxer for .m4a files, its demuxers and decoders for
// reading. Stateless apart from the objects it makes, so any thread may use it. It
// silences FFmpeg's own log: failures are values.
class AvAudioCodecs final : public AudioCodecs {
  public:
    AvAudioCodecs();

    std::variant<std::unique_ptr<AudioConverter>, AudioError> makeConverter(
        const AudioFormat& from, const AudioFormat& to) override;
    std::variant<std::unique_ptr<AudioFileWriter>, AudioError> createAacFile(
        const std::filesystem::path& path, const AacFileSettings& settings) override;
    std::variant<std::unique_ptr<AudioFileReader>, AudioError> openFile(
        const std::filesystem::path& path) override;
};

}  // namespace pagemate::linux_backend
