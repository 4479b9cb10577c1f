// The meeting's self-test switches as a user runs them: the program records synthetic
// tones through its real recorder and FFmpeg, or transcribes through its real
// pocketsphinx, writes its report and ends. One case per switch, each with what its
// report and the recordings folders show afterwards.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "harness/MeetingFolders.h"
#include "harness/ProgramRun.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;
using testing::MeetingFolders;

struct Mode {
    std::vector<std::string> arguments;
    const char* report;
    std::function<void(const json& report, const MeetingFolders& folders)> check;
};

// The switch names the case in the test's name and output.
void PrintTo(const Mode& mode, std::ostream* out) {
    *out << mode.arguments.front();
}

void recordTest(const json& report, const MeetingFolders& folders) {
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    EXPECT_NEAR(report["durationSeconds"].get<double>(), 30.0, 0.11);
    EXPECT_EQ(report["sampleRate"], 16000);
    EXPECT_EQ(report["channels"], 1);
    EXPECT_NEAR(report["effectiveKbps"].get<double>(), 32, 8);
    // Written where recordings go, then deleted; nothing of the meeting left behind.
    const fs::path path = report["path"].get<std::string>();
    EXPECT_EQ(path.parent_path(), folders.recordings());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(folders.meetingFolders().empty());
}

void longRecordTest(const json& report, const MeetingFolders& folders) {
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    EXPECT_EQ(report["outputMinutes"], 1);
    EXPECT_LT(report["memoryGrowthMB"].get<double>(), 20);
    // Two raw files of 1.92 MB were in the temporary directory when it was measured.
    EXPECT_GE(report["tempAllSimilarMB"].get<std::int64_t>(), 3);
    EXPECT_TRUE(folders.savedFiles().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());
}

void meetingLiveTest(const json& report, const MeetingFolders&) {
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    EXPECT_EQ(report["started"], true);
    EXPECT_EQ(report["segments"], 0);  // silence
    EXPECT_EQ(report["errors"], json::array());
}

void ttsTest(const json& report, const MeetingFolders&) {
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    // The words, not only the letters, are heard.
    EXPECT_GE(report["wordMatchRatio"].get<double>(), 0.6) << report.dump(2);
    EXPECT_EQ(report["durationSeconds"], 5.3);
    EXPECT_NEAR(report["fedSeconds"].get<double>(), 11.3, 0.21);  // with the silence around it
    EXPECT_EQ(report["speakers"], json::array({"现场"}));
    EXPECT_GT(report["resultsReceived"].get<std::int64_t>(),
              report["segmentCount"].get<std::int64_t>());
    EXPECT_EQ(report["errors"], json::array());
}

void speechTest(const json& report, const MeetingFolders&) {
    EXPECT_EQ(report["available"], true) << report.dump(2);
    EXPECT_NE(std::find(report["installed"].begin(), report["installed"].end(), "en-US"),
              report["installed"].end());
    const json& live = report["live"];
    EXPECT_EQ(live["ok"], true) << report.dump(2);
    EXPECT_EQ(live["locale"], "en-US");
    EXPECT_EQ(live["finalized"], true);
}

void meetingTest(const json& report, const MeetingFolders&) {
    EXPECT_EQ(report["localSpeechAvailable"], true) << report.dump(2);
    EXPECT_EQ(report["locale"], "en-US");
    const int status = std::stoi(report["microphoneStatus"].get<std::string>());
    const std::vector<std::string> labels = {"未请求", "受限", "已拒绝", "已授权"};
    EXPECT_EQ(report["microphoneLabel"], labels.at(std::clamp(status, 0, 3)));
}

class MeetingProbeMode : public ::testing::TestWithParam<Mode> {
  protected:
    MeetingFolders folders;
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (folders.home() / "config").c_str()};
    const testing::ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:1"};
};

TEST_P(MeetingProbeMode, WritesItsReportAndEnds) {
    ASSERT_FALSE(fs::exists("/tmp/pagemate-tts-sample.wav"))
        << "an external sample would replace the program's own";
    const Mode& mode = GetParam();
    const json report =
        testing::runForReport(mode.arguments, mode.report, folders.home() / "stdout", 120s).report;
    mode.check(report, folders);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, MeetingProbeMode,
    ::testing::Values(
        Mode{{"--recordtest"}, "/tmp/pagemate-recordtest.json", recordTest},
        Mode{{"--longrecordtest", "1"}, "/tmp/pagemate-longrecordtest.json", longRecordTest},
        Mode{{"--meetinglivetest"}, "/tmp/pagemate-meetinglivetest.json", meetingLiveTest},
        Mode{{"--ttstest"}, "/tmp/pagemate-ttstest.json", ttsTest},
        Mode{{"--speechtest"}, "/tmp/pagemate-speechtest.json", speechTest},
        Mode{{"--meetingtest"}, "/tmp/pagemate-meetingtest.json", meetingTest}),
    [](const ::testing::TestParamInfo<Mode>& mode) {
        return mode.param.arguments.front().substr(2);  // the switch without "--"
    });

}  // namespace
}  // namespace pagemate
