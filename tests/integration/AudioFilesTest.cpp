// The audio backend on the real FFmpeg: the converter (libswresample) from the capture's
// formats into the meeting's 16 kHz mono float, block by block; the .m4a writer and the
// file reader, checked against FFmpeg's and sox's own command-line tools.

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
using testing::readFile;
using testing::runTool;
using testing::toneAmplitude;

std::unique_ptr<AudioFileReader> open(AudioCodecs& codecs, const fs::path& file) {
    auto opened = codecs.openFile(file);
    if (const auto* error = std::get_if<AudioError>(&opened)) {
        ADD_FAILURE() << error->description;
        return nullptr;
    }
    return std::move(std::get<std::unique_ptr<AudioFileReader>>(opened));
}

// Each tone on its own channel, of the amplitude given, and nothing of the others.
void expectTones(const testing::ReadBack& back, const std::vector<double>& tones, double rate,
                 double amplitude, std::size_t from, std::size_t length) {
    ASSERT_TRUE(std::holds_alternative<std::monostate>(back.outcome));
    ASSERT_EQ(back.channels.size(), tones.size());
    for (std::size_t channel = 0; channel < tones.size(); ++channel) {
        ASSERT_GE(back.channels[channel].size(), from + length);
        const std::span<const float> part(back.channels[channel].data() + from, length);
        EXPECT_NEAR(toneAmplitude(part, tones[channel], rate), amplitude, amplitude / 10);
        for (const double other : tones) {
            if (other != tones[channel]) {
                EXPECT_LT(toneAmplitude(part, other, rate), 0.01) << other;
            }
        }
        EXPECT_LT(toneAmplitude(part, 550, rate), 0.01);
    }
}

// The meeting's recording (16 kHz mono, about 32 kbit/s) and a stereo one with a tone
// a channel, written in blocks of odd sizes (none a multiple of the
// encoder's 1 024 samples), read back by the reader and described by ffprobe.
TEST(AudioFiles, M4aWrittenAndReadBackWithTheirTones) {
    const testing::TempDir directory;
    linux_backend::AvAudioCodecs codecs;
    struct Case {
        AacFileSettings settings;
        std::vector<double> tones;
        std::int64_t frames;
        std::string probed;
    };
    for (const Case& item : {Case{{}, {440}, 96000, "aac,16000,1"},
                             Case{{44100, 2, 128000}, {440, 1000}, 88200, "aac,44100,2"}}) {
        const double rate = item.settings.sampleRate;
        SCOPED_TRACE(rate);
        // A file already there is replaced.
        const fs::path file = directory.path() / ("会议录音 " + std::to_string(rate) + ".m4a");
        testing::writeFile(file, std::string(300000, 'x'));
        auto created = codecs.createAacFile(file, item.settings);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileWriter>>(created));
        auto& writer = *std::get<std::unique_ptr<AudioFileWriter>>(created);
        const AudioFormat format{SampleType::float32, rate, item.settings.channels, false};
        EXPECT_EQ(writer.processingFormat(), format);
        constexpr std::array<std::uint32_t, 5> sizes = {1600, 1000, 4096, 1, 777};
        for (std::int64_t fed = 0, turn = 0; fed < item.frames; ++turn) {
            const auto frames = static_cast<std::uint32_t>(
                std::min<std::int64_t>(sizes[turn % 5], item.frames - fed));
            const auto block = AudioBlock::make(format, frames);
            block->setFrameLength(frames);
            for (std::uint32_t channel = 0; channel < format.channels; ++channel) {
                for (std::uint32_t n = 0; n < frames; ++n) {
                    block->floats(channel)[n] =
                        testing::sine(item.tones[channel], 0.35, fed + n, rate);
                }
            }
            ASSERT_TRUE(std::holds_alternative<std::monostate>(writer.write(*block)));
            fed += frames;
        }
        // A block of another format is refused, and nothing is written after the end.
        const auto other = AudioBlock::make({SampleType::float32, rate, 3, false}, 16);
        other->setFrameLength(16);
        EXPECT_TRUE(std::holds_alternative<AudioError>(writer.write(*other)));
        ASSERT_TRUE(std::holds_alternative<std::monostate>(writer.finish()));
        EXPECT_TRUE(std::holds_alternative<AudioError>(writer.write(*other)));
        const auto bytes = fs::file_size(file);
        EXPECT_NEAR(static_cast<double>(bytes),
                    static_cast<double>(item.settings.bitRate) / 8 * item.frames / rate,
                    0.3 * bytes);

        const auto reader = open(codecs, file);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->info().sampleRate, rate);
        EXPECT_EQ(reader->info().channels, item.settings.channels);
        EXPECT_EQ(reader->info().codec, "aac");
        EXPECT_NEAR(static_cast<double>(reader->info().bitRate), item.settings.bitRate,
                    0.2 * item.settings.bitRate);
        // Every sample fed is there, the last short frame too; the encoder's start-up
        // samples and padding are marked as not part of it, and reading ends before them.
        EXPECT_EQ(reader->info().frames, item.frames);
        EXPECT_EQ(reader->processingFormat(), format);
        const auto back = readAll(*reader, 3200);
        EXPECT_EQ(static_cast<std::int64_t>(back.channels.at(0).size()), item.frames);
        EXPECT_TRUE(std::all_of(back.blockLengths.begin(), back.blockLengths.end() - 1,
                                [](std::uint32_t length) { return length == 3200; }));
        expectTones(back, item.tones, rate, 0.35, static_cast<std::size_t>(rate / 2),
                    static_cast<std::size_t>(rate));
        const std::string entries =
            "stream=codec_name,sample_rate,channels:format=format_name:format_tags=major_brand";
        ASSERT_EQ(runTool({"ffprobe", "-v", "error", "-show_entries", entries, "-of", "csv=p=0",
                           file.string()},
                          directory.path() / "probe.txt"),
                  0);
        EXPECT_EQ(readFile(directory.path() / "probe.txt"),
                  item.probed + "\n\"mov,mp4,m4a,3gp,3g2,mj2\",M4A \n");
    }
}

