#include "diagnostics/MeetingProbe.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <numbers>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

#include "diagnostics/ProbeMeeting.h"
#include "diagnostics/ProbeReport.h"
#include "meeting/RecordingFiles.h"
#include "platform/Platform.h"

namespace pagemate::MeetingProbe {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::uint32_t kBlockFrames = 1600;
constexpr double kMiB = 1024.0 * 1024.0;

using Report = ProbeReport;

// One running test.
struct Probe {
    std::shared_ptr<Report> report = std::make_shared<Report>();
    Completion completion;
    bool readBack = false;

    // Hands over the final report; the watchdog stands down.
    void complete(json values) {
        report->done = true;
        report->values = values;
        if (completion) {
            Completion done = std::move(completion);
            done(std::move(values));
        }
    }
};

std::shared_ptr<AudioBlock> toneBlock(double frequency, double amplitude, std::uint64_t start) {
    std::shared_ptr<AudioBlock> block = AudioBlock::make(AudioFormat::meeting(), kBlockFrames);
    block->setFrameLength(kBlockFrames);
    const std::span<float> samples = block->floats(0);
    for (std::uint32_t n = 0; n < kBlockFrames; ++n) {
        samples[n] = static_cast<float>(
            amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(start + n) /
                                 RecordingFiles::sampleRate));
    }
    return block;
}

double cutToTenths(double value) {
    return std::floor(value * 10) / 10;
}

std::uintmax_t fileSize(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

// `blocks` blocks of a tone, then the end of the sound.
PlayedStream::Next tone(double frequency, double amplitude, std::uint64_t blocks) {
    return [frequency, amplitude, blocks, played = std::uint64_t{0}]() mutable -> AudioBlockPtr {
        if (played == blocks) {
            return nullptr;
        }
        return toneBlock(frequency, amplitude, kBlockFrames * played++);
    };
}

// The probe's meeting, recorded and not transcribed. When it is over: the recorder's
// failures, or what `readBack` made of the saved file.
void recordMeeting(const std::shared_ptr<Probe>& probe, ProbeMeeting::Sound sound,
                   std::function<void(Probe&, const fs::path&)> readBack,
                   const std::string& finishError, std::function<void()> played = {}) {
    auto meeting = ProbeMeeting::make(std::move(sound), true, false);
    meeting->played = std::move(played);
    meeting->saved = [probe, readBack = std::move(readBack)](const fs::path& saved) {
        probe->readBack = true;
        readBack(*probe, saved);
    };
    meeting->over = [probe, weak = std::weak_ptr(meeting),
                     finishError](const std::optional<std::string>& /*startError*/) {
        if (const auto held = weak.lock(); held && held->recorderFailed) {
            probe->complete({{"ok", false}, {"error", "录音器没能启动"}});
        } else if (!probe->readBack) {
            probe->complete({{"ok", false}, {"error", finishError}});
        } else {
            probe->complete(probe->report->values);
        }
    };
    meeting->start();
}

void readBackShort(Probe& probe, const fs::path& path) {
    json& values = probe.report->values;
    const std::uintmax_t bytes = fileSize(path);
    values["path"] = path.string();
    values["bytes"] = bytes;
    auto opened = Platform::current().audioCodecs->openFile(path);
    if (auto* error = std::get_if<AudioError>(&opened)) {
        values["error"] = "生成的 m4a 读不回来：" + error->description;
        values["ok"] = false;
    } else {
        const AudioFileReader::Info& info = std::get<0>(opened)->info();
        const double duration = info.durationSeconds();
        values["durationSeconds"] = cutToTenths(duration);
        values["sampleRate"] = static_cast<std::int64_t>(info.sampleRate);
        values["channels"] = info.channels;
        values["ok"] = duration > 25 && bytes > 2000;
        values["effectiveKbps"] = static_cast<std::int64_t>(static_cast<double>(bytes) * 8 /
                                                            std::max(duration, 0.1) / 1000);
        values["note"] = "用合成音验证混音与 AAC 编码；输出已删除，避免占用「音乐」目录";
    }
    std::error_code ignored;
    fs::remove(path, ignored);
}

void readBackLong(Probe& probe, const fs::path& path, std::int64_t minutes) {
    json& values = probe.report->values;
    const std::uintmax_t bytes = fileSize(path);
    values["outputMB"] = std::round(static_cast<double>(bytes) / kMiB * 10) / 10;
    auto opened = Platform::current().audioCodecs->openFile(path);
    if (auto* error = std::get_if<AudioError>(&opened)) {
        values["error"] = "输出读不回来：" + error->description;
        values["ok"] = false;
    } else {
        const double outputMinutes = std::get<0>(opened)->info().durationSeconds() / 60;
        values["outputMinutes"] = static_cast<std::int64_t>(std::round(outputMinutes));
        values["ok"] = std::fabs(outputMinutes - static_cast<double>(minutes)) < 1 && bytes > 1000;
        values["note"] = "memoryGrowthMB 是关键：越接近 0 说明长时间录制不会越吃越多内存";
    }
    std::error_code ignored;
    fs::remove(path, ignored);
}

// minutes × 6 + 300 seconds, for minutes within the bounds.
std::chrono::seconds longWatchdog(std::int64_t minutes) {
    return std::chrono::seconds(
        (std::clamp(minutes, minLongRecordMinutes, maxLongRecordMinutes) * 6) + 300);
}

}  // namespace

double residentMemoryMiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmRSS:")) {
            std::istringstream fields(line.substr(6));
            double kilobytes = 0;
            if (fields >> kilobytes) {
                return kilobytes / 1024.0;
            }
        }
    }
    return 0;
}

std::uintmax_t bytesUnder(const fs::path& folder) {
    std::uintmax_t total = 0;
    std::error_code error;
    fs::recursive_directory_iterator entry(folder, fs::directory_options::skip_permission_denied,
                                           error);
    for (const fs::recursive_directory_iterator end; !error && entry != end;
         entry.increment(error)) {
        std::error_code kind;
        if (entry->is_regular_file(kind) && !entry->is_symlink(kind)) {
            total += fileSize(entry->path());
        }
    }
    return total;
}

void recordTest(Completion completion, const Options& options) {
    auto probe = std::make_shared<Probe>();
    probe->completion = std::move(completion);
    armProbeWatchdog(
        probe->report, std::chrono::seconds(60), "超时（60 秒）",
        options.reportPath.empty() ? fs::path(recordTestReportPath) : options.reportPath);
    constexpr std::uint64_t kBlocks = 300;
    ProbeMeeting::Sound sound;
    sound.microphone = tone(440, 0.35, kBlocks);
    sound.system = tone(660, 0.35, kBlocks);
    sound.pause = options.feedPause.value_or(std::chrono::microseconds(0));
    recordMeeting(probe, std::move(sound), readBackShort, "录音收尾失败（混音或编码报错）");
    probe->report->values["fedSeconds"] = 30;
}

void longRecordTest(std::int64_t minutes, Completion completion, const Options& options) {
    auto probe = std::make_shared<Probe>();
    probe->completion = std::move(completion);
    if (minutes < minLongRecordMinutes || minutes > maxLongRecordMinutes) {
        probe->complete({{"ok", false},
                         {"error", "分钟数超出范围（" + std::to_string(minLongRecordMinutes) +
                                       " 到 " + std::to_string(maxLongRecordMinutes) + "）：" +
                                       std::to_string(minutes)}});
        return;
    }
    armProbeWatchdog(
        probe->report, longWatchdog(minutes), "超时",
        options.reportPath.empty() ? fs::path(longRecordTestReportPath) : options.reportPath);
    // The same block on both sources, a pause after each as a meeting's blocks come;
    // the resident memory sampled every fifth one.
    struct Feed {
        std::shared_ptr<AudioBlock> block = toneBlock(440, 0.3, 0);
        std::int64_t blocks = 0;
        std::int64_t fed = 0;
        double start = residentMemoryMiB();
        double peak = start;
        std::chrono::steady_clock::time_point began = std::chrono::steady_clock::now();
        std::chrono::steady_clock::time_point finishing;
    };
    auto feed = std::make_shared<Feed>();
    feed->blocks = minutes * 600;
    ProbeMeeting::Sound sound{[feed]() -> AudioBlockPtr {
                                  if (feed->fed == feed->blocks) {
                                      return nullptr;
                                  }
                                  if (feed->fed++ % 5 == 0) {
                                      feed->peak = std::max(feed->peak, residentMemoryMiB());
                                  }
                                  return feed->block;
                              },
                              [feed, left = feed->blocks]() mutable -> AudioBlockPtr {
                                  return left-- > 0 ? feed->block : nullptr;
                              },
                              options.feedPause.value_or(std::chrono::microseconds(1600))};
    const auto played = [probe, feed, minutes] {
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - feed->began;
        json& values = probe->report->values;
        values["fedMinutes"] = minutes;
        values["feedSeconds"] = took.count();
        values["memoryStartMB"] = feed->start;
        values["memoryPeakMB"] = feed->peak;
        values["memoryGrowthMB"] = feed->peak - feed->start;
        values["tempAllSimilarMB"] =
            bytesUnder(RecordingFiles::temporaryDirectory()) / static_cast<std::uintmax_t>(kMiB);
        feed->finishing = std::chrono::steady_clock::now();
    };
    const auto readBack = [feed, minutes](Probe& done, const fs::path& saved) {
        const std::chrono::duration<double> encode =
            std::chrono::steady_clock::now() - feed->finishing;
        done.report->values["encodeSeconds"] =
            static_cast<std::int64_t>(std::round(encode.count()));
        readBackLong(done, saved, minutes);
    };
    recordMeeting(probe, std::move(sound), readBack, "录音收尾失败", played);
}

}  // namespace pagemate::MeetingProbe
