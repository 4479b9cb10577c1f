// The recorder's rules on fakes: writes run by hand, an encoder that keeps the samples.

#include <gtest/gtest.h>

#include "harness/MeetingFolders.h"
#include "meeting/MeetingRecorder.h"
#include "meeting/RecordingFiles.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using RecordingFiles::toStoredSample;

using Samples = std::vector<float>;

float mixed(float mic, float system) {
    const int sum = std::clamp(toStoredSample(mic) + toStoredSample(system), -32768, 32767);
    return static_cast<float>(sum) / 32768.0F;
}

// Feeds in blocks of at most 1 600 frames, as the capture delivers.
void feed(MeetingRecorder& recorder, CaptureSource source, const Samples& samples) {
    for (std::size_t at = 0; at < samples.size(); at += 1600) {
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::size_t>(samples.size() - at, 1600));
        auto block = AudioBlock::make(AudioFormat::meeting(), frames);
        block->setFrameLength(frames);
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), frames,
                    block->floats(0).begin());
        recorder.append(source, *block);
    }
}

const auto kStarted = std::chrono::system_clock::from_time_t(1741327509);  // a fixed second

class MeetingRecorderTest : public ::testing::Test {
  protected:
    std::shared_ptr<fake::ManualTasks> writes() {
        return platform.serialQueues.latest("pagemate-recorder");
    }

    // Finishes as the real queue would run the writes, and waits for the completion.
    std::optional<fs::path> finish(MeetingRecorder& recorder,
                                   const std::shared_ptr<fake::ManualTasks>& tasks) {
        std::optional<std::optional<fs::path>> result;
        recorder.finish([&](std::optional<fs::path> saved) { result = std::move(saved); });
        EXPECT_TRUE(platform.queue.runUntil(
            [&] {
                tasks->runAll();
                return result.has_value();
            },
            10s));
        return result.value_or(std::nullopt);
    }
    std::optional<fs::path> finish(MeetingRecorder& recorder) { return finish(recorder, writes()); }

