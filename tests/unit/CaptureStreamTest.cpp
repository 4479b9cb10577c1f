// The two capture streams, the microphone and the system audio, against the scripted
// sound server: one contract run on both (start steps, what each failure releases,
// fragments as blocks, stop, loss, late fragments), and the blocks made of fragments.

#include <gtest/gtest.h>

#include <cstring>

#include "harness/TestSupport.h"
#include "meeting/MicrophoneStream.h"
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

TEST(CaptureStreamBuffers, BlocksFromBufferLists) {
    const AudioFormat interleaved{SampleType::float32, 48000, 2, true};
    const AudioFormat planar{SampleType::float32, 48000, 2, false};
    const std::vector<std::byte> data = floats(1024, 0);
    // No buffer, an empty first one, or a frame larger than the first buffer: nothing.
    EXPECT_EQ(CaptureStream::bufferFromList({}, interleaved), nullptr);
    const std::vector<SoundBuffer> emptyFirst{{data.data(), 0}, {data.data(), data.size()}};
    EXPECT_EQ(CaptureStream::bufferFromList(emptyFirst, planar), nullptr);
    const std::vector<SoundBuffer> small{{data.data(), 4}};
    EXPECT_EQ(CaptureStream::bufferFromList(small, interleaved), nullptr);
    // Whole frames only: 12 bytes of 8-byte frames give one frame.
    const std::vector<SoundBuffer> ragged{{data.data(), 12}};
    EXPECT_EQ(CaptureStream::bufferFromList(ragged, interleaved)->frameLength(), 1u);

    // Planar stereo float, 4096 bytes a channel at 4 bytes a frame: 1024 frames, both
    // channels copied.
    const std::vector<std::byte> right = floats(1024, 5000);
    const std::vector<SoundBuffer> two{{data.data(), 4096}, {right.data(), 4096}};
    const auto split = CaptureStream::bufferFromList(two, planar);
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->format(), planar);
    EXPECT_EQ(split->frameLength(), 1024u);
    EXPECT_EQ(split->floats(0)[1023], 1023.0F);
    EXPECT_EQ(split->floats(1)[1023], 6023.0F);
}

// One of the two streams: how it is made, and what the server journal names it by.
struct Kind {
    const char* name;
    SoundDeviceKind device;
    std::function<std::shared_ptr<CaptureStream>(SoundServer&)> make;
    std::string open;
    std::string create;
};

void PrintTo(const Kind& kind, std::ostream* out) {
    *out << kind.name;
}

const std::vector<Kind> kKinds{
    {"Microphone", SoundDeviceKind::defaultInput,
     [](SoundServer& server) { return MicrophoneStream::make(server); }, "open input",
     "create Pagemate Microphone"},
    {"SystemAudio", SoundDeviceKind::outputMonitor,
     [](SoundServer& server) { return SystemAudioTap::make(server); }, "open output",
     "create Pagemate System Audio"},
};

