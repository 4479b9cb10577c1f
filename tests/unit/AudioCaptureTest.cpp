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

// RMS of the first channel times six, at most 1; 0 without float samples or frames.
TEST(AudioCaptureLevel, RmsOfTheFirstChannelTimesSixClamped) {
    const AudioFormat mono{SampleType::float32, 48000, 1, false};
    const AudioFormat planar{SampleType::float32, 48000, 2, false};
    EXPECT_NEAR(AudioCapture::level(
                    *blockOf(mono, 4096, [](auto n) { return n % 2 == 0 ? 0.05F : -0.05F; })),
                0.3F, 1e-6);
    EXPECT_EQ(AudioCapture::level(*blockOf(mono, 480, [](auto) { return 0.5F; })), 1.0F);
    auto quietLeft = AudioBlock::make(planar, 100);
    quietLeft->setFrameLength(100);
    std::ranges::fill(quietLeft->floats(1), 1.0F);
    EXPECT_EQ(AudioCapture::level(*quietLeft), 0.0F);
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

// The first block pushes at once; later ones when more than 0.1 s has passed, a source
// that has not delivered since the last push decaying to 0.6 times its level.
TEST_F(AudioCaptureTest, LevelsPushAtOnceThenAtMostEveryTenthOfASecondAndDecay) {
    ASSERT_FALSE(capture->start());
    const auto mic = SoundDeviceKind::defaultInput;
    const auto system = SoundDeviceKind::outputMonitor;
    struct Step {
        int advanceMs;
        SoundDeviceKind source;  // a block of 0.05 for the microphone (level 0.3), 0.1 else
        std::optional<std::pair<float, float>> pushed;
    };
    for (const auto& [advanceMs, source, pushed] :
         std::vector<Step>{{0, mic, {{0.3F, 0}}},
                           {50, system, {}},
                           {50, mic, {}},
                           {1, mic, {{0.3F, 0.6F}}},
                           {101, mic, {{0.3F, 0.36F}}},
                           {101, mic, {{0.3F, 0.216F}}},
                           {101, mic, {{0.3F, 0.1296F}}},
                           {101, system, {{0.18F, 0.6F}}},
                           {101, system, {{0.108F, 0.6F}}}}) {
        const std::size_t before = levels.size();
        platform.queue.advance(std::chrono::milliseconds(advanceMs));
        feedConstant(source, source == mic ? 0.05F : 0.1F);
        ASSERT_EQ(levels.size(), before + (pushed ? 1 : 0)) << advanceMs;
        if (pushed) {
            EXPECT_NEAR(levels.back().first, pushed->first, 1e-6);
            EXPECT_NEAR(levels.back().second, pushed->second, 1e-6);
        }
    }
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

// Without a monitor, or with one that fails, the microphone goes on alone.
TEST_F(AudioCaptureTest, WithoutSystemAudioTheMicrophoneGoesOnAlone) {
    platform.sound.setOffersOutputMonitor(false);
    ASSERT_FALSE(capture->start());
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    EXPECT_EQ(received().size(), 1u);
    capture->stop();
    platform.sound.setOffersOutputMonitor(true);
    platform.sound.failAt(SoundDeviceKind::outputMonitor, 1, {6, "Connection refused"});
    ASSERT_FALSE(capture->start());
    EXPECT_TRUE(log.contains("音频采集：系统声音启动失败 —— 创建系统声音捕获失败（错误码 6）"));
    EXPECT_EQ(failed(),
              (std::vector<std::string>{
                  "声音服务没有提供系统输出的监听源，无法采集系统声音，只能录到你的声音",
                  "系统声音采集失败（只能录到你的声音）：创建系统声音捕获失败（错误码 6）"}));
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    EXPECT_EQ(received().size(), 2u);
}

}  // namespace
}  // namespace pagemate
