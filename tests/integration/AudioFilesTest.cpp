// The .m4a writer and the file reader on the real FFmpeg, checked against FFmpeg's and
// sox's own command-line tools.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "integration/AudioTestSupport.h"
#include "platform/linux/AvAudioCodecs.h"

namespace pagemate {
namespace {

using linux_backend::AvAudioCodecs;
using testing::readAll;
using testing::readFile;
using testing::runTool;
using testing::sine;
using testing::TempDir;
using testing::toneAmplitude;
using testing::writeFile;

constexpr double rate = 16000;

// The meeting's test recording: a 440 Hz and a 660 Hz sine of amplitude 0.35 each.
float twoTones(std::int64_t index) {
    return sine(440, 0.35, index, rate) + sine(660, 0.35, index, rate);
}

// ffprobe's "key=value" lines for the file's stream and container.
std::map<std::string, std::string> probe(const std::filesystem::path& file,
                                         const std::filesystem::path& scratch) {
    const std::string entries =
        "stream=codec_name,sample_rate,channels:format=format_name:format_tags=major_brand";
    const int status = runTool({"ffprobe", "-v", "error", "-show_entries", entries, "-of",
                                "default=noprint_wrappers=1", file.string()},
                               scratch);
    std::map<std::string, std::string> values;
    if (status != 0) {
        return values;
    }
    std::istringstream lines(readFile(scratch));
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            values[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return values;
}

TEST(AudioFiles, TwoTonesSavedAsM4aReadBackWithBothTones) {
    const TempDir directory;
    const auto file = directory.path() / "会议录音 2026-12-07 06-00-00.m4a";
    // A file already there is replaced.
    writeFile(file, std::string(300000, 'x'));
    AvAudioCodecs codecs;

    auto created = codecs.createAacFile(file, AacFileSettings{});
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileWriter>>(created))
        << std::get<AudioError>(created).description;
    auto& writer = *std::get<std::unique_ptr<AudioFileWriter>>(created);
    EXPECT_EQ(writer.processingFormat(), AudioFormat::meeting());

    // Blocks of odd sizes, none a multiple of the encoder's 1 024 samples: 6 s in all.
    constexpr std::array<std::uint32_t, 5> sizes = {1600, 1000, 4096, 1, 777};
    constexpr std::int64_t total = 96000;
    std::int64_t fed = 0;
    for (std::size_t turn = 0; fed < total; ++turn) {
        const auto frames = static_cast<std::uint32_t>(
            std::min<std::int64_t>(sizes[turn % sizes.size()], total - fed));
        const auto block = AudioBlock::make(AudioFormat::meeting(), frames);
        block->setFrameLength(frames);
        auto samples = block->floats(0);
        for (std::uint32_t n = 0; n < frames; ++n) {
            samples[n] = twoTones(fed + n);
        }
        const auto written = writer.write(*block);
        ASSERT_TRUE(std::holds_alternative<std::monostate>(written))
            << std::get<AudioError>(written).description;
        fed += frames;
    }
    // A block of another format is refused, and nothing is written after the end.
    const auto stereo = AudioBlock::make({SampleType::float32, rate, 2, false}, 16);
    stereo->setFrameLength(16);
    const auto refused = writer.write(*stereo);
    ASSERT_TRUE(std::holds_alternative<AudioError>(refused));
    EXPECT_LT(std::get<AudioError>(refused).status, 0);
    const auto finished = writer.finish();
    ASSERT_TRUE(std::holds_alternative<std::monostate>(finished))
        << std::get<AudioError>(finished).description;
    const auto late = AudioBlock::make(AudioFormat::meeting(), 16);
    late->setFrameLength(16);
    EXPECT_TRUE(std::holds_alternative<AudioError>(writer.write(*late)));

    // About 32 kbit/s for 6 s: some 24 000 bytes.
    const auto bytes = std::filesystem::file_size(file);
    EXPECT_GT(bytes, 15000U);
    EXPECT_LT(bytes, 36000U);

    auto opened = codecs.openFile(file);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileReader>>(opened))
        << std::get<AudioError>(opened).description;
    auto& reader = *std::get<std::unique_ptr<AudioFileReader>>(opened);
    const AudioFileReader::Info& info = reader.info();
    EXPECT_EQ(info.sampleRate, rate);
    EXPECT_EQ(info.channels, 1U);
    EXPECT_EQ(info.codec, "aac");
    EXPECT_NEAR(info.durationSeconds(), 6.0, 0.1);
    // Every sample fed is there, the last short frame too; the encoder's start-up
    // samples and padding are marked as not part of it.
    EXPECT_EQ(info.frames, total);
    EXPECT_NEAR(static_cast<double>(info.bitRate), 32000, 6000);
    EXPECT_EQ(reader.processingFormat(), AudioFormat::meeting());

