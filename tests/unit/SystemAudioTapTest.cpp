// The system-audio tap against the scripted sound server: its blocks from fragments,
// its four start steps and what each failure releases, its stop.

#include <gtest/gtest.h>

#include <cstring>

#include "harness/TestSupport.h"
#include "meeting/MeetingCaptureError.h"
#include "meeting/SystemAudioTap.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using Journal = std::vector<std::string>;

std::vector<std::byte> floats(std::size_t count, float first) {
    std::vector<std::byte> bytes(count * sizeof(float));
    for (std::size_t index = 0; index < count; ++index) {
        const float value = first + static_cast<float>(index);
        std::memcpy(bytes.data() + (index * sizeof(float)), &value, sizeof(float));
    }
    return bytes;
}

TEST(SystemAudioTapBuffers, BlocksFromBufferLists) {
    const AudioFormat interleaved{SampleType::float32, 48000, 2, true};
    const AudioFormat planar{SampleType::float32, 48000, 2, false};

    // No buffer, or an empty first one: nothing.
    EXPECT_EQ(SystemAudioTap::bufferFromList({}, interleaved), nullptr);
    const std::vector<std::byte> data = floats(1024, 0);
    const std::vector<SoundBuffer> emptyFirst{{data.data(), 0}, {data.data(), data.size()}};
    EXPECT_EQ(SystemAudioTap::bufferFromList(emptyFirst, planar), nullptr);

    // Interleaved stereo float, 4096 bytes at 8 bytes a frame: 512 frames, copied.
    const std::vector<SoundBuffer> one{{data.data(), 4096}};
    const auto block = SystemAudioTap::bufferFromList(one, interleaved);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->frameLength(), 512u);
    EXPECT_EQ(block->frameCapacity(), 512u);
    EXPECT_EQ(block->format(), interleaved);
    ASSERT_EQ(block->floats(0).size(), 1024u);
    EXPECT_EQ(block->floats(0)[0], 0.0F);
    EXPECT_EQ(block->floats(0)[1023], 1023.0F);

    // Planar stereo float, 4096 bytes a channel at 4 bytes a frame: 1024 frames, both
    // channels copied.
    const std::vector<std::byte> left = floats(1024, 0);
    const std::vector<std::byte> right = floats(1024, 5000);
    const std::vector<SoundBuffer> two{{left.data(), 4096}, {right.data(), 4096}};
    const auto split = SystemAudioTap::bufferFromList(two, planar);
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->frameLength(), 1024u);
    EXPECT_EQ(split->floats(0)[1023], 1023.0F);
    EXPECT_EQ(split->floats(1)[0], 5000.0F);
    EXPECT_EQ(split->floats(1)[1023], 6023.0F);

    // A frame larger than the first buffer: nothing.
    const std::vector<SoundBuffer> small{{data.data(), 4}};
    EXPECT_EQ(SystemAudioTap::bufferFromList(small, interleaved), nullptr);
    // Whole frames only: 12 bytes of 8-byte frames give one frame.
    const std::vector<SoundBuffer> ragged{{data.data(), 12}};
    EXPECT_EQ(SystemAudioTap::bufferFromList(ragged, interleaved)->frameLength(), 1u);
}

