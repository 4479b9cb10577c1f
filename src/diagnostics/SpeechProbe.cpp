#include "diagnostics/SpeechProbe.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/SpeechErrorText.h"
#include "diagnostics/ReportFile.h"
#include "meeting/MeetingSession.h"
#include "platform/Platform.h"

namespace pagemate::SpeechProbe {

using nlohmann::json;

namespace {

constexpr std::uint32_t kBlockFrames = 1024;
constexpr double kSilenceSeconds = 1.5;
constexpr std::chrono::milliseconds kPause{20};
constexpr double kMiB = 1024.0 * 1024.0;

bool isChinese(const std::string& locale) {
    return locale.starts_with("zh");
}

std::string formatName(const AudioFormat& format) {
    return std::to_string(static_cast<std::int64_t>(format.sampleRate)) + "Hz/" +
           std::to_string(format.channels) + "声道";
}

// The blocking part of report(), off the main thread.
json reportNow() {
    SpeechRecognizer& speech = *Platform::current().speech;
    json values = json::object();
    if (speech.availability() != SpeechRecognizer::Availability::available) {
        return {{"available", false},
                {"reason", "没有安装本机语音模型（pocketsphinx），只能走外部转写 API"}};
    }
    values["available"] = true;
    const std::vector<std::string> supported = speech.supportedLocales();
    std::vector<std::string> sortedSupported = supported;
    std::vector<std::string> installed = speech.installedLocales();
    std::sort(sortedSupported.begin(), sortedSupported.end());
    std::sort(installed.begin(), installed.end());
    values["supportedCount"] = supported.size();
    values["installedCount"] = installed.size();
    values["supported"] = sortedSupported;
    values["installed"] = installed;
    std::vector<std::string> chinese;
    std::copy_if(sortedSupported.begin(), sortedSupported.end(), std::back_inserter(chinese),
                 isChinese);
    values["chineseSupported"] = !chinese.empty();
    values["chineseInstalled"] = std::any_of(installed.begin(), installed.end(), isChinese);
    values["chineseLocales"] = chinese;
    const auto firstChinese = std::find_if(supported.begin(), supported.end(), isChinese);
    if (firstChinese != supported.end()) {
        auto request = speech.installationRequest(*firstChinese);
        if (const auto* error = std::get_if<SpeechError>(&request)) {
            values["chineseModelCheckError"] = describeSpeechError(*error);
        } else if (const auto& download = std::get<std::optional<SpeechModelDownload>>(request)) {
            values["chineseModelNeedsDownload"] = true;
            values["chineseModelSizeMB"] =
                static_cast<std::int64_t>(static_cast<double>(download->bytes) / kMiB);
        } else {
            values["chineseModelNeedsDownload"] = false;
        }
    }
    return values;
}

// The live test's report as it stands and its recogniser; shared with the watchdog.
struct Live {
    json values = json::object();
    bool done = false;
    Completion completion;
    std::unique_ptr<SpeechChannelRecognizer> recognizer;
    std::optional<AudioFormat> format;
    std::int64_t framesSent = 0;
    std::int64_t framesToSend = 0;
    std::shared_ptr<std::atomic<std::int64_t>> results =
        std::make_shared<std::atomic<std::int64_t>>(0);