    const auto back = readAll(reader, 3200);
    ASSERT_TRUE(std::holds_alternative<std::monostate>(back.outcome))
        << std::get<AudioError>(back.outcome).description;
    ASSERT_EQ(back.channels.size(), 1U);
    const std::vector<float>& samples = back.channels[0];
    EXPECT_NEAR(static_cast<double>(samples.size()), static_cast<double>(total), 0.1 * rate);
    // Reading ends where the container says the recording ends, before the encoder's
    // padding.
    EXPECT_EQ(static_cast<std::int64_t>(samples.size()), info.frames);
    ASSERT_GT(samples.size(), 80000U);
    // Every block but the last is full.
    for (std::size_t index = 0; index + 1 < back.blockLengths.size(); ++index) {
        EXPECT_EQ(back.blockLengths[index], 3200U) << index;
    }
    // Two seconds from the middle (a whole number of periods of both tones).
    const std::span<const float> middle(samples.data() + 32000, 32000);
    EXPECT_NEAR(toneAmplitude(middle, 440, rate), 0.35, 0.05);
    EXPECT_NEAR(toneAmplitude(middle, 660, rate), 0.35, 0.05);
    EXPECT_LT(toneAmplitude(middle, 1000, rate), 0.01);
    EXPECT_LT(toneAmplitude(middle, 550, rate), 0.01);

    const auto probed = probe(file, directory.path() / "probe.txt");
    EXPECT_EQ(probed.count("codec_name") != 0 ? probed.at("codec_name") : "", "aac");
    EXPECT_EQ(probed.count("sample_rate") != 0 ? probed.at("sample_rate") : "", "16000");
    EXPECT_EQ(probed.count("channels") != 0 ? probed.at("channels") : "", "1");
    EXPECT_NE(
        probed.count("format_name") != 0 ? probed.at("format_name").find("m4a") : std::string::npos,
        std::string::npos);
    EXPECT_EQ(probed.count("TAG:major_brand") != 0 ? probed.at("TAG:major_brand") : "", "M4A ");
}

// Other settings than the meeting's: the channels stay apart, each with its own tone.
TEST(AudioFiles, StereoM4aKeepsItsChannelsApart) {
    const TempDir directory;
    const auto file = directory.path() / "stereo.m4a";
    AvAudioCodecs codecs;
    constexpr double stereoRate = 44100;
    auto created = codecs.createAacFile(file, AacFileSettings{stereoRate, 2, 128000});
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileWriter>>(created))
        << std::get<AudioError>(created).description;
    auto& writer = *std::get<std::unique_ptr<AudioFileWriter>>(created);
    const AudioFormat format{SampleType::float32, stereoRate, 2, false};
    EXPECT_EQ(writer.processingFormat(), format);
    constexpr std::int64_t total = 88200;
    std::int64_t fed = 0;
    while (fed < total) {
        const auto frames = static_cast<std::uint32_t>(std::min<std::int64_t>(3001, total - fed));
        const auto block = AudioBlock::make(format, frames);
        block->setFrameLength(frames);
        for (std::uint32_t n = 0; n < frames; ++n) {
            block->floats(0)[n] = sine(440, 0.4, fed + n, stereoRate);
            block->floats(1)[n] = sine(1000, 0.3, fed + n, stereoRate);
        }
        ASSERT_TRUE(std::holds_alternative<std::monostate>(writer.write(*block)));
        fed += frames;
    }
    ASSERT_TRUE(std::holds_alternative<std::monostate>(writer.finish()));

    auto opened = codecs.openFile(file);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileReader>>(opened));
    auto& reader = *std::get<std::unique_ptr<AudioFileReader>>(opened);
    EXPECT_EQ(reader.info().sampleRate, stereoRate);
    EXPECT_EQ(reader.info().channels, 2U);
    EXPECT_EQ(reader.info().frames, total);
    EXPECT_EQ(reader.processingFormat(), format);
    const auto back = readAll(reader, 4096);
    ASSERT_TRUE(std::holds_alternative<std::monostate>(back.outcome));
    ASSERT_EQ(back.channels.size(), 2U);
    ASSERT_EQ(back.channels[1].size(), static_cast<std::size_t>(total));
    const std::span<const float> left(back.channels[0].data() + 22050, 44100);
    const std::span<const float> right(back.channels[1].data() + 22050, 44100);
    EXPECT_NEAR(toneAmplitude(left, 440, stereoRate), 0.4, 0.04);
    EXPECT_LT(toneAmplitude(left, 1000, stereoRate), 0.01);
    EXPECT_NEAR(toneAmplitude(right, 1000, stereoRate), 0.3, 0.03);
    EXPECT_LT(toneAmplitude(right, 440, stereoRate), 0.01);
}

struct SoxCase {
    std::vector<std::string> arguments;  // sox's output options and the signal
    double rate;
    std::uint32_t channels;
    std::int64_t frames;
    std::string codec;
    std::int64_t bitRate;
    std::vector<double> tones;  // the frequency on each channel
    double amplitude;
};

