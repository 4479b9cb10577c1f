// A meeting's live transcription on the real pocketsphinx and the Debian en-US model:
// the recorded LibriVox sentences of pocketsphinx-testdata go through a MeetingSession
// as the microphone (16 kHz, as captured) and as the system sound (44.1 kHz, so that
// the channel converts), with silence around them; the main queue is the virtual
// clock's, run in real time while the decoders work, with two busy threads competing
// for the cores.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

#include "fixtures/SpeechAudio.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AvAudioCodecs.h"
#include "platform/linux/SphinxSpeechRecognizer.h"

namespace pagemate::testing {
namespace {

namespace fs = std::filesystem;
using linux_backend::SphinxModelLocations;
using linux_backend::SphinxSpeechRecognizer;
using namespace std::chrono_literals;

// Of the transcript's words, the share the segments' final texts must hold. The
// command-line decoder finds 72 % of these sentences' words; the session runs them
// through conversion and the silence filter, so a margin below that.
constexpr double wordsBar = 0.6;

// Float blocks of 0.1 s at `rate` from 16-bit samples.
std::vector<AudioBlockPtr> floatBlocks(const std::vector<std::int16_t>& samples, double rate) {
    const AudioFormat format{SampleType::float32, rate, 1, false};
    const auto frames = static_cast<std::size_t>(rate / 10);
    std::vector<AudioBlockPtr> blocks;
    for (std::size_t at = 0; at < samples.size(); at += frames) {
        const auto length = static_cast<std::uint32_t>(std::min(frames, samples.size() - at));
        auto block = AudioBlock::make(format, length);
        block->setFrameLength(length);
        const std::span<float> out = block->floats(0);
        for (std::uint32_t n = 0; n < length; ++n) {
            out[n] = static_cast<float>(samples[at + n]) / 32768.0F;
        }
        blocks.push_back(block);
    }
    return blocks;
}

std::vector<std::int16_t> withSilence(const std::vector<std::int16_t>& speech, double rate) {
    std::vector<std::int16_t> audio(static_cast<std::size_t>(rate), 0);
    audio.insert(audio.end(), speech.begin(), speech.end());
    audio.insert(audio.end(), static_cast<std::size_t>(rate * 2), 0);
    return audio;
}

// Two threads keeping both cores busy, as a video call beside the meeting does.
struct CompetingLoad {
    static std::jthread busy() {
        return std::jthread([](const std::stop_token& stop) {
            for (std::atomic<std::uint64_t> spins{0}; !stop.stop_requested();) {
                spins.fetch_add(1, std::memory_order_relaxed);
            }
        });
    }
    std::array<std::jthread, 2> threads{busy(), busy()};
};

class LiveTranscription : public ::testing::Test {
  protected:
    LiveTranscription() {
        Platform::current().audioCodecs = std::make_unique<linux_backend::AvAudioCodecs>();
        Platform::current().speech = SphinxSpeechRecognizer::make(
            SphinxModelLocations{"/usr/share/pocketsphinx/model/en-us", user.path()},
            platform.preferences);
        session->onSegment = [this](const MeetingSegment& segment) { reported.push_back(segment); };
        session->onError = [this](const std::string& message) { errors.push_back(message); };
    }
    bool start() {
        bool done = false;
        bool started = false;
        session->start([&](const std::optional<MeetingCaptureError>& error) {
            started = !error;
            done = true;
        });
        return platform.queue.runUntil([&] { return done; }, 30s) && started;
    }
    std::vector<MeetingSegment> finish() {
        bool done = false;
        std::vector<MeetingSegment> segments;
        session->finish([&](std::vector<MeetingSegment> all) {
            segments = std::move(all);
            done = true;
        });
        EXPECT_TRUE(platform.queue.runUntil([&] { return done; }, 60s));
        return segments;
    }

