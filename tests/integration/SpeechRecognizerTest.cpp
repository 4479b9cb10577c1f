// pocketsphinx with the Debian en-US model on the recorded LibriVox sentences of
// pocketsphinx-testdata, fed as a transcription channel feeds it; and the model store.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "fixtures/SpeechAudio.h"
#include "harness/TestSupport.h"
#include "platform/fake/MemoryPreferencesStore.h"
#include "platform/linux/JsonPreferencesStore.h"
#include "platform/linux/SphinxSpeechRecognizer.h"

namespace pagemate::testing {
namespace {

using linux_backend::SphinxModelLocations;
using linux_backend::SphinxSpeechRecognizer;
using namespace std::chrono_literals;

// The command-line decoder (pocketsphinx_continuous -infile) finds 51 of the 71 words
// of these sentences here (72 %); a channel is held to that less a margin.
constexpr double wordsBar = 0.62;
constexpr std::int64_t rate = 16000;

SphinxModelLocations debianOnly(const std::filesystem::path& emptyUserFolder) {
    return SphinxModelLocations{"/usr/share/pocketsphinx/model/en-us", emptyUserFolder};
}

std::vector<std::int16_t> silence(double seconds) {
    return std::vector<std::int16_t>(static_cast<std::size_t>(seconds * rate), 0);
}

struct Channel {
    std::unique_ptr<SpeechChannelRecognizer> recognizer;
    ResultCollector collector;
};

std::unique_ptr<Channel> startChannel(SpeechRecognizer& speech) {
    auto channel = std::make_unique<Channel>();
    auto made = speech.makeChannel("en-US");
    EXPECT_TRUE(std::holds_alternative<std::unique_ptr<SpeechChannelRecognizer>>(made));
    if (!std::holds_alternative<std::unique_ptr<SpeechChannelRecognizer>>(made)) {
        return nullptr;
    }
    channel->recognizer = std::get<std::unique_ptr<SpeechChannelRecognizer>>(std::move(made));
    const auto best = channel->recognizer->bestFormat(AudioFormat::meeting());
    EXPECT_EQ(best, int16Mono16k());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->recognizer->prepare(*best)));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->recognizer->start(
        channel->collector.resultHandler(), channel->collector.failureHandler())));
    return channel;
}

void finalizeAndWait(Channel& channel) {
    channel.recognizer->finalize(channel.collector.finalizeHandler());
    ASSERT_TRUE(channel.collector.waitFinalized(120s));
    ASSERT_TRUE(std::holds_alternative<std::monostate>(*channel.collector.outcome()));
}

std::string describe(const std::vector<ResultCollector::Received>& results) {
    std::string text;
    for (const auto& received : results) {
        char times[64];
        (void)std::snprintf(times, sizeof times, "%6.2f +%5.2f %s ", received.result.start,
                            received.result.duration,
                            received.result.final ? "final  " : "partial");
        text += times + received.result.text + "\n";
    }
    return text;
}

// The five sentences in one channel, each with silence around it, as a meeting's
// microphone would bring them.
TEST(SpeechRecognizer, RecognisesRecordedSentencesWithPartialsBeforeFinals) {
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech(debianOnly(user.path()), preferences);
    const auto sentences = librivoxSentences();
    ASSERT_EQ(sentences.size(), 5U);

    auto channel = startChannel(speech);
    ASSERT_TRUE(channel);
    std::vector<std::int16_t> audio = silence(1.0);
    std::vector<double> placedAt;
    std::vector<double> endsAt;
    for (const auto& sentence : sentences) {
        placedAt.push_back(static_cast<double>(audio.size()) / rate);
        audio.insert(audio.end(), sentence.samples.begin(), sentence.samples.end());
        endsAt.push_back(static_cast<double>(audio.size()) / rate);
        const auto gap = silence(2.0);
        audio.insert(audio.end(), gap.begin(), gap.end());
    }
    // The time line of a channel that started before this audio: results are on it.
    const std::int64_t offset = 5 * rate;
    pushSamples(*channel->recognizer, audio, offset);
    finalizeAndWait(*channel);
    const auto results = channel->collector.results();
    SCOPED_TRACE(describe(results));
    EXPECT_TRUE(channel->collector.failures().empty());

    std::size_t found = 0;
    std::size_t total = 0;
    for (std::size_t i = 0; i < sentences.size(); ++i) {
        const double from = placedAt[i] + 5.0;
        const double to = endsAt[i] + 5.0;
        std::vector<ResultCollector::Received> mine;
        for (const auto& received : results) {
            if (received.result.start >= from - 1.0 && received.result.start < to) {
                mine.push_back(received);
            }
        }
        ASSERT_FALSE(mine.empty()) << sentences[i].name;
        // Partial results first, each utterance closed by a final one.
        EXPECT_FALSE(mine.front().result.final) << sentences[i].name;
        EXPECT_TRUE(mine.back().result.final) << sentences[i].name;
        // The speech starts where it was placed, on the time line of the pushes.
        EXPECT_NEAR(mine.front().result.start, from, 0.5) << sentences[i].name;
        std::string finals;
        for (const auto& received : mine) {
            EXPECT_LE(received.result.start + received.result.duration, to + 1.0);
            if (received.result.final) {
                finals += " " + received.result.text;
            }
        }
        found += wordsFound(sentences[i].words, finals);
        total += sentences[i].words.size();
    }
    const double share = static_cast<double>(found) / static_cast<double>(total);
    RecordProperty("words_found", static_cast<int>(found));
    std::printf("words found: %zu of %zu (%.0f %%)\n", found, total, share * 100);
    EXPECT_GE(share, wordsBar);
    // Every callback came on the channel's own named thread.
    for (const auto& received : results) {
        EXPECT_EQ(received.thread.rfind("pagemate-asr-", 0), 0U) << received.thread;
    }
}

