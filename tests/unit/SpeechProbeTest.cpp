// The speech and meeting self-tests on the scripted recogniser and the virtual clock:
// what their reports say when something goes wrong, their pass marks and watchdogs.

#include <gtest/gtest.h>

#include <fstream>

#include "diagnostics/MeetingEnvironment.h"
#include "diagnostics/SpeechMeetingProbe.h"
#include "diagnostics/SpeechProbe.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"
#include "platform/fake/LinearConverterCodecs.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class SpeechProbeTest : public ::testing::Test {
  protected:
    // Runs the main queue on the virtual clock, a step at a time, until the report is
    // in; the decoder threads of the scripted recogniser run in real time meanwhile.
    bool runUntilReport(std::chrono::milliseconds virtualLimit,
                        std::chrono::milliseconds step = 10ms) {
        for (auto passed = 0ms; passed <= virtualLimit && !report; passed += step) {
            platform.queue.runUntil([this] { return report.has_value(); }, 20ms);
            platform.queue.advance(step);
        }
        return report.has_value();
    }
    MeetingProbe::Completion collect() {
        report.reset();
        return [this](json values) { report = std::move(values); };
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    testing::TempDir folder;
    std::optional<json> report;
};

TEST_F(SpeechProbeTest, LiveTestReportsAChannelErrorAndAFailedStart) {
    MeetingProbe::liveTest(collect(), {folder.path() / "report.json"});
    platform.queue.runUntil([&] { return platform.speech.channel(1).started(); }, 5000ms);
    platform.speech.channel(1).fail({SpeechError::Kind::recognitionFailed, "gone"});
    ASSERT_TRUE(runUntilReport(5s));
    EXPECT_EQ((*report)["ok"], false);
    EXPECT_EQ((*report)["errors"], json::array({"线上通道识别中断：识别器中途出错（gone）"}));

    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    MeetingProbe::liveTest(collect(), {folder.path() / "report.json"});
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ(*report,
              json({{"ok", false},
                    {"error", "会话启动失败：" + std::string(MeetingSession::noModelMessage)},
                    {"errors", json::array()}}));
}

// A loud sample of 2 s, whatever file is asked for, for the sentence test.
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
    fake::LinearConverterCodecs converters;

  public:
    std::variant<std::unique_ptr<AudioConverter>, AudioError> makeConverter(
        const AudioFormat& from, const AudioFormat& to) override {
        return converters.makeConverter(from, to);
    }
    std::variant<std::unique_ptr<AudioFileWriter>, AudioError> createAacFile(
        const std::filesystem::path& path, const AacFileSettings& settings) override {
        return converters.createAacFile(path, settings);
    }
    std::variant<std::unique_ptr<AudioFileReader>, AudioError> openFile(
        const std::filesystem::path& /*path*/) override {
        return std::make_unique<Reader>();
    }
};

// The sentence test passes when 60 % of the sample's letters were recognised: the
// installed sample says "unless to be rather cold hearted and rather selfish is to be
// ill disposed".
TEST_F(SpeechProbeTest, SentenceTestPassesFromSixtyPercentOfTheLetters) {
    std::unique_ptr<AudioCodecs> codecs = std::make_unique<LoudSampleCodecs>();
    std::swap(Platform::current().audioCodecs, codecs);
    std::size_t channel = 0;
    for (const auto& [heard, ratio, ok] :
         {std::tuple{"unless to be cold", 0.683, true}, std::tuple{"unless to be", 0.583, false}}) {
        // Whichever channel is the microphone's: the other's silence drops it.
        platform.speech.channel(channel).setFinalResults({{heard, 2.5, 1.0, true}});
        platform.speech.channel(channel + 1).setFinalResults({{heard, 2.5, 1.0, true}});
        MeetingProbe::ttsTest(collect(), {folder.path() / "tts.json"});
        ASSERT_TRUE(runUntilReport(30s, 100ms));
        EXPECT_EQ((*report)["matchRatio"], ratio) << report->dump(2);
        EXPECT_EQ((*report)["ok"], ok) << heard;
        channel += 2;
    }
    std::swap(Platform::current().audioCodecs, codecs);
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

    platform.speech.supported = {"en-US"};
    SpeechProbe::report(collect());
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ((*report)["chineseLocales"], json::array());
    EXPECT_FALSE(report->contains("chineseModelNeedsDownload"));

    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    SpeechProbe::report(collect());
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ(report->size(), 2U);
    EXPECT_EQ((*report)["available"], false);
}

// The watchdogs: the meeting live test's stands down once its report is in (finalizes
// that never end hold the finish for 3 s a channel, well within its 60 s); the speech
// live test's, after 30 s of a finalize that never ends, writes the report so far and
// ends the program.
TEST_F(SpeechProbeTest, WatchdogsStandDownOrWriteTheReportSoFar) {
    platform.speech.supported = {"en-US"};
    for (std::size_t channel = 0; channel < 3; ++channel) {
        platform.speech.channel(channel).setFinalizeMode(
            fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    }
    MeetingProbe::liveTest(collect(), {folder.path() / "live.json"});
    ASSERT_TRUE(runUntilReport(10s, 100ms));
    EXPECT_EQ((*report)["ok"], true) << report->dump(2);
    platform.queue.advance(61s);
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "live.json"));

    const auto path = folder.path() / "hung.json";
    SpeechProbe::liveTranscribeTest(collect(), {path});
    EXPECT_FALSE(runUntilReport(29s, 500ms));
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

TEST_F(SpeechProbeTest, MeetingEnvironmentSystemNameMicrophoneAndModel) {
    const auto file = folder.path() / "os-release";
    std::ofstream(file) << "NAME=\"Debian GNU/Linux\"\nVERSION=\"12 (bookworm)\"\n"
                           "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n";
    EXPECT_EQ(MeetingEnvironment::systemName(file.string()), "Debian GNU/Linux 12 (bookworm)");
    std::ofstream(file) << "NAME=Fedora\nVERSION='40'\n";
    EXPECT_EQ(MeetingEnvironment::systemName(file.string()), "Fedora 40");
    EXPECT_EQ(MeetingEnvironment::systemName((folder.path() / "none").string()), "Linux");
    for (const auto& [status, label] :
         {std::pair{-4, "未请求"}, {1, "受限"}, {2, "已拒绝"}, {9, "已授权"}}) {
        EXPECT_EQ(MeetingEnvironment::microphoneLabel(status), label);
    }
    // Without a model the report says so, and names no locale.
    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    MeetingEnvironment::report(collect());
    ASSERT_TRUE(runUntilReport(1s));
    EXPECT_EQ((*report)["localSpeechAvailable"], false) << report->dump(2);
    EXPECT_FALSE(report->contains("locale"));
}

}  // namespace
}  // namespace pagemate