    fake::FakePlatform platform;
    TempDir user;
    LogCapture log;
    std::shared_ptr<MeetingSession> session = MeetingSession::make(TranscriptionEngine::local);
    std::vector<MeetingSegment> reported;
    std::vector<std::string> errors;
};

TEST_F(LiveTranscription, BothSpeakersFromRecordedSentencesPartialsReplacedByFinals) {
    const CompetingLoad load;
    const auto sentences = librivoxSentences();
    ASSERT_GE(sentences.size(), 5U);
    TempDir folder;
    // The system sound at 44.1 kHz, resampled by sox from the 16 kHz recording. Without
    // dither: sox's random dither makes every run's input differ, and on some of them
    // (the command-line decoder agrees) the sentence is no longer recognised.
    const std::vector<std::int16_t> systemSpeech = withSilence(sentences[4].samples, 16000);
    writeWav16(folder.path() / "system16.wav", systemSpeech);
    const std::string command = "sox -q -D " + (folder.path() / "system16.wav").string() +
                                " -r 44100 " + (folder.path() / "system44.wav").string();
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::vector<std::int16_t> system44 = readWav16(folder.path() / "system44.wav");
    ASSERT_GT(system44.size(), systemSpeech.size() * 2);

    ASSERT_TRUE(start()) << log.messages().back();
    EXPECT_TRUE(
        log.contains("本机识别[现场]：采集 16000Hz/1声道 → 识别器 16000Hz/1声道（启用转换）"));
    std::vector<std::int16_t> microphone;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto part = withSilence(sentences[i].samples, 16000);
        microphone.insert(microphone.end(), part.begin(), part.end());
        expected.insert(expected.end(), sentences[i].words.begin(), sentences[i].words.end());
    }
    const auto microphoneBlocks = floatBlocks(microphone, 16000);
    const auto systemBlocks = floatBlocks(system44, 44100);
    for (std::size_t i = 0; i < std::max(microphoneBlocks.size(), systemBlocks.size()); ++i) {
        if (i < microphoneBlocks.size()) {
            session->feed(CaptureSource::microphone, microphoneBlocks[i]);
        }
        if (i < systemBlocks.size()) {
            session->feed(CaptureSource::system, systemBlocks[i]);
        }
        // A capture brings 0.1 s every 0.1 s; four times as fast, the decoders fall
        // further behind, and the main queue runs meanwhile (each segment waits for it).
        platform.queue.runUntil([] { return false; }, 25ms);
    }
    std::printf("backlog at the stop: %.1f s\n", session->backlogSeconds());
    const auto segments = finish();
    EXPECT_TRUE(errors.empty()) << errors.front();

    std::set<std::string> speakers;
    std::string microphoneText;
    std::string systemText;
    for (const auto& segment : segments) {
        speakers.insert(segment.speaker);
        (segment.speaker == "现场" ? microphoneText : systemText) += " " + segment.text;
        EXPECT_TRUE(segment.final) << segment.id << " " << segment.text;
    }
    EXPECT_EQ(speakers, (std::set<std::string>{"现场", "线上"}));
    // Partial versions were replaced in place by their final one.
    EXPECT_GT(session->resultsReceived(), static_cast<std::int64_t>(segments.size()));
    EXPECT_GT(reported.size(), segments.size());
    const double microphoneShare = static_cast<double>(wordsFound(expected, microphoneText)) /
                                   static_cast<double>(expected.size());
    const double systemShare = static_cast<double>(wordsFound(sentences[4].words, systemText)) /
                               static_cast<double>(sentences[4].words.size());
    std::printf("words found: microphone %.0f %%, system (44.1 kHz) %.0f %%\n",
                microphoneShare * 100, systemShare * 100);
    std::string trace;
    for (const auto& segment : reported) {
        trace += segment.id + (segment.final ? " final " : " partial ") + segment.text + "\n";
    }
    EXPECT_GE(microphoneShare, wordsBar)
        << microphoneText << "\ndropped " << session->droppedSilentSegments() << "\n"
        << trace;
    EXPECT_GE(systemShare, wordsBar) << systemText;
}

}  // namespace
}  // namespace pagemate::testing