// Silence, digital and a faint hiss, is no speech: no result and no error.
TEST(SpeechRecognizer, SilenceGivesNoResult) {
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech(debianOnly(user.path()), preferences);
    auto channel = startChannel(speech);
    ASSERT_TRUE(channel);
    std::vector<std::int16_t> audio = silence(6.0);
    std::uint32_t seed = 7;
    for (std::size_t i = 0; i < 6 * rate; ++i) {
        seed = seed * 1664525U + 1013904223U;
        audio.push_back(static_cast<std::int16_t>(static_cast<int>(seed >> 24U) % 16 - 8));
    }
    pushSamples(*channel->recognizer, audio, 0);
    finalizeAndWait(*channel);
    EXPECT_EQ(describe(channel->collector.results()), "");
    EXPECT_TRUE(channel->collector.failures().empty());
}

// A minute of three readers at once holds the voice detector as a crowd or a song does:
// it is cut into utterances of at most 25 s; the backlog is told, then none is left.
TEST(SpeechRecognizer, SoundWithoutAPauseIsCutIntoBoundedUtterances) {
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech(debianOnly(user.path()), preferences);
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
    auto channel = startChannel(speech);
    ASSERT_TRUE(channel);
    pushSamples(*channel->recognizer, crowd, 0);
    EXPECT_GT(channel->recognizer->undecodedSeconds(), 30.0);
    finalizeAndWait(*channel);
    EXPECT_EQ(channel->recognizer->undecodedSeconds(), 0.0);
    const auto results = channel->collector.results();
    SCOPED_TRACE(describe(results));
    std::vector<double> finalEnds;
    double utteranceStart = -1;
    for (const auto& received : results) {
        const SpeechResult& result = received.result;
        utteranceStart = utteranceStart < 0 ? result.start : utteranceStart;
        if (result.final) {
            EXPECT_LE(result.start + result.duration - utteranceStart, 25.5);
            finalEnds.push_back(result.start + result.duration);
            utteranceStart = -1;
        }
    }
    // The last one was still open at the end: finalize brought it. Pushes after
    // finalize are dropped, and nothing follows the completion.
    ASSERT_GE(finalEnds.size(), 3U);
    EXPECT_GT(finalEnds.back(), 55.0);
    pushSamples(*channel->recognizer, crowd, std::ssize(crowd));
    channel->recognizer.reset();
    EXPECT_EQ(channel->collector.results().size(), results.size());
}

