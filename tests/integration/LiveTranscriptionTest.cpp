// A meeting's live transcription on the real pocketsphinx and the Debian en-US model:
// the recorded LibriVox sentences of pocketsphinx-testdata go through a MeetingSession
// as the microphone (16 kHz, as captured) and as the system sound (44.1 kHz, resampled
// by sox, so that the channel converts), with silence around them and a faint hiss
// after them; the main queue is
// the virtual clock's, run in real time while the decoders work, with two busy threads
// competing for the cores.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
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

using namespace std::chrono_literals;

// Of the transcript's words, the share the segments' final texts must hold. The
// command-line decoder (pocketsphinx_continuous -infile) finds 72 % of these sentences'
// words, a session here 79 % of the microphone's and 88 % of the resampled sentence's;
// the same on a busy machine, where only the waits grow.
constexpr double wordsBar = 0.6;

// Float blocks of 0.1 s at `rate` from 16-bit samples, with 1 s of silence before and
// 2 s after.
std::vector<AudioBlockPtr> floatBlocks(const std::vector<std::int16_t>& speech, double rate) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(rate), 0);
    samples.insert(samples.end(), speech.begin(), speech.end());
    samples.resize(samples.size() + static_cast<std::size_t>(rate * 2), 0);
    const auto frames = static_cast<std::size_t>(rate / 10);
    std::vector<AudioBlockPtr> blocks;
    for (std::size_t at = 0; at < samples.size(); at += frames) {
        const auto length = static_cast<std::uint32_t>(std::min(frames, samples.size() - at));
        auto block = AudioBlock::make({SampleType::float32, rate, 1, false}, length);
        block->setFrameLength(length);
        std::ranges::transform(std::span(samples).subspan(at, length), block->floats(0).begin(),
                               [](std::int16_t sample) { return sample / 32768.0F; });
        blocks.push_back(block);
    }
    return blocks;
}

