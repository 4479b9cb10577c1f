// "pagemate --recordtest" and "pagemate --longrecordtest 1" as a user runs them: the
// program records synthetic tones through its real recorder and FFmpeg, writes its
// report and ends.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "harness/MeetingFolders.h"
#include "harness/ProgramRun.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

class RecordTestMode : public ::testing::Test {
  protected:
    json run(const std::vector<std::string>& arguments, const char* report) {
        return testing::runForReport(arguments, report, folders.home() / "stdout", 90s).report;
    }

    testing::MeetingFolders folders;
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (folders.home() / "config").c_str()};
    const testing::ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:1"};
};

TEST_F(RecordTestMode, RecordTestReportsAPlayableFile) {
    const json report = run({"--recordtest"}, "/tmp/pagemate-recordtest.json");
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    EXPECT_EQ(report["fedSeconds"], 30);
    EXPECT_NEAR(report["durationSeconds"].get<double>(), 30.0, 0.11);
    EXPECT_EQ(report["sampleRate"], 16000);
    EXPECT_EQ(report["channels"], 1);
    EXPECT_NEAR(report["effectiveKbps"].get<double>(), 32, 8);
    EXPECT_GT(report["bytes"].get<std::int64_t>(), 2000);
    const fs::path path = report["path"].get<std::string>();
    EXPECT_EQ(path.parent_path(), folders.recordings());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(folders.meetingFolders().empty());
    EXPECT_FALSE(testing::logLines("会议录音：已保存到 ").empty());
}

TEST_F(RecordTestMode, LongRecordTestOfOneMinute) {
    const json report = run({"--longrecordtest", "1"}, "/tmp/pagemate-longrecordtest.json");
    EXPECT_EQ(report["ok"], true) << report.dump(2);
    EXPECT_EQ(report["fedMinutes"], 1);
    EXPECT_EQ(report["outputMinutes"], 1);
    EXPECT_LT(report["memoryGrowthMB"].get<double>(), 20);
    // Two raw files of 1.92 MB were in the temporary directory when it was measured.
    EXPECT_GE(report["tempAllSimilarMB"].get<std::int64_t>(), 3);
    for (const char* key :
         {"feedSeconds", "memoryStartMB", "memoryPeakMB", "encodeSeconds", "outputMB", "note"}) {
        EXPECT_TRUE(report.contains(key)) << key;
    }
    EXPECT_TRUE(folders.savedFiles().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());
}

}  // namespace
}  // namespace pagemate