// The names of this process's decoder threads still running.
std::vector<std::string> asrThreads() {
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind("pagemate-asr-", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

// Destroying a channel in the middle of its input: no callback after the destructor.
TEST(SpeechRecognizer, NoCallbackAfterDestruction) {
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech(debianOnly(user.path()), preferences);
    const auto sentences = librivoxSentences();
    ASSERT_FALSE(sentences.empty());
    auto made = speech.makeChannel("en-US");
    auto channel = std::get<std::unique_ptr<SpeechChannelRecognizer>>(std::move(made));
    ASSERT_TRUE(std::holds_alternative<std::monostate>(channel->prepare(int16Mono16k())));
    std::atomic<bool> gone = false;
    std::atomic<int> late = 0;
    std::atomic<int> early = 0;
    const auto count = [&] { (gone ? late : early)++; };
    ASSERT_TRUE(std::holds_alternative<std::monostate>(channel->start(
        [&](const SpeechResult&) { count(); }, [&](const SpeechError&) { count(); })));
    std::int64_t at = 0;
    for (int i = 0; i < 4; ++i) {
        at = pushSamples(*channel, sentences[0].samples, at);
    }
    channel->finalize([&](const auto&) { count(); });
    // Destroyed once decoding is under way (the decoder thread has named itself).
    const auto limit = std::chrono::steady_clock::now() + 60s;
    while (early == 0 && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
    ASSERT_GT(early, 0);
    channel.reset();
    gone = true;
    // The decoder had seconds of audio left: its thread has ended rather than gone on,
    // so nothing can call later.
    EXPECT_EQ(asrThreads(), std::vector<std::string>{});
    EXPECT_EQ(late, 0);
}

// The recogniser's formats: it asks for 16 kHz mono int16 and takes float32 too.
TEST(SpeechRecognizer, Formats) {
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech(debianOnly(user.path()), preferences);
    auto made = speech.makeChannel("en-US");
    auto channel = std::get<std::unique_ptr<SpeechChannelRecognizer>>(std::move(made));
    const auto rejected = channel->prepare(AudioFormat{SampleType::float32, 48000, 2, true});
    ASSERT_TRUE(std::holds_alternative<SpeechError>(rejected));
    EXPECT_EQ(std::get<SpeechError>(rejected).kind, SpeechError::Kind::formatRejected);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->prepare(AudioFormat::meeting())));
    // Out of order.
    const auto again = channel->prepare(AudioFormat::meeting());
    ASSERT_TRUE(std::holds_alternative<SpeechError>(again));
    EXPECT_EQ(std::get<SpeechError>(again).kind, SpeechError::Kind::wrongState);
}

// --- The model store.

void linkEnglishModel(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    const fs::path debian = "/usr/share/pocketsphinx/model/en-us";
    fs::create_directories(folder);
    fs::create_directory_symlink(debian / "en-us", folder / "acoustic-model");
    fs::create_symlink(debian / "en-us.lm.bin", folder / "language-model.lm.bin");
    fs::create_symlink(debian / "cmudict-en-us.dict", folder / "dictionary.dict");
}

std::vector<std::string> sorted(std::vector<std::string> list) {
    std::sort(list.begin(), list.end());
    return list;
}

TEST(SpeechModelStore, DebianModelAndUserFolders) {
    TempDir user;
    LogCapture log;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech(debianOnly(user.path()), preferences);
    // An empty user folder: the Debian model alone.
    EXPECT_EQ(speech.availability(), SpeechRecognizer::Availability::available);
    EXPECT_EQ(speech.supportedLocales(), std::vector<std::string>{"en-US"});
    EXPECT_EQ(speech.installedLocales(), std::vector<std::string>{"en-US"});
    const auto request = speech.installationRequest("en-US");
    ASSERT_TRUE(std::holds_alternative<std::optional<SpeechModelDownload>>(request));
    EXPECT_FALSE(std::get<std::optional<SpeechModelDownload>>(request).has_value());
    const auto french = speech.installationRequest("fr-FR");
    ASSERT_TRUE(std::holds_alternative<SpeechError>(french));
    EXPECT_EQ(std::get<SpeechError>(french).kind, SpeechError::Kind::unsupportedLocale);

    // A complete folder for zh-CN (the English files under the user layout).
    linkEnglishModel(user.path() / "zh-CN");
    // One without its dictionary, one whose model definition is not one.
    linkEnglishModel(user.path() / "fr-FR");
    std::filesystem::remove(user.path() / "fr-FR" / "dictionary.dict");
    std::filesystem::create_directories(user.path() / "de-DE" / "acoustic-model");
    for (const char* part :
         {"mdef", "means", "variances", "transition_matrices", "noisedict", "sendump"}) {
        writeFile(user.path() / "de-DE" / "acoustic-model" / part, "garbage");
    }
    std::filesystem::copy_file("/usr/share/pocketsphinx/model/en-us/cmudict-en-us.dict",
                               user.path() / "de-DE" / "dictionary.dict");
    writeFile(user.path() / "de-DE" / "language-model.lm", "\\data\\\nngram 1=1\n");

    EXPECT_EQ(sorted(speech.supportedLocales()), (std::vector<std::string>{"en-US", "zh-CN"}));
    EXPECT_EQ(sorted(speech.installedLocales()), (std::vector<std::string>{"en-US", "zh-CN"}));
    EXPECT_FALSE(std::get<std::optional<SpeechModelDownload>>(speech.installationRequest("zh-CN")));
    const auto unusable = speech.makeChannel("fr-FR");
    ASSERT_TRUE(std::holds_alternative<SpeechError>(unusable));
    EXPECT_EQ(std::get<SpeechError>(unusable).kind, SpeechError::Kind::unsupportedLocale);
    // The zh-CN model loads.
    auto made = speech.makeChannel("zh-CN");
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<SpeechChannelRecognizer>>(made));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(
        std::get<std::unique_ptr<SpeechChannelRecognizer>>(made)->prepare(int16Mono16k())));

    // Each unusable folder is reported once, however often the store is read.
    const auto reports = [&](const std::string& locale) {
        const auto messages = log.messages();
        return std::count_if(messages.begin(), messages.end(), [&](const std::string& message) {
            return message.find("语音模型：" + locale + " 的模型不完整，已跳过") !=
                   std::string::npos;
        });
    };
    EXPECT_EQ(reports("fr-FR"), 1);
    EXPECT_EQ(reports("de-DE"), 1);
    EXPECT_EQ(reports("zh-CN"), 0);
    EXPECT_TRUE(log.contains("语音模型：fr-FR 的模型不完整，已跳过（" +
                             (user.path() / "fr-FR").string() +
                             "：dictionary: dictionary.dict is missing）"))
        << log.text();
}