TEST(LiveTranscription, BothSpeakersFromRecordedSentencesPartialsReplacedByFinals) {
    // Two threads keeping both cores busy, as a video call beside the meeting does.
    const auto busy = [](const std::stop_token& stop) {
        for (std::atomic<std::uint64_t> spins{0}; !stop.stop_requested();) {
            spins.fetch_add(1, std::memory_order_relaxed);
        }
    };
    const std::array<std::jthread, 2> load{std::jthread(busy), std::jthread(busy)};
    fake::FakePlatform platform;
    const TempDir folder;
    const LogCapture log;
    Platform::current().audioCodecs = std::make_unique<linux_backend::AvAudioCodecs>();
    Platform::current().speech = linux_backend::SphinxSpeechRecognizer::make(
        {"/usr/share/pocketsphinx/model/en-us", folder.path() / "models"}, platform.preferences);
    const auto sentences = librivoxSentences();
    ASSERT_GE(sentences.size(), 5U);
    // Without dither: sox's random dither makes every run's input differ, and on some of
    // them (the command-line decoder agrees) the sentence is no longer recognised.
    writeWav16(folder.path() / "system16.wav", sentences[4].samples);
    const std::string resample = "sox -q -D " + (folder.path() / "system16.wav").string() +
                                 " -r 44100 " + (folder.path() / "system44.wav").string();
    ASSERT_EQ(std::system(resample.c_str()), 0);
    const auto systemBlocks = floatBlocks(readWav16(folder.path() / "system44.wav"), 44100);
    std::vector<AudioBlockPtr> microphoneBlocks;
    std::vector<std::string> expected;
    for (std::size_t i = 0; i < 4; ++i) {
        const auto blocks = floatBlocks(sentences[i].samples, 16000);
        microphoneBlocks.insert(microphoneBlocks.end(), blocks.begin(), blocks.end());
        expected.insert(expected.end(), sentences[i].words.begin(), sentences[i].words.end());
    }
    // Then 6 s of a faint hiss.
    std::vector<std::int16_t> hiss;
    for (std::uint32_t n = 0, seed = 7; n < 6 * 16000; ++n) {
        seed = seed * 1664525U + 1013904223U;
        hiss.push_back(static_cast<std::int16_t>(static_cast<int>(seed >> 24U) % 16 - 8));
    }
    const auto hissBlocks = floatBlocks(hiss, 16000);
    microphoneBlocks.insert(microphoneBlocks.end(), hissBlocks.begin(), hissBlocks.end());

    const auto session = MeetingSession::make(TranscriptionEngine::local);
    std::vector<MeetingSegment> reported;
    std::vector<std::string> errors;
    session->onSegment = [&](const MeetingSegment& segment) { reported.push_back(segment); };
    session->onError = [&](const std::string& message) { errors.push_back(message); };
    std::optional<std::optional<MeetingCaptureError>> started;
    session->start([&](std::optional<MeetingCaptureError> error) { started = error; });
    // Real time: the models load and the decoders run on cores the load competes for.
    ASSERT_TRUE(platform.queue.runUntil([&] { return started.has_value(); }, 120s));
    ASSERT_FALSE(*started) << log.text();
    for (std::size_t i = 0; i < std::max(microphoneBlocks.size(), systemBlocks.size()); ++i) {
        if (i < microphoneBlocks.size()) {
            session->feed(CaptureSource::microphone, microphoneBlocks[i]);
        }
        if (i < systemBlocks.size()) {
            session->feed(CaptureSource::system, systemBlocks[i]);
        }
        // A capture brings 0.1 s every 0.1 s; four times as fast, the decoders fall
        // behind, and the main queue runs meanwhile (each segment waits for it).
        platform.queue.runUntil([] { return false; }, 25ms);
    }
    std::printf("backlog at the stop: %.1f s\n", session->backlogSeconds());
    std::optional<std::vector<MeetingSegment>> segments;
    session->finish([&](std::vector<MeetingSegment> all) { segments = std::move(all); });
    ASSERT_TRUE(platform.queue.runUntil([&] { return segments.has_value(); }, 300s));
    EXPECT_EQ(errors, std::vector<std::string>{});

    std::set<std::string> speakers;
    std::map<std::string, std::string> texts;
    for (const auto& segment : *segments) {
        speakers.insert(segment.speaker);
        texts[segment.speaker] += " " + segment.text;
        EXPECT_TRUE(segment.final) << segment.id << " " << segment.text;
    }
    EXPECT_EQ(speakers, (std::set<std::string>{"现场", "线上"}));
    // Each sentence's first segment starts where it was placed on the microphone's time
    // line (its id says where, in tenths of a second); nothing came of the silence and
    // hiss around them, which the channel would have dropped.
    double placedAt = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        placedAt += 1.0;
        EXPECT_TRUE(std::ranges::any_of(
            *segments,
            [&](const MeetingSegment& segment) {
                const double start = std::stod(segment.id.substr(segment.id.find('-') + 1)) / 10;
                return segment.speaker == "现场" && std::abs(start - placedAt) < 0.5;
            }))
            << sentences[i].name << " at " << placedAt;
        placedAt += static_cast<double>(sentences[i].samples.size()) / 16000 + 2.0;
    }
    EXPECT_EQ(session->droppedSilentSegments(), 0);
    // Partial versions were replaced in place by their final one.
    EXPECT_GT(session->resultsReceived(), static_cast<std::int64_t>(segments->size()));
    EXPECT_GT(reported.size(), segments->size());
    const double microphoneShare = static_cast<double>(wordsFound(expected, texts["现场"])) /
                                   static_cast<double>(expected.size());
    const double systemShare = static_cast<double>(wordsFound(sentences[4].words, texts["线上"])) /
                               static_cast<double>(sentences[4].words.size());
    std::printf("words found: microphone %.0f %%, system (44.1 kHz) %.0f %%\n",
                microphoneShare * 100, systemShare * 100);
    EXPECT_GE(microphoneShare, wordsBar) << texts["现场"] << "\n" << log.text();
    EXPECT_GE(systemShare, wordsBar) << texts["线上"];
}

}  // namespace
}  // namespace pagemate::testing
