// A meeting of N minutes through the meeting controller on the real Linux platform
// (pocketsphinx, FFmpeg, the recorder, the upload to a loopback stand-in service), with
// only the sound server replaced by the scripted one: the LibriVox recordings of
// pocketsphinx-testdata, looped, resampled by sox to each device's format (the
// microphone 44.1 kHz stereo, the system audio 48 kHz stereo), are handed to both
// streams in 100 ms blocks in real time (or `speed` times faster). "start" and "stop"
// go to the controller as the page's messages. The meeting runs four times: with the
// recogniser's live search settings and with pocketsphinx's defaults (its settings
// before), each on a quiet machine and beside two busy threads of this process that
// compete for the cores (a video call on a laptop). Figures of each: processor time
// per minute of meeting while recording (the busy threads' own left out), the largest
// backlog of the decoders (how far the transcript ran behind the sound, from the
// session's closing log line), the main thread's longest stall (gap between heartbeats
// posted every 10 ms, beyond those 10 ms) while recording and while stopping, the time
// from "stop" to the upload of the recording (the page's meetingAudioReady follows it
// at once) and from "stop" to the meeting's end, which waits for the transcript's last
// segment. The command-line decoder on the same minutes of sound is the reference for
// processor time. Run under
// xvfb-run -a dbus-run-session -- build/bench/meeting_load [minutes] [speed]
// (default 2 minutes in real time: the sound arrives at the pace of a real meeting).

#include <gtk/gtk.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "base/Settings.h"
#include "fixtures/SpeechAudio.h"
#include "fixtures/StandInService.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "platform/MainQueue.h"
#include "platform/fake/ScriptedSoundServer.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/SphinxSpeechRecognizer.h"
#include "web/MeetingController.h"

namespace {

using namespace pagemate;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kHeartbeat = 10ms;
constexpr std::uint32_t kBlockMilliseconds = 100;

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + (static_cast<double>(time.tv_usec) / 1e6);
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The processor seconds of each of the process's live threads, summed by thread name
// (from /proc/self/task/*/stat; a thread that has ended is no longer counted).
std::map<std::string, double> threadCpuSeconds() {
    std::map<std::string, double> byName;
    const auto ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/self/task", error)) {
        std::ifstream statFile(task.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(statFile)),
                         std::istreambuf_iterator<char>());
        // The name, in parentheses, may hold spaces: the fields are counted after it.
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream fields(stat.substr(close + 2));
        std::string field;
        double user = 0;
        double system = 0;
        // Fields 3 to 13, then utime (14) and stime (15).
        for (int index = 3; index <= 15 && fields >> field; ++index) {
            if (index == 14) {
                user = std::atof(field.c_str());
            } else if (index == 15) {
                system = std::atof(field.c_str());
            }
        }
        byName[stat.substr(open + 1, close - open - 1)] += (user + system) / ticks;
    }
    return byName;
}

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A task posted on the main queue every 10 ms; the largest gap between two of them
// beyond those 10 ms is the longest stall of the main thread since the last reset.
class Heartbeat {
  public:
    void start() {
        last_ = Clock::now();
        beat();
    }
    // The longest stall so far (ms); starts a new period.
    double reset() {
        const double worst = worst_;
        worst_ = 0;
        return worst;
    }
    // When the longest stall of the period ended.
    [[nodiscard]] Clock::time_point worstEnded() const { return worstEnded_; }
    void stop() { stopped_ = true; }

  private:
    // A stall longer than this is written to standard error with the time of day it
    // ended, to be matched with the log's lines.
    static constexpr double kReportedStall = 20;
    static void report(double stall) {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        tm local{};
        ::localtime_r(&seconds, &local);
        const auto millis =
            std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
            1000;
        static_cast<void>(std::fprintf(
            stderr, "[%02d:%02d:%02d.%03lld] main thread stalled %.0f ms\n", local.tm_hour,
            local.tm_min, local.tm_sec, static_cast<long long>(millis), stall));
    }

    void beat() {
        if (stopped_) {
            return;
        }
        const auto now = Clock::now();
        const double stall = millisecondsBetween(last_, now) -
                             std::chrono::duration<double, std::milli>(kHeartbeat).count();
        if (stall > kReportedStall) {
            report(stall);
        }
        if (stall > worst_) {
            worst_ = stall;
            worstEnded_ = now;
        }
        last_ = now;
        Platform::current().mainQueue->postAfter(kHeartbeat, [this] { beat(); });
    }
    Clock::time_point last_;
    Clock::time_point worstEnded_;
    double worst_ = 0;
    bool stopped_ = false;
};