class CaptureStreamTest : public ::testing::TestWithParam<Kind> {
  protected:
    CaptureStreamTest() {
        stream->onBuffer = [this](const AudioBlockPtr& block) {
            const std::lock_guard lock(mutex);
            blocks.push_back(block);
        };
        stream->onLost = [this](const SoundServerError& error) {
            const std::lock_guard lock(mutex);
            lost.push_back(error.description);
        };
    }
    std::shared_ptr<fake::FakeSoundStream> source() const {
        return platform.sound.stream(GetParam().device);
    }
    std::size_t blockCount() {
        const std::lock_guard lock(mutex);
        return blocks.size();
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<CaptureStream> stream = GetParam().make(platform.sound);
    std::mutex mutex;
    std::vector<AudioBlockPtr> blocks;
    std::vector<std::string> lost;
};

TEST_P(CaptureStreamTest, EachFailingStepReleasesWhatTheEarlierStepsMade) {
    const Kind& kind = GetParam();
    const bool microphone = kind.device == SoundDeviceKind::defaultInput;
    struct Case {
        int step;
        std::string message;  // microphone's, system audio's
        std::string tapMessage;
        Journal journal;
    };
    const std::vector<Case> cases{
        {1,
         "拿不到麦克风（可能没有可用的输入设备）",
         "创建系统声音捕获失败（错误码 6）",
         {kind.open}},
        {2,
         "Connection refused",
         "创建音频聚合设备失败（错误码 6）",
         {kind.open, kind.create, "release device"}},
        {3,
         "Connection refused",
         "注册音频回调失败（错误码 6）",
         {kind.open, kind.create, "connect", "release stream", "release device"}},
        {4,
         "Connection refused",
         "启动系统声音采集失败（错误码 6）",
         {kind.open, kind.create, "connect", "ready", "disconnect", "release stream",
          "release device"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        fake::ScriptedSoundServer server;
        server.failAt(kind.device, c.step, {6, "Connection refused"});
        const auto failing = kind.make(server);
        const auto error = failing->start();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->message, microphone ? c.message : c.tapMessage);
        Journal expected = c.journal;
        if (microphone) {  // the microphone's connection goes with its stream
            std::erase(expected, "disconnect");
        }
        EXPECT_EQ(server.journal(), expected);
        // Everything is released already: stop() does nothing.
        failing->stop();
        EXPECT_EQ(server.journal(), expected);
    }
    EXPECT_TRUE(log.messages().empty());
}

TEST_P(CaptureStreamTest, RunsDeliversStopsInOrder) {
    const Kind& kind = GetParam();
    ASSERT_FALSE(stream->start());
    const Journal started{kind.open, kind.create, "connect", "ready"};
    EXPECT_EQ(platform.sound.journal(), started);
    const auto delivering = source();
    ASSERT_FALSE(stream->start());  // a second start leaves the running stream alone
    EXPECT_EQ(platform.sound.journal(), started);
    EXPECT_EQ(source(), delivering);

    // Fragments come in order, as blocks of the source's own format.
    const AudioFormat format = delivering->request().format;
    for (std::uint32_t frames : {512u, 441u, 1u}) {
        delivering->deliver(fake::constantFragment(format, frames, static_cast<float>(frames)));
    }
    delivering->deliver({{}});  // an empty fragment gives no block
    delivering->flush();
    {
        const std::lock_guard lock(mutex);
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks[0]->format(), format);
        EXPECT_EQ(blocks[1]->frameLength(), 441u);
        EXPECT_EQ(blocks[1]->floats(0).back(), 441.0F);
        EXPECT_EQ(blocks[2]->frameLength(), 1u);
    }
    delivering->lose({12, "Entity killed"});
    delivering->flush();
    EXPECT_EQ(lost, Journal{"Entity killed"});

    // Stop: stream stopped, callback disconnected, stream released, device released;
    // nothing arrives after it, and a second stop does nothing.
    stream->stop();
    const Journal journal = platform.sound.journal();
    EXPECT_EQ(Journal(journal.begin() + 4, journal.end()),
              (Journal{"stop", "disconnect", "release stream", "release device"}));
    delivering->deliver(fake::constantFragment(format, 16, 1));
    delivering->flush();
    EXPECT_EQ(blockCount(), 3u);
    const std::size_t lines = log.messages().size();
    stream->stop();
    EXPECT_EQ(platform.sound.journal(), journal);
    EXPECT_EQ(log.messages().size(), lines);
}

INSTANTIATE_TEST_SUITE_P(Both, CaptureStreamTest, ::testing::ValuesIn(kKinds),
                         [](const auto& kind) { return std::string(kind.param.name); });

// The microphone's own rules: a usable format or none; the system audio's: the
// monitor's format, or 48 kHz stereo planar when it cannot be read; their log lines.
TEST(CaptureStreamFormats, MicrophoneNeedsAFormatSystemAudioFallsBack) {
    fake::FakePlatform platform;
    const testing::LogCapture log;
    for (const std::optional<AudioFormat>& unusable :
         {std::optional<AudioFormat>(),
          std::optional<AudioFormat>({SampleType::float32, 0, 2, true})}) {
        platform.sound.setFormat(SoundDeviceKind::defaultInput, unusable);
        EXPECT_EQ(MicrophoneStream::make(platform.sound)->start()->message,
                  "拿不到麦克风（可能没有可用的输入设备）");
    }
    platform.sound.setFormat(SoundDeviceKind::defaultInput,
                             AudioFormat{SampleType::float32, 44100, 2, true});
    const auto microphone = MicrophoneStream::make(platform.sound);
    ASSERT_FALSE(microphone->start());
    EXPECT_EQ(platform.sound.stream(SoundDeviceKind::defaultInput)->request().fragmentFrames,
              4096u);

    platform.sound.setFormat(SoundDeviceKind::outputMonitor, std::nullopt);
    const auto tap = SystemAudioTap::make(platform.sound);
    ASSERT_FALSE(tap->start());
    EXPECT_EQ(platform.sound.stream(SoundDeviceKind::outputMonitor)->request().format,
              SystemAudioTap::fallbackFormat());
    tap->stop();
    EXPECT_EQ(log.messages(),
              (Journal{"音频采集：麦克风已启动（44100Hz / 2 声道）",
                       "系统声音采集：已启动（PulseAudio 监听输出，无需屏幕录制权限）",
                       "系统声音采集：已停止"}));
}

}  // namespace
}  // namespace pagemate
