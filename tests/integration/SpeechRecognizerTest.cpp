// pocketsphinx with the Debian en-US model on the recorded LibriVox sentences of
// pocketsphinx-testdata: a meeting's live transcription, the sentences going through a
// MeetingSession as the microphone (16 kHz, as captured) and as the system sound
// (44.1 kHz, resampled by sox, so that the channel converts), the main queue the virtual
// clock's run in real time while the decoders work, with two busy threads competing for
// the cores; the recogniser fed as a channel feeds it; the model store.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "fixtures/SpeechAudio.h"
#include "harness/TestSupport.h"
#include "meeting/MeetingSession.h"
#include "platform/fake/FakePlatform.h"
#include "platform/fake/MemoryPreferencesStore.h"
#include "platform/linux/AvAudioCodecs.h"
#include "platform/linux/JsonPreferencesStore.h"
#include "platform/linux/SphinxSpeechRecognizer.h"

namespace pagemate::testing {
namespace {

namespace fs = std::filesystem;
using linux_backend::SphinxModelLocations;
using linux_backend::SphinxSpeechRecognizer;
using namespace std::chrono_literals;

constexpr std::int64_t rate = 16000;
const fs::path debianModel = "/usr/share/pocketsphinx/model/en-us";

// The kind of error an answer is, or none.
template <typename Answer>
std::optional<SpeechError::Kind> errorKind(const Answer& answer) {
    const auto* error = std::get_if<SpeechError>(&answer);
    return error != nullptr ? std::optional(error->kind) : std::nullopt;
}

// Of the transcript's words, the share the segments' final texts must hold. The
// command-line decoder (pocketsphinx_continuous -infile) finds 72 % of these sentences'
// words, a session here 79 % of the microphone's and 88 % of the resampled sentence's;
// the same on a busy machine, where only the waits grow.
constexpr double wordsBar = 0.6;

// Float blocks of 0.1 s at `sampleRate` from 16-bit samples, with 1 s of silence before and
// 2 s after.
std::vector<AudioBlockPtr> floatBlocks(const std::vector<std::int16_t>& speech, double sampleRate) {
    std::vector<std::int16_t> samples(static_cast<std::size_t>(sampleRate), 0);
    samples.insert(samples.end(), speech.begin(), speech.end());
    samples.resize(samples.size() + static_cast<std::size_t>(sampleRate * 2), 0);
    const auto frames = static_cast<std::size_t>(sampleRate / 10);
    std::vector<AudioBlockPtr> blocks;
    for (std::size_t at = 0; at < samples.size(); at += frames) {
        const auto length = static_cast<std::uint32_t>(std::min(frames, samples.size() - at));
        auto block = AudioBlock::make({SampleType::float32, sampleRate, 1, false}, length);
        block->setFrameLength(length);
        std::ranges::transform(
            std::span(samples).subspan(at, length), block->floats(0).begin(),
            [](std::int16_t sample) { return static_cast<float>(sample) / 32768.0F; });
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
    Platform::current().speech =
        SphinxSpeechRecognizer::make({debianModel, folder.path() / "models"}, platform.preferences);
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
    session->start([&](const std::optional<MeetingCaptureError>& error) { started = error; });
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

class SpeechRecognizer : public ::testing::Test {
  protected:
    // A started channel in the format it asks for: 16 kHz mono int16.
    std::unique_ptr<SpeechChannelRecognizer> startChannel(ResultCollector& collector) {
        auto made = speech.makeChannel("en-US");
        auto channel = std::get<std::unique_ptr<SpeechChannelRecognizer>>(std::move(made));
        EXPECT_EQ(channel->bestFormat(AudioFormat::meeting()), int16Mono16k());
        EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->prepare(int16Mono16k())));
        EXPECT_TRUE(std::holds_alternative<std::monostate>(
            channel->start(collector.resultHandler(), collector.failureHandler())));
        return channel;
    }
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech{SphinxModelLocations{debianModel, user.path()}, preferences};
};

// A minute of three readers at once holds the voice detector as a crowd or a song does:
// it is cut into utterances of at most 25 s; the backlog is told, then none is left.
TEST_F(SpeechRecognizer, SoundWithoutAPauseIsCutIntoBoundedUtterances) {
    std::vector<std::int16_t> reading;
    for (int round = 0; round < 3; ++round) {
        for (const auto& sentence : librivoxSentences()) {
            reading.insert(reading.end(), sentence.samples.begin(), sentence.samples.end());
        }
    }
    std::vector<std::int16_t> crowd(std::size_t{60} * rate, 0);
    for (const std::size_t lag : {std::size_t{0}, std::size_t{37000}, std::size_t{82000}}) {
        for (std::size_t at = 0; at < crowd.size(); ++at) {
            crowd[at] =
                static_cast<std::int16_t>(crowd[at] + reading[(at + lag) % reading.size()] / 2);
        }
    }
    ResultCollector collector;
    auto channel = startChannel(collector);
    pushSamples(*channel, crowd, 0);
    EXPECT_GT(channel->undecodedSeconds(), 30.0);
    channel->finalize(collector.finalizeHandler());
    ASSERT_TRUE(collector.waitFinalized(120s));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*collector.outcome()));
    EXPECT_TRUE(collector.failures().empty());
    EXPECT_EQ(channel->undecodedSeconds(), 0.0);
    const auto results = collector.results();
    std::vector<double> finalEnds;
    double utteranceStart = -1;
    for (const auto& [result, thread, at] : results) {
        utteranceStart = utteranceStart < 0 ? result.start : utteranceStart;
        if (result.final) {
            EXPECT_LE(result.start + result.duration - utteranceStart, 25.5) << result.text;
            finalEnds.push_back(result.start + result.duration);
            utteranceStart = -1;
        }
    }
    // The last one was still open at the end: finalize brought it. Pushes after
    // finalize are dropped, and nothing follows the completion.
    ASSERT_GE(finalEnds.size(), 3U);
    EXPECT_GT(finalEnds.back(), 55.0);
    pushSamples(*channel, crowd, std::ssize(crowd));
    channel.reset();
    EXPECT_EQ(collector.results().size(), results.size());
}

