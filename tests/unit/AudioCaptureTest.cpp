// The capture's rules against the scripted sound server and the decimating codecs:
// levels and their pushes on the virtual clock, conversion and hand-on, start and stop.

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "meeting/AudioCapture.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using Source = AudioCapture::Source;

AudioBlockPtr blockOf(const AudioFormat& format, std::uint32_t frames,
                      const std::function<float(std::uint32_t)>& sample) {
    auto block = AudioBlock::make(format, frames);
    block->setFrameLength(frames);
    for (std::size_t buffer = 0; buffer < block->bufferCount(); ++buffer) {
        const std::span<float> samples = block->floats(buffer);
        const std::size_t perFrame = format.interleaved ? format.channels : 1;
        for (std::size_t index = 0; index < samples.size(); ++index) {
            samples[index] = sample(static_cast<std::uint32_t>(index / perFrame));
        }
    }
    return block;
}

TEST(AudioCaptureLevel, RmsOfTheFirstChannelTimesSixClamped) {
    const AudioFormat mono{SampleType::float32, 48000, 1, false};
    EXPECT_NEAR(AudioCapture::level(*blockOf(mono, 4096, [](auto) { return 0.05F; })), 0.3F, 1e-6);
    // Alternating signs: the RMS, not the mean.
    EXPECT_NEAR(AudioCapture::level(
                    *blockOf(mono, 4096, [](auto n) { return n % 2 == 0 ? 0.05F : -0.05F; })),
                0.3F, 1e-6);
    EXPECT_EQ(AudioCapture::level(*blockOf(mono, 480, [](auto) { return 0.5F; })), 1.0F);
    // Only the first channel counts: a loud second channel of a planar block does not.
    const AudioFormat planar{SampleType::float32, 48000, 2, false};
    auto quietLeft = AudioBlock::make(planar, 100);
    quietLeft->setFrameLength(100);
    for (float& sample : quietLeft->floats(1)) {
        sample = 1;
    }
    EXPECT_EQ(AudioCapture::level(*quietLeft), 0.0F);
    // No float samples, or no frames: 0.
    auto integers = AudioBlock::make({SampleType::int16, 16000, 1, false}, 100);
    integers->setFrameLength(100);
    EXPECT_EQ(AudioCapture::level(*integers), 0.0F);
    EXPECT_EQ(AudioCapture::level(*AudioBlock::make(mono, 10)), 0.0F);
}

class AudioCaptureTest : public ::testing::Test {
  protected:
    AudioCaptureTest() {
        capture->onBuffer = [this](Source source, const AudioBlockPtr& block) {
            const std::lock_guard lock(mutex);
            buffers.emplace_back(source, block);
        };
        capture->onLevels = [this](float microphone, float system) {
            levels.emplace_back(microphone, system);
        };
        capture->onFailure = [this](const std::string& message) {
            const std::lock_guard lock(mutex);
            failures.push_back(message);
        };
    }
    ~AudioCaptureTest() override { capture->stop(); }

    std::shared_ptr<fake::FakeSoundStream> stream(SoundDeviceKind kind) {
        return platform.sound.stream(kind);
    }
    // Hands a fragment to a source's stream and waits until the capture has dealt with
    // it; then runs what it posted.
    void feed(SoundDeviceKind kind, fake::FakeFragment fragment) {
        const auto target = stream(kind);
        target->deliver(std::move(fragment));
        target->flush();
        platform.queue.runUntilIdle();
    }
    void feedConstant(SoundDeviceKind kind, float value, std::uint32_t frames = 4096) {
        feed(kind, fake::constantFragment(stream(kind)->request().format, frames, value));
    }
    std::vector<std::pair<Source, AudioBlockPtr>> received() {
        const std::lock_guard lock(mutex);
        return buffers;
    }
    std::vector<std::string> failed() {
        const std::lock_guard lock(mutex);
        return failures;
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<AudioCapture> capture = AudioCapture::make();
    std::mutex mutex;
    std::vector<std::pair<Source, AudioBlockPtr>> buffers;
    std::vector<std::pair<float, float>> levels;
    std::vector<std::string> failures;
};

TEST_F(AudioCaptureTest, LevelsPushAtOnceThenAtMostEveryTenthOfASecondAndDecay) {
    ASSERT_FALSE(capture->start());
    // The first block pushes at once: the microphone at 0.3.
    feedConstant(SoundDeviceKind::defaultInput, 0.05F);
    ASSERT_EQ(levels.size(), 1u);
    EXPECT_NEAR(levels[0].first, 0.3F, 1e-6);
    EXPECT_EQ(levels[0].second, 0.0F);

    // The system at 0.6, 50 ms later: not due yet.
    platform.queue.advance(50ms);
    feedConstant(SoundDeviceKind::outputMonitor, 0.1F);
    EXPECT_EQ(levels.size(), 1u);
    // Exactly 0.1 s after the push: still not due ("more than 0.1 s").
    platform.queue.advance(50ms);
    feedConstant(SoundDeviceKind::defaultInput, 0.05F);
    EXPECT_EQ(levels.size(), 1u);
    platform.queue.advance(1ms);
    feedConstant(SoundDeviceKind::defaultInput, 0.05F);
    ASSERT_EQ(levels.size(), 2u);
    EXPECT_NEAR(levels[1].first, 0.3F, 1e-6);
    EXPECT_NEAR(levels[1].second, 0.6F, 1e-6);

    // The system stops delivering, the microphone goes on: each later push shows the
    // system at 0.6 times the one before.
    for (int push = 0; push < 3; ++push) {
        platform.queue.advance(101ms);
        feedConstant(SoundDeviceKind::defaultInput, 0.05F);
    }
    ASSERT_EQ(levels.size(), 5u);
    EXPECT_NEAR(levels[2].second, 0.36F, 1e-6);
    EXPECT_NEAR(levels[3].second, 0.216F, 1e-6);
    EXPECT_NEAR(levels[4].second, 0.1296F, 1e-6);
    EXPECT_NEAR(levels[4].first, 0.3F, 1e-6);

    // And the other way round: a silent microphone decays the same way.
    for (int push = 0; push < 2; ++push) {
        platform.queue.advance(101ms);
        feedConstant(SoundDeviceKind::outputMonitor, 0.1F);
    }
    ASSERT_EQ(levels.size(), 7u);
    EXPECT_NEAR(levels[5].first, 0.18F, 1e-6);
    EXPECT_NEAR(levels[6].first, 0.108F, 1e-6);
    EXPECT_NEAR(levels[6].second, 0.6F, 1e-6);
}

TEST_F(AudioCaptureTest, ConvertsToSixteenKilohertzMonoAndHandsMeetingBlocksOnAsTheyAre) {
    ASSERT_FALSE(capture->start());

    // 48 kHz stereo, 4096 frames: a 16 kHz mono block of capacity 1365 + 1024.
    feed(SoundDeviceKind::outputMonitor,
         fake::sineFragment(stream(SoundDeviceKind::outputMonitor)->request().format, 4096, 1000,
                            0.5F));
    auto got = received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, Source::system);
    EXPECT_EQ(got[0].second->format(), AudioFormat::meeting());
    EXPECT_EQ(got[0].second->frameCapacity(), 2389u);
    EXPECT_EQ(got[0].second->frameLength(), 1366u);