    Samples savedSamples(const fs::path& path) {
        for (const auto& file : platform.audioCodecs.files()) {
            if (file.path == path) {
                EXPECT_TRUE(file.finished);
                return file.samples;
            }
        }
        ADD_FAILURE() << "not written: " << path;
        return {};
    }
    // What a recorder started `offset` after kStarted saves of the two streams.
    Samples record(std::chrono::seconds offset, const Samples& mic, const Samples& system) {
        MeetingRecorder recorder(kStarted + offset);
        recorder.start();
        feed(recorder, CaptureSource::microphone, mic);
        feed(recorder, CaptureSource::system, system);
        const auto saved = finish(recorder);
        return saved ? savedSamples(*saved) : Samples{};
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
};

TEST_F(MeetingRecorderTest, MixesTheTwoStreamsSecondBySecond) {
    {  // microphone only, the first channel of a stereo block included
        MeetingRecorder recorder(kStarted);
        recorder.start();
        feed(recorder, CaptureSource::microphone, Samples(16000, 0.1F));
        auto stereo = AudioBlock::make({SampleType::float32, 16000, 2, true}, 2);
        stereo->setFrameLength(2);
        std::ranges::copy(Samples{0.5F, -1, 0.25F, -1}, stereo->floats(0).begin());
        recorder.append(CaptureSource::microphone, *stereo);
        const auto saved = finish(recorder);
        ASSERT_TRUE(saved);
        Samples expected(16000, mixed(0.1F, 0));
        expected.insert(expected.end(), {mixed(0.5F, 0), mixed(0.25F, 0)});
        EXPECT_EQ(savedSamples(*saved), expected);
    }
    // A longer system stream goes on alone, in one-second chunks.
    Samples out = record(1s, Samples(16000, 0.25F), Samples(40000, -0.5F));
    ASSERT_EQ(out.size(), 40000u);
    EXPECT_EQ(out[15999], mixed(0.25F, -0.5F));
    EXPECT_EQ(out[16000], mixed(0.0F, -0.5F));
    EXPECT_EQ(platform.audioCodecs.files().back().blockSizes,
              (std::vector<std::uint32_t>{16000, 16000, 8000}));
    // Full scale on both: limited to the 16-bit range.
    Samples full(16000, 1.0F);
    full.resize(32000, -1.0F);
    out = record(2s, full, full);
    ASSERT_EQ(out.size(), 32000u);
    EXPECT_EQ(out[15999], 32767.0F / 32768.0F);
    EXPECT_EQ(out[16000], -1.0F);
    EXPECT_TRUE(folders.meetingFolders().empty());
}

TEST_F(MeetingRecorderTest, UnderOneSecondIsDiscardedAndOneSecondKept) {
    // Frames of the microphone and of the system sound: the longer one counts.
    EXPECT_TRUE(record(0s, Samples(14400, 0.1F), Samples(8000, 0.1F)).empty());
    EXPECT_TRUE(record(0s, {}, Samples(15999, 0.1F)).empty());
    EXPECT_EQ(std::ranges::count(log.messages(), "会议录音：时长不足 1 秒，已丢弃"), 2);
    EXPECT_TRUE(platform.audioCodecs.files().empty());

    const testing::LogCapture kept;
    MeetingRecorder recorder(kStarted);
    recorder.start();
    feed(recorder, CaptureSource::system, Samples(16000, 0.1F));  // exactly 1 s
    const auto saved = finish(recorder);
    ASSERT_TRUE(saved);
    EXPECT_EQ(savedSamples(*saved).size(), 16000u);
    const fs::path raw =
        RecordingFiles::meetingTemporaryFolder(RecordingFiles::timeStamp(kStarted));
    EXPECT_EQ(kept.messages(),
              (std::vector<std::string>{"会议录音：已开始（原始音频写在 " + raw.string() + "）",
                                        "会议录音：结束，麦克风 0 秒 / 系统声音 1 秒",
                                        "会议录音：输出目录 " + folders.recordings().string(),
                                        "会议录音：已保存到 " + saved->string()}));
}

// Named by the start in local time; a second meeting of the same second gets "(2)".
TEST_F(MeetingRecorderTest, MeetingsStartedInTheSameSecondKeepBothRecordings) {
    const testing::ScopedEnvironment zone("TZ", "Asia/Shanghai");
    tzset();
    MeetingRecorder first(kStarted);
    first.start();
    const auto firstWrites = writes();
    MeetingRecorder second(kStarted);
    second.start();
    const auto secondWrites = writes();
    EXPECT_EQ(folders.meetingFolders().size(), 2u);  // each its own raw files
    feed(first, CaptureSource::microphone, Samples(16000, 0.25F));
    feed(second, CaptureSource::microphone, Samples(32000, -0.25F));
    const auto firstSaved = finish(first, firstWrites);
    const auto secondSaved = finish(second, secondWrites);
    ASSERT_TRUE(firstSaved && secondSaved);
    EXPECT_EQ(firstSaved->filename(), "会议录音 2025-03-07 14-05-09.m4a");
    EXPECT_EQ(secondSaved->filename(), "会议录音 2025-03-07 14-05-09 (2).m4a");
    EXPECT_EQ(savedSamples(*firstSaved), Samples(16000, mixed(0.25F, 0)));
    EXPECT_EQ(savedSamples(*secondSaved), Samples(32000, mixed(-0.25F, 0)));
    EXPECT_TRUE(folders.meetingFolders().empty());
}

// Recorders dropped while recording leave their folders to the next recovery, which
// saves them (or drops one too short) but leaves a meeting still recording alone.
TEST_F(MeetingRecorderTest, RecoverySavesWhatDroppedRecordersLeft) {
    for (const std::size_t micFrames : {24000U, 15000U}) {
        MeetingRecorder dropped(kStarted);
        dropped.start();
        feed(dropped, CaptureSource::microphone, Samples(micFrames, 0.25F));
        feed(dropped, CaptureSource::system, Samples(micFrames == 24000 ? 8000U : 0U, 0.5F));
        writes()->runAll();
    }
    MeetingRecorder running(kStarted);
    running.start();
    ASSERT_TRUE(running.isRunning());
    ASSERT_EQ(folders.meetingFolders().size(), 3u);

    const std::vector<fs::path> saved = MeetingRecorder::recoverInterrupted();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0], folders.recordings() /
                            RecordingFiles::recordingFileName(RecordingFiles::timeStamp(kStarted)));
    Samples expected(8000, mixed(0.25F, 0.5F));
    expected.resize(24000, mixed(0.25F, 0));
    EXPECT_EQ(savedSamples(saved[0]), expected);
    EXPECT_TRUE(log.contains("会议录音：已恢复上次中断的录音 → " + saved[0].string()));
    EXPECT_TRUE(log.contains("会议录音：时长不足 1 秒，已丢弃"));
    ASSERT_EQ(folders.meetingFolders().size(), 1u);  // the running one, untouched
    EXPECT_TRUE(platform.http.requests().empty());   // nothing is uploaded

    feed(running, CaptureSource::microphone, Samples(16000, 0.1F));
    EXPECT_TRUE(finish(running));
    EXPECT_TRUE(MeetingRecorder::recoverInterrupted().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());
}

}  // namespace
}  // namespace pagemate
