// A meeting run's sequence on fakes: a scripted sound server and recogniser, the run's
// and the recorder's serial queues run by hand, the virtual clock. Each case is a
// script of "start"/"stop" and what happens between them, and the events the run
// told its owner, in order.

#include <gtest/gtest.h>

#include "base/Settings.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingRun.h"
#include "platform/ThreadSerialQueue.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class MeetingRunTest : public ::testing::Test {
  public:
    MeetingRunTest() {
        Settings::shared().setRuntimeBaseURL("http://127.0.0.1:8787/");
        platform.http.respondWith([](const HttpRequest&) {
            return HttpResponse{200, R"({"id":"file-7","filename":"会议录音.m4a"})", std::nullopt};
        });
        run->events.stateChanged = [this](MeetingState state) {
            told.push_back("state " + std::string(meetingStateName(state)));
        };
        run->events.failed = [this](const std::string& message) {
            told.push_back("error " + message);
        };
        run->events.status = [this](const std::string& text) { told.push_back("status " + text); };
        run->events.audioReady =
            [this](const std::optional<MeetingRecorder::UploadAnswer>& answer) {
                told.push_back("audio " + (answer ? answer->id + " " + answer->filename : "none"));
            };
        run->events.segment = [this](const MeetingSegment& segment) {
            told.push_back("segment " + segment.speaker + " " + segment.text);
        };
        run->events.levels = [this](float microphone, float /*system*/, double /*backlog*/) {
            micLevels.push_back(microphone);
        };
    }
    ~MeetingRunTest() override {
        if (run->state() == MeetingState::recording) {
            run->stop();
        }
        // A session finished after a failed start completes on the recogniser's thread,
        // which posts to the main queue: the queue outlives that thread.
        (void)pump([this] {
            for (std::size_t index = 0; index < platform.speech.channelsMade(); ++index) {
                auto& channel = platform.speech.channel(index);
                if (channel.finalizeCalled() && !channel.destroyed()) {
                    return false;
                }
            }
            return run->state() == MeetingState::idle;
        });
        run.reset();
        platform.queue.runUntilIdle();
    }

    // Runs the main queue and the hand-run serial queues until `done`.
    bool pump(const std::function<bool()>& done) {
        return platform.queue.runUntil(
            [&] {
                for (const auto& tasks : platform.serialQueues.made()) {
                    tasks->runAll();
                }
                return done();
            },
            10s);
    }
    bool until(MeetingState state) {
        return pump([&] { return run->state() == state; });
    }
    // `seconds` of a tone on the microphone, handed over by its stream's thread.
    void speak(double seconds) {
        const auto stream = platform.sound.stream(SoundDeviceKind::defaultInput);
        ASSERT_TRUE(stream);
        const AudioFormat format = stream->request().format;
        for (auto frames = static_cast<std::uint32_t>(seconds * format.sampleRate); frames > 0;) {
            const std::uint32_t part = std::min<std::uint32_t>(frames, 4096);
            stream->deliver(fake::sineFragment(format, part, 440, 0.3F));
            frames -= part;
        }
        stream->flush();
        (void)pump([] { return true; });
    }
    // Stops the meeting and waits until it is over.
    void end() {
        run->stop();
        ASSERT_TRUE(until(MeetingState::idle));
    }

    testing::MeetingFolders folders;
    fake::FakePlatform platform;
    testing::LogCapture log;
    std::shared_ptr<MeetingRun> run = MeetingRun::make();
    Events told;
    std::vector<float> micLevels;
};

const Events kRecording{"state starting", "state recording", "status 正在记录会议"};
const Events kEnding{"state stopping", "status 正在整理会议记录…", "status 正在保存录音…"};
const Events kEnded{"state idle", "status 会议记录已结束"};

