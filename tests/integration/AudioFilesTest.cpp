// The .m4a writer and the file reader on the real FFmpeg, checked against FFmpeg's and
// sox's own command-line tools.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

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
        ASSERT_EQ(runTool({"ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_name,sample_rate,channels:format=format_name:format_"
                           "tags=major_brand",
                           "-of", "csv=p=0", file.string()},
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

}  // namespace
}  // namespace pagemate