TEST(SpeechModelStore, NoModelAtAllIsUnavailable) {
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    const SphinxModelLocations nowhere{user.path() / "no-system-model", user.path()};
    // A folder that lacks a part does not count either.
    linkEnglishModel(user.path() / "en-US");
    std::filesystem::remove(user.path() / "en-US" / "language-model.lm.bin");
    auto speech = SphinxSpeechRecognizer::make(nowhere, preferences);
    ASSERT_NE(speech, nullptr);
    EXPECT_EQ(speech->availability(), SpeechRecognizer::Availability::noModel);
    EXPECT_NE(speech->availabilityDetail(), "");
    EXPECT_TRUE(speech->supportedLocales().empty());
    const auto made = speech->makeChannel("en-US");
    ASSERT_TRUE(std::holds_alternative<SpeechError>(made));
    EXPECT_EQ(std::get<SpeechError>(made).kind, SpeechError::Kind::unavailable);
    // With the model in place the same store is available.
    EXPECT_EQ(SphinxSpeechRecognizer::make(debianOnly(user.path()), preferences)->availability(),
              SpeechRecognizer::Availability::available);
}

TEST(SpeechModelStore, StandardLocations) {
    TempDir data;
    {
        const ScopedEnvironment xdg("XDG_DATA_HOME", data.path().c_str());
        EXPECT_EQ(SphinxModelLocations::standard().userModels, data.path() / "pagemate" / "speech");
    }
    const ScopedEnvironment xdg("XDG_DATA_HOME", nullptr);
    const ScopedEnvironment home("HOME", "/home/someone");
    EXPECT_EQ(SphinxModelLocations::standard().userModels,
              std::filesystem::path("/home/someone/.local/share/pagemate/speech"));
    EXPECT_EQ(SphinxModelLocations::standard().systemModel,
              std::filesystem::path("/usr/share/pocketsphinx/model/en-us"));
}

// Reservations live in the preferences file and are read back from it.
TEST(SpeechModelStore, ReservationsAreKeptInThePreferences) {
    TempDir folder;
    const auto file = folder.path() / "preferences.json";
    {
        linux_backend::JsonPreferencesStore preferences(file);
        SphinxSpeechRecognizer speech(debianOnly(folder.path() / "models"), preferences);
        EXPECT_TRUE(speech.reservedLocales().empty());
        EXPECT_TRUE(std::holds_alternative<std::monostate>(speech.reserve("en-US")));
        EXPECT_TRUE(std::holds_alternative<std::monostate>(speech.reserve("en-US")));
        const auto refused = speech.reserve("fr-FR");
        ASSERT_TRUE(std::holds_alternative<SpeechError>(refused));
        EXPECT_EQ(std::get<SpeechError>(refused).kind, SpeechError::Kind::reserveFailed);
    }
    linux_backend::JsonPreferencesStore preferences(file);
    SphinxSpeechRecognizer speech(debianOnly(folder.path() / "models"), preferences);
    EXPECT_EQ(speech.reservedLocales(), std::vector<std::string>{"en-US"});
    EXPECT_EQ(std::get<std::string>(*preferences.value(SphinxSpeechRecognizer::reservedKey)),
              "en-US");
}

}  // namespace
}  // namespace pagemate::testing
