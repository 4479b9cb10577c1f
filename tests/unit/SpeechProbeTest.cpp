#include <gtest/gtest.h>

#include <fstream>

#include "diagnostics/MeetingEnvironment.h"
#include "diagnostics/SpeechMeetingProbe.h"
#include "diagnostics/SpeechProbe.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class SpeechProbeTest : public ::testing::Test {
  protected:
    // Runs the main queue on the virtual clock, a step at a time, until the report is
    // in; the decoder threads of the scripted recogniser run in real time meanwhile.
    bool runUntilReport(std::chrono::milliseconds virtualLimit) {
        for (auto passed = 0ms; passed <= virtualLimit && !report; passed += 10ms) {
            platform.queue.runUntil([this] { return report.has_value(); }, 20ms);
            platform.queue.advance(10ms);
        }
        return report.has_value();
    }
    MeetingProbe::Completion collect() {
        return [this](json values) { report = std::move(values); };
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    testing::TempDir folder;
    std::optional<json> report;
};

TEST_F(SpeechProbeTest, LiveTestFeedsBothChannelsAndReportsNoErrors) {
    MeetingProbe::liveTest(collect(), {folder.path() / "report.json"});
    ASSERT_TRUE(runUntilReport(5s));
    EXPECT_EQ((*report)["ok"], true) << report->dump(2);
    EXPECT_EQ((*report)["started"], true);
    EXPECT_EQ((*report)["fedSeconds"], 2);
    EXPECT_EQ((*report)["segments"], 0);
    EXPECT_EQ((*report)["errors"], json::array());
    EXPECT_EQ(
        (*report)["note"],
        "静音不会有文字，segments 为 0 属正常；只要进程不崩、errors 为空，就说明转写通路正常");
    // 31 blocks of 1 024 frames on each channel, all of them before the finish.
    EXPECT_EQ(platform.speech.channel(0).framesPushed(), 31 * 1024);
    EXPECT_EQ(platform.speech.channel(1).framesPushed(), 31 * 1024);
    EXPECT_TRUE(platform.speech.channel(0).finalized());
    EXPECT_EQ(platform.application.terminateCount, 0);
}

TEST_F(SpeechProbeTest, LiveTestReportsAChannelErrorAndAFailedStart) {
    MeetingProbe::liveTest(collect(), {folder.path() / "report.json"});
    platform.queue.runUntil([&] { return platform.speech.channel(1).started(); }, 5000ms);
    platform.speech.channel(1).fail({SpeechError::Kind::recognitionFailed, "gone"});
    ASSERT_TRUE(runUntilReport(5s));
    EXPECT_EQ((*report)["ok"], false);
    EXPECT_EQ((*report)["errors"], json::array({"线上通道识别中断：识别器中途出错（gone）"}));

    report.reset();
    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    MeetingProbe::liveTest(collect(), {folder.path() / "report.json"});
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ(*report,
              json({{"ok", false},
                    {"error", "会话启动失败：" + std::string(MeetingSession::noModelMessage)},
                    {"errors", json::array()}}));
}

