#include "diagnostics/SpeechMeetingProbe.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "diagnostics/ProbeReport.h"
#include "diagnostics/ReportFile.h"
#include "meeting/MeetingSession.h"
#include "platform/Platform.h"
#include "support/ResourcePaths.h"
#include "support/Text.h"

namespace pagemate::MeetingProbe {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr std::uint32_t kLiveBlockFrames = 1024;
constexpr int kLiveBlocks = 31;
constexpr std::chrono::milliseconds kLivePause{20};
constexpr std::uint32_t kSampleBlockFrames = 3200;
constexpr std::chrono::milliseconds kSamplePause{200};
constexpr std::uint32_t kLeadingSilenceFrames = 32000;
constexpr std::uint32_t kTrailingSilenceFrames = 64000;
constexpr double kMeetingRate = 16000;
constexpr std::string_view kPunctuation = "，。、！？；：,.!?;: \n\t";

using Report = ProbeReport;

// One running test: its session, what the session reported and, for the sample
// test, the file being read.
struct Probe {
    std::shared_ptr<Report> report = std::make_shared<Report>();
    Completion completion;
    std::shared_ptr<MeetingSession> session;
    std::int64_t segmentsReceived = 0;
    std::vector<std::string> errors;
    std::unique_ptr<AudioFileReader> reader;
    std::unique_ptr<AudioConverter> converter;
    double fedFrames = 0;

    // Hands over the final report; the watchdog stands down.
    void complete(json values) {
        report->done = true;
        report->values = values;
        session.reset();
        if (completion) {
            Completion done = std::move(completion);
            done(std::move(values));
        }
    }
    void complete() { complete(report->values); }
};

fs::path reportPathOr(const Options& options, const char* path) {
    return options.reportPath.empty() ? fs::path(path) : options.reportPath;
}

AudioBlockPtr silence(std::uint32_t frames) {
    const std::shared_ptr<AudioBlock> block = AudioBlock::make(AudioFormat::meeting(), frames);
    block->setFrameLength(frames);
    return block;
}

// A session that counts its segments and keeps its error messages in the probe.
void makeSession(const std::shared_ptr<Probe>& probe) {
    probe->session = MeetingSession::make(TranscriptionEngine::local);
    const std::weak_ptr<Probe> weakProbe = probe;
    probe->session->onSegment = [weakProbe](const MeetingSegment& /*segment*/) {
        if (const auto held = weakProbe.lock()) {
            ++held->segmentsReceived;
        }
    };
    probe->session->onError = [weakProbe](const std::string& message) {
        if (const auto held = weakProbe.lock()) {
            held->errors.push_back(message);
            held->report->values["errors"] = held->errors;
        }
    };
}

void feedBoth(Probe& probe, const AudioBlockPtr& microphone, const AudioBlockPtr& system) {
    probe.session->feed(CaptureSource::microphone, microphone);
    probe.session->feed(CaptureSource::system, system);
    probe.fedFrames += microphone->frameLength();
}

double roundTo(double value, double unit) {
    return std::round(value / unit) * unit;
}

std::string readText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return std::string(trimWhitespace(text.str()));
}

std::vector<std::string> codePoints(std::string_view text) {
    std::vector<std::string> characters;
    for (std::size_t index = 0; index < text.size();) {
        std::size_t end = index + 1;
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0U) == 0x80U) {
            ++end;
        }
        characters.emplace_back(text.substr(index, end - index));
        index = end;
    }
    return characters;
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> found;
    std::string word;
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (std::isalnum(byte) != 0 || character == '\'') {
            word.push_back(static_cast<char>(std::tolower(byte)));
        } else if (!word.empty()) {
            found.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) {
        found.push_back(std::move(word));
    }
    return found;
}

MatchScore score(std::int64_t matched, std::int64_t total) {
    const double ratio =
        total > 0
            ? std::round(static_cast<double>(matched) / static_cast<double>(total) * 1000) / 1000
            : 0;
    return MatchScore{matched, total, ratio};
}

// Finishes the session and writes what liveTest reports.
void finishLive(const std::shared_ptr<Probe>& probe) {
    probe->session->finish([probe](const std::vector<MeetingSegment>& /*segments*/) {
        json& values = probe->report->values;
        values["segments"] = probe->segmentsReceived;
        values["errors"] = probe->errors;
        values["ok"] = probe->errors.empty();
        values["note"] =
            "静音不会有文字，segments 为 0 属正常；只要进程不崩、errors 为空，就说明转写通路正常";
        probe->complete();
    });
}

