// The recorder with its real parts: its writes on a thread queue, FFmpeg's AAC encoder
// and reader. A meeting left by a program that ended is MeetingHotKey's.

#include <gtest/gtest.h>

#include "harness/MeetingFolders.h"
#include "integration/AudioTestSupport.h"
#include "meeting/MeetingRecorder.h"
#include "platform/ThreadSerialQueue.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AvAudioCodecs.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Ten seconds of a 440 Hz tone on the microphone and 660 Hz on the system sound, in
// blocks of 0.1 s: the saved file is AAC, 16 kHz mono at about 32 kbit/s, with both tones.
TEST(RecorderAudio, BothTonesAreInTheSavedFile) {
    const testing::MeetingFolders folders;
    fake::FakePlatform platform;
    Platform::current().audioCodecs = std::make_unique<linux_backend::AvAudioCodecs>();
    Platform::current().serialQueues = std::make_unique<ThreadSerialQueues>();
    MeetingRecorder recorder;
    recorder.start();
    ASSERT_TRUE(recorder.isRunning());
    for (std::int64_t start = 0; start < 160000; start += 1600) {
        for (const auto& [source, frequency] : {std::pair{CaptureSource::microphone, 440.0},
                                                std::pair{CaptureSource::system, 660.0}}) {
            auto block = AudioBlock::make(AudioFormat::meeting(), 1600);
            block->setFrameLength(1600);
            for (std::int64_t n = 0; n < 1600; ++n) {
                block->floats(0)[static_cast<std::size_t>(n)] =
                    testing::sine(frequency, 0.35, start + n, 16000);
            }
            recorder.append(source, *block);
        }
    }
    std::optional<std::optional<fs::path>> result;
    recorder.finish([&](std::optional<fs::path> saved) { result = std::move(saved); });
    ASSERT_TRUE(platform.queue.runUntil([&] { return result.has_value(); }, 30s));
    ASSERT_TRUE(*result);
    const fs::path saved = **result;
    EXPECT_EQ(saved.parent_path(), folders.recordings());

    auto opened = Platform::current().audioCodecs->openFile(saved);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileReader>>(opened));
    AudioFileReader& reader = *std::get<0>(opened);
    EXPECT_EQ(reader.info().codec, "aac");
    EXPECT_EQ(reader.info().sampleRate, 16000);
    EXPECT_EQ(reader.info().channels, 1u);
    EXPECT_NEAR(reader.info().durationSeconds(), 10.0, 0.1);
    const double kbps = static_cast<double>(fs::file_size(saved)) * 8 / 10.0 / 1000;
    EXPECT_GT(kbps, 24);
    EXPECT_LT(kbps, 40);
    const std::vector<float> samples = testing::readAll(reader, 4096).channels.at(0);
    ASSERT_GT(samples.size(), 150000u);
    const double between = testing::toneAmplitude(samples, 550, 16000);
    EXPECT_GT(testing::toneAmplitude(samples, 440, 16000), 10 * between);
    EXPECT_GT(testing::toneAmplitude(samples, 660, 16000), 10 * between);
}

}  // namespace
}  // namespace pagemate
