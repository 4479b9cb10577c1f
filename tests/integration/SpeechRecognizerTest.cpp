// pocketsphinx with the Debian en-US model on the LibriVox sentences of pocketsphinx-testdata,
// and its model store. Whole meetings transcribed through it: MeetingProbeModesTest (--ttstest)
// and MeetingWebTest.

#include <gtest/gtest.h>

#include <algorithm>

#include "fixtures/ChildProcess.h"
#include "fixtures/SpeechAudio.h"
#include "harness/TestSupport.h"
#include "platform/fake/MemoryPreferencesStore.h"
#include "platform/linux/JsonPreferencesStore.h"
#include "platform/linux/SphinxSpeechRecognizer.h"

namespace pagemate::testing {
namespace {

namespace fs = std::filesystem;
using linux_backend::SphinxSpeechRecognizer;
using namespace std::chrono_literals;
using Strings = std::vector<std::string>;

const fs::path debianModel = "/usr/share/pocketsphinx/model/en-us";

template <typename Answer>
std::optional<SpeechError::Kind> errorKind(const Answer& answer) {
    const auto* error = std::get_if<SpeechError>(&answer);
    return error != nullptr ? std::optional(error->kind) : std::nullopt;
}

class SpeechRecognizer : public ::testing::Test {
  protected:
    std::unique_ptr<SpeechChannelRecognizer> startChannel(ResultCollector& collector) {
        auto channel =
            std::get<std::unique_ptr<SpeechChannelRecognizer>>(speech.makeChannel("en-US"));
        EXPECT_EQ(channel->bestFormat(AudioFormat::meeting()), int16Mono16k);
        EXPECT_EQ(errorKind(channel->prepare(int16Mono16k)), std::nullopt);
        EXPECT_EQ(errorKind(channel->start(collector.resultHandler(), collector.failureHandler())),
                  std::nullopt);
        return channel;
    }
    TempDir user;
    fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech{{debianModel, user.path()}, preferences};
};

// A minute of three readers at once holds the voice detector as a crowd does: it is cut into
// utterances of at most 25 s, and the backlog drains. A channel destroyed midway has ended its
// decoder thread, so no callback comes after the destructor.
TEST_F(SpeechRecognizer, SoundWithoutAPauseIsCutIntoBoundedUtterancesOrLeftMidway) {
    std::vector<std::int16_t> reading;
    for (const auto& sentence : librivoxSentences()) {
        reading.insert(reading.end(), sentence.samples.begin(), sentence.samples.end());
    }
    std::vector<std::int16_t> crowd(std::size_t{60} * 16000, 0);
    for (std::size_t at = 0; at < crowd.size(); ++at) {
        for (const std::size_t lag : {0U, 37000U, 82000U}) {
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
    // The last one was still open at the end: finalize brought it. Pushes after finalize are
    // dropped.
    ASSERT_GE(finalEnds.size(), 3U);
    EXPECT_GT(finalEnds.back(), 55.0);
    pushSamples(*channel, crowd, std::ssize(crowd));
    channel.reset();
    EXPECT_EQ(collector.results().size(), results.size());

    ResultCollector left;
    channel = startChannel(left);
    pushSamples(*channel, crowd, 0);
    channel->finalize(left.finalizeHandler());
    ASSERT_TRUE(waitUntil([&] { return !left.results().empty(); }, 60s));
    EXPECT_TRUE(left.results()[0].thread.starts_with("pagemate-asr-")) << left.results()[0].thread;
    channel.reset();
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        EXPECT_FALSE(readFile(task.path() / "comm").starts_with("pagemate-asr-"));
    }
    EXPECT_FALSE(left.outcome().has_value());
}

// The Debian model and the user's folders, one per locale: a complete one counts, one that
// lacks a part is reported once, however often the store is read. Reservations live in the
// preferences file. Without a model nothing is offered.
TEST_F(SpeechRecognizer, ModelStoreTakesCompleteUserFoldersReservationsOrNothing) {
    const LogCapture log;
    EXPECT_EQ(speech.installedLocales(), Strings{"en-US"});
    EXPECT_EQ(errorKind(speech.installationRequest("fr-FR")), SpeechError::Kind::unsupportedLocale);
    for (const char* locale : {"zh-CN", "fr-FR"}) {
        fs::create_directories(user.path() / locale);
        fs::create_directory_symlink(debianModel / "en-us",
                                     user.path() / locale / "acoustic-model");
        fs::create_symlink(debianModel / "en-us.lm.bin",
                           user.path() / locale / "language-model.lm.bin");
        fs::create_symlink(debianModel / "cmudict-en-us.dict",
                           user.path() / locale / "dictionary.dict");
    }
    fs::remove(user.path() / "fr-FR" / "dictionary.dict");
    auto supported = speech.supportedLocales();
    std::ranges::sort(supported);
    EXPECT_EQ(supported, (Strings{"en-US", "zh-CN"}));
    EXPECT_EQ(errorKind(speech.makeChannel("fr-FR")), SpeechError::Kind::unsupportedLocale);
    auto made = std::get<std::unique_ptr<SpeechChannelRecognizer>>(speech.makeChannel("zh-CN"));
    EXPECT_EQ(errorKind(made->prepare({SampleType::float32, 48000, 2, true})),
              SpeechError::Kind::formatRejected);
    EXPECT_EQ(errorKind(made->prepare(int16Mono16k)), std::nullopt);
    EXPECT_EQ(errorKind(made->prepare(int16Mono16k)), SpeechError::Kind::wrongState);
    EXPECT_EQ(std::ranges::count_if(
                  log.messages(),
                  [](const std::string& line) { return line.find("已跳过") != std::string::npos; }),
              1);
    EXPECT_TRUE(log.contains("语音模型：fr-FR 的模型不完整，已跳过（" +
                             (user.path() / "fr-FR").string() +
                             "：dictionary: dictionary.dict is missing）"));

    const auto file = user.path() / "preferences.json";
    {
        linux_backend::JsonPreferencesStore stored(file);
        SphinxSpeechRecognizer first({debianModel, user.path() / "models"}, stored);
        EXPECT_EQ(errorKind(first.reserve("en-US")), std::nullopt);
        EXPECT_EQ(errorKind(first.reserve("en-US")), std::nullopt);
        EXPECT_EQ(errorKind(first.reserve("fr-FR")), SpeechError::Kind::reserveFailed);
    }
    linux_backend::JsonPreferencesStore stored(file);
    EXPECT_EQ(
        SphinxSpeechRecognizer({debianModel, user.path() / "models"}, stored).reservedLocales(),
        Strings{"en-US"});

    // A user folder that lacks every part does not count either.
    fs::create_directories(user.path() / "bare" / "en-US");
    auto none = SphinxSpeechRecognizer::make({user.path() / "none", user.path() / "bare"}, stored);
    EXPECT_EQ(none->availability(), SphinxSpeechRecognizer::Availability::noModel);
    EXPECT_NE(none->availabilityDetail(), "");
    EXPECT_TRUE(none->supportedLocales().empty());
    EXPECT_EQ(errorKind(none->makeChannel("en-US")), SpeechError::Kind::unavailable);
}

}  // namespace
}  // namespace pagemate::testing
