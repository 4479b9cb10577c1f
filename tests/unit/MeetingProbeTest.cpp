// The meeting's self-tests on the fakes: their pass marks, failures and watchdogs on the
// virtual clock. What they report on real parts is shown by MeetingProbeModesTest.

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "diagnostics/MeetingEnvironment.h"
#include "diagnostics/SpeechMeetingProbe.h"
#include "diagnostics/SpeechProbe.h"
#include "harness/MeetingFolders.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

class MeetingProbeTest : public ::testing::Test {
  protected:
    // Runs the serial queues and the main queue, `step` of virtual time at a time, until
    // the report is in; the played sound and the scripted decoders run on their threads
    // meanwhile.
    bool settle(std::chrono::milliseconds limit, std::chrono::milliseconds step = 10ms) {
        for (auto passed = 0ms; passed <= limit && !report; passed += step) {
            platform.queue.runUntil(
                [&] {
                    for (const auto& tasks : platform.serialQueues.made()) {
                        tasks->runAll();
                    }
                    return report.has_value();
                },
                20ms);
            platform.queue.advance(step);
        }
        return report.has_value();
    }
    MeetingProbe::Completion collect() {
        report.reset();
        return [this](json values) { report = std::move(values); };
    }
    json written() { return json::parse(testing::readFile(file), nullptr, false); }
    // Runs the meeting's queue (and the main one, no time passing) until the recording's
    // finish waits for writes that never run.
    bool hangInTheWrites() {
        return platform.queue.runUntil(
            [&] {
                platform.serialQueues.latest("pagemate-meeting")->runAll();
                const auto writes = platform.serialQueues.latest("pagemate-recorder");
                return writes && writes->waiting() == 1;
            },
            10s);
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
    fs::path file = folders.home() / "report.json";
    MeetingProbe::Options options{file, 0us};
    std::optional<json> report;
};

TEST_F(MeetingProbeTest, RecordTestFailures) {
    platform.audioCodecs.failCreate({-12, "no memory"});
    MeetingProbe::recordTest(collect(), options);
    ASSERT_TRUE(settle(20s));
    EXPECT_EQ(*report, json({{"ok", false}, {"error", "录音收尾失败（混音或编码报错）"}}));
    EXPECT_TRUE(log.contains("会议录音：混音或编码失败 —— no memory")) << log.text();

    testing::writeFile(folders.tmp() / "file", "");
    const testing::ScopedEnvironment tmp("TMPDIR", (folders.tmp() / "file").c_str());
    MeetingProbe::recordTest(collect(), options);
    ASSERT_TRUE(settle(20s));
    EXPECT_EQ(*report, json({{"ok", false}, {"error", "录音器没能启动"}}));
    // Less than a minute or more than a day is refused before anything is recorded.
    for (const std::int64_t minutes : {INT64_MIN, std::int64_t{0}, std::int64_t{1441}, INT64_MAX}) {
        MeetingProbe::longRecordTest(minutes, collect(), options);
        ASSERT_TRUE(report) << minutes;
        EXPECT_EQ(*report,
                  json({{"ok", false},
                        {"error", "分钟数超出范围（1 到 1440）：" + std::to_string(minutes)}}));
    }
}

// A recording whose writes never end: the short test's watchdog after 60 s, the long
// one's after minutes × 6 + 300 s, each writing the report so far and ending the program.
TEST_F(MeetingProbeTest, RecordWatchdogsWriteTheReportSoFarAndEndTheProgram) {
    MeetingProbe::recordTest(collect(), options);
    ASSERT_TRUE(hangInTheWrites());
    platform.queue.advance(59999ms);
    EXPECT_FALSE(fs::exists(file));
    platform.queue.advance(1ms);
    EXPECT_EQ(written(), json({{"ok", false}, {"error", "超时（60 秒）"}, {"fedSeconds", 30}}));
    EXPECT_EQ(platform.application.terminateCount, 1);
    ASSERT_TRUE(settle(20s));  // let the finish end before the fakes go

    fs::remove(file);
    MeetingProbe::longRecordTest(2, collect(), options);
    ASSERT_TRUE(hangInTheWrites());
    platform.queue.advance(311999ms);
    EXPECT_FALSE(fs::exists(file));
    platform.queue.advance(1ms);
    EXPECT_EQ(written()["error"], "超时");
    EXPECT_EQ(written()["fedMinutes"], 2);
    EXPECT_EQ(platform.application.terminateCount, 2);
    ASSERT_TRUE(settle(20s));
}

TEST_F(MeetingProbeTest, LiveTestReportsAChannelErrorAndAFailedStart) {
    MeetingProbe::liveTest(collect(), options);
    platform.queue.runUntil(
        [&] {
            platform.serialQueues.latest("pagemate-meeting")->runAll();
            return platform.speech.channel(1).started();
        },
        5s);
    platform.speech.channel(1).fail({SpeechError::Kind::recognitionFailed, "gone"});
    ASSERT_TRUE(settle(5s));
    EXPECT_EQ((*report)["ok"], false);
    EXPECT_EQ((*report)["errors"], json::array({"线上通道识别中断：识别器中途出错（gone）"}));

    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    MeetingProbe::liveTest(collect(), options);
    ASSERT_TRUE(settle(1s));
    EXPECT_EQ(*report,
              json({{"ok", false},
                    {"error", "会话启动失败：" + std::string(MeetingSession::noModelMessage)},
                    {"errors", json::array()}}));
}

// A loud sample of 2 s in the meeting's format, whatever file is asked for; nothing
// else (nothing is converted or recorded).
class LoudSampleCodecs final : public AudioCodecs {
    struct Reader final : AudioFileReader {
        Info sample{16000, 1, 32000, 256000, "pcm_s16le"};
        std::int64_t at = 0;
        [[nodiscard]] const Info& info() const override { return sample; }
        [[nodiscard]] AudioFormat processingFormat() const override {
            return AudioFormat::meeting();
        }
        std::variant<std::uint32_t, AudioError> read(AudioBlock& block) override {
            const auto frames = static_cast<std::uint32_t>(
                std::min<std::int64_t>(block.frameCapacity(), sample.frames - at));
            block.setFrameLength(frames);
            std::ranges::fill(block.floats(0), 0.5F);
            at += frames;
            return frames;
        }
    };