class SystemAudioTapTest : public ::testing::Test {
  protected:
    std::shared_ptr<SystemAudioTap> makeTap() {
        return SystemAudioTap::make(*Platform::current().sound);
    }
    std::string startError(SystemAudioTap& tap) {
        const auto error = tap.start();
        return error ? error->message : "";
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
};

TEST_F(SystemAudioTapTest, EachFailingStepReleasesWhatTheEarlierStepsMade) {
    const SoundServerError refused{6, "Connection refused"};
    struct Case {
        int step;
        std::string message;
        Journal journal;
    };
    const std::vector<Case> cases{
        {1, "创建系统声音捕获失败（错误码 6）", {"open output"}},
        {2,
         "创建音频聚合设备失败（错误码 6）",
         {"open output", "create Pagemate System Audio", "release device"}},
        {3,
         "注册音频回调失败（错误码 6）",
         {"open output", "create Pagemate System Audio", "connect", "release stream",
          "release device"}},
        {4,
         "启动系统声音采集失败（错误码 6）",
         {"open output", "create Pagemate System Audio", "connect", "ready", "disconnect",
          "release stream", "release device"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        fake::ScriptedSoundServer server;
        server.failAt(SoundDeviceKind::outputMonitor, c.step, refused);
        const auto tap = SystemAudioTap::make(server);
        EXPECT_EQ(startError(*tap), c.message);
        EXPECT_EQ(server.journal(), c.journal);
        EXPECT_FALSE(tap->running());
        // Everything is released already: stop() does nothing and logs nothing.
        tap->stop();
        EXPECT_EQ(server.journal(), c.journal);
    }
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(SystemAudioTapTest, RunsStopsInOrderAndIgnoresASecondStart) {
    const auto tap = makeTap();
    // Never started: stop logs nothing.
    tap->stop();
    EXPECT_TRUE(log.messages().empty());

    std::mutex mutex;
    std::vector<AudioBlockPtr> blocks;
    tap->onBuffer = [&](const AudioBlockPtr& block) {
        const std::lock_guard lock(mutex);
        blocks.push_back(block);
    };
    ASSERT_FALSE(tap->start());
    EXPECT_TRUE(tap->running());
    EXPECT_EQ(log.messages(),
              Journal{"系统声音采集：已启动（PulseAudio 监听输出，无需屏幕录制权限）"});
    const Journal started{"open output", "create Pagemate System Audio", "connect", "ready"};
    EXPECT_EQ(platform.sound.journal(), started);
    const auto stream = platform.sound.stream(SoundDeviceKind::outputMonitor);
    ASSERT_NE(stream, nullptr);
    // The monitor's own format.
    EXPECT_EQ(stream->request().format, (AudioFormat{SampleType::float32, 48000, 2, true}));

    // A second start leaves the running stream alone.
    ASSERT_FALSE(tap->start());
    EXPECT_EQ(platform.sound.journal(), started);
    EXPECT_EQ(platform.sound.stream(SoundDeviceKind::outputMonitor), stream);

    // Fragments come in order, as blocks of the monitor's format.
    const AudioFormat format = stream->request().format;
    for (std::uint32_t frames : {512u, 441u, 1u}) {
        stream->deliver(fake::constantFragment(format, frames, static_cast<float>(frames)));
    }
    stream->deliver({{}});  // an empty fragment gives no block
    stream->flush();
    {
        const std::lock_guard lock(mutex);
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks[0]->frameLength(), 512u);
        EXPECT_EQ(blocks[1]->frameLength(), 441u);
        EXPECT_EQ(blocks[1]->floats(0)[881], 441.0F);
        EXPECT_EQ(blocks[2]->frameLength(), 1u);
    }

    // Stop: stream stopped, callback disconnected, stream released, device released.
    tap->stop();
    EXPECT_FALSE(tap->running());
    const Journal journal = platform.sound.journal();
    EXPECT_EQ(Journal(journal.begin() + 4, journal.end()),
              (Journal{"stop", "disconnect", "release stream", "release device"}));
    EXPECT_EQ(log.messages().back(), "系统声音采集：已停止");
    // After stop nothing more arrives.
    stream->deliver(fake::constantFragment(format, 16, 1));
    stream->flush();
    {
        const std::lock_guard lock(mutex);
        EXPECT_EQ(blocks.size(), 3u);
    }
    // A second stop logs nothing.
    const std::size_t lines = log.messages().size();
    tap->stop();
    EXPECT_EQ(log.messages().size(), lines);
}

TEST_F(SystemAudioTapTest, UnreadableFormatMeansFortyEightKilohertzStereoPlanar) {
    platform.sound.setFormat(SoundDeviceKind::outputMonitor, std::nullopt);
    const auto tap = makeTap();
    std::mutex mutex;
    AudioBlockPtr received;
    tap->onBuffer = [&](const AudioBlockPtr& block) {
        const std::lock_guard lock(mutex);
        received = block;
    };
    ASSERT_FALSE(tap->start());
    const auto stream = platform.sound.stream(SoundDeviceKind::outputMonitor);
    const AudioFormat fallback{SampleType::float32, 48000, 2, false};
    EXPECT_EQ(stream->request().format, fallback);
    stream->deliver(fake::constantFragment(fallback, 1024, 0.5F));
    stream->flush();
    const std::lock_guard lock(mutex);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(received->format(), fallback);
    EXPECT_EQ(received->frameLength(), 1024u);
    EXPECT_EQ(received->floats(1)[1023], 0.5F);
}

TEST_F(SystemAudioTapTest, ReleasedTapIgnoresLateFragmentsAndReportsLoss) {
    auto tap = makeTap();
    std::atomic<int> blocks = 0;
    std::atomic<int> lost = 0;
    tap->onBuffer = [&](const AudioBlockPtr& /*block*/) { ++blocks; };
    tap->onLost = [&](const SoundServerError& error) {
        EXPECT_EQ(error.status, 12);
        ++lost;
    };
    ASSERT_FALSE(tap->start());
    const auto stream = platform.sound.stream(SoundDeviceKind::outputMonitor);
    stream->lose({12, "Entity killed"});
    stream->flush();
    EXPECT_EQ(lost, 1);
    // Destroying the tap runs the teardown: stream and device released.
    tap.reset();
    const Journal journal = platform.sound.journal();
    EXPECT_EQ(journal.back(), "release device");
    stream->deliver(fake::constantFragment(stream->request().format, 16, 1));
    stream->flush();
    EXPECT_EQ(blocks, 0);
}

}  // namespace
}  // namespace pagemate
