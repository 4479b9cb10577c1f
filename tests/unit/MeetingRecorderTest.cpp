// The recorder's rules on fakes: its writes on a manual serial queue that runs only when
// the test says, the encoder a recording fake that keeps the samples it is given.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness/MeetingFolders.h"
#include "meeting/MeetingRecorder.h"
#include "meeting/RecordingFiles.h"
#include "platform/fake/FakePlatform.h"
#include "support/FileDescriptor.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using RecordingFiles::toStoredSample;

std::shared_ptr<AudioBlock> blockOf(const std::vector<float>& samples) {
    auto block =
        AudioBlock::make(AudioFormat::meeting(), static_cast<std::uint32_t>(samples.size()));
    block->setFrameLength(static_cast<std::uint32_t>(samples.size()));
    std::copy(samples.begin(), samples.end(), block->floats(0).begin());
    return block;
}

std::vector<float> constant(float value, std::size_t frames) {
    return std::vector<float>(frames, value);
}

std::vector<float> tone(double frequency, double amplitude, std::size_t frames) {
    std::vector<float> samples(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        samples[n] = static_cast<float>(
            amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(n) / 16000));
    }
    return samples;
}

// The mixed output sample of two captured samples.
float mixed(float mic, float system) {
    const int sum = std::clamp(toStoredSample(mic) + toStoredSample(system), -32768, 32767);
    return static_cast<float>(sum) / 32768.0F;
}

