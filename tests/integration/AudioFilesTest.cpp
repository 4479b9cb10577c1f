// The audio backend on the real FFmpeg: the .m4a writer and reader against ffprobe, and the
// converter from the capture's formats. The reader on a WAV file: the "--ttstest" switch.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "integration/AudioTestSupport.h"
#include "platform/linux/AvAudioCodecs.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using testing::readAll;
using testing::toneAmplitude;

// The meeting's recording (16 kHz mono, 32 kbit/s) written in blocks of odd sizes (none
// a multiple of the encoder's 1 024 samples) over a file already there: every sample fed
// is read back, the last short frame too (the encoder's start-up samples and padding
// are marked as not part of it), and ffprobe sees an M4A file. The length is whole
// milliseconds, the container's time scale for the edit that marks them.
TEST(AudioFiles, M4aWrittenAndReadBackFrameForFrame) {
    const testing::TempDir directory;
    linux_backend::AvAudioCodecs codecs;
    const fs::path file = directory.path() / "会议录音.m4a";
    testing::writeFile(file, std::string(300000, 'x'));
    auto created = codecs.createAacFile(file, {});
    auto& writer = *std::get<std::unique_ptr<AudioFileWriter>>(created);
    constexpr std::array<std::uint32_t, 5> sizes = {1600, 1000, 4096, 1, 775};
    constexpr std::int64_t frames = 13 * std::int64_t{1600 + 1000 + 4096 + 1 + 775};
    for (std::int64_t fed = 0, turn = 0; fed < frames; fed += sizes[turn++ % 5]) {
        const auto block = AudioBlock::make(AudioFormat::meeting(), sizes[turn % 5]);
        block->setFrameLength(sizes[turn % 5]);
        for (std::uint32_t n = 0; n < block->frameLength(); ++n) {
            block->floats(0)[n] = testing::sine(440, 0.35, fed + n, 16000);
        }
        ASSERT_TRUE(std::holds_alternative<std::monostate>(writer.write(*block)));
    }
    ASSERT_TRUE(std::holds_alternative<std::monostate>(writer.finish()));

    auto opened = codecs.openFile(file);
    auto& reader = *std::get<std::unique_ptr<AudioFileReader>>(opened);
    EXPECT_EQ(reader.info().frames, frames);
    const auto back = readAll(reader, 3200);
    ASSERT_TRUE(std::holds_alternative<std::monostate>(back.outcome));
    ASSERT_EQ(static_cast<std::int64_t>(back.channels.at(0).size()), frames);
    const std::span<const float> second(back.channels[0].data() + 16000, 16000);
    EXPECT_NEAR(toneAmplitude(second, 440, 16000), 0.35, 0.035);
    int status = -1;
    EXPECT_EQ(
        testing::runShell("ffprobe -v error -show_entries stream=codec_name,sample_rate,"
                          "channels:format=format_name:format_tags=major_brand -of csv=p=0 '" +
                              file.string() + "'",
                          &status),
        "aac,16000,1\n\"mov,mp4,m4a,3gp,3g2,mj2\",M4A \n");
    EXPECT_EQ(status, 0);
}

constexpr std::uint32_t captureFrames = 4096;

// Converts `blocks` blocks of `frames` of tones[c] (0: silence) at amplitude 0.5 on channel c
// into blocks of the capture's capacity, ⌊16 000 / rate × frames⌋ + 1 024.
std::vector<float> convert(const AudioFormat& from, const std::vector<double>& tones,
                           std::int64_t blocks, std::uint32_t frames) {
    linux_backend::AvAudioCodecs codecs;
    auto made = codecs.makeConverter(from, AudioFormat::meeting());
    auto& converter = *std::get<std::unique_ptr<AudioConverter>>(made);
    std::vector<float> converted;
    for (std::int64_t first = 0; first < blocks * frames; first += frames) {
        const auto input = AudioBlock::make(from, frames);
        input->setFrameLength(frames);
        for (std::uint32_t channel = 0; channel < from.channels; ++channel) {
            for (std::uint32_t n = 0; n < frames; ++n) {
                const float value = testing::sine(tones[channel], 0.5, first + n, from.sampleRate);
                const std::size_t buffer = from.interleaved ? 0 : channel;
                const std::size_t index =
                    from.interleaved ? std::size_t{n} * from.channels + channel : n;
                if (from.sampleType == SampleType::float32) {
                    input->floats(buffer)[index] = value;
                } else {
                    const auto sample = static_cast<std::int16_t>(std::lround(value * 32767.0F));
                    std::memcpy(input->bytes(buffer).data() + index * 2, &sample, 2);
                }
            }
        }
        const auto output = AudioBlock::make(
            AudioFormat::meeting(),
            static_cast<std::uint32_t>(std::floor(16000 / from.sampleRate * frames)) + 1024);
        EXPECT_TRUE(std::holds_alternative<std::monostate>(converter.convert(*input, *output)));
        converted.insert(converted.end(), output->floats(0).begin(), output->floats(0).end());
    }
    return converted;
}

// Each capture format up to the highest rate a sound server offers: its first channel as it
// was (not mixed, not halved), block by block the very samples one pass over the whole stream
// gives (no click where blocks meet).
TEST(AudioConverter, CaptureFormatsGiveTheirFirstChannelAt16kHz) {
    struct Case {
        AudioFormat from;
        std::vector<double> tones;
    };
    const std::vector<Case> cases = {
        {{SampleType::float32, 48000, 2, false}, {440, 1000}},
        {{SampleType::float32, 48000, 2, true}, {523.25, 0}},
        {{SampleType::int16, 44100, 2, true}, {440, 2000}},
        {{SampleType::float32, 8000, 1, false}, {440}},
        {{SampleType::float32, 96000, 6, false}, {300, 2000, 2000, 2000, 2000, 2000}},
        {{SampleType::float32, 768000, 1, false}, {440}},
    };
    for (const Case& item : cases) {
        SCOPED_TRACE(item.from.description() + " " + std::to_string(item.tones[0]));
        const double rate = item.from.sampleRate;
        const auto blocks = static_cast<std::int64_t>(std::ceil(1.25 * rate / captureFrames));
        const auto samples = convert(item.from, item.tones, blocks, captureFrames);
        EXPECT_NEAR(static_cast<double>(samples.size()),
                    static_cast<double>(blocks * captureFrames) * 16000 / rate, 64);
        const auto whole = convert(item.from, item.tones, 1, blocks * captureFrames);
        ASSERT_GT(samples.size(), 17600U);
        ASSERT_GE(whole.size() + 64, samples.size());
        EXPECT_TRUE(std::equal(samples.begin(), samples.end() - 64, whole.begin(),
                               [](float a, float b) { return std::abs(a - b) <= 1e-6F; }));

        const std::span<const float> settled(samples.data() + 1600, 16000);
        EXPECT_NEAR(toneAmplitude(settled, item.tones[0], 16000), 0.5, 0.01);
        EXPECT_LT(toneAmplitude(settled, item.tones.size() > 1 ? item.tones[1] : 2000, 16000),
                  0.002);
    }
}

}  // namespace
}  // namespace pagemate
