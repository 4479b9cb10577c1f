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

#include "diagnostics/ProbeReport.h"
#include "diagnostics/ReportFile.h"
#include "meeting/MeetingRecorder.h"
#include "meeting/RecordingFiles.h"
#include "platform/Platform.h"

namespace pagemate::MeetingProbe {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::uint32_t kBlockFrames = 1600;
constexpr double kMiB = 1024.0 * 1024.0;

using Report = ProbeReport;

// One running test and its recorder.
struct Probe {
    std::shared_ptr<Report> report = std::make_shared<Report>();
    Completion completion;
    std::unique_ptr<MeetingRecorder> recorder;

    // Hands over the final report; the watchdog stands down.
    void complete(json values) {
        report->done = true;
        report->values = values;
        recorder.reset();
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

std::unique_ptr<MeetingRecorder> startedRecorder() {
    auto recorder = std::make_unique<MeetingRecorder>();
    recorder->start();
    return recorder->isRunning() ? std::move(recorder) : nullptr;
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
    probe->recorder = startedRecorder();
    if (!probe->recorder) {
        probe->complete({{"ok", false}, {"error", "录音器没能启动"}});
        return;
    }
    constexpr std::uint64_t kBlocks = 300;
    for (std::uint64_t k = 0; k < kBlocks; ++k) {
        probe->recorder->append(CaptureSource::microphone, *toneBlock(440, 0.35, k * kBlockFrames));
        probe->recorder->append(CaptureSource::system, *toneBlock(660, 0.35, k * kBlockFrames));
    }
    probe->report->values["fedSeconds"] = 30;
    probe->recorder->finish([probe](const std::optional<fs::path>& saved) {
        if (!saved) {
            probe->complete({{"ok", false}, {"error", "录音收尾失败（混音或编码报错）"}});
            return;
        }
        readBackShort(*probe, *saved);
        probe->complete(probe->report->values);
    });
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
    probe->recorder = startedRecorder();
    if (!probe->recorder) {
        probe->complete({{"ok", false}, {"error", "录音器没能启动"}});
        return;
    }
    const std::int64_t blocks = minutes * 600;
    MainQueue& main = *Platform::current().mainQueue;
    // The feed pauses between blocks as a meeting does; the main loop keeps running.
    // The thread holds the probe until it hands it to the main queue with its figures;
    // the program's end stops it between two blocks.
    Platform::current().background.run(
        "pagemate-feed", [self = probe, &main, blocks, minutes,
                          pause = options.feedPause](const std::stop_token& stop) mutable {
            const std::shared_ptr<AudioBlock> block = toneBlock(440, 0.3, 0);
            const double start = residentMemoryMiB();
            double peak = start;
            const auto began = std::chrono::steady_clock::now();
            for (std::int64_t index = 0; index < blocks && !stop.stop_requested(); ++index) {
                self->recorder->append(CaptureSource::microphone, *block);
                self->recorder->append(CaptureSource::system, *block);
                if (index % 5 == 0) {
                    peak = std::max(peak, residentMemoryMiB());
                }
                std::this_thread::sleep_for(pause);
            }
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
            main.post([self = std::move(self), minutes, start, peak, seconds = took.count()] {
                json& values = self->report->values;
                values["fedMinutes"] = minutes;
                values["feedSeconds"] = seconds;
                values["memoryStartMB"] = start;
                values["memoryPeakMB"] = peak;
                values["memoryGrowthMB"] = peak - start;
                values["tempAllSimilarMB"] = bytesUnder(RecordingFiles::temporaryDirectory()) /
                                             static_cast<std::uintmax_t>(kMiB);
                const auto finishing = std::chrono::steady_clock::now();
                self->recorder->finish(
                    [self, minutes, finishing](const std::optional<fs::path>& saved) {
                        const std::chrono::duration<double> encode =
                            std::chrono::steady_clock::now() - finishing;
                        self->report->values["encodeSeconds"] =
                            static_cast<std::int64_t>(std::round(encode.count()));
                        if (!saved) {
                            self->complete({{"ok", false}, {"error", "录音收尾失败"}});
                            return;
                        }
                        readBackLong(*self, *saved, minutes);
                        self->complete(self->report->values);
                    });
            });
        });
}

}  // namespace pagemate::MeetingProbe
