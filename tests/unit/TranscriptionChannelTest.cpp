// The meeting's transcription on the scripted recogniser and the virtual clock: one
// sound's channel and the session of the two. The real recogniser's is LiveTranscription's.

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "meeting/TranscriptionChannel.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

AudioBlockPtr constantBlock(std::uint32_t frames, float value) {
    auto block = AudioBlock::make(AudioFormat::meeting(), frames);
    block->setFrameLength(frames);
    for (std::size_t buffer = 0; buffer < block->bufferCount(); ++buffer) {
        std::ranges::fill(block->floats(buffer), value);
    }
    return block;
}

using Result = SpeechResult;

class TranscriptionChannelTest : public ::testing::Test {
  protected:
    std::shared_ptr<TranscriptionChannel> startChannel(const std::string& speaker = "现场") {
        auto channel = TranscriptionChannel::make(speaker, "en-US", platform.queue.now());
        channel->onSegment = [this](const MeetingSegment& segment) { segments.push_back(segment); };
        EXPECT_FALSE(channel->start().has_value());
        return channel;
    }
    // Feeds `count` tenth-of-a-second blocks whose peaks the callable gives by index.
    template <typename Peak>
    void feedTenths(TranscriptionChannel& channel, int count, Peak peak) {
        for (int index = 0; index < count; ++index) {
            channel.feed(constantBlock(1600, peak(index)));
        }
    }
    fake::FakePlatform platform;
    testing::LogCapture log;
    std::vector<MeetingSegment> segments;
};

TEST_F(TranscriptionChannelTest, SilenceWindowBoundsAndTheFirstThreeDropsLogged) {
    // A loud block at 1.3 s (outside the window of a result at 2.0–3.0 s) and at 1.4 s,
    // the lower bound, one at exactly the threshold: heard; just under it: dropped.
    for (const float quiet : {0.003F, 0.0029F}) {
        const int drops = quiet < 0.003F ? 4 : 0;
        auto channel = startChannel();
        feedTenths(*channel, 15, [&](int i) { return i == 13 ? 0.5F : (i == 14 ? quiet : 0.0F); });
        auto& fake = platform.speech.channel(platform.speech.channelsMade() - 1);
        fake.deliver(Result{"   ", 2.0, 1.0, false});  // white space: not even counted
        fake.deliver(std::vector(
            drops == 0 ? 1 : drops,
            Result{"  一二三四五六七八九十一二三四五六七八九十多出来的字 \n", 2.0, 1.0, true}));
        // Real time for the decoder thread, generous for an instrumented run.
        ASSERT_TRUE(platform.queue.runUntil(
            [&] { return !segments.empty() && channel->droppedSilent() >= drops; }, 30s));
        ASSERT_TRUE(fake.waitUntilDelivered());
        EXPECT_EQ(channel->resultsReceived(), drops == 0 ? 1 : 0);
    }
    EXPECT_EQ(segments.at(0).text, "一二三四五六七八九十一二三四五六七八九十多出来的字");
    EXPECT_EQ(segments.size(), 1U);
    // Four drops, three lines.
    EXPECT_EQ(
        std::ranges::count_if(
            log.messages(), [](const auto& line) { return line.starts_with("静音过滤[现场]："); }),
        3);
    EXPECT_TRUE(
        log.contains("静音过滤[现场]：丢弃「一二三四五六七八九十一二三四五六七八九十」 区间 "
                     "2.0~3.0 秒，峰值记录 15 条"));
}

