// A long meeting through the recorder: both sources fed as the long record test feeds
// them (the same 1 600-frame block of a 440 Hz tone, 0.3), as fast as they are taken,
// with the resident memory sampled by a thread while recording and while mixing; then
// the time of finish() (mix and AAC encode) against ffmpeg's amix + aac on the same
// two raw files in the same run. Run: scripts/bench, or build/bench/recorder_long
// [minutes] [--burst] (default 60 minutes, fed 10 s of audio at a time).

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "BenchFigures.h"
#include "diagnostics/MeetingProbe.h"
#include "harness/MeetingFolders.h"
#include "meeting/MeetingMix.h"
#include "meeting/MeetingRecorder.h"
#include "platform/ThreadSerialQueue.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AvAudioCodecs.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX, not in a header

namespace {

using namespace pagemate;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr std::uint32_t kBlockFrames = 1600;

// The peak of the resident memory since the last reset, sampled every 5 ms.
class MemorySampler {
  public:
    MemorySampler() : thread_([this] { run(); }) {}
    MemorySampler(const MemorySampler&) = delete;
    MemorySampler& operator=(const MemorySampler&) = delete;
    ~MemorySampler() {
        stop_ = true;
        thread_.join();
    }
    double reset() {
        const double now = MeetingProbe::residentMemoryMiB();
        peak_ = now;
        return now;
    }
    [[nodiscard]] double peak() const {
        return std::max(peak_.load(), MeetingProbe::residentMemoryMiB());
    }

