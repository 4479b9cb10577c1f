// The converter on the real libswresample: the capture's formats into the meeting's
// 16 kHz mono float, block by block.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <vector>

#include "integration/AudioTestSupport.h"
#include "platform/linux/AvAudioCodecs.h"

namespace pagemate {
namespace {

using linux_backend::AvAudioCodecs;
using testing::sine;
using testing::toneAmplitude;

constexpr std::uint32_t captureFrames = 4096;

// A source signal: channel c at frequency tones[c] (0 for silence), amplitude 0.5.
struct Signal {
    std::vector<double> tones;
    double rate;

    [[nodiscard]] float at(std::uint32_t channel, std::int64_t index) const {
        return tones[channel] == 0 ? 0.0F : sine(tones[channel], 0.5, index, rate);
    }
};

// A block of `format` holding frames [first, first + frames) of `signal`.
AudioBlockPtr blockOf(const AudioFormat& format, const Signal& signal, std::int64_t first,
                      std::uint32_t frames) {
    const auto block = AudioBlock::make(format, frames);
    block->setFrameLength(frames);
    for (std::uint32_t channel = 0; channel < format.channels; ++channel) {
        for (std::uint32_t n = 0; n < frames; ++n) {
            const float value = signal.at(channel, first + n);
            const std::size_t buffer = format.interleaved ? 0 : channel;
            const std::size_t index =
                format.interleaved ? std::size_t{n} * format.channels + channel : n;
            if (format.sampleType == SampleType::float32) {
                block->floats(buffer)[index] = value;
            } else {
                const auto samples = block->bytes(buffer);
                const auto sample = static_cast<std::int16_t>(std::lround(value * 32767.0F));
                std::memcpy(samples.data() + index * 2, &sample, 2);
            }
        }
    }
    return block;
}

// The capture's way: the output capacity is ⌊16 000 / rate × frames⌋ + 1 024.
std::uint32_t captureCapacity(double rate, std::uint32_t frames) {
    return static_cast<std::uint32_t>(std::floor(16000 / rate * frames)) + 1024;
}

struct Converted {
    std::vector<float> samples;
    std::vector<std::uint32_t> blockLengths;
};

Converted convertInBlocks(AudioConverter& converter, const AudioFormat& from, const Signal& signal,
                          int blocks, std::uint32_t frames) {
    Converted converted;
    for (int block = 0; block < blocks; ++block) {
        const auto input = blockOf(from, signal, std::int64_t{block} * frames, frames);
        const auto output =
            AudioBlock::make(AudioFormat::meeting(), captureCapacity(from.sampleRate, frames));
        const auto outcome = converter.convert(*input, *output);
        EXPECT_TRUE(std::holds_alternative<std::monostate>(outcome))
            << std::get<AudioError>(outcome).description;
        converted.blockLengths.push_back(output->frameLength());
        const auto samples = output->floats(0);
        converted.samples.insert(converted.samples.end(), samples.begin(), samples.end());
    }
    return converted;
}

std::unique_ptr<AudioConverter> converterFor(AudioCodecs& codecs, const AudioFormat& from) {
    auto made = codecs.makeConverter(from, AudioFormat::meeting());
    if (auto* error = std::get_if<AudioError>(&made)) {
        ADD_FAILURE() << error->description;
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<AudioConverter>>(made));
}

// The largest step between neighbouring samples: a click at a block edge shows as a
// step far above what the tone itself makes.
double largestStep(const std::vector<float>& samples, std::size_t from) {
    double largest = 0;
    for (std::size_t index = std::max<std::size_t>(from, 1); index < samples.size(); ++index) {
        largest = std::max(largest, std::abs(double{samples[index]} - samples[index - 1]));
    }
    return largest;
}

TEST(AudioConverter, StereoCaptureGivesItsFirstChannelAt16kHz) {
    AvAudioCodecs codecs;
    // Left 440 Hz, right 1 000 Hz; then left 440 Hz and right silent.
    for (const bool interleaved : {false, true}) {
        for (const double right : {1000.0, 0.0}) {
            SCOPED_TRACE(std::string(interleaved ? "interleaved" : "planar") + ", right " +
                         std::to_string(right));
            const AudioFormat from{SampleType::float32, 48000, 2, interleaved};
            const Signal signal{{440, right}, 48000};
            const auto converter = converterFor(codecs, from);
            ASSERT_TRUE(converter);
            const auto converted = convertInBlocks(*converter, from, signal, 24, captureFrames);
            EXPECT_EQ(captureCapacity(48000, captureFrames), 2389U);
            // Steady state: 4096 × 16 000 / 48 000 = 1365.3 frames a block.
            for (std::size_t block = 2; block < converted.blockLengths.size(); ++block) {
                EXPECT_GE(converted.blockLengths[block], 1365U) << block;
                EXPECT_LE(converted.blockLengths[block], 1366U) << block;
            }
            EXPECT_NEAR(static_cast<double>(converted.samples.size()), 24 * 4096 / 3.0, 64);
            // The left channel as it was (not halved by a mix), nothing of the right.
            const std::span<const float> settled(converted.samples.data() + 1600, 16000);
            EXPECT_NEAR(toneAmplitude(settled, 440, 16000), 0.5, 0.01);
            EXPECT_LT(toneAmplitude(settled, 1000, 16000), 0.002);
            // No clicks where the blocks meet: a 440 Hz sine of 0.5 moves at most
            // 2π × 440 / 16 000 × 0.5 ≈ 0.086 from one sample to the next.
            EXPECT_LT(largestStep(converted.samples, 200), 0.095);
        }
    }
}

TEST(AudioConverter, OtherCaptureFormatsConvertWithTheirTone) {
    AvAudioCodecs codecs;
    struct Case {
        AudioFormat from;
        double tone;
    };
    const std::vector<Case> cases = {
        {{SampleType::int16, 44100, 2, true}, 440},
        {{SampleType::int16, 44100, 1, false}, 660},
        {{SampleType::float32, 8000, 1, false}, 440},
        {{SampleType::float32, 22050, 1, true}, 1000},
        {{SampleType::float32, 96000, 6, false}, 300},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.from.description());
        std::vector<double> tones(item.from.channels, 0);
        tones[0] = item.tone;
        if (tones.size() > 1) {
            tones[1] = 2000;
        }
        const Signal signal{tones, item.from.sampleRate};
        const auto converter = converterFor(codecs, item.from);
        ASSERT_TRUE(converter);
        const auto converted = convertInBlocks(*converter, item.from, signal, 12, captureFrames);
        const double expected = 12 * captureFrames * 16000 / item.from.sampleRate;
        EXPECT_NEAR(static_cast<double>(converted.samples.size()), expected, 64);
        ASSERT_GT(converted.samples.size(), 4000U);
        const std::span<const float> settled(converted.samples.data() + 800, 3200);
        EXPECT_NEAR(toneAmplitude(settled, item.tone, 16000), 0.5, 0.01);
        EXPECT_LT(toneAmplitude(settled, 2000, 16000), 0.002);
        EXPECT_LT(largestStep(converted.samples, 200),
                  2 * std::numbers::pi * item.tone / 16000 * 0.5 * 1.1);
    }
}

// Above the target's 8 kHz limit nothing comes through, and nothing folds back below it:
// 10 kHz at 48 kHz would alias to 6 kHz.
TEST(AudioConverter, TonesAboveTheTargetLimitAreFilteredOut) {
    AvAudioCodecs codecs;
    const AudioFormat from{SampleType::float32, 48000, 1, false};
    const auto converter = converterFor(codecs, from);
    ASSERT_TRUE(converter);
    const auto converted =
        convertInBlocks(*converter, from, Signal{{10000}, 48000}, 12, captureFrames);
    ASSERT_GT(converted.samples.size(), 4000U);
    const std::span<const float> settled(converted.samples.data() + 800, 3200);
    EXPECT_LT(toneAmplitude(settled, 6000, 16000), 0.001);
    double peak = 0;
    for (const float sample : settled) {
        peak = std::max(peak, double{std::abs(sample)});
    }
    EXPECT_LT(peak, 0.01);
}

// The resampler keeps its state from block to block: the blocks give the very samples
// that one conversion of the whole stream gives.
TEST(AudioConverter, BlocksConvertAsTheWholeStream) {
    AvAudioCodecs codecs;
    const AudioFormat from{SampleType::float32, 48000, 2, false};
    const Signal signal{{523.25, 0}, 48000};
    constexpr int blocks = 20;
    const auto inBlocks = converterFor(codecs, from);
    const auto whole = converterFor(codecs, from);
    ASSERT_TRUE(inBlocks && whole);
    const auto converted = convertInBlocks(*inBlocks, from, signal, blocks, captureFrames);

    const auto input = blockOf(from, signal, 0, blocks * captureFrames);
    const auto output =
        AudioBlock::make(AudioFormat::meeting(), captureCapacity(48000, blocks * captureFrames));
    ASSERT_TRUE(std::holds_alternative<std::monostate>(whole->convert(*input, *output)));
    const auto expected = output->floats(0);
    ASSERT_GT(converted.samples.size(), 20000U);
    const std::size_t common = std::min(expected.size(), converted.samples.size());
    EXPECT_GT(common + 64, expected.size());
    std::size_t differing = 0;
    for (std::size_t index = 0; index < common; ++index) {
        if (std::abs(expected[index] - converted.samples[index]) > 1e-6F) {
            ++differing;
        }
    }
    EXPECT_EQ(differing, 0U);
    EXPECT_NEAR(toneAmplitude(std::span<const float>(expected.data() + 1600, 16000), 523.25, 16000),
                0.5, 0.01);
}

}  // namespace
}  // namespace pagemate