    // A 16 kHz mono block goes on as the very same block, whatever its sample type; a
    // 16 kHz stereo one is made mono.
    const auto meeting = blockOf({SampleType::int16, 16000, 1, true}, 160, [](auto) { return 0; });
    capture->handle(Source::microphone, meeting);
    capture->handle(Source::microphone,
                    blockOf({SampleType::float32, 16000, 2, true}, 160, [](auto) { return 0; }));
    got = received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[1].first, Source::microphone);
    EXPECT_EQ(got[1].second.get(), meeting.get());
    EXPECT_EQ(got[2].second->format(), AudioFormat::meeting());

    // One converter per source and format.
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    feedConstant(SoundDeviceKind::outputMonitor, 0.1F);
    EXPECT_EQ(platform.audioCodecs.convertersMade(), 3);
    EXPECT_EQ(received().size(), 6u);
}

TEST_F(AudioCaptureTest, ConversionProblemsDropTheBlock) {
    ASSERT_FALSE(capture->start());
    // No converter: dropped without a word; the next block tries again.
    platform.audioCodecs.refuseConverters(AudioError{-22, "Invalid argument"});
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    EXPECT_TRUE(received().empty());
    EXPECT_TRUE(failed().empty());
    platform.audioCodecs.refuseConverters(std::nullopt);
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    EXPECT_EQ(received().size(), 1u);

    // A failing conversion: its words, for every failing block.
    platform.audioCodecs.failConversions(AudioError{-5, "Input/output error"});
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    EXPECT_EQ(failed(), (std::vector<std::string>{"音频格式转换失败：Input/output error",
                                                  "音频格式转换失败：Input/output error"}));
    EXPECT_EQ(received().size(), 1u);
    platform.audioCodecs.failConversions(std::nullopt);

    // A conversion that yields no frame is dropped: at a third of the rate, one frame
    // gives one frame, the next two give none.
    feedConstant(SoundDeviceKind::outputMonitor, 0.1F, 1);
    feedConstant(SoundDeviceKind::outputMonitor, 0.1F, 1);
    feedConstant(SoundDeviceKind::outputMonitor, 0.1F, 1);
    EXPECT_EQ(received().size(), 2u);
}

TEST_F(AudioCaptureTest, WithoutAMonitorTheMicrophoneGoesOnAlone) {
    platform.sound.setOffersOutputMonitor(false);
    ASSERT_FALSE(capture->start());
    EXPECT_EQ(failed(),
              std::vector<std::string>{
                  "声音服务没有提供系统输出的监听源，无法采集系统声音，只能录到你的声音"});
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    EXPECT_EQ(received().size(), 1u);
}

TEST_F(AudioCaptureTest, SystemAudioFailureIsLoggedAndReportedAndTheMicrophoneGoesOn) {
    platform.sound.failAt(SoundDeviceKind::outputMonitor, 1, {6, "Connection refused"});
    ASSERT_FALSE(capture->start());
    EXPECT_TRUE(log.contains("音频采集：系统声音启动失败 —— 创建系统声音捕获失败（错误码 6）"));
    EXPECT_EQ(failed(),
              std::vector<std::string>{
                  "系统声音采集失败（只能录到你的声音）：创建系统声音捕获失败（错误码 6）"});
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    EXPECT_EQ(received().size(), 1u);
}

}  // namespace
}  // namespace pagemate