// Feeds in blocks of at most 1 600 frames, as the capture delivers.
void feed(MeetingRecorder& recorder, CaptureSource source, const std::vector<float>& samples) {
    for (std::size_t at = 0; at < samples.size(); at += 1600) {
        const std::size_t end = std::min(samples.size(), at + 1600);
        recorder.append(source, *blockOf({samples.begin() + static_cast<std::ptrdiff_t>(at),
                                          samples.begin() + static_cast<std::ptrdiff_t>(end)}));
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

    std::vector<float> savedSamples(const fs::path& path) {
        for (const auto& file : platform.audioCodecs.files()) {
            if (file.path == path) {
                EXPECT_TRUE(file.finished);
                return file.samples;
            }
        }
        ADD_FAILURE() << "not written: " << path;
        return {};
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
};

TEST(RecordingFileNames, FollowTheStampInLocalTime) {
    {
        const testing::ScopedEnvironment zone("TZ", "Asia/Shanghai");
        tzset();
        EXPECT_EQ(RecordingFiles::timeStamp(kStarted), "2025-03-07 14-05-09");
    }
    tzset();
    EXPECT_EQ(RecordingFiles::recordingFileName("2025-03-07 14-05-09"),
              "会议录音 2025-03-07 14-05-09.m4a");
    EXPECT_EQ(RecordingFiles::recordingFileName("2025-03-07 14-05-09", 2),
              "会议录音 2025-03-07 14-05-09 (2).m4a");
}

TEST_F(MeetingRecorderTest, MixesTheTwoStreamsSecondBySecond) {
    {  // microphone only: the output is the microphone stream
        MeetingRecorder recorder(kStarted);
        recorder.start();
        ASSERT_TRUE(recorder.isRunning());
        const std::vector<float> mic = tone(440, 0.6, 24000);
        feed(recorder, CaptureSource::microphone, mic);
        // Of an interleaved stereo block, the first channel.
        auto stereo = AudioBlock::make({SampleType::float32, 16000, 2, true}, 2);
        stereo->setFrameLength(2);
        std::ranges::copy(std::vector<float>{0.5F, -1, 0.25F, -1}, stereo->floats(0).begin());
        recorder.append(CaptureSource::microphone, *stereo);
        const auto saved = finish(recorder);
        ASSERT_TRUE(saved);
        const std::vector<float> out = savedSamples(*saved);
        ASSERT_EQ(out.size(), mic.size() + 2);
        for (std::size_t i = 0; i < mic.size(); ++i) {
            ASSERT_EQ(out[i], static_cast<float>(toStoredSample(mic[i])) / 32768.0F) << i;
        }
        EXPECT_EQ(out[mic.size()], mixed(0.5F, 0));
        EXPECT_EQ(out[mic.size() + 1], mixed(0.25F, 0));
    }
    {  // a longer system stream goes on alone; one-second chunks
        MeetingRecorder recorder(kStarted + 1s);
        recorder.start();
        feed(recorder, CaptureSource::microphone, constant(0.25F, 16000));
        feed(recorder, CaptureSource::system, constant(-0.5F, 40000));
        const auto saved = finish(recorder);
        ASSERT_TRUE(saved);
        const std::vector<float> out = savedSamples(*saved);
        ASSERT_EQ(out.size(), 40000u);
        EXPECT_EQ(out[15999], mixed(0.25F, -0.5F));
        EXPECT_EQ(out[16000], mixed(0.0F, -0.5F));
        EXPECT_EQ(platform.audioCodecs.files().back().blockSizes,
                  (std::vector<std::uint32_t>{16000, 16000, 8000}));
    }
    {  // full scale on both: limited to the 16-bit range
        MeetingRecorder recorder(kStarted + 2s);
        recorder.start();
        feed(recorder, CaptureSource::microphone, constant(1.0F, 16000));
        feed(recorder, CaptureSource::system, constant(1.0F, 16000));
        feed(recorder, CaptureSource::microphone, constant(-1.0F, 16000));
        feed(recorder, CaptureSource::system, constant(-1.0F, 16000));
        const auto saved = finish(recorder);
        ASSERT_TRUE(saved);
        const std::vector<float> out = savedSamples(*saved);
        ASSERT_EQ(out.size(), 32000u);
        EXPECT_EQ(out[15999], 32767.0F / 32768.0F);
        EXPECT_EQ(out[16000], -1.0F);
    }
    EXPECT_TRUE(folders.meetingFolders().empty());
}

TEST_F(MeetingRecorderTest, UnderOneSecondIsDiscardedAndOneSecondKept) {
    {
        MeetingRecorder recorder(kStarted);
        recorder.start();
        feed(recorder, CaptureSource::microphone, constant(0.1F, 14400));  // 0.9 s
        feed(recorder, CaptureSource::system, constant(0.1F, 8000));
        EXPECT_FALSE(finish(recorder));
        EXPECT_TRUE(log.contains("会议录音：时长不足 1 秒，已丢弃")) << log.text();
        EXPECT_TRUE(platform.audioCodecs.files().empty());
    }
    {
        MeetingRecorder recorder(kStarted);
        recorder.start();
        feed(recorder, CaptureSource::system, constant(0.1F, 15999));
        EXPECT_FALSE(finish(recorder));
    }
    {
        const testing::LogCapture kept;
        MeetingRecorder recorder(kStarted);
        recorder.start();
        feed(recorder, CaptureSource::system, constant(0.1F, 16000));  // exactly 1 s
        const auto saved = finish(recorder);
        ASSERT_TRUE(saved);
        EXPECT_EQ(savedSamples(*saved).size(), 16000u);
        EXPECT_FALSE(kept.contains("会议录音：时长不足 1 秒，已丢弃"));
        EXPECT_TRUE(kept.contains("会议录音：结束，麦克风 0 秒 / 系统声音 1 秒")) << kept.text();
        EXPECT_TRUE(kept.contains("会议录音：已保存到 " + saved->string())) << kept.text();
    }
}

TEST_F(MeetingRecorderTest, FinishWaitsBehindEveryQueuedWrite) {
    MeetingRecorder recorder(kStarted);
    recorder.start();
    const auto tasks = writes();
    for (int block = 0; block < 5; ++block) {
        recorder.append(CaptureSource::microphone, *blockOf(constant(0.2F, 8000)));
    }
    EXPECT_EQ(tasks->pending(), 5u);  // nothing written yet

    std::optional<std::optional<fs::path>> saved;
    recorder.finish([&](std::optional<fs::path> file) { saved = std::move(file); });
    // A block after finish() is not taken.
    recorder.append(CaptureSource::microphone, *blockOf(constant(0.9F, 8000)));
    EXPECT_EQ(tasks->pending(), 6u);  // the five writes and the closing of the files
    ASSERT_TRUE(platform.queue.runUntil([&] { return tasks->waiting() == 1; }, 5s));

    // The mix waits while any write queued before it is still to run.
    for (int write = 0; write < 5; ++write) {
        ASSERT_TRUE(tasks->runNext());
        platform.queue.runUntil([] { return false; }, 20ms);
        EXPECT_FALSE(saved) << "after write " << write;
    }
    ASSERT_TRUE(tasks->runNext());  // the files are closed
    ASSERT_TRUE(platform.queue.runUntil([&] { return saved.has_value(); }, 10s));
    EXPECT_EQ(savedSamples(saved->value()), constant(mixed(0.2F, 0.0F), 40000));
    // 2.5 s is shown as the nearest whole number, ties to even.
    EXPECT_TRUE(log.contains("会议录音：结束，麦克风 2 秒 / 系统声音 0 秒")) << log.text();

    // A second finish has nothing to do.
    EXPECT_FALSE(finish(recorder));
}

TEST_F(MeetingRecorderTest, SavingFallsBackToAFolderItCanWrite) {
    EXPECT_FALSE(fs::exists(folders.recordings()));  // not made by asking
    EXPECT_EQ(RecordingFiles::writableOutputDirectory(), folders.recordings());
    // A file standing where each folder must go: the next one.
    for (const auto& [blocked, next] : std::vector<std::pair<fs::path, fs::path>>{
             {folders.data(), folders.home() / "Pagemate 会议录音"},
             {folders.home() / "Pagemate 会议录音", folders.tmp() / "Pagemate 会议录音"},
             {folders.tmp() / "Pagemate 会议录音", folders.tmp()}}) {
        fs::remove_all(blocked);
        testing::writeFile(blocked, "in the way");
        EXPECT_EQ(RecordingFiles::writableOutputDirectory(), next);
    }

    MeetingRecorder recorder(kStarted);
    recorder.start();
    feed(recorder, CaptureSource::microphone, constant(0.1F, 16000));
    const auto saved = finish(recorder);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->parent_path(), folders.tmp());
    EXPECT_TRUE(log.contains("会议录音：输出目录 " + folders.tmp().string())) << log.text();

    // The data folder: $XDG_DATA_HOME when absolute, else ~/.local/share.
    const testing::ScopedEnvironment relative("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(MeetingRecorder::outputDirectory(),
              folders.home() / ".local/share/Pagemate 助手/会议录音");
}

TEST_F(MeetingRecorderTest, MeetingsStartedInTheSameSecondKeepBothRecordings) {
    MeetingRecorder first(kStarted);
    first.start();
    const auto firstWrites = writes();
    MeetingRecorder second(kStarted);
    second.start();
    const auto secondWrites = writes();
    ASSERT_TRUE(first.isRunning());
    ASSERT_TRUE(second.isRunning());
    EXPECT_EQ(folders.meetingFolders().size(), 2u);  // each its own raw files
    feed(first, CaptureSource::microphone, constant(0.25F, 16000));
    feed(second, CaptureSource::microphone, constant(-0.25F, 32000));

    const std::string stamp = RecordingFiles::timeStamp(kStarted);
    const auto firstSaved = finish(first, firstWrites);
    const auto secondSaved = finish(second, secondWrites);
    ASSERT_TRUE(firstSaved);
    ASSERT_TRUE(secondSaved);
    EXPECT_EQ(firstSaved->filename(), "会议录音 " + stamp + ".m4a");
    EXPECT_EQ(secondSaved->filename(), "会议录音 " + stamp + " (2).m4a");
    EXPECT_EQ(savedSamples(*firstSaved), constant(mixed(0.25F, 0), 16000));
    EXPECT_EQ(savedSamples(*secondSaved), constant(mixed(-0.25F, 0), 32000));
    // The earlier file is still the earlier recording (the fake stores 4 bytes a sample).
    EXPECT_EQ(fs::file_size(*firstSaved), 16000u * 4);
    EXPECT_TRUE(folders.meetingFolders().empty());
}

TEST_F(MeetingRecorderTest, AFailedStartLeavesNothingBehind) {
    // A temporary directory so deep that the folder can be made but not a file in it.
    fs::path deep = folders.tmp();
    const std::string component(200, 'd');
    const std::size_t folderName = std::string("/pagemate-meeting-2025-03-07 14-05-09").size();
    while (deep.string().size() + 201 + folderName < 4090) {
        deep /= component;
    }
    deep /= std::string(4090 - folderName - deep.string().size() - 1, 'e');
    fs::create_directories(deep);
    {
        const testing::ScopedEnvironment tmp("TMPDIR", deep.c_str());
        MeetingRecorder recorder(kStarted);
        recorder.start();
        EXPECT_FALSE(recorder.isRunning());
        ASSERT_EQ(log.messages().size(), 1u);
        EXPECT_TRUE(log.messages()[0].starts_with("会议录音：无法开始 —— ")) << log.text();
        EXPECT_TRUE(fs::is_empty(deep));
        // Not recording: blocks are ignored and finish has nothing to save.
        recorder.append(CaptureSource::microphone, *blockOf(constant(0.1F, 16000)));
        EXPECT_EQ(writes()->pending(), 0u);
        EXPECT_FALSE(finish(recorder));
    }
}

TEST_F(MeetingRecorderTest, RecoverySavesWhatAnEndedProcessLeft) {
    const auto leave = [&](const std::string& stamp, std::size_t micFrames,
                           std::size_t systemFrames) {
        fs::path folder = folders.tmp() / ("pagemate-meeting-" + stamp);
        fs::create_directories(folder);
        testing::writeFile(folder / "recording.lock", "");
        testing::writeFile(folder / "mic.pcm",
                           RecordingFiles::toStoredBytes(constant(0.25F, micFrames)));
        testing::writeFile(folder / "system.pcm",
                           RecordingFiles::toStoredBytes(constant(0.5F, systemFrames)));
        return folder;
    };
    const fs::path interrupted = leave("2025-03-07 14-05-09", 24000, 8000);
    const fs::path tooShort = leave("2025-03-07 15-00-00-2", 15000, 0);
    // A meeting still recording in this process holds its lock.
    MeetingRecorder running(kStarted);
    running.start();
    ASSERT_TRUE(running.isRunning());
    ASSERT_EQ(folders.meetingFolders().size(), 3u);

    const std::vector<fs::path> saved = MeetingRecorder::recoverInterrupted();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0], folders.recordings() / "会议录音 2025-03-07 14-05-09.m4a");
    std::vector<float> expected = constant(mixed(0.25F, 0.5F), 8000);
    const std::vector<float> tail = constant(mixed(0.25F, 0), 16000);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(savedSamples(saved[0]), expected);
    EXPECT_TRUE(log.contains("会议录音：已恢复上次中断的录音 → " + saved[0].string()))
        << log.text();
    EXPECT_TRUE(log.contains("会议录音：时长不足 1 秒，已丢弃"));
    EXPECT_FALSE(fs::exists(interrupted));
    EXPECT_FALSE(fs::exists(tooShort));
    ASSERT_EQ(folders.meetingFolders().size(), 1u);  // the running one, untouched
    EXPECT_TRUE(platform.http.requests().empty());   // nothing is uploaded

    // Once that meeting is over, its folder is gone too and nothing more is recovered.
    feed(running, CaptureSource::microphone, constant(0.1F, 16000));
    EXPECT_TRUE(finish(running));
    EXPECT_TRUE(MeetingRecorder::recoverInterrupted().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());
}

