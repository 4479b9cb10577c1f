// The two capture streams, the microphone and the system audio, against the scripted
// sound server: one contract run on both (start steps, what each failure releases,
// fragments as blocks, stop, loss, late fragments), and the blocks made of fragments.
// The real server's side is SoundServerTest's.

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "meeting/MicrophoneStream.h"
#include "meeting/SystemAudioTap.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using Journal = std::vector<std::string>;

TEST(CaptureStreamBuffers, BlocksFromBufferLists) {
    const AudioFormat interleaved{SampleType::float32, 48000, 2, true};
    const AudioFormat planar{SampleType::float32, 48000, 2, false};
    std::vector<float> left(1024);
    std::vector<float> right(1024, 7.0F);
    left[1023] = 3.0F;
    const auto buffer = [](std::vector<float>& samples, std::size_t bytes) {
        return SoundBuffer{reinterpret_cast<const std::byte*>(samples.data()), bytes};  // NOLINT
    };
    const auto from = [](const std::vector<SoundBuffer>& list, const AudioFormat& format) {
        return CaptureStream::bufferFromList(list, format);
    };
    // No buffer, an empty first one, or a frame larger than the first buffer: nothing.
    EXPECT_EQ(from({}, interleaved), nullptr);
    EXPECT_EQ(from({buffer(left, 0), buffer(right, 4096)}, planar), nullptr);
    EXPECT_EQ(from({buffer(left, 4)}, interleaved), nullptr);
    // Whole frames only: 12 bytes of 8-byte frames give one frame.
    EXPECT_EQ(from({buffer(left, 12)}, interleaved)->frameLength(), 1u);
    // Planar stereo, 4096 bytes a channel: 1024 frames, both channels copied.
    const auto split = from({buffer(left, 4096), buffer(right, 4096)}, planar);
    ASSERT_NE(split, nullptr);
    EXPECT_EQ(split->format(), planar);
    EXPECT_EQ(split->frameLength(), 1024u);
    EXPECT_EQ(split->floats(0)[1023], 3.0F);
    EXPECT_EQ(split->floats(1)[1023], 7.0F);
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
        std::string message;  // the microphone's, the system audio's
        std::string tapMessage;
        Journal journal;
    };
    const std::vector<Case> cases{
        {"拿不到麦克风（可能没有可用的输入设备）", "创建系统声音捕获失败（错误码 6）", {kind.open}},
        {"Connection refused",
         "创建音频聚合设备失败（错误码 6）",
         {kind.open, kind.create, "release device"}},
        {"Connection refused",
         "注册音频回调失败（错误码 6）",
         {kind.open, kind.create, "connect", "release stream", "release device"}},
        {"Connection refused",
         "启动系统声音采集失败（错误码 6）",
         {kind.open, kind.create, "connect", "ready", "disconnect", "release stream",
          "release device"}},
    };
    for (std::size_t step = 1; step <= cases.size(); ++step) {
        SCOPED_TRACE(step);
        const Case& c = cases[step - 1];
        fake::ScriptedSoundServer server;
        server.failAt(kind.device, static_cast<int>(step), {6, "Connection refused"});
        const auto failing = kind.make(server);
        EXPECT_EQ(failing->start().value().message, microphone ? c.message : c.tapMessage);
        Journal expected = c.journal;
        if (microphone) {  // the microphone's connection goes with its stream
            std::erase(expected, "disconnect");
        }
        EXPECT_EQ(server.journal(), expected);
        failing->stop();  // everything is released already: it does nothing
        EXPECT_EQ(server.journal(), expected);
    }
    EXPECT_TRUE(log.messages().empty());
}

TEST_P(CaptureStreamTest, RunsDeliversStopsInOrder) {
    const Kind& kind = GetParam();
    ASSERT_FALSE(stream->start());
    const auto delivering = platform.sound.stream(kind.device);
    ASSERT_FALSE(stream->start());  // a second start leaves the running stream alone
    EXPECT_EQ(platform.sound.journal(), (Journal{kind.open, kind.create, "connect", "ready"}));

    // Fragments come in order, as blocks of the source's own format; an empty one gives
    // no block.
    const AudioFormat format = delivering->request().format;
    for (std::uint32_t frames : {512u, 441u, 1u}) {
        delivering->deliver(fake::constantFragment(format, frames, static_cast<float>(frames)));
    }
    delivering->deliver({{}});
    delivering->flush();
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
    stream->stop();
    EXPECT_EQ(platform.sound.journal(), journal);
    const std::lock_guard lock(mutex);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0]->format(), format);
    EXPECT_EQ(blocks[1]->frameLength(), 441u);
    EXPECT_EQ(blocks[1]->floats(0).back(), 441.0F);
    EXPECT_EQ(blocks[2]->frameLength(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Both, CaptureStreamTest, ::testing::ValuesIn(kKinds),
                         [](const auto& kind) { return std::string(kind.param.name); });

// The microphone's own rules: a usable format or none; the system audio's: the
// monitor's format, or 48 kHz stereo planar when it cannot be read.
TEST(CaptureStreamFormats, MicrophoneNeedsAFormatSystemAudioFallsBack) {
    fake::FakePlatform platform;
    for (const std::optional<AudioFormat>& unusable :
         {std::optional<AudioFormat>(),
          std::optional<AudioFormat>({SampleType::float32, 0, 2, true})}) {
        platform.sound.setFormat(SoundDeviceKind::defaultInput, unusable);
        EXPECT_EQ(MicrophoneStream::make(platform.sound)->start()->message,
                  "拿不到麦克风（可能没有可用的输入设备）");
    }
    platform.sound.setFormat(SoundDeviceKind::defaultInput,
                             AudioFormat{SampleType::float32, 44100, 2, true});
    ASSERT_FALSE(MicrophoneStream::make(platform.sound)->start());
    EXPECT_EQ(platform.sound.stream(SoundDeviceKind::defaultInput)->request().fragmentFrames,
              4096u);

    platform.sound.setFormat(SoundDeviceKind::outputMonitor, std::nullopt);
    const auto tap = SystemAudioTap::make(platform.sound);
    ASSERT_FALSE(tap->start());
    EXPECT_EQ(platform.sound.stream(SoundDeviceKind::outputMonitor)->request().format,
              SystemAudioTap::fallbackFormat());
    tap->stop();
}

}  // namespace
}  // namespace pagemate
