// "pagemate --meetinglivetest", "--ttstest", "--speechtest" and "--meetingtest" as a
// user runs them: the program transcribes through its real pocketsphinx and FFmpeg,
// writes its report and ends.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "harness/MeetingFolders.h"
#include "harness/ProgramRun.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

class SpeechProbeMode : public ::testing::Test {
  protected:
    json run(const std::vector<std::string>& arguments, const char* report) {
        return testing::runForReport(arguments, report, folders.home() / "stdout", 120s).report;
    }

    testing::MeetingFolders folders;
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (folders.home() / "config").c_str()};
    const testing::ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:1"};
};

TEST_F(SpeechProbeMode, MeetingLiveTestOnSilence) {
    const json report = run({"--meetinglivetest"}, "/tmp/pagemate-meetinglivetest.json");
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    EXPECT_EQ(report["started"], true);
    EXPECT_EQ(report["fedSeconds"], 2);
    EXPECT_EQ(report["segments"], 0);
    EXPECT_EQ(report["errors"], json::array());
    EXPECT_FALSE(testing::logLines("会议转写：本机两条通道已启动").empty());
}

TEST_F(SpeechProbeMode, TtsTestRecognisesTheInstalledSentence) {
    ASSERT_FALSE(fs::exists("/tmp/pagemate-tts-sample.wav"))
        << "an external sample would replace the program's own";
    const json report = run({"--ttstest"}, "/tmp/pagemate-ttstest.json");
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    EXPECT_GE(report["matchRatio"].get<double>(), 0.6);
    // The words, not only the letters, are heard.
    EXPECT_GE(report["wordMatchRatio"].get<double>(), 0.6) << report.dump(2);
    EXPECT_EQ(report["sourceFormat"], "16000Hz/1声道");
    EXPECT_EQ(report["durationSeconds"], 5.3);
    EXPECT_EQ(report["leadingSilenceSeconds"], 2);
    EXPECT_NEAR(report["fedSeconds"].get<double>(), 11.3, 0.21);
    EXPECT_EQ(report["speakers"], json::array({"现场"}));
    EXPECT_GT(report["resultsReceived"].get<std::int64_t>(),
              report["segmentCount"].get<std::int64_t>());
    EXPECT_EQ(report["errors"], json::array());
    EXPECT_EQ(report["expected"],
              "unless to be rather cold hearted and rather selfish is to be ill disposed");
}

TEST_F(SpeechProbeMode, SpeechTestReportAndLiveRun) {
    const json report = run({"--speechtest"}, "/tmp/pagemate-speechtest.json");
    EXPECT_EQ(report["available"], true) << report.dump(2);
    EXPECT_GE(report["supportedCount"].get<std::int64_t>(), 1);
    EXPECT_NE(std::find(report["installed"].begin(), report["installed"].end(), "en-US"),
              report["installed"].end());
    const json& live = report["live"];
    EXPECT_EQ(live["ok"], true) << report.dump(2);
    EXPECT_EQ(live["model"], "ready");
    EXPECT_EQ(live["locale"], "en-US");
    EXPECT_EQ(live["captureFormat"], "16000Hz/1声道");
    EXPECT_EQ(live["analyzerFormat"], "16000Hz/1声道");
    EXPECT_EQ(live["finalized"], true);
    EXPECT_TRUE(live.contains("resultCount"));
}

TEST_F(SpeechProbeMode, MeetingTestHoldsItsKeys) {
    const json report = run({"--meetingtest"}, "/tmp/pagemate-meetingtest.json");
    for (const char* key :
         {"macOS", "localSpeechAvailable", "locale", "supportedCount", "microphoneStatus",
          "microphoneLabel", "systemAudio", "note", "accessibilityTrusted"}) {
        EXPECT_TRUE(report.contains(key)) << key << "\n" << report.dump(2);
    }
    EXPECT_EQ(report["localSpeechAvailable"], true);
    EXPECT_EQ(report["locale"], "en-US");
    EXPECT_EQ(report["note"], "不再需要屏幕录制权限");
    EXPECT_FALSE(report["macOS"].get<std::string>().empty());
    const int status = std::stoi(report["microphoneStatus"].get<std::string>());
    const std::vector<std::string> labels = {"未请求", "受限", "已拒绝", "已授权"};
    EXPECT_EQ(report["microphoneLabel"], labels.at(std::clamp(status, 0, 3)));
}

}  // namespace
}  // namespace pagemate