TEST_F(MeetingRecorderTest, ADroppedRecorderLeavesItsFolderToRecovery) {
    {
        MeetingRecorder dropped(kStarted);
        dropped.start();
        feed(dropped, CaptureSource::microphone, constant(0.3F, 20000));
        writes()->runAll();
        // Destroyed while recording: it lets go of its lock and leaves its files.
    }
    ASSERT_EQ(folders.meetingFolders().size(), 1u);
    const std::vector<fs::path> saved = MeetingRecorder::recoverInterrupted();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(savedSamples(saved[0]).size(), 20000u);
}

// The real client's transfer is tested against the stand-in service; here, what only
// the request shows: the file goes as a path (streamed by the client, never read into
// memory here), with the long time-out a large recording needs.
TEST_F(MeetingRecorderTest, UploadStreamsTheFileWithAFiveMinuteTimeOut) {
    const fs::path file = folders.home() / "会议录音 2025-03-07 14-05-09.m4a";
    testing::writeFile(file, "m4a bytes");
    platform.http.respondWith([](const HttpRequest&) {
        return HttpResponse{200, R"({"id":"f"})", std::nullopt};
    });
    std::optional<std::optional<MeetingRecorder::UploadAnswer>> answer;
    MeetingRecorder::uploadAudio(file, [&](auto value) { answer = std::move(value); });
    ASSERT_TRUE(platform.queue.runUntil([&] { return answer.has_value(); }, 10s));
    ASSERT_EQ(platform.http.requests().size(), 1u);
    const HttpRequest request = platform.http.requests()[0];
    ASSERT_TRUE(std::holds_alternative<fs::path>(request.body));
    EXPECT_EQ(std::get<fs::path>(request.body), file);
    EXPECT_EQ(request.timeout, std::chrono::milliseconds(300000));
    EXPECT_LE(request.maxResponseBytes, std::size_t{1} << 20);
    EXPECT_EQ(answer->value().id, "f");

    // Only a 2xx answer names the file: a redirect is a failure.
    EXPECT_FALSE(MeetingRecorder::uploadAnswer(HttpResponse{302, R"({"id":"f"})", std::nullopt},
                                               file.filename().string()));
}

}  // namespace
}  // namespace pagemate