Events concat(std::initializer_list<Events> parts) {
    Events all;
    for (const Events& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}
const Events kNothingKept = concat({kRecording, kEnding, {"audio none"}, kEnded});

struct Sequence {
    const char* name;
    std::function<void(MeetingRunTest&)> script;
    Events told;
    std::size_t savedFiles;
};

void PrintTo(const Sequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

// Starts, records `seconds` of sound and stops.
void meeting(MeetingRunTest& test, double seconds) {
    test.run->start();
    ASSERT_TRUE(test.until(MeetingState::recording));
    test.speak(seconds);
    test.end();
}

// Starts with the microphone refused at the first check.
void startRefused(MeetingRunTest& test) {
    test.platform.sound.setMicrophoneAccess(SoundServer::denied);
    test.run->start();
    test.platform.serialQueues.latest("pagemate-meeting")->runAll();  // the checks
}

const std::string kMicrophoneGone = "启动失败：拿不到麦克风（可能没有可用的输入设备）";

const std::vector<Sequence> kSequences{
    {"UnderASecondKeepsNothing", [](MeetingRunTest& t) { meeting(t, 0.5); }, kNothingKept, 0},
    {"WithoutKeepingRecordingsNothingIsWritten",
     [](MeetingRunTest& t) {
         Settings::shared().setRecordMeetingAudio(false);
         meeting(t, 1.5);
     },
     concat({kRecording, {"state stopping", "status 正在整理会议记录…", "audio none"}, kEnded}), 0},
    {"StartAndStopWhileStoppingChangeNothing",
     [](MeetingRunTest& t) {
         t.run->start();
         ASSERT_TRUE(t.until(MeetingState::recording));
         t.run->stop();
         EXPECT_EQ(t.run->state(), MeetingState::stopping);  // at once
         t.run->start();
         t.end();
         t.run->stop();
         (void)t.pump([] { return true; });
     },
     kNothingKept, 0},
    {"ASessionThatCannotStartDiscardsTheRecorder",
     [](MeetingRunTest& t) {
         t.platform.speech.channelFailure =
             SpeechError{SpeechError::Kind::modelUnusable, "decoder"};
         t.run->start();
         ASSERT_TRUE(t.pump([&] { return t.told.size() == 3; }));
         EXPECT_TRUE(t.log.contains("会议录音：会议没有开始，已丢弃"));
     },
     {"state starting", "state idle", "error 启动失败：语音模型无法加载（decoder）"},
     0},
    {"StopWhileStartingEndsTheMeetingOnceStarted",
     [](MeetingRunTest& t) {
         t.run->start();
         ASSERT_TRUE(t.until(MeetingState::starting));
         t.end();
         EXPECT_TRUE(t.platform.speech.channel(0).finalizeCalled());
         const auto journal = t.platform.sound.journal();
         EXPECT_NE(std::find(journal.begin(), journal.end(), "stop"), journal.end());
     },
     concat({{"state starting"}, kEnding, {"audio none"}, kEnded}), 0},
    {"StopWhileAFailingStart",
     [](MeetingRunTest& t) {
         t.platform.sound.failAt(SoundDeviceKind::defaultInput, 1, {6, "Connection refused"});
         t.run->start();
         ASSERT_TRUE(t.until(MeetingState::starting));
         t.run->stop();
         ASSERT_TRUE(t.pump([&] { return t.told.back() == "audio none"; }));
     },
     {"state starting", "state stopping", "status 正在整理会议记录…", "state idle",
      "error " + kMicrophoneGone, "audio none"},
     0},
    {"ARefusedMicrophoneIsAskedOnceMore",
     [](MeetingRunTest& t) {
         startRefused(t);
         ASSERT_TRUE(t.pump([&] { return !t.told.empty(); }));
     },
     {"error " + std::string(MeetingRun::microphoneMessage)},
     0},
    {"AccessGrantedWhenAskedAgainStarts",
     [](MeetingRunTest& t) {
         startRefused(t);
         t.platform.sound.setMicrophoneAccess(SoundServer::authorized);
         ASSERT_TRUE(t.until(MeetingState::recording));
         t.end();
     },
     kNothingKept, 0},
    {"StopWhileAServerHangsOnTheSecondAskStartsNothing",
     [](MeetingRunTest& t) {
         startRefused(t);
         t.platform.sound.holdMicrophoneAccess(true);
         t.platform.queue.runUntilIdle();  // asks again; the main thread goes on
         t.run->stop();
         t.platform.sound.setMicrophoneAccess(SoundServer::authorized);
         t.platform.sound.holdMicrophoneAccess(false);
         Platform::current().background.joinRunning();  // the answer is in
         t.platform.queue.runUntilIdle();
         EXPECT_EQ(t.run->state(), MeetingState::idle);
         EXPECT_TRUE(t.platform.sound.journal().empty());
     },
     {"state idle", "audio none", "status 会议记录已结束"},
     0},
    {"AFailingConversionIsToldAndTheMeetingGoesOn",
     [](MeetingRunTest& t) {
         t.run->start();
         ASSERT_TRUE(t.until(MeetingState::recording));
         t.platform.audioCodecs.failConversions(AudioError{-5, "Input/output error"});
         t.speak(0.05);
         ASSERT_TRUE(t.pump([&] { return t.told.size() == 4; }));
         EXPECT_EQ(t.run->state(), MeetingState::recording);
         t.end();
     },
     concat({kRecording,
             {"error 音频格式转换失败：Input/output error"},
             kEnding,
             {"audio none"},
             kEnded}),
     0},
};

class MeetingRunSequence : public MeetingRunTest, public ::testing::WithParamInterface<Sequence> {};

TEST_P(MeetingRunSequence, ToldInOrder) {
    GetParam().script(*this);
    EXPECT_EQ(told, GetParam().told);
    EXPECT_EQ(folders.savedFiles().size(), GetParam().savedFiles);
    EXPECT_TRUE(folders.meetingFolders().empty());
}

INSTANTIATE_TEST_SUITE_P(Sequences, MeetingRunSequence, ::testing::ValuesIn(kSequences),
                         [](const auto& sequence) { return std::string(sequence.param.name); });

// Segments, levels and the start moment while the meeting records; each block reaches
// the recorder and its own source's channel.
TEST_F(MeetingRunTest, WhileRecording) {
    run->start();
    ASSERT_TRUE(until(MeetingState::recording));
    ASSERT_TRUE(run->startedAt());
    speak(1.5);
    platform.speech.channel(0).deliver(SpeechResult{"hello there", 0.5, 1, true});
    ASSERT_TRUE(pump([this] { return told.back() == "segment 现场 hello there"; }));
    ASSERT_FALSE(micLevels.empty());
    EXPECT_GT(micLevels.back(), 0);
    EXPECT_FALSE(platform.speech.channel(0).inputs().empty());
    EXPECT_TRUE(platform.speech.channel(1).inputs().empty());  // nothing on the system side
    end();
    EXPECT_FALSE(run->startedAt());
    ASSERT_EQ(platform.audioCodecs.files().size(), 1U);
    EXPECT_GE(platform.audioCodecs.files()[0].samples.size(), 16000U);
}

// The program ends while a meeting finishes: its capture, recorder, channels and
// decoders end before the services they use (a sanitizer run sees any that did not).
TEST(MeetingRunExit, AnExitWhileTheMeetingFinishes) {
    const testing::MeetingFolders folders;
    fake::FakePlatform platform;
    // The recorder's writes on a thread of their own, as in the program.
    Platform::current().serialQueues = std::make_unique<ThreadSerialQueues>();
    platform.speech.channel(0).setFinalizeMode(fake::FakeSpeechChannel::FinalizeMode::neverEnds);
    auto run = MeetingRun::make();
    run->start();
    ASSERT_TRUE(
        platform.queue.runUntil([&] { return run->state() == MeetingState::recording; }, 5s));
    const auto microphone = platform.sound.stream(SoundDeviceKind::defaultInput);
    for (int fragment = 0; fragment < 20; ++fragment) {  // 1.9 s: long enough to keep
        microphone->deliver(fake::sineFragment(microphone->request().format, 4096, 440, 0.3F));
    }
    microphone->flush();
    run->stop();
    platform.queue.runUntil([] { return false; }, 20ms);
    EXPECT_EQ(run->state(), MeetingState::stopping);
    run.reset();
    Platform::uninstall();
    // What was recorded stays for the next start to save.
    EXPECT_EQ(folders.meetingFolders().size() + folders.savedFiles().size(), 1u);
}

}  // namespace
}  // namespace pagemate