void feedLive(const std::shared_ptr<Probe>& probe, int block) {
    if (probe->report->done) {
        return;
    }
    if (block == kLiveBlocks) {
        probe->report->values["fedSeconds"] = 2;
        finishLive(probe);
        return;
    }
    feedBoth(*probe, silence(kLiveBlockFrames), silence(kLiveBlockFrames));
    Platform::current().mainQueue->postAfter(kLivePause,
                                             [probe, block] { feedLive(probe, block + 1); });
}

// Starts the session; on success `next` runs, otherwise the start error is reported.
void startSession(const std::shared_ptr<Probe>& probe, std::function<void()> next) {
    makeSession(probe);
    probe->session->start(
        [probe, next = std::move(next)](std::optional<MeetingCaptureError> error) {
            if (probe->report->done) {
                return;
            }
            if (error) {
                probe->complete({{"ok", false},
                                 {"error", "会话启动失败：" + error->message},
                                 {"errors", probe->errors}});
                return;
            }
            probe->report->values["started"] = true;
            next();
        });
}

// --- The sample test, in stages: silence before, the sentence, silence after.

void finishSample(const std::shared_ptr<Probe>& probe);

void feedSilence(const std::shared_ptr<Probe>& probe, std::uint32_t left,
                 std::function<void()> then) {
    if (probe->report->done) {
        return;
    }
    if (left == 0) {
        then();
        return;
    }
    const std::uint32_t frames = std::min(left, kSampleBlockFrames);
    feedBoth(*probe, silence(frames), silence(frames));
    Platform::current().mainQueue->postAfter(
        kSamplePause, [probe, rest = left - frames, then = std::move(then)]() mutable {
            feedSilence(probe, rest, std::move(then));
        });
}

void feedTrailing(const std::shared_ptr<Probe>& probe) {
    feedSilence(probe, kTrailingSilenceFrames, [probe] {
        probe->report->values["fedSeconds"] = roundTo(probe->fedFrames / kMeetingRate, 0.1);
        finishSample(probe);
    });
}

void feedSentence(const std::shared_ptr<Probe>& probe) {
    if (probe->report->done) {
        return;
    }
    json& values = probe->report->values;
    const AudioFormat fileFormat = probe->reader->processingFormat();
    const std::shared_ptr<AudioBlock> read = AudioBlock::make(fileFormat, kSampleBlockFrames);
    auto frames = probe->reader->read(*read);
    if (const auto* error = std::get_if<AudioError>(&frames)) {
        values["readError"] = error->description;
        feedTrailing(probe);
        return;
    }
    if (std::get<std::uint32_t>(frames) == 0) {
        feedTrailing(probe);
        return;
    }
    const auto capacity = static_cast<std::uint32_t>(std::floor(
                              kMeetingRate / fileFormat.sampleRate * read->frameLength())) +
                          1024;
    const std::shared_ptr<AudioBlock> converted =
        AudioBlock::make(AudioFormat::meeting(), capacity);
    if (auto outcome = probe->converter->convert(*read, *converted);
        const auto* error = std::get_if<AudioError>(&outcome)) {
        values["convertError"] = error->description;
        feedTrailing(probe);
        return;
    }
    feedBoth(*probe, converted, silence(std::max<std::uint32_t>(1, converted->frameLength())));
    Platform::current().mainQueue->postAfter(kSamplePause, [probe] { feedSentence(probe); });
}

void finishSample(const std::shared_ptr<Probe>& probe) {
    probe->session->finish([probe](const std::vector<MeetingSegment>& segments) {
        json& values = probe->report->values;
        std::string recognized;
        std::set<std::string> speakers;
        json list = json::array();
        for (const MeetingSegment& segment : segments) {
            recognized += segment.text;
            speakers.insert(segment.speaker);
            list.push_back({{"speaker", segment.speaker}, {"text", segment.text}});
        }
        values["segmentCount"] = segments.size();
        values["recognized"] = recognized;
        values["speakers"] = speakers;
        values["droppedSilentSegments"] = probe->session->droppedSilentSegments();
        values["resultsReceived"] = probe->session->resultsReceived();
        values["segments"] = list;
        values["errors"] = probe->errors;
        const std::string expected = values.value("expected", "");
        const MatchScore characters = characterMatch(expected, recognized);
        values["matchRatio"] = characters.ratio;
        values["matchedCharacters"] =
            std::to_string(characters.matched) + "/" + std::to_string(characters.total);
        // Letters alone say little about an English sentence: the words too. The
        // segments are joined with a space here so that their words stay apart.
        std::string spaced;
        for (const MeetingSegment& segment : segments) {
            spaced += segment.text + " ";
        }
        const MatchScore wordScore = wordMatch(expected, spaced);
        values["wordMatchRatio"] = wordScore.ratio;
        values["matchedWords"] =
            std::to_string(wordScore.matched) + "/" + std::to_string(wordScore.total);
        values["ok"] = characters.ratio >= 0.6 && probe->errors.empty();
        values["note"] =
            "resultsReceived 是识别器吐出的原始结果条数（含临时结果）；它大于 segmentCount "
            "就说明「临时→定稿」的合并生效了";
        probe->complete();
    });
}

