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

#include "diagnostics/ProbeMeeting.h"
#include "diagnostics/ProbeReport.h"
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
constexpr double kMeetingRate = 16000;
constexpr std::string_view kPunctuation = "，。、！？；：,.!?;: \n\t";

using Report = ProbeReport;

// One running test and its meeting.
struct Probe {
    std::shared_ptr<Report> report = std::make_shared<Report>();
    Completion completion;
    std::int64_t segmentsReceived = 0;
    std::vector<std::string> errors;

    // Hands over the final report; the watchdog stands down.
    void complete(json values) {
        report->done = true;
        report->values = values;
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

// `blocks` blocks of silence, then the end of the sound.
PlayedStream::Next silent(std::uint32_t frames, std::int64_t blocks) {
    return [frames, blocks]() mutable { return blocks-- > 0 ? silence(frames) : nullptr; };
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

// Runs the probe's meeting, transcribed and not recorded: the segments counted, the
// failures listed, a start's failure reported. `finish` writes the report from the
// transcript; the report is handed over when the meeting is over.
void transcribeMeeting(const std::shared_ptr<Probe>& probe, ProbeMeeting::Sound sound,
                       std::function<void(const MeetingRun::Transcript&)> finish,
                       std::function<void()> played) {
    auto meeting = ProbeMeeting::make(std::move(sound), false, true);
    meeting->run->events.segment = [probe](const MeetingSegment& /*segment*/) {
        ++probe->segmentsReceived;
    };
    meeting->run->events.transcribed = std::move(finish);
    meeting->recording = [probe] { probe->report->values["started"] = true; };
    meeting->failed = [probe](const std::string& message) {
        probe->errors.push_back(message);
        probe->report->values["errors"] = probe->errors;
    };
    meeting->played = std::move(played);
    meeting->over = [probe](const std::optional<std::string>& startError) {
        if (probe->report->done) {
            return;
        }
        if (!startError) {
            probe->complete();
            return;
        }
        // The start's own message is the last; what went before was said while starting.
        if (!probe->errors.empty()) {
            probe->errors.pop_back();
        }
        constexpr std::string_view kStartFailed = "启动失败：";
        const std::string_view reason =
            startError->starts_with(kStartFailed)
                ? std::string_view(*startError).substr(kStartFailed.size())
                : std::string_view(*startError);
        probe->complete({{"ok", false},
                         {"error", "会话启动失败：" + std::string(reason)},
                         {"errors", probe->errors}});
    };
    meeting->start();
}

// What ttsTest reports from the transcript.
void finishSample(Probe& probe, const MeetingRun::Transcript& transcript) {
    json& values = probe.report->values;
    std::string recognized;
    std::string spaced;
    std::set<std::string> speakers;
    json list = json::array();
    for (const MeetingSegment& segment : transcript.segments) {
        recognized += segment.text;
        // Spaced too, so that the words of two segments stay apart.
        spaced += segment.text + " ";
        speakers.insert(segment.speaker);
        list.push_back({{"speaker", segment.speaker}, {"text", segment.text}});
    }
    values["segmentCount"] = transcript.segments.size();
    values["recognized"] = recognized;
    values["speakers"] = speakers;
    values["droppedSilentSegments"] = transcript.droppedSilentSegments;
    values["resultsReceived"] = transcript.resultsReceived;
    values["segments"] = list;
    values["errors"] = probe.errors;
    const std::string expected = values.value("expected", "");
    const MatchScore characters = characterMatch(expected, recognized);
    values["matchRatio"] = characters.ratio;
    values["matchedCharacters"] =
        std::to_string(characters.matched) + "/" + std::to_string(characters.total);
    // Letters alone say little about an English sentence: the words too.
    const MatchScore wordScore = wordMatch(expected, spaced);
    values["wordMatchRatio"] = wordScore.ratio;
    values["matchedWords"] =
        std::to_string(wordScore.matched) + "/" + std::to_string(wordScore.total);
    values["ok"] = sentenceRecognized(characters.ratio) && probe.errors.empty();
    values["note"] =
        "resultsReceived 是识别器吐出的原始结果条数（含临时结果）；它大于 segmentCount "
        "就说明「临时→定稿」的合并生效了";
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

bool sentenceRecognized(double characterRatio) {
    return characterRatio >= 0.6;
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
    ProbeMeeting::Sound sound{silent(kLiveBlockFrames, kLiveBlocks),
                              silent(kLiveBlockFrames, kLiveBlocks),
                              options.feedPause.value_or(kLivePause)};
    const auto finish = [probe](const MeetingRun::Transcript& /*transcript*/) {
        json& values = probe->report->values;
        values["segments"] = probe->segmentsReceived;
        values["errors"] = probe->errors;
        values["ok"] = probe->errors.empty();
        values["note"] =
            "静音不会有文字，segments 为 0 属正常；只要进程不崩、errors 为空，就说明转写通路正常";
    };
    transcribeMeeting(probe, std::move(sound), finish,
                      [probe] { probe->report->values["fedSeconds"] = 2; });
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
    std::shared_ptr<AudioFileReader> reader =
        std::move(std::get<std::unique_ptr<AudioFileReader>>(opened));
    const AudioFileReader::Info& info = reader->info();
    values["sourceFormat"] = formatName(info);
    values["durationSeconds"] = std::floor(info.durationSeconds() * 10) / 10;
    values["leadingSilenceSeconds"] = 2;
    // The sentence as the microphone, in the file's own format (the capture converts
    // it), between silence before and after; silence as the system sound meanwhile.
    struct Sentence {
        std::shared_ptr<AudioFileReader> reader;
        AudioFormat format;
        std::int64_t leading;
        std::int64_t trailing;
        std::int64_t fed = 0;
        bool read = false;
    };
    const AudioFormat format = reader->processingFormat();
    auto sentence = std::make_shared<Sentence>(
        Sentence{reader, format, static_cast<std::int64_t>(format.sampleRate * 2),
                 static_cast<std::int64_t>(format.sampleRate * 4)});
    const auto microphone = [sentence, probe]() -> AudioBlockPtr {
        Sentence& at = *sentence;
        std::shared_ptr<AudioBlock> block = AudioBlock::make(at.format, kSampleBlockFrames);
        std::int64_t* silenceLeft = at.leading > 0 ? &at.leading : nullptr;
        if (silenceLeft == nullptr && !at.read) {
            auto frames = at.reader->read(*block);
            if (const auto* failure = std::get_if<AudioError>(&frames)) {
                at.read = true;
                Platform::current().mainQueue->post([probe, text = failure->description] {
                    probe->report->values["readError"] = text;
                });
            } else if (std::get<std::uint32_t>(frames) == 0) {
                at.read = true;
            } else {
                at.fed += block->frameLength();
                return block;
            }
        }
        silenceLeft = silenceLeft != nullptr ? silenceLeft : &at.trailing;
        if (*silenceLeft <= 0) {
            return nullptr;
        }
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::int64_t>(*silenceLeft, kSampleBlockFrames));
        block->setFrameLength(frames);
        *silenceLeft -= frames;
        at.fed += frames;
        return block;
    };
    const auto blocks = static_cast<std::int64_t>(
        std::ceil((info.durationSeconds() + 6) * kMeetingRate / kSampleBlockFrames));
    ProbeMeeting::Sound sound{microphone, silent(kSampleBlockFrames, blocks),
                              options.feedPause.value_or(kSamplePause)};
    const auto finish = [probe](const MeetingRun::Transcript& transcript) {
        finishSample(*probe, transcript);
    };
    transcribeMeeting(probe, std::move(sound), finish, [probe, sentence] {
        probe->report->values["fedSeconds"] =
            roundTo(static_cast<double>(sentence->fed) / sentence->format.sampleRate, 0.1);
    });
}

}  // namespace pagemate::MeetingProbe
