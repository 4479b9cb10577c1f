#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

AudioBlockPtr loudBlock(std::uint32_t frames = 1600) {
    auto block = AudioBlock::make(AudioFormat::meeting(), frames);
    block->setFrameLength(frames);
    for (float& sample : block->floats(0)) {
        sample = 0.5F;
    }
    return block;
}

class MeetingSessionTest : public ::testing::Test {
  protected:
    MeetingSessionTest() {
        session->onSegment = [this](const MeetingSegment& segment) { reported.push_back(segment); };
        session->onError = [this](const std::string& message) { errors.push_back(message); };
    }
    std::optional<MeetingCaptureError> start() {
        bool done = false;
        std::optional<MeetingCaptureError> outcome;
        session->start([&](std::optional<MeetingCaptureError> error) {
            outcome = std::move(error);
            done = true;
        });
        EXPECT_TRUE(platform.queue.runUntil([&] { return done; }, 5000ms));
        return outcome;
    }
    std::vector<MeetingSegment> finish() {
        bool done = false;
        std::vector<MeetingSegment> result;
        session->finish([&](std::vector<MeetingSegment> segments) {
            result = std::move(segments);
            done = true;
        });
        EXPECT_TRUE(platform.queue.runUntil([&] { return done; }, 5000ms));
        return result;
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<MeetingSession> session = MeetingSession::make(TranscriptionEngine::local);
    std::vector<MeetingSegment> reported;
    std::vector<std::string> errors;
};

TEST(MeetingSessionLocale, PreferredListThenChinesePrefixThenEnglish) {
    EXPECT_EQ(MeetingSession::choosePreferredLocale({"en-US", "zh-TW", "zh-CN"}), "zh-CN");
    EXPECT_EQ(MeetingSession::choosePreferredLocale({"en-US", "zh-Hant-MO"}), "zh-Hant-MO");
    EXPECT_EQ(MeetingSession::choosePreferredLocale({"fr-FR"}), "en-US");
    EXPECT_EQ(MeetingSession::choosePreferredLocale({}), "en-US");
}

TEST_F(MeetingSessionTest, ModelDownloadAndReservationAreLogged) {
    platform.speech.supported = {"en-US", "zh-CN"};
    platform.speech.downloadSizes["zh-CN"] = 123456;
    ASSERT_FALSE(start().has_value());
    EXPECT_TRUE(log.contains("语音模型：需要下载（123456 字节），开始下载…"));
    EXPECT_TRUE(log.contains("语音模型：下载完成"));
    EXPECT_TRUE(log.contains("语音模型：已预留 zh-CN"));
    EXPECT_TRUE(log.contains("会议转写：本机语言 zh-CN"));
    EXPECT_TRUE(log.contains("会议转写：本机两条通道已启动"));
    EXPECT_EQ(platform.speech.channel(0).locale(), "zh-CN");
    EXPECT_EQ(platform.speech.channel(1).locale(), "zh-CN");

    // A model already there and reserved: ready, nothing reserved again; a failed
    // reservation does not stop anything.
    const auto calls = platform.speech.calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "reserve zh-CN"), 1);
    platform.speech.reserved.clear();
    platform.speech.reserveFailure = SpeechError{SpeechError::Kind::reserveFailed, "busy"};
    EXPECT_FALSE(MeetingSession::ensureModelNow().has_value());
    EXPECT_TRUE(log.contains("语音模型：已就绪"));
    EXPECT_TRUE(log.contains("语音模型：预留失败（可忽略）语音模型预留失败（busy）"));

    // A failing request fails the start with its description.
    platform.speech.requestFailures["zh-CN"] =
        SpeechError{SpeechError::Kind::downloadFailed, "offline"};
    session = MeetingSession::make(TranscriptionEngine::local);
    EXPECT_EQ(start().value().message, "语音模型下载失败（offline）");
}