// The names of this process's decoder threads still running.
std::vector<std::string> asrThreads() {
    std::vector<std::string> names;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        const std::string name = readFile(task.path() / "comm");
        if (name.starts_with("pagemate-asr-")) {
            names.push_back(name);
        }
    }
    return names;
}

// Destroyed in the middle of its input: the decoder thread has ended, so no callback
// can come after the destructor. Formats it does not take, or twice, are refused.
TEST_F(SpeechRecognizer, NoCallbackAfterDestructionAndFormatsRefused) {
    auto channel = std::get<std::unique_ptr<SpeechChannelRecognizer>>(speech.makeChannel("en-US"));
    EXPECT_EQ(errorKind(channel->prepare({SampleType::float32, 48000, 2, true})),
              SpeechError::Kind::formatRejected);
    EXPECT_EQ(errorKind(channel->prepare(AudioFormat::meeting())), std::nullopt);
    EXPECT_EQ(errorKind(channel->prepare(AudioFormat::meeting())), SpeechError::Kind::wrongState);

    ResultCollector collector;
    channel = startChannel(collector);
    const auto sentence = librivoxSentences().at(0).samples;
    std::int64_t at = 0;
    for (int i = 0; i < 4; ++i) {
        at = pushSamples(*channel, sentence, at);
    }
    channel->finalize(collector.finalizeHandler());
    // Destroyed once decoding is under way, with seconds of audio left.
    const auto limit = std::chrono::steady_clock::now() + 60s;
    while (collector.results().empty() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
    ASSERT_FALSE(collector.results().empty());
    EXPECT_FALSE(asrThreads().empty());
    for (const auto& received : collector.results()) {
        EXPECT_TRUE(received.thread.starts_with("pagemate-asr-")) << received.thread;
    }
    channel.reset();
    EXPECT_EQ(asrThreads(), std::vector<std::string>{});
    EXPECT_FALSE(collector.outcome().has_value());
}

// --- The model store: the Debian model and the user's folders, one per locale.

void linkEnglishModel(const fs::path& folder) {
    fs::create_directories(folder);
    fs::create_directory_symlink(debianModel / "en-us", folder / "acoustic-model");
    fs::create_symlink(debianModel / "en-us.lm.bin", folder / "language-model.lm.bin");
    fs::create_symlink(debianModel / "cmudict-en-us.dict", folder / "dictionary.dict");
}

std::vector<std::string> sorted(std::vector<std::string> list) {
    std::ranges::sort(list);
    return list;
}

TEST_F(SpeechRecognizer, ModelStoreTakesCompleteUserFoldersAndReportsOthersOnce) {
    const LogCapture log;
    EXPECT_EQ(speech.availability(), SphinxSpeechRecognizer::Availability::available);
    EXPECT_EQ(speech.installedLocales(), std::vector<std::string>{"en-US"});
    EXPECT_FALSE(std::get<std::optional<SpeechModelDownload>>(speech.installationRequest("en-US")));
    EXPECT_EQ(errorKind(speech.installationRequest("fr-FR")), SpeechError::Kind::unsupportedLocale);

    // A complete folder for zh-CN (the English files); one without its dictionary; one
    // whose model definition is not one.
    linkEnglishModel(user.path() / "zh-CN");
    linkEnglishModel(user.path() / "fr-FR");
    fs::remove(user.path() / "fr-FR" / "dictionary.dict");
    fs::create_directories(user.path() / "de-DE" / "acoustic-model");
    for (const char* part :
         {"mdef", "means", "variances", "transition_matrices", "noisedict", "sendump"}) {
        writeFile(user.path() / "de-DE" / "acoustic-model" / part, "garbage");
    }
    fs::copy_file(debianModel / "cmudict-en-us.dict", user.path() / "de-DE" / "dictionary.dict");
    writeFile(user.path() / "de-DE" / "language-model.lm", "\\data\\\nngram 1=1\n");

    EXPECT_EQ(sorted(speech.supportedLocales()), (std::vector<std::string>{"en-US", "zh-CN"}));
    EXPECT_EQ(sorted(speech.installedLocales()), (std::vector<std::string>{"en-US", "zh-CN"}));
    EXPECT_EQ(errorKind(speech.makeChannel("fr-FR")), SpeechError::Kind::unsupportedLocale);
    auto made = speech.makeChannel("zh-CN");
    EXPECT_EQ(errorKind(std::get<std::unique_ptr<SpeechChannelRecognizer>>(made)->prepare(
                  int16Mono16k())),
              std::nullopt);
    // Each unusable folder is reported once, however often the store is read.
    const auto lines = log.messages();
    const auto reports = [&](const std::string& locale) {
        return std::ranges::count_if(lines, [&](const std::string& line) {
            return line.starts_with("语音模型：" + locale + " 的模型不完整，已跳过");
        });
    };
    EXPECT_EQ(reports("de-DE"), 1);
    EXPECT_EQ(reports("fr-FR"), 1);
    EXPECT_EQ(reports("zh-CN"), 0);
    EXPECT_TRUE(log.contains("语音模型：fr-FR 的模型不完整，已跳过（" +
                             (user.path() / "fr-FR").string() +
                             "：dictionary: dictionary.dict is missing）"));
}

TEST_F(SpeechRecognizer, ModelStoreWithoutAnyModelAndItsStandardPlaces) {
    // A folder that lacks a part does not count either.
    linkEnglishModel(user.path() / "en-US");
    fs::remove(user.path() / "en-US" / "language-model.lm.bin");
    auto none =
        SphinxSpeechRecognizer::make({user.path() / "no-system-model", user.path()}, preferences);
    EXPECT_EQ(none->availability(), SphinxSpeechRecognizer::Availability::noModel);
    EXPECT_NE(none->availabilityDetail(), "");
    EXPECT_TRUE(none->supportedLocales().empty());
    EXPECT_EQ(errorKind(none->makeChannel("en-US")), SpeechError::Kind::unavailable);

    const ScopedEnvironment xdg("XDG_DATA_HOME", nullptr);
    const ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(SphinxModelLocations::standard().userModels,
              fs::path("/home/someone/.local/share/pagemate/speech"));
    EXPECT_EQ(SphinxModelLocations::standard().systemModel, debianModel);
    const ScopedEnvironment data("XDG_DATA_HOME", "/data");
    EXPECT_EQ(SphinxModelLocations::standard().userModels, fs::path("/data/pagemate/speech"));
}

// Reservations live in the preferences file and are read back from it.
TEST_F(SpeechRecognizer, ReservationsAreKeptInThePreferences) {
    const auto file = user.path() / "preferences.json";
    {
        linux_backend::JsonPreferencesStore stored(file);
        SphinxSpeechRecognizer first({debianModel, user.path() / "models"}, stored);
        EXPECT_TRUE(first.reservedLocales().empty());
        EXPECT_EQ(errorKind(first.reserve("en-US")), std::nullopt);
        EXPECT_EQ(errorKind(first.reserve("en-US")), std::nullopt);
        EXPECT_EQ(errorKind(first.reserve("fr-FR")), SpeechError::Kind::reserveFailed);
    }
    linux_backend::JsonPreferencesStore stored(file);
    SphinxSpeechRecognizer again({debianModel, user.path() / "models"}, stored);
    EXPECT_EQ(again.reservedLocales(), std::vector<std::string>{"en-US"});
}

}  // namespace
}  // namespace pagemate::testing