TEST_F(SpeechProbeTest, LiveTestWatchdogStandsDownOnceTheReportIsIn) {
    // Finalizes that never end hold the finish for 3 s a channel, well within the 60 s.
    platform.speech.channel(0).setFinalizeMode(fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    platform.speech.channel(1).setFinalizeMode(fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    const auto path = folder.path() / "report.json";
    MeetingProbe::liveTest(collect(), {path});
    ASSERT_TRUE(runUntilReport(10s));
    EXPECT_EQ((*report)["ok"], true);
    platform.queue.advance(61s);
    EXPECT_EQ(platform.application.terminateCount, 0);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(SpeechProbeScore, CharactersAndWords) {
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

TEST_F(SpeechProbeTest, SpeechReportWithAndWithoutChinese) {
    platform.speech.supported = {"en-US", "zh-TW", "zh-CN"};
    platform.speech.installed = {"en-US"};
    platform.speech.downloadSizes["zh-TW"] = 3 * 1048576 + 5;
    SpeechProbe::report(collect());
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ(*report, json({{"available", true},
                             {"supportedCount", 3},
                             {"installedCount", 1},
                             {"supported", {"en-US", "zh-CN", "zh-TW"}},
                             {"installed", {"en-US"}},
                             {"chineseSupported", true},
                             {"chineseInstalled", false},
                             {"chineseLocales", {"zh-CN", "zh-TW"}},
                             {"chineseModelNeedsDownload", true},
                             {"chineseModelSizeMB", 3}}));

    report.reset();
    platform.speech.supported = {"en-US"};
    SpeechProbe::report(collect());
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ((*report)["chineseSupported"], false);
    EXPECT_EQ((*report)["chineseLocales"], json::array());
    EXPECT_FALSE(report->contains("chineseModelNeedsDownload"));
    EXPECT_FALSE(report->contains("chineseModelSizeMB"));
    EXPECT_FALSE(report->contains("chineseModelCheckError"));

    report.reset();
    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    SpeechProbe::report(collect());
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ(report->size(), 2U);
    EXPECT_EQ((*report)["available"], false);
}

TEST_F(SpeechProbeTest, LiveTranscribeOnSilenceAndItsWatchdog) {
    platform.speech.supported = {"en-US"};
    SpeechProbe::liveTranscribeTest(collect(), {folder.path() / "speech.json"});
    ASSERT_TRUE(runUntilReport(5s));
    EXPECT_EQ((*report)["ok"], true) << report->dump(2);
    EXPECT_EQ((*report)["model"], "ready");
    EXPECT_EQ((*report)["locale"], "en-US");
    EXPECT_EQ((*report)["captureFormat"], "16000Hz/1声道");
    EXPECT_EQ((*report)["analyzerFormat"], "16000Hz/1声道");
    EXPECT_EQ((*report)["prepared"], true);
    EXPECT_EQ((*report)["started"], true);
    EXPECT_EQ((*report)["finalized"], true);
    EXPECT_EQ((*report)["resultCount"], 0);
    EXPECT_EQ(platform.speech.channel(0).framesPushed(), 24000);
    EXPECT_EQ(platform.speech.channel(0).inputs().front().block->frameLength(), 1024U);

    // A finalize that never ends: after 30 s the watchdog writes the report so far.
    report.reset();
    platform.speech.channel(1).setFinalizeMode(fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    const auto path = folder.path() / "hung.json";
    SpeechProbe::liveTranscribeTest(collect(), {path});
    EXPECT_FALSE(runUntilReport(29s));
    EXPECT_EQ(platform.application.terminateCount, 0);
    platform.queue.advance(2s);
    ASSERT_EQ(platform.application.terminateCount, 1);
    const json written = json::parse(testing::readFile(path));
    EXPECT_EQ(written["ok"], false);
    EXPECT_EQ(written["error"], "超时（30 秒），识别器没有正常收尾");
    EXPECT_EQ(written["started"], true);
    EXPECT_FALSE(written.contains("finalized"));
    EXPECT_FALSE(report.has_value());
}

TEST(MeetingEnvironmentReport, SystemNameAndMicrophoneLabels) {
    testing::TempDir folder;
    const auto file = folder.path() / "os-release";
    std::ofstream(file) << "NAME=\"Debian GNU/Linux\"\nVERSION=\"12 (bookworm)\"\n"
                           "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n";
    EXPECT_EQ(MeetingEnvironment::systemName(file.string()), "Debian GNU/Linux 12 (bookworm)");
    std::ofstream(file) << "NAME=Fedora\nVERSION='40'\n";
    EXPECT_EQ(MeetingEnvironment::systemName(file.string()), "Fedora 40");
    EXPECT_EQ(MeetingEnvironment::systemName((folder.path() / "none").string()), "Linux");
    EXPECT_EQ(MeetingEnvironment::microphoneLabel(-4), "未请求");
    EXPECT_EQ(MeetingEnvironment::microphoneLabel(1), "受限");
    EXPECT_EQ(MeetingEnvironment::microphoneLabel(2), "已拒绝");
    EXPECT_EQ(MeetingEnvironment::microphoneLabel(9), "已授权");
}

}  // namespace
}  // namespace pagemate
