// The recorder with its real parts: its writes on a thread queue, FFmpeg's AAC encoder
// and reader, and a recording process killed in the middle of a meeting.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <thread>

#include "harness/MeetingFolders.h"
#include "integration/AudioTestSupport.h"
#include "meeting/MeetingRecorder.h"
#include "platform/ThreadSerialQueue.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AvAudioCodecs.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX, not in a header

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Both tones, 440 and 660 Hz, stand far above a frequency between them.
bool bothTones(const std::vector<float>& samples) {
    const double between = testing::toneAmplitude(samples, 550, 16000);
    return testing::toneAmplitude(samples, 440, 16000) > 10 * between &&
           testing::toneAmplitude(samples, 660, 16000) > 10 * between;
}

struct ReadBack {
    AudioFileReader::Info info;
    std::vector<float> samples;
};

ReadBack readBack(const fs::path& path) {
    auto opened = Platform::current().audioCodecs->openFile(path);
    if (auto* error = std::get_if<AudioError>(&opened)) {
        ADD_FAILURE() << error->description;
        return {};
    }
    AudioFileReader& reader = *std::get<0>(opened);
    return {reader.info(), testing::readAll(reader, 4096).channels.at(0)};
}

std::shared_ptr<AudioBlock> toneBlock(double frequency, std::uint64_t start) {
    constexpr std::uint32_t kFrames = 1600;
    auto block = AudioBlock::make(AudioFormat::meeting(), kFrames);
    block->setFrameLength(kFrames);
    for (std::uint32_t n = 0; n < kFrames; ++n) {
        block->floats(0)[n] =
            testing::sine(frequency, 0.35, static_cast<std::int64_t>(start + n), 16000);
    }
    return block;
}

class RecorderAudio : public ::testing::Test {
  protected:
    RecorderAudio() {
        Platform::current().audioCodecs = std::make_unique<linux_backend::AvAudioCodecs>();
        Platform::current().serialQueues = std::make_unique<ThreadSerialQueues>();
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
};

TEST_F(RecorderAudio, BothTonesAreInTheSavedFile) {
    MeetingRecorder recorder;
    recorder.start();
    ASSERT_TRUE(recorder.isRunning());
    constexpr int kBlocks = 100;  // 10 s
    for (int k = 0; k < kBlocks; ++k) {
        recorder.append(CaptureSource::microphone, *toneBlock(440, k * 1600ULL));
        recorder.append(CaptureSource::system, *toneBlock(660, k * 1600ULL));
    }
    std::optional<std::optional<fs::path>> result;
    recorder.finish([&](std::optional<fs::path> saved) { result = std::move(saved); });
    ASSERT_TRUE(platform.queue.runUntil([&] { return result.has_value(); }, 30s));
    ASSERT_TRUE(*result);
    const fs::path saved = **result;
    EXPECT_EQ(saved.parent_path(), folders.recordings());

    const ReadBack file = readBack(saved);
    EXPECT_EQ(file.info.codec, "aac");
    EXPECT_EQ(file.info.sampleRate, 16000);
    EXPECT_EQ(file.info.channels, 1u);
    EXPECT_NEAR(file.info.durationSeconds(), 10.0, 0.1);
    const double kbps = static_cast<double>(fs::file_size(saved)) * 8 / 10.0 / 1000;
    EXPECT_GT(kbps, 24);
    EXPECT_LT(kbps, 40);
    ASSERT_GT(file.samples.size(), 150000u);
    EXPECT_TRUE(bothTones(file.samples));
}

TEST_F(RecorderAudio, AKilledMeetingIsSavedAtTheNextStart) {
    const fs::path marker = folders.home() / "fed";
    std::vector<std::string> arguments = {RECORDER_CHILD, "3.5", marker.string()};
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, RECORDER_CHILD, nullptr, nullptr, argv.data(), environ), 0);
    // Also when an assertion below ends the test early.
    const std::unique_ptr<pid_t, void (*)(const pid_t*)> reaper(&child, [](const pid_t* pid) {
        if (*pid > 0 && ::kill(*pid, SIGKILL) == 0) {
            ::waitpid(*pid, nullptr, 0);
        }
    });
    for (int attempt = 0; attempt < 1000 && !fs::exists(marker); ++attempt) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(fs::exists(marker));
    // While it records, its folder is not taken.
    EXPECT_TRUE(MeetingRecorder::recoverInterrupted().empty());
    ASSERT_EQ(folders.meetingFolders().size(), 1u);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    child = 0;
    ASSERT_TRUE(WIFSIGNALED(status));

    const std::vector<fs::path> saved = MeetingRecorder::recoverInterrupted();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_TRUE(log.contains("会议录音：已恢复上次中断的录音 → " + saved[0].string()))
        << log.text();
    EXPECT_TRUE(folders.meetingFolders().empty());
    const ReadBack file = readBack(saved[0]);
    // At most what was still queued (under a second) is lost.
    EXPECT_LE(file.info.durationSeconds(), 3.6);
    EXPECT_GT(file.info.durationSeconds(), 2.5);
    EXPECT_TRUE(bothTones(file.samples));
    EXPECT_TRUE(MeetingRecorder::recoverInterrupted().empty());
}

}  // namespace
}  // namespace pagemate
