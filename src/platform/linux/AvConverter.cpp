#include "platform/linux/AvConverter.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace pagemate::linux_backend {

namespace {

constexpr double lowestRate = 1000;
constexpr double highestRate = 768000;      // the highest rate a sound server offers
constexpr std::uint32_t mostChannels = 64;  // libswresample's limit

AVSampleFormat sampleFormatOf(const AudioFormat& format) {
    if (format.sampleType == SampleType::int16) {
        return format.interleaved ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_S16P;
    }
    return format.interleaved ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_FLTP;
}

bool convertible(const AudioFormat& format) {
    return std::isfinite(format.sampleRate) && format.sampleRate >= lowestRate &&
           format.sampleRate <= highestRate && format.channels > 0 &&
           format.channels <= mostChannels;
}

int wholeRate(const AudioFormat& format) {
    return static_cast<int>(std::lround(format.sampleRate));
}

// A layout of `channels` in the usual order for that count, or an unordered one of
// that many channels where there is no usual order.
AVChannelLayout layoutOf(std::uint32_t channels) {
    AVChannelLayout layout{};
    av_channel_layout_default(&layout, static_cast<int>(channels));
    return layout;
}

// Target channel n takes source channel n, or the source's first where it has no nth:
// a stereo source gives its left channel to a mono target, a mono source fills every
// channel of a stereo one. Never a sum, so nothing is mixed down.
std::vector<double> remapMatrix(std::uint32_t sourceChannels, std::uint32_t targetChannels) {
    std::vector<double> matrix(std::size_t{sourceChannels} * targetChannels, 0.0);
    for (std::uint32_t target = 0; target < targetChannels; ++target) {
        const std::uint32_t source = target < sourceChannels ? target : 0;
        matrix[std::size_t{target} * sourceChannels + source] = 1.0;
    }
    return matrix;
}

std::string describePair(const AudioFormat& from, const AudioFormat& to) {
    return from.description() + " to " + to.description();
}

}  // namespace

AvConverter::AvConverter(const AudioFormat& from, const AudioFormat& to, SwrPtr swr)
    : from_(from), to_(to), swr_(std::move(swr)) {}

std::variant<std::unique_ptr<AudioConverter>, AudioError> AvConverter::create(
    const AudioFormat& from, const AudioFormat& to) {
    quietLibraryLog();
    if (!convertible(from) || !convertible(to)) {
        return avError(AVERROR(EINVAL), "cannot convert " + describePair(from, to));
    }
    AVChannelLayout fromLayout = layoutOf(from.channels);
    AVChannelLayout toLayout = layoutOf(to.channels);
    SwrContext* allocated = nullptr;
    int status =
        swr_alloc_set_opts2(&allocated, &toLayout, sampleFormatOf(to), wholeRate(to), &fromLayout,
                            sampleFormatOf(from), wholeRate(from), 0, nullptr);
    SwrPtr swr(allocated);
    av_channel_layout_uninit(&fromLayout);
    av_channel_layout_uninit(&toLayout);
    if (status < 0) {
        return avError(status, "setting up the conversion of " + describePair(from, to));
    }
    // A matrix of our own is used as given, neither built from the layouts nor scaled.
    const std::vector<double> matrix = remapMatrix(from.channels, to.channels);
    status = swr_set_matrix(swr.get(), matrix.data(), static_cast<int>(from.channels));
    if (status >= 0) {
        status = swr_init(swr.get());
    }
    if (status < 0) {
        return avError(status, "setting up the conversion of " + describePair(from, to));
    }
    return std::make_unique<AvConverter>(from, to, std::move(swr));
}

std::variant<std::monostate, AudioError> AvConverter::convert(const AudioBlock& input,
                                                              AudioBlock& output) {
    if (input.format() != from_ || output.format() != to_) {
        output.setFrameLength(0);
        return avError(AVERROR(EINVAL), "blocks of " +
                                            describePair(input.format(), output.format()) +
                                            " given to a converter of " + describePair(from_, to_));
    }
    // On the stack: this runs on capture threads, once per block.
    std::array<const std::uint8_t*, mostChannels> in{};
    for (std::size_t buffer = 0; buffer < input.bufferCount(); ++buffer) {
        in[buffer] = reinterpret_cast<const std::uint8_t*>(input.bytes(buffer).data());
    }
    std::array<std::uint8_t*, mostChannels> out{};
    for (std::size_t buffer = 0; buffer < output.bufferCount(); ++buffer) {
        out[buffer] = reinterpret_cast<std::uint8_t*>(output.bytes(buffer).data());
    }
    // Input that does not fit in the output stays in the resampler for the next call.
    const int converted =
        swr_convert(swr_.get(), out.data(), static_cast<int>(output.frameCapacity()), in.data(),
                    static_cast<int>(input.frameLength()));
    if (converted < 0) {
        output.setFrameLength(0);
        return avError(converted, "converting " + describePair(from_, to_));
    }
    output.setFrameLength(static_cast<std::uint32_t>(converted));
    return std::monostate{};
}

}  // namespace pagemate::linux_backend
