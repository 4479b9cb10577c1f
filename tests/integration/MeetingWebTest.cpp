// A whole meeting through the real parts: the meeting page in WebKitGTK, the stand-in
// service, a PulseAudio daemon of the test's own playing a LibriVox sentence,
// pocketsphinx, the recorder's thread and FFmpeg.

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
// clang-format on
#include "fixtures/PulseDaemon.h"
#include "fixtures/SpeechAudio.h"
#include "harness/MeetingFolders.h"
#include "integration/AudioTestSupport.h"
#include "platform/linux/LinuxPlatform.h"
#include "web/MeetingController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class MeetingWebTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    MeetingWebTest() {
        Platform::install(linux_backend::makeLinuxPlatform(true));
        Settings::shared().setRuntimeBaseURL(service.base());
        Settings::shared().setRecordMeetingAudio(true);
        service.answer("/meeting", 200, testing::readFile(PAGES_DIR "/meeting.html"), "text/html");
        service.answer("/api/meeting/audio", 200, R"({"id":"m-1","filename":"会议.m4a"})");
        controller = MeetingController::create();
        controller->onStatusChange = [this](const std::string& text) { statuses.push_back(text); };
    }
    ~MeetingWebTest() override {
        controller.reset();
        Platform::uninstall();
    }

    json page() {
        std::optional<json> state;
        controller->window().webView().evaluate(
            "JSON.stringify({events: window.__events || [], segments: window.__segments || [],"
            " audio: window.__audio || []})",
            [&](std::optional<json> value, const std::string&) {
                state = value && value->is_string() ? json::parse(value->get<std::string>())
                                                    : json::object();
            });
        testing::pumpUntil([&] { return state.has_value(); }, 5s);
        return state.value_or(json::object());
    }
    static std::vector<std::string> statesIn(const json& state) {
        std::vector<std::string> found;
        for (const json& event : state.value("events", json::array())) {
            if (event.value("type", "") == "state") {
                found.push_back(event.value("state", ""));
            }
        }
        return found;
    }
    bool waitForState(const std::string& wanted, std::chrono::milliseconds limit) {
        return testing::pumpUntil(
            [&] {
                const auto found = statesIn(page());
                return !found.empty() && found.back() == wanted;
            },
            limit);
    }
    void click(const std::string& id) {
        controller->window().webView().evaluate("document.getElementById('" + id + "').click();");
    }

    testing::MeetingFolders folders;
    testing::PulseDaemon daemon;
    testing::StandInService service;
    testing::LogCapture log;
    std::shared_ptr<MeetingController> controller;
    std::vector<std::string> statuses;
};

TEST_F(MeetingWebTest, AMeetingTranscribesTheSystemAudioAndUploadsItsRecording) {
    ASSERT_TRUE(daemon.running()) << daemon.log();
    const std::vector<testing::LibrivoxSentence> sentences = testing::librivoxSentences();
    ASSERT_FALSE(sentences.empty()) << "pocketsphinx-testdata is missing";
    const testing::LibrivoxSentence& sentence = sentences.front();
    const std::filesystem::path wav = folders.tmp() / "sentence.wav";
    testing::writeWav16(wav, sentence.samples);

    controller->show();
    ASSERT_TRUE(testing::pumpUntil([&] { return log.contains("会议窗口：页面加载完成"); }, 15s))
        << log.text();
    ASSERT_TRUE(waitForState("idle", 5s));

    click("start");
    ASSERT_TRUE(waitForState("recording", 30s)) << log.text();

    // The sentence plays on the computer, the system audio, while the main loop turns.
    testing::runShell("paplay --device=out '" + wav.string() + "' >/dev/null 2>&1 &");
    const auto playing = std::chrono::milliseconds(sentence.samples.size() / 16);
    testing::pumpUntil([] { return false; }, playing + 1500ms);

    click("stop");
    ASSERT_TRUE(waitForState("idle", 60s)) << log.text();
    const json state = page();
    EXPECT_EQ(statesIn(state),
              (std::vector<std::string>{"idle", "starting", "recording", "stopping", "idle"}));

    // The sentence came back as "线上" segments.
    std::string heard;
    for (const json& segment : state["segments"]) {
        if (segment.value("speaker", "") == "线上" && segment.value("final", false)) {
            heard += segment.value("text", "") + " ";
        }
    }
    EXPECT_GE(testing::wordsFound(sentence.words, heard) * 3, sentence.words.size())
        << "heard: " << heard;

    // The recording was saved, uploaded, and its id handed to the page.
    ASSERT_EQ(state["audio"].size(), 1U) << log.text();
    EXPECT_EQ(state["audio"][0], json({{"id", "m-1"}, {"filename", "会议.m4a"}}));
    ASSERT_EQ(folders.savedFiles().size(), 1U);
    EXPECT_EQ(service.received().back().body, testing::readFile(folders.savedFiles()[0]));
    // AAC, 16 kHz mono at about 32 kbit/s, the microphone's sine in it.
    auto opened = Platform::current().audioCodecs->openFile(folders.savedFiles()[0]);
    ASSERT_TRUE(std::holds_alternative<std::unique_ptr<AudioFileReader>>(opened));
    AudioFileReader& reader = *std::get<0>(opened);
    EXPECT_EQ(reader.info().codec, "aac");
    EXPECT_EQ(reader.info().sampleRate, 16000);
    EXPECT_EQ(reader.info().channels, 1u);
    const double seconds = reader.info().durationSeconds();
    const double kbps = static_cast<double>(service.received().back().body.size()) * 8 / seconds;
    EXPECT_GT(kbps, 24000);
    EXPECT_LT(kbps, 40000);
    const std::vector<float> samples = testing::readAll(reader, 4096).channels.at(0);
    EXPECT_GT(testing::toneAmplitude(samples, 440, 16000),
              3 * testing::toneAmplitude(samples, 550, 16000));
    EXPECT_GE(seconds, std::chrono::duration<double>(playing).count());
    EXPECT_EQ(statuses.back(), "会议记录已结束");
}

}  // namespace
}  // namespace pagemate
