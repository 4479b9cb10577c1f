#pragma once

#include <memory>
#include <variant>

#include "platform/AudioCodecs.h"
#include "platform/linux/AvHandles.h"

namespace pagemate::linux_backend {

// AudioConverter on libswresample. Channels are remapped through a matrix of ones and
// zeros (target channel n takes source channel n, or the first one where the source
// has fewer), so nothing is mixed down. The resampler is never flushed: what it holds
// at the end of one block comes out at the start of the next.
class AvConverter final : public AudioConverter {
  public:
    // Rates are taken to the nearest whole hertz; a format with no channels, more
    // than the library's 64, or a rate outside 1 000…768 000 Hz cannot be converted.
    static std::variant<std::unique_ptr<AudioConverter>, AudioError> create(const AudioFormat& from,
                                                                            const AudioFormat& to);

    // Takes a resampler set up for `from` to `to` (create() makes one).
    AvConverter(const AudioFormat& from, const AudioFormat& to, SwrPtr swr);

    std::variant<std::monostate, AudioError> convert(const AudioBlock& input,
                                                     AudioBlock& output) override;

  private:
    AudioFormat from_;
    AudioFormat to_;
    SwrPtr swr_;
};

}  // namespace pagemate::linux_backend