// Partials share their id until the final or a gap; labelled by their start, or, at 0 s
// or at a time that is not finite, by the time since the meeting began.
TEST_F(TranscriptionChannelTest, PartialsShareTheirIdUntilFinalOrAGap) {
    auto channel = startChannel();
    feedTenths(*channel, 120, [](int) { return 0.5F; });
    platform.queue.advance(125s);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    platform.speech.channel(0).deliver(
        {Result{"zero", 0, 0.5, true},
         Result{"nan", nan, std::numeric_limits<double>::infinity(), true},
         Result{"we", 5.0, 0.2, false}, Result{"we met", 5.3, 0.4, false},
         Result{"we met today", 5.0, 0.9, true}, Result{"next", 6.5, 0.5, false},
         Result{"next one", 6.5, 1.0, false},
         // 1.6 s after everything heard (ends at 7.5): a new id, no final.
         Result{"later", 9.1, 0.5, false}});
    ASSERT_TRUE(platform.queue.runUntil([&] { return segments.size() >= 8; }, 30s));
    std::string seen;
    for (const auto& segment : segments) {
        seen += segment.id + " " + segment.at + " " + segment.speaker + " " + segment.text +
                (segment.final ? " final\n" : "\n");
    }
    EXPECT_EQ(seen, "现场-0 02:05 现场 zero final\n" + segments[1].id +
                        " 02:05 现场 nan final\n"
                        "现场-50 00:05 现场 we\n现场-50 00:05 现场 we met\n"
                        "现场-50 00:05 现场 we met today final\n现场-65 00:06 现场 next\n"
                        "现场-65 00:06 现场 next one\n现场-91 00:09 现场 later\n");
    EXPECT_EQ(channel->resultsReceived(), 8);
    EXPECT_EQ(TranscriptionChannel::timeLabel(6000.0, 0.0), "100:00");
}