TEST_F(MeetingSessionTest, RoutesBlocksKeepsTheTranscriptByIdAndSumsTheCounters) {
    session->feed(CaptureSource::microphone, loudBlock());  // before start: nowhere
    ASSERT_FALSE(start().has_value());
    ASSERT_EQ(session->localChannels().size(), 2U);
    EXPECT_EQ(session->localChannels()[0]->speaker(), "现场");
    EXPECT_EQ(session->localChannels()[1]->speaker(), "线上");
    auto& microphone = platform.speech.channel(0);
    auto& system = platform.speech.channel(1);
    for (int block = 0; block < 30; ++block) {
        session->feed(CaptureSource::microphone, loudBlock());
        session->feed(CaptureSource::system, loudBlock());
    }
    EXPECT_EQ(microphone.inputs().size(), 30U);
    EXPECT_EQ(system.inputs().size(), 30U);
    EXPECT_EQ(microphone.inputs()[0].startFrame, 0);  // the block before start did not count

    microphone.deliver(SpeechResult{"hello", 0.5, 0.3, false});
    ASSERT_TRUE(platform.queue.runUntil([&] { return reported.size() == 1; }, 5000ms));
    system.deliver(SpeechResult{"other side", 0.7, 0.5, true});
    ASSERT_TRUE(platform.queue.runUntil([&] { return reported.size() == 2; }, 5000ms));
    microphone.deliver(SpeechResult{"hello world", 0.5, 0.6, true});
    ASSERT_TRUE(platform.queue.runUntil([&] { return reported.size() == 3; }, 5000ms));
    // Silence for the system side: out of range of every peak record.
    system.deliver(SpeechResult{"ghost", 40, 1, true});
    // The system channel breaks off; the microphone goes on.
    system.fail({SpeechError::Kind::recognitionFailed, "gone"});
    ASSERT_TRUE(platform.queue.runUntil([&] { return !errors.empty(); }, 5000ms));
    EXPECT_EQ(errors, std::vector<std::string>{"线上通道识别中断：识别器中途出错（gone）"});
    microphone.deliver(SpeechResult{"still here", 2.5, 0.3, true});
    ASSERT_TRUE(platform.queue.runUntil([&] { return reported.size() == 4; }, 5000ms));

    const auto segments = session->allSegments();
    ASSERT_EQ(segments.size(), 3U);
    EXPECT_EQ(segments[0].id, "现场-5");
    EXPECT_EQ(segments[0].text, "hello world");  // replaced in place
    EXPECT_TRUE(segments[0].final);
    EXPECT_EQ(segments[1].id, "线上-7");
    EXPECT_EQ(segments[2].text, "still here");
    EXPECT_EQ(reported[0].text, "hello");  // both versions were reported
    EXPECT_EQ(reported[2].text, "hello world");

    const auto finished = finish();
    EXPECT_EQ(finished, session->allSegments());
    EXPECT_EQ(session->resultsReceived(), 4);
    EXPECT_EQ(session->droppedSilentSegments(), 1);
    EXPECT_TRUE(session->localChannels().empty());
    EXPECT_TRUE(microphone.finalizeCalled());
    EXPECT_TRUE(system.finalizeCalled());
    session->feed(CaptureSource::microphone, loudBlock());
    EXPECT_EQ(microphone.inputs().size(), 31U - 1U);
}

TEST_F(MeetingSessionTest, FinishGivesUpOnAStuckChannelAndStillFinishesTheOther) {
    ASSERT_FALSE(start().has_value());
    platform.speech.channel(0).setFinalizeMode(fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    bool done = false;
    session->finish([&](const std::vector<MeetingSegment>&) { done = true; });
    platform.queue.runUntil([&] { return done; }, 100ms);
    EXPECT_FALSE(done);
    EXPECT_FALSE(platform.speech.channel(1).finalizeCalled());  // one after the other
    platform.queue.advance(3000ms);
    ASSERT_TRUE(platform.queue.runUntil([&] { return done; }, 5000ms));
    EXPECT_TRUE(platform.speech.channel(1).finalized());
}

// The program ends (its platform goes) while the session's blocking work runs on a
// thread of its own: the end waits for that thread, and its continuation goes unrun.
TEST(MeetingSessionExit, TheEndWaitsForTheBackgroundWorkAndDropsItsContinuation) {
    std::atomic<bool> entered = false;
    std::atomic<bool> released = false;
    bool answered = false;
    std::thread releaser;
    {
        fake::FakePlatform platform;
        platform.speech.onCall = [&](const std::string& /*call*/) {
            entered = true;
            while (!released) {
                std::this_thread::sleep_for(1ms);
            }
        };
        MeetingSession::preferredLocale([&](const std::string&) { answered = true; });
        while (!entered) {
            std::this_thread::sleep_for(1ms);
        }
        releaser = std::thread([&] {
            std::this_thread::sleep_for(50ms);
            released = true;
        });
    }
    releaser.join();
    EXPECT_FALSE(answered);
}

}  // namespace
}  // namespace pagemate