  private:
    void run() {
        while (!stop_) {
            const double now = MeetingProbe::residentMemoryMiB();
            double seen = peak_;
            while (now > seen && !peak_.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    std::atomic<double> peak_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double cpuSeconds(int who) {
    rusage usage{};
    ::getrusage(who, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + (static_cast<double>(time.tv_usec) / 1e6);
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall-clock and processor seconds of one run; the best of several runs is kept, as
// other work on the machine only ever adds to either.
struct Timing {
    double wall = 1e9;
    double cpu = 1e9;
    void keepBest(double runWall, double runCpu) {
        wall = std::min(wall, runWall);
        cpu = std::min(cpu, runCpu);
    }
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int runQuietly(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

double durationOf(const fs::path& file) {
    auto opened = Platform::current().audioCodecs->openFile(file);
    if (std::holds_alternative<AudioError>(opened)) {
        return 0;
    }
    return std::get<0>(opened)->info().durationSeconds();
}

}  // namespace

int main(int argc, char** argv) {
    const long minutes = argc > 1 ? std::atol(argv[1]) : 60;
    const bool burst = argc > 2 && std::string(argv[2]) == "--burst";
    const long blocks = minutes * 600;
    const auto rawBytes = static_cast<std::uintmax_t>(blocks) * kBlockFrames * 2;

    const testing::MeetingFolders folders;
    fake::FakePlatform platform;
    Platform::current().audioCodecs = std::make_unique<linux_backend::AvAudioCodecs>();
    Platform::current().serialQueues = std::make_unique<ThreadSerialQueues>();

    auto block = AudioBlock::make(AudioFormat::meeting(), kBlockFrames);
    block->setFrameLength(kBlockFrames);
    for (std::uint32_t n = 0; n < kBlockFrames; ++n) {
        block->floats(0)[n] =
            static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * n / 16000.0));
    }

    MemorySampler memory;
    std::optional<MeetingRecorder> recorder(std::in_place);
    recorder->start();
    if (!recorder->isRunning()) {
        static_cast<void>(std::fprintf(stderr, "the recorder did not start\n"));
        return 1;
    }
    const std::vector<fs::path> meeting = folders.meetingFolders();
    if (meeting.size() != 1) {
        static_cast<void>(std::fprintf(stderr, "no meeting folder\n"));
        return 1;
    }
    const fs::path mic = meeting[0] / "mic.pcm";
    const fs::path system = meeting[0] / "system.pcm";
    std::error_code error;
    const auto waitForWrites = [&](std::uintmax_t bytes) {
        while (fs::file_size(mic, error) < bytes || fs::file_size(system, error) < bytes) {
            std::this_thread::sleep_for(100us);
        }
    };

    const double recordStart = memory.reset();
    const auto feedStart = Clock::now();
    for (long k = 0; k < blocks; ++k) {
        recorder->append(CaptureSource::microphone, *block);
        recorder->append(CaptureSource::system, *block);
        // Without --burst, every 10 s of audio is on disk before the next is fed, so
        // that the figure shows what grows with the meeting's length rather than the
        // queue holding what a feed far faster than real time has not yet written.
        if (!burst && (k + 1) % 100 == 0) {
            waitForWrites(static_cast<std::uintmax_t>(k + 1) * kBlockFrames * 2);
        }
    }
    const double feedSeconds = secondsSince(feedStart);
    waitForWrites(rawBytes);
    const double writtenSeconds = secondsSince(feedStart);
    const double recordPeak = memory.peak();
    const double recordEnd = MeetingProbe::residentMemoryMiB();
    // Kept for ffmpeg after finish() removes the folder.
    const fs::path keptMic = folders.home() / "mic.pcm";
    const fs::path keptSystem = folders.home() / "system.pcm";
    fs::create_hard_link(mic, keptMic);
    fs::create_hard_link(system, keptSystem);

    const double mixStart = memory.reset();
    std::optional<std::optional<fs::path>> saved;
    Timing ours;
    auto wallStart = Clock::now();
    double cpuStart = cpuSeconds(RUSAGE_SELF);
    recorder->finish([&](std::optional<fs::path> path) { saved = std::move(path); });
    if (!platform.queue.runUntil([&] { return saved.has_value(); }, 30min) || !*saved) {
        static_cast<void>(std::fprintf(stderr, "finish() saved nothing\n"));
        return 1;
    }
    ours.keepBest(secondsSince(wallStart), cpuSeconds(RUSAGE_SELF) - cpuStart);
    const double mixPeak = memory.peak();
    recorder.reset();
    // The same mix again on the kept files, for a fair best of three.
    for (int run = 0; run < 2; ++run) {
        wallStart = Clock::now();
        cpuStart = cpuSeconds(RUSAGE_SELF);
        auto again = MeetingMix::mix(*Platform::current().audioCodecs, keptMic, keptSystem,
                                     "bench " + std::to_string(run));
        ours.keepBest(secondsSince(wallStart), cpuSeconds(RUSAGE_SELF) - cpuStart);
        if (auto* path = std::get_if<fs::path>(&again)) {
            fs::remove(*path, error);
        }
    }

    const fs::path theirs = folders.home() / "out.m4a";
    Timing ffmpeg;
    for (int run = 0; run < 3; ++run) {
        wallStart = Clock::now();
        cpuStart = cpuSeconds(RUSAGE_CHILDREN);
        const int status = runQuietly({"ffmpeg",
                                       "-nostdin",
                                       "-y",
                                       "-f",
                                       "s16le",
                                       "-ar",
                                       "16000",
                                       "-ac",
                                       "1",
                                       "-i",
                                       keptMic.string(),
                                       "-f",
                                       "s16le",
                                       "-ar",
                                       "16000",
                                       "-ac",
                                       "1",
                                       "-i",
                                       keptSystem.string(),
                                       "-filter_complex",
                                       "amix=inputs=2:normalize=0",
                                       "-c:a",
                                       "aac",
                                       "-b:a",
                                       "32k",
                                       "-ar",
                                       "16000",
                                       "-ac",
                                       "1",
                                       theirs.string()});
        ffmpeg.keepBest(secondsSince(wallStart), cpuSeconds(RUSAGE_CHILDREN) - cpuStart);
        if (status != 0) {
            static_cast<void>(std::fprintf(stderr, "ffmpeg failed (%d)\n", status));
            return 1;
        }
    }

    const double seconds = static_cast<double>(minutes) * 60;
    std::printf("a %ld-minute meeting, both sources (%.1f MiB of raw audio each)\n", minutes,
                static_cast<double>(rawBytes) / (1024.0 * 1024.0));
    std::printf("recording (%s): fed in %.2f s, on disk after %.2f s\n",
                burst ? "all blocks at once" : "10 s of audio at a time", feedSeconds,
                writtenSeconds);
    std::printf(
        "  resident memory (MiB): start %.1f, peak %.1f, after the writes %.1f; "
        "growth %.1f (goal under 2)\n",
        recordStart, recordPeak, recordEnd, recordPeak - recordStart);
    std::printf("mixing: resident memory (MiB) start %.1f, peak %.1f; growth %.1f\n", mixStart,
                mixPeak, mixPeak - mixStart);
    std::printf("best of 3 runs      %12s %12s %12s %10s %9s\n", "wall s", "processor s",
                "x realtime", "length s", "MiB");
    std::printf("%-19s %12.2f %12.2f %12.0f %10.2f %9.2f\n", "ours: mix + AAC", ours.wall, ours.cpu,
                seconds / ours.wall, durationOf(**saved),
                static_cast<double>(fs::file_size(**saved)) / (1024.0 * 1024.0));
    std::printf("%-19s %12.2f %12.2f %12.0f %10.2f %9.2f\n", "ffmpeg amix + aac", ffmpeg.wall,
                ffmpeg.cpu, seconds / ffmpeg.wall, durationOf(theirs),
                static_cast<double>(fs::file_size(theirs)) / (1024.0 * 1024.0));
    std::printf("time ours / ffmpeg's: wall %.2f, processor %.2f (goal at most 0.9)\n",
                ours.wall / ffmpeg.wall, ours.cpu / ffmpeg.cpu);
    const std::string meetingName = std::to_string(minutes) + "-min meeting";
    bench::reportFigure("recording a " + meetingName + ": memory growth", recordPeak - recordStart,
                        "MiB");
    bench::reportFigure("mixing a " + meetingName + ": memory growth", mixPeak - mixStart, "MiB");
    bench::reportFigure("mix + AAC of a " + meetingName + ": wall time", ours.wall, "s",
                        bench::Reference{"ffmpeg amix+aac", ffmpeg.wall});
    bench::reportFigure("mix + AAC of a " + meetingName + ": processor time", ours.cpu, "s",
                        bench::Reference{"ffmpeg amix+aac", ffmpeg.cpu});
    return 0;
}