std::string formatName(const AudioFileReader::Info& info) {
    return std::to_string(static_cast<std::int64_t>(info.sampleRate)) + "Hz/" +
           std::to_string(info.channels) + "声道";
}

}  // namespace

fs::path speechSample() {
    std::error_code error;
    if (fs::exists(externalSpeechSample, error)) {
        return externalSpeechSample;
    }
    return ResourcePaths::current().data / "speech" / "test-speech.wav";
}

MatchScore characterMatch(std::string_view expected, std::string_view recognized) {
    const std::vector<std::string> punctuation = codePoints(kPunctuation);
    std::int64_t matched = 0;
    std::int64_t total = 0;
    for (const std::string& character : codePoints(expected)) {
        if (std::find(punctuation.begin(), punctuation.end(), character) != punctuation.end()) {
            continue;
        }
        ++total;
        matched += recognized.find(character) != std::string_view::npos ? 1 : 0;
    }
    return score(matched, total);
}

MatchScore wordMatch(std::string_view expected, std::string_view recognized) {
    const std::vector<std::string> heard = words(recognized);
    std::int64_t matched = 0;
    std::int64_t total = 0;
    for (const std::string& word : words(expected)) {
        ++total;
        matched += std::find(heard.begin(), heard.end(), word) != heard.end() ? 1 : 0;
    }
    return score(matched, total);
}

void liveTest(Completion completion, const Options& options) {
    auto probe = std::make_shared<Probe>();
    probe->completion = std::move(completion);
    armProbeWatchdog(probe->report, std::chrono::seconds(60), "超时（60 秒）",
                     reportPathOr(options, liveTestReportPath));
    startSession(probe, [probe] { feedLive(probe, 0); });
}

void ttsTest(Completion completion, const Options& options) {
    auto probe = std::make_shared<Probe>();
    probe->completion = std::move(completion);
    armProbeWatchdog(probe->report, std::chrono::seconds(90), "超时（90 秒）",
                     reportPathOr(options, ttsTestReportPath));
    const fs::path wav = speechSample();
    std::error_code error;
    if (!fs::exists(wav, error)) {
        probe->complete({{"ok", false},
                         {"error",
                          "找不到语音样本（应随程序一起安装在 share/pagemate/speech/"
                          "test-speech.wav）"}});
        return;
    }
    json& values = probe->report->values;
    values["sample"] = wav.string();
    values["expected"] = readText(fs::path(wav).replace_extension(".txt"));
    auto opened = Platform::current().audioCodecs->openFile(wav);
    if (const auto* failure = std::get_if<AudioError>(&opened)) {
        probe->complete({{"ok", false}, {"error", "读取语音样本失败：" + failure->description}});
        return;
    }
    probe->reader = std::move(std::get<std::unique_ptr<AudioFileReader>>(opened));
    const AudioFileReader::Info& info = probe->reader->info();
    values["sourceFormat"] = formatName(info);
    values["durationSeconds"] = std::floor(info.durationSeconds() * 10) / 10;
    auto converter = Platform::current().audioCodecs->makeConverter(
        probe->reader->processingFormat(), AudioFormat::meeting());
    if (std::holds_alternative<AudioError>(converter)) {
        probe->complete({{"ok", false}, {"error", "无法创建音频转换器"}});
        return;
    }
    probe->converter = std::move(std::get<std::unique_ptr<AudioConverter>>(converter));
    startSession(probe, [probe] {
        probe->report->values["leadingSilenceSeconds"] = 2;
        feedSilence(probe, kLeadingSilenceFrames, [probe] { feedSentence(probe); });
    });
}

}  // namespace pagemate::MeetingProbe
