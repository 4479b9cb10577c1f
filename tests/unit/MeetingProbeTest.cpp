// The recorder probes on fakes: their reports, and their watchdogs on the virtual clock.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "diagnostics/MeetingProbe.h"
#include "harness/MeetingFolders.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

class MeetingProbeTest : public ::testing::Test {
  protected:
    MeetingProbeTest() { options.reportPath = report; }

    // Runs the recorder's queue and the main queue until the probe has answered.
    bool settle(const std::optional<json>& result, std::chrono::milliseconds limit = 20s) {
        return platform.queue.runUntil(
            [&] {
                for (const auto& tasks : platform.serialQueues.made()) {
                    tasks->runAll();
                }
                return result.has_value();
            },
            limit);
    }
    json writtenReport() { return json::parse(testing::readFile(report), nullptr, false); }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
    fs::path report = folders.home() / "report.json";
    MeetingProbe::Options options;
};

TEST_F(MeetingProbeTest, RecordTestReportsTheMixedTones) {
    std::optional<json> result;
    MeetingProbe::recordTest([&](json values) { result = std::move(values); }, options);
    ASSERT_TRUE(settle(result));
    const json& values = *result;
    EXPECT_EQ(values["ok"], true) << values.dump(2);
    EXPECT_EQ(values["fedSeconds"], 30);
    EXPECT_EQ(values["durationSeconds"], 30.0);
    EXPECT_EQ(values["sampleRate"], 16000);
    EXPECT_EQ(values["bytes"], 480000 * 4);  // the fake keeps 4 bytes a sample
    EXPECT_EQ(values["effectiveKbps"], 512);
    const fs::path path = values["path"].get<std::string>();
    EXPECT_EQ(path.parent_path(), folders.recordings());
    EXPECT_FALSE(fs::exists(path));  // deleted at the end

    // What was encoded: 0.35 · sin at 440 Hz plus the same at 660 Hz, both stored as
    // 16-bit first.
    const auto files = platform.audioCodecs.files();
    ASSERT_EQ(files.size(), 1u);
    ASSERT_EQ(files[0].samples.size(), 480000u);
    for (const std::size_t n : {17u, 479999u}) {
        const double t = static_cast<double>(n) / 16000;
        const auto a = static_cast<float>(0.35 * std::sin(2 * M_PI * 440 * t));
        const auto b = static_cast<float>(0.35 * std::sin(2 * M_PI * 660 * t));
        EXPECT_NEAR(files[0].samples[n], a + b, 2e-4) << n;
    }
    // Its watchdog stands down.
    platform.queue.advance(61s);
    EXPECT_FALSE(fs::exists(report));
    EXPECT_EQ(platform.application.terminateCount, 0);
}

TEST_F(MeetingProbeTest, RecordTestFailures) {
    {  // no recorder
        testing::writeFile(folders.tmp() / "file", "");
        const testing::ScopedEnvironment tmp("TMPDIR", (folders.tmp() / "file").c_str());
        std::optional<json> result;
        MeetingProbe::recordTest([&](json values) { result = std::move(values); }, options);
        ASSERT_TRUE(result);
        EXPECT_EQ(*result, json({{"ok", false}, {"error", "录音器没能启动"}}));
    }
    {  // the encoder fails
        platform.audioCodecs.failCreate({-12, "no memory"});
        std::optional<json> result;
        MeetingProbe::recordTest([&](json values) { result = std::move(values); }, options);
        ASSERT_TRUE(settle(result));
        EXPECT_EQ(*result, json({{"ok", false}, {"error", "录音收尾失败（混音或编码报错）"}}));
        EXPECT_TRUE(log.contains("会议录音：混音或编码失败 —— no memory")) << log.text();
    }
}

TEST_F(MeetingProbeTest, RecordTestWatchdogWritesTheReportAndEndsTheProgram) {
    std::optional<json> result;
    MeetingProbe::recordTest([&](json values) { result = std::move(values); }, options);
    // The writes never run: finishing hangs.
    platform.queue.advance(59999ms);
    EXPECT_FALSE(fs::exists(report));
    EXPECT_EQ(platform.application.terminateCount, 0);
    platform.queue.advance(1ms);
    EXPECT_EQ(writtenReport(),
              json({{"ok", false}, {"error", "超时（60 秒）"}, {"fedSeconds", 30}}));
    EXPECT_EQ(platform.application.terminateCount, 1);
    EXPECT_FALSE(result);
    ASSERT_TRUE(settle(result));  // let the finish end before the fakes go
}

// A run of the long test is shown by the program itself; here, the minutes it refuses.
TEST_F(MeetingProbeTest, LongRecordTestRefusesMinutesOutOfRange) {
    std::optional<json> result;
    // Less than a minute or more than a day (up to what the switch reads) is refused
    // before anything is recorded.
    for (const std::int64_t minutes : {INT64_MIN, std::int64_t{0}, std::int64_t{1441}, INT64_MAX}) {
        result.reset();
        MeetingProbe::longRecordTest(
            minutes, [&](json answer) { result = std::move(answer); }, options);
        ASSERT_TRUE(result) << minutes;
        EXPECT_EQ(*result,
                  json({{"ok", false},
                        {"error", "分钟数超出范围（1 到 1440）：" + std::to_string(minutes)}}));
    }
}

TEST_F(MeetingProbeTest, LongRecordTestWatchdogAfterMinutesTimesSixPlus300Seconds) {
    options.feedPause = 0us;
    std::optional<json> result;
    MeetingProbe::longRecordTest(
        2, [&](json values) { result = std::move(values); }, options);
    // The feed ends and its figures are in; the finish then hangs on the writes.
    ASSERT_TRUE(platform.queue.runUntil(
        [&] { return platform.serialQueues.latest("pagemate-recorder")->waiting() == 1; }, 10s));
    platform.queue.advance(311999ms);
    EXPECT_FALSE(fs::exists(report));
    platform.queue.advance(1ms);
    const json written = writtenReport();
    EXPECT_EQ(written["ok"], false);
    EXPECT_EQ(written["error"], "超时");
    EXPECT_EQ(platform.application.terminateCount, 1);
    ASSERT_TRUE(settle(result));
}

}  // namespace
}  // namespace pagemate
