// pocketsphinx with the Debian en-US model on the recorded LibriVox sentences of
// pocketsphinx-testdata: a channel fed as a meeting's capture feeds it, and the model
// store. Meetings transcribed through it are shown by the "--ttstest" switch
// (MeetingProbeModesTest, the microphone) and by MeetingWebTest (the system audio).

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "fixtures/SpeechAudio.h"
#include "harness/TestSupport.h"
#include "platform/fake/MemoryPreferencesStore.h"
#include "platform/linux/JsonPreferencesStore.h"
#include "platform/linux/SphinxSpeechRecognizer.h"

namespace pagemate::testing {
namespace {

namespace fs = std::filesystem;
using linux_backend::SphinxModelLocations;
using linux_backend::SphinxSpeechRecognizer;
using namespace std::chrono_literals;

const fs::path debianModel = "/usr/share/pocketsphinx/model/en-us";

// The kind of error an answer is, or none.
template <typename Answer>
std::optional<SpeechError::Kind> errorKind(const Answer& answer) {
    const auto* error = std::get_if<SpeechError>(&answer);
    return error != nullptr ? std::optional(error->kind) : std::nullopt;
}

class SpeechRecognizer : public ::testing::Test {
  protected:
    // A started channel in the format it asks for: 16 kHz mono int16.
    std::unique_ptr<SpeechChannelRecognizer> startChannel(ResultCollector& collector) {
        auto made = speech.makeChannel("en-US");
        auto channel = std::get<std::unique_ptr<SpeechChannelRecognizer>>(std::move(made));
        EXPECT_EQ(channel->bestFormat(AudioFormat::meeting()), int16Mono16k);
        EXPECT_TRUE(std::holds_alternative<std::monostate>(channel->prepare(int16Mono16k)));
        EXPECT_TRUE(std::holds_alternative<std::monostate>(
            channel->start(collector.resultHandler(), collector.failureHandler())));
        return channel;
    }
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech{SphinxModelLocations{debianModel, user.path()}, preferences};
};

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

// A minute of three readers at once holds the voice detector as a crowd or a song does:
// it is cut into utterances of at most 25 s; the backlog is told, then none is left. A
// channel destroyed in the middle of that minute has ended its decoder thread, so no
// callback can come after the destructor.
TEST_F(SpeechRecognizer, SoundWithoutAPauseIsCutIntoBoundedUtterancesOrLeftMidway) {
    std::vector<std::int16_t> reading;
    for (int round = 0; round < 3; ++round) {
        for (const auto& sentence : librivoxSentences()) {
            reading.insert(reading.end(), sentence.samples.begin(), sentence.samples.end());
        }
    }
    std::vector<std::int16_t> crowd(std::size_t{60} * 16000, 0);
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

    ResultCollector left;
    channel = startChannel(left);
    pushSamples(*channel, crowd, 0);
    channel->finalize(left.finalizeHandler());
    const auto limit = std::chrono::steady_clock::now() + 60s;
    while (left.results().empty() && std::chrono::steady_clock::now() < limit) {
        std::this_thread::yield();
    }
    ASSERT_FALSE(left.results().empty());
    EXPECT_TRUE(left.results()[0].thread.starts_with("pagemate-asr-")) << left.results()[0].thread;
    channel.reset();
    EXPECT_EQ(asrThreads(), std::vector<std::string>{});
    EXPECT_FALSE(left.outcome().has_value());
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
    // Formats it does not take, or twice, are refused.
    auto made = std::get<std::unique_ptr<SpeechChannelRecognizer>>(speech.makeChannel("zh-CN"));
    EXPECT_EQ(errorKind(made->prepare({SampleType::float32, 48000, 2, true})),
              SpeechError::Kind::formatRejected);
    EXPECT_EQ(errorKind(made->prepare(int16Mono16k)), std::nullopt);
    EXPECT_EQ(errorKind(made->prepare(int16Mono16k)), SpeechError::Kind::wrongState);
    // Each unusable folder is reported once, however often the store is read.
    std::vector<std::string> skipped;
    for (const std::string& line : log.messages()) {
        if (line.find("已跳过") != std::string::npos) {
            skipped.push_back(line.substr(0, line.find(" 的")));
        }
    }
    EXPECT_EQ(sorted(skipped), (std::vector<std::string>{"语音模型：de-DE", "语音模型：fr-FR"}));
    EXPECT_TRUE(log.contains("语音模型：fr-FR 的模型不完整，已跳过（" +
                             (user.path() / "fr-FR").string() +
                             "：dictionary: dictionary.dict is missing）"));
}

// Without a model, and in its standard places; reservations live in the preferences file
// and are read back from it.
TEST_F(SpeechRecognizer, ModelStoreWithoutAModelItsPlacesAndReservations) {
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