TEST(AudioFiles, WavFilesFromSoxReadWithTheirOwnFormat) {
    const TempDir directory;
    AvAudioCodecs codecs;
    const std::vector<SoxCase> cases = {
        {{"-r", "16000", "-c", "1", "-b", "16", "-e", "signed-integer", "synth", "1.5", "sine",
          "440", "vol", "0.5"},
         16000,
         1,
         24000,
         "pcm_s16le",
         256000,
         {440},
         0.5},
        {{"-r", "44100", "-c", "2", "-b", "16", "-e", "signed-integer", "synth", "2", "sine", "300",
          "sine", "1200", "vol", "0.4"},
         44100,
         2,
         88200,
         "pcm_s16le",
         1411200,
         {300, 1200},
         0.4},
        {{"-r", "48000", "-c", "1", "-b", "32", "-e", "floating-point", "synth", "1", "sine",
          "1000", "vol", "0.25"},
         48000,
         1,
         48000,
         "pcm_f32le",
         1536000,
         {1000},
         0.25},
    };
    int number = 0;
    for (const SoxCase& wav : cases) {
        const auto file = directory.path() / ("sox-" + std::to_string(number++) + ".wav");
        std::vector<std::string> command = {"sox", "-n"};
        const auto signal = std::find(wav.arguments.begin(), wav.arguments.end(), "synth");
        command.insert(command.end(), wav.arguments.begin(), signal);
        command.push_back(file.string());
        command.insert(command.end(), signal, wav.arguments.end());
        ASSERT_EQ(runTool(command, directory.path() / "sox.txt"), 0)
            << readFile(directory.path() / "sox.txt.err");

        auto opened = codecs.openFile(file);
        ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileReader>>(opened))
            << std::get<AudioError>(opened).description;
        auto& reader = *std::get<std::unique_ptr<AudioFileReader>>(opened);
        SCOPED_TRACE(file.filename().string() + " " + reader.processingFormat().description());
        EXPECT_EQ(reader.info().sampleRate, wav.rate);
        EXPECT_EQ(reader.info().channels, wav.channels);
        EXPECT_EQ(reader.info().frames, wav.frames);
        EXPECT_EQ(reader.info().codec, wav.codec);
        EXPECT_EQ(reader.info().bitRate, wav.bitRate);
        EXPECT_EQ(reader.processingFormat(),
                  (AudioFormat{SampleType::float32, wav.rate, wav.channels, false}));

        // Blocks of 3 200 frames, as the speech probe reads its sample.
        const auto back = readAll(reader, 3200);
        ASSERT_TRUE(std::holds_alternative<std::monostate>(back.outcome))
            << std::get<AudioError>(back.outcome).description;
        ASSERT_EQ(back.channels.size(), wav.channels);
        for (std::uint32_t channel = 0; channel < wav.channels; ++channel) {
            const std::vector<float>& samples = back.channels[channel];
            EXPECT_EQ(static_cast<std::int64_t>(samples.size()), wav.frames);
            const double own = toneAmplitude(samples, wav.tones[channel], wav.rate);
            EXPECT_NEAR(own, wav.amplitude, 0.01) << "channel " << channel;
            for (std::uint32_t other = 0; other < wav.channels; ++other) {
                if (other != channel) {
                    EXPECT_LT(toneAmplitude(samples, wav.tones[other], wav.rate), 0.005);
                }
            }
            const auto peak = std::max_element(samples.begin(), samples.end());
            EXPECT_NEAR(*peak, wav.amplitude, 0.01);
        }
        // At the end it stays at 0 frames.
        const auto block = AudioBlock::make(reader.processingFormat(), 64);
        const auto after = reader.read(*block);
        ASSERT_TRUE(std::holds_alternative<std::uint32_t>(after));
        EXPECT_EQ(std::get<std::uint32_t>(after), 0U);
        EXPECT_EQ(block->frameLength(), 0U);
    }
}

// An ADTS stream has no length of its own: the frames are counted by decoding, and
// match what reading gives.
TEST(AudioFiles, FramesAreCountedWhenTheContainerDoesNotTell) {
    const TempDir directory;
    const auto file = directory.path() / "tone.aac";
    ASSERT_EQ(runTool({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=16000:duration=2", "-c:a", "aac", "-b:a",
                       "32k", file.string()},
                      directory.path() / "ffmpeg.txt"),
              0)
        << readFile(directory.path() / "ffmpeg.txt.err");
    AvAudioCodecs codecs;
    auto opened = codecs.openFile(file);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileReader>>(opened))
        << std::get<AudioError>(opened).description;
    auto& reader = *std::get<std::unique_ptr<AudioFileReader>>(opened);
    EXPECT_EQ(reader.info().codec, "aac");
    EXPECT_EQ(reader.info().sampleRate, 16000);
    const auto back = readAll(reader, 3200);
    ASSERT_TRUE(std::holds_alternative<std::monostate>(back.outcome));
    EXPECT_EQ(reader.info().frames, static_cast<std::int64_t>(back.channels.at(0).size()));
    // Two seconds, and the encoder's start-up samples (1 024) and padding, which a bare
    // stream does not mark.
    EXPECT_GE(reader.info().durationSeconds(), 2.0);
    EXPECT_LT(reader.info().durationSeconds(), 2.2);
}

}  // namespace
}  // namespace pagemate