  public:
    std::variant<std::unique_ptr<AudioConverter>, AudioError> makeConverter(
        const AudioFormat& /*from*/, const AudioFormat& /*to*/) override {
        return AudioError{-1, "unused"};
    }
    std::variant<std::unique_ptr<AudioFileWriter>, AudioError> createAacFile(
        const std::filesystem::path& /*path*/, const AacFileSettings& /*settings*/) override {
        return AudioError{-1, "unused"};
    }
    std::variant<std::unique_ptr<AudioFileReader>, AudioError> openFile(
        const std::filesystem::path& /*path*/) override {
        return std::make_unique<Reader>();
    }
};

// The sentence test passes when 60 % of the sample's letters were recognised: the
// installed sample says "unless to be rather cold hearted and rather selfish is to be
// ill disposed".
TEST_F(MeetingProbeTest, SentenceTestPassesFromSixtyPercentOfTheLetters) {
    std::unique_ptr<AudioCodecs> codecs = std::make_unique<LoudSampleCodecs>();
    std::swap(Platform::current().audioCodecs, codecs);
    std::size_t channel = 0;
    for (const auto& [heard, ratio, ok] :
         {std::tuple{"unless to be cold", 0.683, true}, std::tuple{"unless to be", 0.583, false}}) {
        // Whichever channel is the microphone's: the other's silence drops it.
        platform.speech.channel(channel).setFinalResults({{heard, 2.5, 1.0, true}});
        platform.speech.channel(channel + 1).setFinalResults({{heard, 2.5, 1.0, true}});
        MeetingProbe::ttsTest(collect(), options);
        ASSERT_TRUE(settle(30s, 100ms));
        EXPECT_EQ((*report)["matchRatio"], ratio) << report->dump(2);
        EXPECT_EQ((*report)["ok"], ok) << heard;
        channel += 2;
    }
    std::swap(Platform::current().audioCodecs, codecs);
}

TEST(MeetingProbeScore, CharactersAndWords) {
    EXPECT_EQ(MeetingProbe::characterMatch("，。 ,.!?", "anything").total, 0);
    EXPECT_EQ(MeetingProbe::characterMatch("，。 ,.!?", "anything").ratio, 0);
    const auto chinese = MeetingProbe::characterMatch("你好，世界。", "世界你们");
    EXPECT_EQ(chinese.matched, 3);
    EXPECT_EQ(chinese.total, 4);
    EXPECT_DOUBLE_EQ(chinese.ratio, 0.75);
    EXPECT_DOUBLE_EQ(MeetingProbe::characterMatch("abc", "ab").ratio, 0.667);
    const auto words =
        MeetingProbe::wordMatch("Unless to be rather cold", "unless to be a cold day");
    EXPECT_EQ(words.matched, 4);
    EXPECT_EQ(words.total, 5);
    EXPECT_DOUBLE_EQ(words.ratio, 0.8);
}

// Chinese locales the recogniser offers, though none is installed here: how big the
// first one's download is.
TEST_F(MeetingProbeTest, SpeechReportWithChineseAndWithoutAModel) {
    platform.speech.supported = {"en-US", "zh-TW", "zh-CN"};
    platform.speech.installed = {"en-US"};
    platform.speech.downloadSizes["zh-TW"] = 3 * 1048576 + 5;
    SpeechProbe::report(collect());
    ASSERT_TRUE(settle(1s));
    EXPECT_EQ((*report)["supported"], json({"en-US", "zh-CN", "zh-TW"}));
    EXPECT_EQ((*report)["chineseLocales"], json({"zh-CN", "zh-TW"}));
    EXPECT_EQ((*report)["chineseInstalled"], false);
    EXPECT_EQ((*report)["chineseModelSizeMB"], 3);

    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    SpeechProbe::report(collect());
    ASSERT_TRUE(settle(1s));
    EXPECT_EQ(report->size(), 2U);
    EXPECT_EQ((*report)["available"], false);
}

// The speech live test's watchdog, after 30 s of a finalize that never ends, writes the
// report so far and ends the program; the meeting live test's, its report in (such
// finalizes hold the finish for 3 s a channel, well within its 60 s), stands down.
TEST_F(MeetingProbeTest, SpeechWatchdogsWriteTheReportSoFarOrStandDown) {
    platform.speech.supported = {"en-US"};
    for (std::size_t channel = 0; channel < 3; ++channel) {
        platform.speech.channel(channel).setFinalizeMode(
            fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    }
    SpeechProbe::liveTranscribeTest(collect(), {file});
    EXPECT_FALSE(settle(29s, 500ms));
    EXPECT_EQ(platform.application.terminateCount, 0);
    platform.queue.advance(2s);
    ASSERT_EQ(platform.application.terminateCount, 1);
    EXPECT_EQ(written()["error"], "超时（30 秒），识别器没有正常收尾");
    EXPECT_EQ(written()["started"], true);
    EXPECT_FALSE(written().contains("finalized"));

    fs::remove(file);
    MeetingProbe::liveTest(collect(), options);
    ASSERT_TRUE(settle(10s, 100ms));
    EXPECT_EQ((*report)["ok"], true) << report->dump(2);
    platform.queue.advance(61s);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(MeetingProbeTest, MeetingEnvironmentSystemNameMicrophoneAndModel) {
    const auto release = folders.home() / "os-release";
    std::ofstream(release) << "NAME=\"Debian GNU/Linux\"\nVERSION=\"12 (bookworm)\"\n"
                              "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n";
    EXPECT_EQ(MeetingEnvironment::systemName(release.string()), "Debian GNU/Linux 12 (bookworm)");
    std::ofstream(release) << "NAME=Fedora\nVERSION='40'\n";
    EXPECT_EQ(MeetingEnvironment::systemName(release.string()), "Fedora 40");
    EXPECT_EQ(MeetingEnvironment::systemName((folders.home() / "none").string()), "Linux");
    for (const auto& [status, label] :
         {std::pair{-4, "未请求"}, {1, "受限"}, {2, "已拒绝"}, {9, "已授权"}}) {
        EXPECT_EQ(MeetingEnvironment::microphoneLabel(status), label);
    }
    // Without a model the report says so, and names no locale.
    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    MeetingEnvironment::report(collect());
    ASSERT_TRUE(settle(1s));
    EXPECT_EQ((*report)["localSpeechAvailable"], false) << report->dump(2);
    EXPECT_FALSE(report->contains("locale"));
}

}  // namespace
}  // namespace pagemate
