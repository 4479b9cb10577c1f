// The meeting's self-test switches as a user runs them: tones or a recorded sentence through
// the meeting run, recorded with FFmpeg or transcribed by pocketsphinx; the report, and what
// the recordings folders show afterwards.

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
    json expected;  // values by their JSON pointers
    std::function<void(const json& report, const MeetingFolders& folders)> check = nullptr;
    friend void PrintTo(const Mode& mode, std::ostream* out) { *out << mode.arguments.front(); }
};

void recordTest(const json& report, const MeetingFolders& folders) {
    EXPECT_NEAR(report["durationSeconds"].get<double>(), 30.0, 0.11);
    EXPECT_NEAR(report["effectiveKbps"].get<double>(), 32, 8);
    // Written where recordings go, then deleted; nothing of the meeting left behind.
    const fs::path path = report["path"].get<std::string>();
    EXPECT_EQ(path.parent_path(), folders.recordings());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(folders.meetingFolders().empty());
}

void longRecordTest(const json& report, const MeetingFolders& folders) {
    EXPECT_LT(report["memoryGrowthMB"].get<double>(), 20);
    // Two raw files of 1.92 MB were in the temporary directory when it was measured.
    EXPECT_GE(report["tempAllSimilarMB"].get<std::int64_t>(), 3);
    EXPECT_TRUE(folders.savedFiles().empty());
    EXPECT_TRUE(folders.meetingFolders().empty());
}

// The words are heard, from the microphone alone, partial results merged into final ones.
void ttsTest(const json& report, const MeetingFolders& /*folders*/) {
    EXPECT_GE(report["wordMatchRatio"].get<double>(), 0.6);
    EXPECT_GT(report["resultsReceived"].get<std::int64_t>(),
              report["segmentCount"].get<std::int64_t>());
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
    const std::string report = "/tmp/pagemate-" + mode.arguments.front().substr(2) + ".json";
    const json written =
        testing::runForReport(mode.arguments, report, folders.home() / "stdout", 120s);
    EXPECT_EQ(written.value("ok", true), true) << written.dump(2);  // where a report has one
    for (const auto& [pointer, value] : mode.expected.items()) {
        EXPECT_EQ(written.value(json::json_pointer(pointer), json()), value) << written.dump(2);
    }
    if (mode.check) {
        mode.check(written, folders);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Switches, MeetingProbeMode,
    ::testing::Values(Mode{{"--recordtest"}, json::object(), recordTest},
                      Mode{{"--longrecordtest", "1"}, json::object(), longRecordTest},
                      Mode{{"--meetinglivetest"}, {{"/segments", 0}}},  // silence
                      Mode{{"--ttstest"}, {{"/speakers", json::array({"现场"})}}, ttsTest},
                      Mode{{"--speechtest"},
                           {{"/installed", json::array({"en-US"})},
                            {"/live/locale", "en-US"},
                            {"/live/finalized", true}}},
                      Mode{{"--meetingtest"},
                           {{"/localSpeechAvailable", true}, {"/locale", "en-US"}}}),
    [](const ::testing::TestParamInfo<Mode>& mode) {
        return mode.param.arguments.front().substr(2);  // without "--"
    });

}  // namespace
}  // namespace pagemate
