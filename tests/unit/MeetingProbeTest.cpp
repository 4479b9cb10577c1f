// The meeting's self-tests on the fakes: their pass marks, failures and watchdogs on the
// virtual clock. What they report on real parts is shown by MeetingProbeModesTest.

#include <gtest/gtest.h>

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
    // Runs the serial queues and the main queue, `step` of virtual time at a time, until the
    // report is in.
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
    // Until the recording's finish waits for writes that never run.
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

// A recording whose writes never end: the short test's watchdog after 60 s, the long one's
// after minutes × 6 + 300 s, each writing the report so far and ending the program.
TEST_F(MeetingProbeTest, RecordTestsWatchdogsAndFailures) {
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

    // A recorder that cannot start; minutes out of range, refused before anything is recorded.
    testing::writeFile(folders.tmp() / "file", "");
    const testing::ScopedEnvironment tmp("TMPDIR", (folders.tmp() / "file").c_str());
    MeetingProbe::recordTest(collect(), options);
    ASSERT_TRUE(settle(20s));
    EXPECT_EQ(*report, json({{"ok", false}, {"error", "录音器没能启动"}}));
    for (const std::int64_t minutes : {INT64_MIN, std::int64_t{0}, std::int64_t{1441}, INT64_MAX}) {
        MeetingProbe::longRecordTest(minutes, collect(), options);
        ASSERT_TRUE(report) << minutes;
        EXPECT_EQ(*report,
                  json({{"ok", false},
                        {"error", "分钟数超出范围（1 到 1440）：" + std::to_string(minutes)}}));
    }
}

TEST_F(MeetingProbeTest, LiveTestsReportErrorsAFailedStartAndTheirWatchdog) {
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

    // The speech live test's watchdog, after 30 s of a finalize that never ends.
    platform.speech.availabilityState = SpeechRecognizer::Availability::available;
    platform.speech.supported = {"en-US"};
    platform.speech.channel(platform.speech.channelsMade())
        .setFinalizeMode(fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    SpeechProbe::liveTranscribeTest(collect(), {file});
    EXPECT_FALSE(settle(29s, 500ms));
    EXPECT_EQ(platform.application.terminateCount, 0);
    platform.queue.advance(2s);
    ASSERT_EQ(platform.application.terminateCount, 1);
    EXPECT_EQ(written()["error"], "超时（30 秒），识别器没有正常收尾");
    EXPECT_EQ(written()["started"], true);
    EXPECT_FALSE(written().contains("finalized"));
}

// The sentence test passes from 60 % of the letters recognised: of its sample's
// "unless to be rather cold hearted and rather selfish is to be ill disposed",
// "unless to be cold" (68 %) passes, "unless to be" (58 %) does not.
TEST(MeetingProbeScore, CharactersAndWordsAndThePassMark) {
    const std::string_view sample =
        "unless to be rather cold hearted and rather selfish is to be ill disposed";
    for (const auto& [heard, passes] :
         {std::pair{"unless to be cold", true}, {"unless to be", false}}) {
        const double ratio = MeetingProbe::characterMatch(sample, heard).ratio;
        EXPECT_EQ(MeetingProbe::sentenceRecognized(ratio), passes) << ratio;
    }
    // Punctuation and spaces do not count; each letter anywhere in what was heard does.
    EXPECT_DOUBLE_EQ(MeetingProbe::characterMatch("你好，世界。", "世界你们").ratio, 0.75);
    EXPECT_DOUBLE_EQ(
        MeetingProbe::wordMatch("Unless to be rather cold", "unless to be a cold day").ratio, 0.8);
}

TEST_F(MeetingProbeTest, MeetingEnvironmentMicrophoneAndModel) {
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