// WAV files of sox in their own format (rate, channels, sample type), read in blocks
// of 3 200 frames as the speech probe reads its sample; at the end the reader stays
// at 0 frames.
TEST(AudioFiles, WavFilesFromSoxReadWithTheirOwnFormat) {
    const testing::TempDir directory;
    linux_backend::AvAudioCodecs codecs;
    struct Case {
        double rate;
        int bits;                   // 32: float, else signed integer
        std::vector<double> tones;  // the frequency on each channel
        double seconds;
        std::string codec;
    };
    for (const Case& wav :
         {Case{16000, 16, {440}, 1.5, "pcm_s16le"}, Case{44100, 16, {300, 1200}, 2, "pcm_s16le"},
          Case{48000, 32, {1000}, 1, "pcm_f32le"}}) {
        const fs::path file = directory.path() / (wav.codec + std::to_string(wav.rate) + ".wav");
        std::vector<std::string> command = {"sox",
                                            "-n",
                                            "-r",
                                            std::to_string(wav.rate),
                                            "-c",
                                            std::to_string(wav.tones.size()),
                                            "-b",
                                            std::to_string(wav.bits),
                                            "-e",
                                            wav.bits == 32 ? "floating-point" : "signed-integer",
                                            file.string(),
                                            "synth",
                                            std::to_string(wav.seconds)};
        for (const double tone : wav.tones) {
            command.insert(command.end(), {"sine", std::to_string(tone)});
        }
        command.insert(command.end(), {"vol", "0.4"});
        ASSERT_EQ(runTool(command, directory.path() / "sox.txt"), 0)
            << readFile(directory.path() / "sox.txt.err");
        const auto reader = open(codecs, file);
        ASSERT_TRUE(reader);
        const double rate = wav.rate;
        const auto frames = static_cast<std::int64_t>(wav.seconds * rate);
        const auto channels = static_cast<std::uint32_t>(wav.tones.size());
        SCOPED_TRACE(reader->processingFormat().description());
        EXPECT_EQ(reader->info().sampleRate, rate);
        EXPECT_EQ(reader->info().channels, channels);
        EXPECT_EQ(reader->info().frames, frames);
        EXPECT_EQ(reader->info().codec, wav.codec);
        EXPECT_EQ(reader->info().bitRate, static_cast<std::int64_t>(rate) * channels * wav.bits);
        EXPECT_EQ(reader->processingFormat(),
                  (AudioFormat{SampleType::float32, rate, channels, false}));
        const auto back = readAll(*reader, 3200);
        expectTones(back, wav.tones, rate, 0.4, 0, static_cast<std::size_t>(frames));
        for (const auto& samples : back.channels) {
            EXPECT_EQ(static_cast<std::int64_t>(samples.size()), frames);
            EXPECT_NEAR(std::ranges::max(samples), 0.4, 0.01);
        }
        const auto block = AudioBlock::make(reader->processingFormat(), 64);
        EXPECT_EQ(std::get<std::uint32_t>(reader->read(*block)), 0U);
        EXPECT_EQ(block->frameLength(), 0U);
    }
}

// An ADTS stream has no length of its own: the frames are counted by decoding, and
// match what reading gives: two seconds, and the encoder's start-up samples (1 024) and
// padding, which a bare stream does not mark.
TEST(AudioFiles, FramesAreCountedWhenTheContainerDoesNotTell) {
    const testing::TempDir directory;
    const auto file = directory.path() / "tone.aac";
    ASSERT_EQ(runTool({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=16000:duration=2", "-c:a", "aac", "-b:a",
                       "32k", file.string()},
                      directory.path() / "ffmpeg.txt"),
              0)
        << readFile(directory.path() / "ffmpeg.txt.err");
    linux_backend::AvAudioCodecs codecs;
    const auto reader = open(codecs, file);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->info().codec, "aac");
    const auto back = readAll(*reader, 3200);
    ASSERT_TRUE(std::holds_alternative<std::monostate>(back.outcome));
    EXPECT_EQ(reader->info().frames, static_cast<std::int64_t>(back.channels.at(0).size()));
    EXPECT_GE(reader->info().durationSeconds(), 2.0);
    EXPECT_LT(reader->info().durationSeconds(), 2.2);
}

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