// A decoder five times slower than real time, 1 s of 5 decoded at the stop: the channel
// waits 20 s for the other 4, keeps every result, then the last ones have 3 s.
TEST_F(TranscriptionChannelTest, FinishDrainsTheDecoderThenWaitsThreeSecondsForTheLastResults) {
    auto channel = startChannel();
    auto& slow = platform.speech.channel(0);
    slow.setDecodedSeconds(0);
    feedTenths(*channel, 50, [](int) { return 0.5F; });
    EXPECT_DOUBLE_EQ(channel->backlogSeconds(), 5.0);
    slow.setDecodedSeconds(1.0);
    slow.setFinalizeMode(fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    bool done = false;
    channel->finish([&] { done = true; });
    for (int second = 1; second <= 20; ++second) {
        platform.queue.advance(1000ms);
        slow.deliver(Result{"word " + std::to_string(second), (4 + second) / 5.0, 0.2, true});
        slow.setDecodedSeconds((5 + second) / 5.0);
        ASSERT_TRUE(platform.queue.runUntil(
            [&] { return segments.size() == static_cast<std::size_t>(second); }, 5000ms));
    }
    platform.queue.advance(2900ms);  // the last poll saw the drain done: 3 s from there
    EXPECT_FALSE(done);
    platform.queue.advance(200ms);
    EXPECT_TRUE(done);
    EXPECT_EQ(slow.waitUntilDestroyed(), "pagemate-asrend");
    channel->feed(constantBlock(1600, 0.5F));  // after finish: goes nowhere
    EXPECT_EQ(slow.inputs().size(), 50U);
}

// The session: its two channels, the model it needs, the transcript it keeps.
class MeetingSessionTest : public TranscriptionChannelTest {
  protected:
    MeetingSessionTest() {
        session->onSegment = [this](const MeetingSegment& segment) { segments.push_back(segment); };
        session->onError = [this](const std::string& message) { errors.push_back(message); };
    }
    std::optional<MeetingCaptureError> start() {
        std::optional<std::optional<MeetingCaptureError>> outcome;
        session->start(
            [&](std::optional<MeetingCaptureError> error) { outcome = std::move(error); });
        EXPECT_TRUE(platform.queue.runUntil([&] { return outcome.has_value(); }, 5000ms));
        return outcome.value_or(std::nullopt);
    }
    std::shared_ptr<MeetingSession> session = MeetingSession::make(TranscriptionEngine::local);
    std::vector<std::string> errors;
};

// The preferred list, then a Chinese prefix, then English; a missing model downloaded first.
TEST_F(MeetingSessionTest, ChoosesTheLocaleAndDownloadsAMissingModelFirst) {
    EXPECT_EQ(MeetingSession::choosePreferredLocale({"en-US", "zh-TW", "zh-CN"}), "zh-CN");
    EXPECT_EQ(MeetingSession::choosePreferredLocale({"en-US", "zh-Hant-MO"}), "zh-Hant-MO");
    EXPECT_EQ(MeetingSession::choosePreferredLocale({"fr-FR"}), "en-US");
    platform.speech.supported = {"en-US", "zh-CN"};
    platform.speech.downloadSizes["zh-CN"] = 123456;
    ASSERT_FALSE(start().has_value());
    EXPECT_TRUE(log.contains("语音模型：需要下载（123456 字节），开始下载…"));
    EXPECT_TRUE(log.contains("会议转写：本机语言 zh-CN"));
    EXPECT_EQ(platform.speech.channel(1).locale(), "zh-CN");
    // A failing request fails the start with its description.
    platform.speech.requestFailures["zh-CN"] =
        SpeechError{SpeechError::Kind::downloadFailed, "offline"};
    session = MeetingSession::make(TranscriptionEngine::local);
    EXPECT_EQ(start().value().message, "语音模型下载失败（offline）");
}

TEST_F(MeetingSessionTest, RoutesBlocksKeepsTheTranscriptByIdAndSumsTheCounters) {
    session->feed(CaptureSource::microphone, constantBlock(1600, 0.5F));  // before start: nowhere
    ASSERT_FALSE(start().has_value());
    auto& microphone = platform.speech.channel(0);
    auto& system = platform.speech.channel(1);
    for (int block = 0; block < 30; ++block) {
        session->feed(CaptureSource::microphone, constantBlock(1600, 0.5F));
        session->feed(CaptureSource::system, constantBlock(1600, 0.5F));
    }
    EXPECT_EQ(microphone.inputs().size(), 30U);
    EXPECT_EQ(system.inputs().size(), 30U);
    EXPECT_EQ(microphone.inputs()[0].startFrame, 0);  // the block before start did not count

    microphone.deliver(Result{"hello", 0.5, 0.3, false});
    ASSERT_TRUE(platform.queue.runUntil([&] { return segments.size() == 1; }, 5000ms));
    system.deliver(Result{"other side", 0.7, 0.5, true});
    ASSERT_TRUE(platform.queue.runUntil([&] { return segments.size() == 2; }, 5000ms));
    microphone.deliver(Result{"hello world", 0.5, 0.6, true});
    ASSERT_TRUE(platform.queue.runUntil([&] { return segments.size() == 3; }, 5000ms));
    // Silence for the system side: out of range of every peak record.
    system.deliver(Result{"ghost", 40, 1, true});
    // The system channel breaks off; the microphone goes on.
    system.fail({SpeechError::Kind::recognitionFailed, "gone"});
    ASSERT_TRUE(platform.queue.runUntil([&] { return !errors.empty(); }, 5000ms));
    EXPECT_EQ(errors, std::vector<std::string>{"线上通道识别中断：识别器中途出错（gone）"});
    microphone.deliver(Result{"still here", 2.5, 0.3, true});
    ASSERT_TRUE(platform.queue.runUntil([&] { return segments.size() == 4; }, 5000ms));

    const auto transcript = session->allSegments();
    ASSERT_EQ(transcript.size(), 3U);
    EXPECT_EQ(transcript[0].id, "现场-5");
    EXPECT_EQ(transcript[0].text, "hello world");  // replaced in place
    EXPECT_TRUE(transcript[0].final);
    EXPECT_EQ(transcript[1].id, "线上-7");
    EXPECT_EQ(transcript[2].text, "still here");
    EXPECT_EQ(segments[0].text, "hello");  // both versions were reported
    EXPECT_EQ(segments[2].text, "hello world");

    std::optional<std::vector<MeetingSegment>> finished;
    session->finish([&](std::vector<MeetingSegment> kept) { finished = std::move(kept); });
    ASSERT_TRUE(platform.queue.runUntil([&] { return finished.has_value(); }, 5000ms));
    EXPECT_EQ(*finished, transcript);
    EXPECT_EQ(session->resultsReceived(), 4);
    EXPECT_EQ(session->droppedSilentSegments(), 1);
    EXPECT_TRUE(session->localChannels().empty());
    EXPECT_TRUE(microphone.finalizeCalled());
    EXPECT_TRUE(system.finalizeCalled());
}

}  // namespace
}  // namespace pagemate
