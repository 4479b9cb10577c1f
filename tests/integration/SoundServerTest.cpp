// The capture against a real sound server: a PulseAudio daemon of the test's own with
// a null sink as the output and a sine source as the microphone.

#include <gtest/gtest.h>

#include <algorithm>

#include "fixtures/PulseDaemon.h"
#include "integration/AudioTestSupport.h"
#include "meeting/AudioCapture.h"
#include "meeting/SystemAudioTap.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AvAudioCodecs.h"
#include "platform/linux/PulseSoundServer.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using Source = AudioCapture::Source;

class SoundServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(daemon.running()) << daemon.log();
        // The real server and converter behind the ports; the other services stay fakes.
        Platform::current().sound = std::make_unique<linux_backend::PulseSoundServer>();
        Platform::current().audioCodecs = std::make_unique<linux_backend::AvAudioCodecs>();
        capture = AudioCapture::make();
        capture->onBuffer = [this](Source source, const AudioBlockPtr& block) {
            const std::lock_guard lock(mutex);
            EXPECT_EQ(block->format(), AudioFormat::meeting());
            auto& samples = source == Source::microphone ? microphone : system;
            const auto floats = block->floats(0);
            samples.insert(samples.end(), floats.begin(), floats.end());
        };
        capture->onLevels = [this](float mic, float sys) { levels.emplace_back(mic, sys); };
        capture->onFailure = [this](const std::string& message) {
            const std::lock_guard lock(mutex);
            failures.push_back(message);
        };
    }
    std::size_t collected(Source source) {
        const std::lock_guard lock(mutex);
        return (source == Source::microphone ? microphone : system).size();
    }
    // Waits (in real time) until a source has brought that many 16 kHz samples.
    bool waitFor(Source source, std::size_t samples) {
        return platform.queue.runUntil([&] { return collected(source) >= samples; }, 10s);
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    // A 1 kHz tone plays on the output: the system audio.
    testing::PulseDaemon daemon{std::vector<std::string>{"module-sine sink=out frequency=1000"}};
    std::mutex mutex;
    std::vector<float> microphone;
    std::vector<float> system;
    std::vector<std::pair<float, float>> levels;
    std::vector<std::string> failures;
    std::shared_ptr<AudioCapture> capture;
};

TEST_F(SoundServerTest, TonesArriveAsSixteenKilohertzMonoAndALostOutputLeavesTheMicrophone) {
    EXPECT_EQ(AudioCapture::microphoneStatus(), 3);
    EXPECT_TRUE(Platform::current().sound->offersOutputMonitor());
    ASSERT_FALSE(capture->start());
    EXPECT_TRUE(failures.empty()) << failures.front();
    // The sine source runs at 44.1 kHz mono; the monitor of the null sink is stereo.
    EXPECT_TRUE(log.contains("音频采集：麦克风已启动（44100Hz / 1 声道）")) << log.text();
    EXPECT_TRUE(log.contains("系统声音采集：已启动（PulseAudio 监听输出，无需屏幕录制权限）"));
    // The system stream is seen by the server's tools by its name.
    const std::string outputs = testing::runShell("pactl list source-outputs");
    EXPECT_NE(outputs.find("Pagemate System Audio"), std::string::npos) << outputs;
    EXPECT_NE(outputs.find("Pagemate Microphone"), std::string::npos) << outputs;

    // A second of each, 16 kHz mono, at the tones' frequencies.
    ASSERT_TRUE(waitFor(Source::microphone, 16000));
    ASSERT_TRUE(waitFor(Source::system, 16000));
    // A block after more than 0.1 s pushes the levels again: the sine source is loud.
    platform.queue.advance(101ms);
    ASSERT_TRUE(waitFor(Source::microphone, collected(Source::microphone) + 4096));
    platform.queue.runUntilIdle();
    ASSERT_GE(levels.size(), 2u);
    EXPECT_GT(levels.back().first, 0.5F);

    // The output goes away: the system audio is lost, the microphone goes on.
    int status = -1;
    testing::runShell("pactl unload-module module-null-sink", &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(platform.queue.runUntil(
        [&] {
            return std::ranges::any_of(log.messages(), [](const std::string& line) {
                return line.starts_with("音频采集：系统声音的来源断开了（");
            });
        },
        10s))
        << log.text();
    ASSERT_TRUE(waitFor(Source::microphone, collected(Source::microphone) + 16000));
    capture->stop();
    EXPECT_EQ(log.messages().back(), "音频采集：已全部停止");
    // Each source's own tone, far above the other's.
    EXPECT_GT(testing::toneAmplitude(microphone, 440, 16000),
              10 * testing::toneAmplitude(microphone, 1000, 16000));
    EXPECT_GT(testing::toneAmplitude(system, 1000, 16000),
              10 * testing::toneAmplitude(system, 440, 16000));

    // The streams are gone from the server.
    const std::string left = testing::runShell("pactl list source-outputs");
    EXPECT_EQ(left.find("Pagemate"), std::string::npos) << left;
}

// No server: not determined; a server with only its output's monitor: restricted. Both
// fail the microphone's start, quietly.
TEST(SoundServerWithoutInput, NoServerOrOnlyAMonitorMeanNoMicrophone) {
    fake::FakePlatform platform;
    const testing::LogCapture log;
    {
        const testing::TempDir folder;
        const testing::ScopedEnvironment server(
            "PULSE_SERVER", ("unix:" + (folder.path() / "none").string()).c_str());
        Platform::current().sound = std::make_unique<linux_backend::PulseSoundServer>();
        EXPECT_EQ(AudioCapture::microphoneStatus(), 0);
        EXPECT_FALSE(Platform::current().sound->offersOutputMonitor());
        EXPECT_EQ(AudioCapture::make()->start()->message, "拿不到麦克风（可能没有可用的输入设备）");
        EXPECT_EQ(SystemAudioTap::make(*Platform::current().sound)->start()->message,
                  "创建系统声音捕获失败（错误码 6）");
        EXPECT_TRUE(log.messages().empty()) << log.text();
    }
    const testing::PulseDaemon daemon({}, "");
    ASSERT_TRUE(daemon.running()) << daemon.log();
    Platform::current().sound = std::make_unique<linux_backend::PulseSoundServer>();
    EXPECT_EQ(AudioCapture::microphoneStatus(), 1);
    EXPECT_TRUE(Platform::current().sound->offersOutputMonitor());
    EXPECT_EQ(AudioCapture::make()->start()->message, "拿不到麦克风（可能没有可用的输入设备）");
    EXPECT_EQ(testing::runShell("pactl list short source-outputs"), "");
}

}  // namespace
}  // namespace pagemate
