// The converter on the real libswresample: the capture's formats into the meeting's
// 16 kHz mono float, block by block.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "integration/AudioTestSupport.h"
#include "platform/linux/AvAudioCodecs.h"

namespace pagemate {
namespace {

using testing::toneAmplitude;
constexpr std::uint32_t captureFrames = 4096;

// Frames [first, first + frames) of a signal with tones[c] (0: silence) of amplitude
// 0.5 on channel c, in `format`.
AudioBlockPtr blockOf(const AudioFormat& format, const std::vector<double>& tones,
                      std::int64_t first, std::uint32_t frames) {
    const auto block = AudioBlock::make(format, frames);
    block->setFrameLength(frames);
    for (std::uint32_t channel = 0; channel < format.channels; ++channel) {
        for (std::uint32_t n = 0; n < frames; ++n) {
            const float value = testing::sine(tones[channel], 0.5, first + n, format.sampleRate);
            const std::size_t buffer = format.interleaved ? 0 : channel;
            const std::size_t index =
                format.interleaved ? std::size_t{n} * format.channels + channel : n;
            if (format.sampleType == SampleType::float32) {
                block->floats(buffer)[index] = value;
            } else {
                const auto sample = static_cast<std::int16_t>(std::lround(value * 32767.0F));
                std::memcpy(block->bytes(buffer).data() + index * 2, &sample, 2);
            }
        }
    }
    return block;
}

// Converts `blocks` blocks of `frames` into blocks of the capture's capacity,
// ⌊16 000 / rate × frames⌋ + 1 024; the output and each block's length.
std::pair<std::vector<float>, std::vector<std::uint32_t>> convert(const AudioFormat& from,
                                                                  const std::vector<double>& tones,
                                                                  std::int64_t blocks,
                                                                  std::uint32_t frames) {
    linux_backend::AvAudioCodecs codecs;
    auto made = codecs.makeConverter(from, AudioFormat::meeting());
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<AudioConverter>>(made));
    if (!std::holds_alternative<std::unique_ptr<AudioConverter>>(made)) {
        return {};
    }
    auto& converter = *std::get<std::unique_ptr<AudioConverter>>(made);
    std::pair<std::vector<float>, std::vector<std::uint32_t>> converted;
    for (std::int64_t block = 0; block < blocks; ++block) {
        const auto output = AudioBlock::make(
            AudioFormat::meeting(),
            static_cast<std::uint32_t>(std::floor(16000 / from.sampleRate * frames)) + 1024);
        const auto outcome =
            converter.convert(*blockOf(from, tones, block * frames, frames), *output);
        EXPECT_TRUE(std::holds_alternative<std::monostate>(outcome));
        converted.first.insert(converted.first.end(), output->floats(0).begin(),
                               output->floats(0).end());
        converted.second.push_back(output->frameLength());
    }
    return converted;
}

// Each capture format up to the highest rate a sound server offers: its first channel
// as it was (not mixed with the others, not halved), steadily as many frames a block
// as the rates give, and the very samples one conversion of the whole stream gives
// (the resampler keeps its state from block to block), without clicks where blocks
// meet. Above the target's 8 kHz limit nothing comes through, and nothing folds back
// below it: 10 kHz at 48 kHz would alias to 6 kHz.
TEST(AudioConverter, CaptureFormatsGiveTheirFirstChannelAt16kHz) {
    struct Case {
        AudioFormat from;
        std::vector<double> tones;
    };
    const std::vector<Case> cases = {
        {{SampleType::float32, 48000, 2, false}, {440, 1000}},
        {{SampleType::float32, 48000, 2, true}, {523.25, 0}},
        {{SampleType::int16, 44100, 2, true}, {440, 2000}},
        {{SampleType::int16, 44100, 1, false}, {660}},
        {{SampleType::float32, 8000, 1, false}, {440}},
        {{SampleType::float32, 22050, 1, true}, {1000}},
        {{SampleType::float32, 96000, 6, false}, {300, 2000, 2000, 2000, 2000, 2000}},
        {{SampleType::float32, 768000, 1, false}, {440}},
        {{SampleType::float32, 48000, 1, false}, {10000}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.from.description() + " " + std::to_string(item.tones[0]));
        const double rate = item.from.sampleRate;
        const auto blocks = static_cast<std::int64_t>(std::ceil(1.25 * rate / captureFrames));
        const auto [samples, lengths] = convert(item.from, item.tones, blocks, captureFrames);
        const double perBlock = captureFrames * 16000 / rate;
        EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(blocks) * perBlock,
                    64);
        for (std::size_t block = 2; block < lengths.size(); ++block) {
            EXPECT_NEAR(lengths[block], perBlock, 1.0) << block;
        }
        const auto whole = convert(item.from, item.tones, 1, blocks * captureFrames).first;
        ASSERT_GT(samples.size(), 17600U);
        ASSERT_GE(whole.size() + 64, samples.size());
        EXPECT_TRUE(std::equal(samples.begin(), samples.end() - 64, whole.begin(),
                               [](float a, float b) { return std::abs(a - b) <= 1e-6F; }));

        const std::span<const float> settled(samples.data() + 1600, 16000);
        const double tone = item.tones[0];
        if (tone > 8000) {
            EXPECT_LT(toneAmplitude(settled, 6000, 16000), 0.001);
            EXPECT_LT(std::ranges::max(settled, {}, [](float s) { return std::abs(s); }), 0.01F);
            continue;
        }
        EXPECT_NEAR(toneAmplitude(settled, tone, 16000), 0.5, 0.01);
        EXPECT_LT(toneAmplitude(settled, item.tones.size() > 1 ? item.tones[1] : 2000, 16000),
                  0.002);
        // A sine of 0.5 moves at most 2π × f / 16 000 × 0.5 from one sample to the next.
        double step = 0;
        for (std::size_t n = 200; n < samples.size(); ++n) {
            step = std::max(step, double{std::abs(samples[n] - samples[n - 1])});
        }
        EXPECT_LT(step, 2 * std::numbers::pi * tone / 16000 * 0.5 * 1.1);
    }
}

}  // namespace
}  // namespace pagemate