// The LibriVox sentences one after another, resampled by sox to `rate` Hz stereo
// float32 interleaved; empty when sox failed.
std::vector<std::byte> librivoxAt(const fs::path& folder, int rate) {
    const fs::path joined = folder / "librivox.raw";
    const fs::path converted = folder / ("librivox-" + std::to_string(rate) + ".raw");
    {
        std::ofstream out(joined, std::ios::binary);
        for (const testing::LibrivoxSentence& sentence : testing::librivoxSentences()) {
            out.write(reinterpret_cast<const char*>(sentence.samples.data()),  // NOLINT
                      static_cast<std::streamsize>(sentence.samples.size() * sizeof(std::int16_t)));
        }
    }
    const std::string command = "sox -q -t raw -r 16000 -e signed -b 16 -c 1 '" + joined.string() +
                                "' -t raw -r " + std::to_string(rate) +
                                " -e floating-point -b 32 -c 2 '" + converted.string() + "'";
    if (std::system(command.c_str()) != 0) {  // NOLINT(cert-env33-c): a fixed tool
        return {};
    }
    std::ifstream in(converted, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::byte> result(bytes.size());
    std::transform(bytes.begin(), bytes.end(), result.begin(),
                   [](char byte) { return static_cast<std::byte>(byte); });
    return result;
}

// Hands a looped recording to a stream, one block at a time.
class Looper {
  public:
    Looper(std::vector<std::byte> sound, const AudioFormat& format, std::size_t offset)
        : sound_(std::move(sound)),
          blockBytes_(static_cast<std::size_t>(format.sampleRate) * kBlockMilliseconds / 1000 *
                      format.bytesPerFrame()),
          position_((offset / format.bytesPerFrame()) * format.bytesPerFrame() % sound_.size()) {}

    fake::FakeFragment next() {
        std::vector<std::byte> block;
        block.reserve(blockBytes_);
        while (block.size() < blockBytes_) {
            const std::size_t take =
                std::min(blockBytes_ - block.size(), sound_.size() - position_);
            block.insert(block.end(), sound_.begin() + static_cast<std::ptrdiff_t>(position_),
                         sound_.begin() + static_cast<std::ptrdiff_t>(position_ + take));
            position_ = (position_ + take) % sound_.size();
        }
        return {std::move(block)};
    }

  private:
    std::vector<std::byte> sound_;
    std::size_t blockBytes_;
    std::size_t position_;
};

// Two threads that keep both cores busy while they live; their processor time is told
// apart by their name.
class CompetingLoad {
  public:
    static constexpr const char* name = "busy-load";
    CompetingLoad() {
        for (auto& thread : threads_) {
            thread = std::jthread([](const std::stop_token& stop) {
                pthread_setname_np(pthread_self(), name);
                std::atomic<std::uint64_t> spins{0};
                while (!stop.stop_requested()) {
                    spins.fetch_add(1, std::memory_order_relaxed);
                }
            });
        }
    }

  private:
    std::array<std::jthread, 2> threads_;
};

double busyLoadSeconds() {
    const auto threads = threadCpuSeconds();
    const auto busy = threads.find(CompetingLoad::name);
    return busy == threads.end() ? 0 : busy->second;
}

// The command-line decoder's processor seconds on `minutes` of the looped sentences.
double commandLineSeconds(const fs::path& folder, double minutes) {
    std::vector<std::int16_t> looped;
    const auto sentences = testing::librivoxSentences();
    while (static_cast<double>(looped.size()) < minutes * 60 * 16000) {
        for (const auto& sentence : sentences) {
            looped.insert(looped.end(), sentence.samples.begin(), sentence.samples.end());
        }
    }
    looped.resize(static_cast<std::size_t>(minutes * 60 * 16000));
    const fs::path wav = folder / "looped.wav";
    testing::writeWav16(wav, looped);
    rusage before{};
    ::getrusage(RUSAGE_CHILDREN, &before);
    const std::string command =
        "pocketsphinx_continuous -infile '" + wav.string() + "' -logfn /dev/null >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {  // NOLINT(cert-env33-c): a fixed tool
        return -1;
    }
    rusage after{};
    ::getrusage(RUSAGE_CHILDREN, &after);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + (static_cast<double>(time.tv_usec) / 1e6);
    };
    return seconds(after.ru_utime) + seconds(after.ru_stime) - seconds(before.ru_utime) -
           seconds(before.ru_stime);
}

