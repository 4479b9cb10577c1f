// The capture and its two streams against the scripted sound server and the decimating
// codecs, on the virtual clock. The real server's side is SoundServerTest's.

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "meeting/AudioCapture.h"
#include "meeting/MicrophoneStream.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using Journal = std::vector<std::string>;
using Source = AudioCapture::Source;

AudioBlockPtr silence(const AudioFormat& format, std::uint32_t frames) {
    auto block = AudioBlock::make(format, frames);
    block->setFrameLength(frames);
    return block;
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

    // Hands a fragment over, waits for the capture to take it and runs what it posted.
    void feed(SoundDeviceKind kind, fake::FakeFragment fragment) {
        const auto target = platform.sound.stream(kind);
        target->deliver(std::move(fragment));
        target->flush();
        platform.queue.runUntilIdle();
    }
    void feedConstant(SoundDeviceKind kind, float value, std::uint32_t frames = 4096) {
        feed(kind,
             fake::constantFragment(platform.sound.stream(kind)->request().format, frames, value));
    }
    std::vector<std::pair<Source, AudioBlockPtr>> received() { return locked(buffers); }
    std::vector<std::string> failed() { return locked(failures); }
    template <typename T>
    T locked(const T& value) {
        const std::lock_guard lock(mutex);
        return value;
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<AudioCapture> capture = AudioCapture::make();
    std::mutex mutex;
    std::vector<std::pair<Source, AudioBlockPtr>> buffers;
    std::vector<std::pair<float, float>> levels;
    std::vector<std::string> failures;
};

// The microphone's stream (the system sound's is the same code on another device;
// SoundServerTest captures both from a real server): blocks in the source's format, a
// loss told; stopped in reverse order, nothing after.
TEST_F(AudioCaptureTest, AStreamDeliversTellsItsLossAndStopsInOrder) {
    const auto stream = MicrophoneStream::make(platform.sound);
    stream->onBuffer = [this](const AudioBlockPtr& block) {
        capture->onBuffer(Source::microphone, block);
    };
    stream->onLost = [this](const SoundServerError& error) {
        capture->onFailure(error.description);
    };
    ASSERT_FALSE(stream->start());
    const auto delivering = platform.sound.stream(SoundDeviceKind::defaultInput);
    ASSERT_FALSE(stream->start());  // a second start leaves the running stream alone
    EXPECT_EQ(platform.sound.journal(),
              (Journal{"open input", "create Pagemate Microphone", "connect", "ready"}));
    const AudioFormat format = delivering->request().format;
    for (std::uint32_t frames : {441u, 1u, 0u}) {
        delivering->deliver(fake::constantFragment(format, frames, static_cast<float>(frames)));
    }
    delivering->lose({12, "Entity killed"});
    delivering->flush();
    EXPECT_EQ(failed(), Journal{"Entity killed"});
    stream->stop();
    const Journal journal = platform.sound.journal();
    EXPECT_EQ(Journal(journal.begin() + 4, journal.end()),
              (Journal{"stop", "disconnect", "release stream", "release device"}));
    delivering->deliver(fake::constantFragment(format, 16, 1));
    delivering->flush();
    stream->stop();
    EXPECT_EQ(platform.sound.journal(), journal);
    const auto blocks = received();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].second->format(), format);
    EXPECT_EQ(blocks[0].second->floats(0).back(), 441.0F);
    EXPECT_EQ(blocks[1].second->frameLength(), 1u);
}

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

// A 16 kHz mono block goes on as the very same block, whatever its sample type; any other
// is made 16 kHz mono, by one converter per source and format.
TEST_F(AudioCaptureTest, ConvertsToSixteenKilohertzMonoAndHandsMeetingBlocksOnAsTheyAre) {
    ASSERT_FALSE(capture->start());
    const auto meeting = silence({SampleType::int16, 16000, 1, true}, 160);
    capture->handle(Source::microphone, meeting);
    capture->handle(Source::microphone, silence({SampleType::float32, 16000, 2, true}, 160));
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    feedConstant(SoundDeviceKind::defaultInput, 0.1F);
    feedConstant(SoundDeviceKind::outputMonitor, 0.1F);
    const auto got = received();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].second.get(), meeting.get());
    for (std::size_t index = 1; index < got.size(); ++index) {
        EXPECT_EQ(got[index].second->format(), AudioFormat::meeting()) << index;
    }
    EXPECT_EQ(got[3].first, Source::microphone);
    EXPECT_EQ(got[4].first, Source::system);
    EXPECT_EQ(platform.audioCodecs.convertersMade(), 3);
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