    void complete() {
        done = true;
        if (completion) {
            Completion finished = std::move(completion);
            finished(values);
        }
        // Let go after the completion: the recogniser has delivered everything.
        recognizer.reset();
    }
};

void finalizeLive(const std::shared_ptr<Live>& live) {
    const std::weak_ptr<Live> weakLive = live;
    live->recognizer->finalize([weakLive](const SpeechChannelRecognizer::FinalizeOutcome& outcome) {
        std::optional<SpeechError> failure;
        if (const auto* error = std::get_if<SpeechError>(&outcome)) {
            failure = *error;
        }
        Platform::current().mainQueue->post([weakLive, failure] {
            const auto held = weakLive.lock();
            if (!held || held->done) {
                return;
            }
            held->values["resultCount"] = held->results->load();
            if (failure) {
                held->values["ok"] = false;
                held->values["error"] = "识别器收尾失败：" + describeSpeechError(*failure);
            } else {
                held->values["finalized"] = true;
                held->values["ok"] = true;
                held->values["note"] =
                    "静音输入本来就不会有文字；只要 ok 为 true 且进程没崩，就说明转写通路正常";
            }
            held->complete();
        });
    });
}

void feedLive(const std::shared_ptr<Live>& live) {
    if (live->done) {
        return;
    }
    if (live->framesSent >= live->framesToSend) {
        finalizeLive(live);
        return;
    }
    const auto frames = static_cast<std::uint32_t>(
        std::min<std::int64_t>(kBlockFrames, live->framesToSend - live->framesSent));
    const std::shared_ptr<AudioBlock> block = AudioBlock::make(*live->format, frames);
    block->setFrameLength(frames);
    live->recognizer->push(block, live->framesSent);
    live->framesSent += frames;
    Platform::current().mainQueue->postAfter(kPause, [live] { feedLive(live); });
}

// What the setup off the main thread hands back.
struct Setup {
    json values = json::object();
    std::unique_ptr<SpeechChannelRecognizer> recognizer;
    std::optional<AudioFormat> format;
    std::optional<std::string> error;
};

Setup setUp(const std::shared_ptr<std::atomic<std::int64_t>>& results) {
    Setup setup;
    if (const std::optional<SpeechError> error = MeetingSession::ensureModelNow()) {
        setup.values["model"] = "失败：" + describeSpeechError(*error);
    } else {
        setup.values["model"] = "ready";
    }
    const std::string locale = MeetingSession::preferredLocaleNow();
    setup.values["locale"] = locale;
    auto made = Platform::current().speech->makeChannel(locale);
    if (const auto* error = std::get_if<SpeechError>(&made)) {
        setup.error = "启动识别器失败：" + describeSpeechError(*error);
        return setup;
    }
    auto recognizer = std::move(std::get<std::unique_ptr<SpeechChannelRecognizer>>(made));
    const AudioFormat proposed = AudioFormat::meeting();
    const AudioFormat format = recognizer->bestFormat(proposed).value_or(proposed);
    setup.values["captureFormat"] = formatName(proposed);
    setup.values["analyzerFormat"] = formatName(format);
    if (auto prepared = recognizer->prepare(format);
        const auto* error = std::get_if<SpeechError>(&prepared)) {
        setup.error = "启动识别器失败：" + describeSpeechError(*error);
        return setup;
    }
    setup.values["prepared"] = true;
    auto started = recognizer->start([results](const SpeechResult& /*result*/) { ++*results; },
                                     [](const SpeechError& /*error*/) {});
    if (const auto* error = std::get_if<SpeechError>(&started)) {
        setup.error = "启动识别器失败：" + describeSpeechError(*error);
        return setup;
    }
    setup.values["started"] = true;
    setup.recognizer = std::move(recognizer);
    setup.format = format;
    return setup;
}

}  // namespace

void report(Completion completion) {
    Platform::current().background.run(
        "pagemate-speechr", [completion = std::move(completion)](std::stop_token) {
            json values = reportNow();
            Platform::current().mainQueue->post(
                [completion, values = std::move(values)] { completion(values); });
        });
}

void liveTranscribeTest(Completion completion, const Options& options) {
    auto live = std::make_shared<Live>();
    live->completion = std::move(completion);
    if (Platform::current().speech->availability() != SpeechRecognizer::Availability::available) {
        live->values = {{"ok", false}, {"error", "需要安装本机语音模型（pocketsphinx）"}};
        live->complete();
        return;
    }
    const std::filesystem::path path =
        options.reportPath.empty() ? std::filesystem::path(reportPath) : options.reportPath;
    Platform::current().mainQueue->postAfter(options.watchdog, [live, path] {
        if (live->done) {
            return;
        }
        live->done = true;
        json values = live->values;
        values["ok"] = false;
        values["error"] = "超时（30 秒），识别器没有正常收尾";
        ReportFile::writeAndEnd(path, values);
    });
    Platform::current().background.run("pagemate-speechl", [live](std::stop_token) {
        auto setup = std::make_shared<Setup>(setUp(live->results));
        Platform::current().mainQueue->post([live, setup] {
            if (live->done) {
                return;
            }
            live->values.update(setup->values);
            if (setup->error) {
                live->values["ok"] = false;
                live->values["error"] = *setup->error;
                live->complete();
                return;
            }
            live->recognizer = std::move(setup->recognizer);
            live->format = setup->format;
            live->framesToSend =
                static_cast<std::int64_t>(kSilenceSeconds * live->format->sampleRate);
            feedLive(live);
        });
    });
}

void run(Completion completion, const Options& options) {
    report([completion = std::move(completion), options](json values) mutable {
        liveTranscribeTest(
            [completion = std::move(completion), values](json liveValues) mutable {
                values["live"] = std::move(liveValues);
                completion(values);
            },
            options);
    });
}

}  // namespace pagemate::SpeechProbe