struct Variant {
    const char* name;
    linux_backend::SphinxTuning tuning;
    bool loaded;
};

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 2;
    const double speed = argc > 2 ? std::max(0.1, std::atof(argv[2])) : 1;
    if (!gtk_init_check(nullptr, nullptr)) {
        static_cast<void>(std::fprintf(stderr, "no display: run under xvfb-run\n"));
        return 1;
    }
    const testing::MeetingFolders folders;
    testing::StandInService service;
    service.answer("/api/meeting/audio", 200, R"({"id":"m-1","filename":"会议.m4a"})");

    Platform::install(linux_backend::makeLinuxPlatform(true));
    auto scripted = std::make_unique<fake::ScriptedSoundServer>();
    fake::ScriptedSoundServer& sound = *scripted;
    Platform::current().sound = std::move(scripted);
    const AudioFormat micFormat{SampleType::float32, 44100, 2, true};
    const AudioFormat systemFormat{SampleType::float32, 48000, 2, true};
    sound.setFormat(SoundDeviceKind::defaultInput, micFormat);
    sound.setFormat(SoundDeviceKind::outputMonitor, systemFormat);

    std::vector<std::byte> micSound = librivoxAt(folders.tmp(), 44100);
    std::vector<std::byte> systemSound = librivoxAt(folders.tmp(), 48000);
    if (micSound.empty() || systemSound.empty()) {
        static_cast<void>(
            std::fprintf(stderr, "no LibriVox sound: pocketsphinx-testdata and sox are needed\n"));
        return 1;
    }
    const std::size_t micHalf = micSound.size() / 2;
    Looper mic(std::move(micSound), micFormat, micHalf);
    Looper system(std::move(systemSound), systemFormat, 0);

    Settings::shared().setRuntimeBaseURL(service.base());
    Settings::shared().setRecordMeetingAudio(true);
    MainQueue& main = *Platform::current().mainQueue;
    int result = 0;
    const double cliSeconds = commandLineSeconds(folders.tmp(), minutes);
    std::printf(
        "pocketsphinx_continuous on %.1f min of the same sentences: %.2f CPU s per minute\n",
        minutes, cliSeconds / minutes);
    const std::vector<Variant> variants = {
        {"live settings", linux_backend::SphinxTuning::live, false},
        {"pocketsphinx's defaults", linux_backend::SphinxTuning::engineDefaults, false},
        {"live settings, 2 busy threads", linux_backend::SphinxTuning::live, true},
        {"pocketsphinx's defaults, 2 busy threads", linux_backend::SphinxTuning::engineDefaults,
         true},
    };
    for (const Variant& variant : variants) {
        Platform::current().speech = std::make_unique<linux_backend::SphinxSpeechRecognizer>(
            linux_backend::SphinxModelLocations::standard(), *Platform::current().preferences,
            variant.tuning);
        std::optional<CompetingLoad> load;
        if (variant.loaded) {
            load.emplace();
        }
        const testing::LogCapture log;
        const auto controller = MeetingController::create();
        std::string lastStatus;
        Clock::time_point audioReadyAt;
        controller->onStatusChange = [&](const std::string& text) {
            // The page's meetingAudioReady is evaluated just before the meeting ends.
            if (text == "会议记录已结束") {
                audioReadyAt = Clock::now();
            }
            lastStatus = text;
        };
        Heartbeat heartbeat;
        heartbeat.start();

        controller->handleMessage({{"action", "start"}});
        main.runFor(30s, [&] {
            return controller->state() != MeetingState::idle &&
                   controller->state() != MeetingState::starting;
        });
        if (controller->state() != MeetingState::recording) {
            static_cast<void>(
                std::fprintf(stderr, "the meeting did not start (%s)\n", lastStatus.c_str()));
            return 1;
        }
        const auto micStream = sound.stream(SoundDeviceKind::defaultInput);
        const auto systemStream = sound.stream(SoundDeviceKind::outputMonitor);
        if (!micStream || !systemStream) {
            static_cast<void>(std::fprintf(stderr, "the capture opened no streams\n"));
            return 1;
        }

        // The sound arrives from a thread of its own, as a sound server's would.
        const auto blocks = static_cast<long>(minutes * 60 * 1000 / kBlockMilliseconds);
        std::atomic<bool> fed{false};
        const auto threadsBefore = threadCpuSeconds();
        const double cpuBefore = cpuSeconds() - busyLoadSeconds();
        const auto recordingFrom = Clock::now();
        heartbeat.reset();
        std::thread feeder([&] {
            const auto pace = std::chrono::duration<double, std::milli>(kBlockMilliseconds / speed);
            const auto from = Clock::now();
            for (long block = 0; block < blocks; ++block) {
                micStream->deliver(mic.next());
                systemStream->deliver(system.next());
                std::this_thread::sleep_until(
                    from + std::chrono::duration_cast<Clock::duration>(pace * (block + 1)));
            }
            micStream->flush();
            systemStream->flush();
            fed = true;
        });
        while (!fed) {
            main.runFor(100ms, [&] { return fed.load(); });
        }
        feeder.join();
        const double recordingSeconds =
            std::chrono::duration<double>(Clock::now() - recordingFrom).count();
        const double cpuRecording = cpuSeconds() - busyLoadSeconds() - cpuBefore;
        auto threadsRecording = threadCpuSeconds();
        for (const auto& [name, seconds] : threadsBefore) {
            threadsRecording[name] -= seconds;
        }
        const double stallRecording = heartbeat.reset();

        const auto stopAt = Clock::now();
        const double cpuBeforeStop = cpuSeconds() - busyLoadSeconds();
        const std::size_t requestsBefore = service.received().size();
        std::optional<Clock::time_point> uploadedAt;
        controller->handleMessage({{"action", "stop"}});
        main.runFor(600s, [&] {
            if (!uploadedAt && service.received().size() > requestsBefore) {
                uploadedAt = Clock::now();
            }
            return controller->state() == MeetingState::idle;
        });
        const double stopMilliseconds = millisecondsBetween(stopAt, audioReadyAt);
        const double recordingReadyMilliseconds =
            uploadedAt ? millisecondsBetween(stopAt, *uploadedAt) : -1.0;
        const double cpuStop = cpuSeconds() - busyLoadSeconds() - cpuBeforeStop;
        double largestBacklog = -1;
        for (const std::string& line : log.messages()) {
            if (line.starts_with("会议转写：识别最多落后录音 ")) {
                largestBacklog =
                    std::atof(line.c_str() + std::string("会议转写：识别最多落后录音 ").size());
            }
        }
        const double stallStopAt = millisecondsBetween(stopAt, heartbeat.worstEnded());
        const double stallStop = heartbeat.reset();
        heartbeat.stop();

        bool uploaded = false;
        for (const auto& request : service.received()) {
            uploaded = uploaded || (request.path == "/api/meeting/audio" && !request.body.empty());
        }
        const bool ended = controller->state() == MeetingState::idle && audioReadyAt >= stopAt;

        std::printf("\n%s: meeting of %.1f min, sound fed at %.1fx real time (%.0f s)\n",
                    variant.name, minutes, speed, recordingSeconds);
        std::printf("%-40s %12s\n", "figure", "value");
        std::printf("%-40s %12.2f\n", "CPU s per minute of meeting (recording)",
                    cpuRecording / minutes);
        std::printf("%-40s %12.1f\n", "longest main-thread stall, recording (ms)", stallRecording);
        std::printf("%-40s %12.1f\n", "longest main-thread stall, stopping (ms)", stallStop);
        std::printf("%-40s %12.0f\n", "  that stall ended, after stop (ms)", stallStopAt);
        std::printf("%-40s %12.1f\n", "largest backlog of the decoders (s)", largestBacklog);
        std::printf("%-40s %12.0f\n", "stop to recording uploaded (ms)",
                    recordingReadyMilliseconds);
        std::printf("%-40s %12.0f\n", "stop to meeting over, last segment in (ms)",
                    ended ? stopMilliseconds : -1.0);
        std::printf("%-40s %12.2f\n", "CPU s during the stop", cpuStop);
        std::printf("%-40s %12s\n", "recording uploaded", uploaded ? "yes" : "no");
        std::printf("%-40s %12s\n", "stalls within 50 ms",
                    stallRecording <= 50 && stallStop <= 50 ? "yes" : "NO");
        std::printf("CPU s per minute of meeting by thread while recording (over 0.05):\n");
        for (const auto& [name, seconds] : threadsRecording) {
            if (seconds / minutes > 0.05) {
                std::printf("  %-38s %12.2f\n", name.c_str(), seconds / minutes);
            }
        }
        char meeting[160];
        (void)std::snprintf(meeting, sizeof meeting, "meeting of %.0f min, %s: ", minutes,
                            variant.name);
        const std::string prefix(meeting);
        bench::reportFigure(
            prefix + "CPU per minute while recording", cpuRecording / minutes, "s",
            bench::Reference{"pocketsphinx_continuous, one channel", cliSeconds / minutes});
        bench::reportFigure(prefix + "largest backlog", largestBacklog, "s");
        bench::reportFigure(prefix + "longest main-thread stall, recording", stallRecording, "ms");
        bench::reportFigure(prefix + "longest main-thread stall, stopping", stallStop, "ms");
        bench::reportFigure(prefix + "stop to recording ready", recordingReadyMilliseconds, "ms");
        if (ended) {
            bench::reportFigure(prefix + "stop to last segment", stopMilliseconds, "ms");
        }
        result = ended && uploaded ? result : 1;
        if (!ended) {
            static_cast<void>(
                std::fprintf(stderr, "the meeting did not end (%s)\n", lastStatus.c_str()));
        }
    }
    Platform::uninstall();
    return result;
}
