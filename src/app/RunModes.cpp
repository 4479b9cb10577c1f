#include "app/RunModes.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "app/AppDelegate.h"
#include "base/Settings.h"
#include "diagnostics/MeetingEnvironment.h"
#include "diagnostics/MeetingProbe.h"
#include "diagnostics/ReportFile.h"
#include "diagnostics/SelfTests.h"
#include "diagnostics/SpeechMeetingProbe.h"
#include "diagnostics/SpeechProbe.h"
#include "notion/NotionContextReader.h"
#include "platform/Platform.h"

namespace pagemate {

namespace {

constexpr const char* kPanelTestReport = "/tmp/pagemate-paneltest.json";
constexpr const char* kQuickTestReport = "/tmp/pagemate-quicktest.json";
constexpr const char* kMeetingUITestReport = "/tmp/pagemate-meetingui.json";

// "--meetinguitest": the meeting window's web self-test two seconds after start, its
// report written as it comes.
void runMeetingUITest(AppDelegate& delegate) {
    const std::weak_ptr<AppDelegate> weakDelegate = delegate.weak_from_this();
    Platform::current().mainQueue->postAfter(std::chrono::seconds(2), [weakDelegate] {
        const auto self = weakDelegate.lock();
        if (!self || self->meetingController() == nullptr) {
            return;
        }
        self->meetingController()->runWebSelfTest([](const nlohmann::json& report) {
            ReportFile::writeAndEnd(kMeetingUITestReport, report);
        });
    });
}

// "--quicktest": the quick bar's web self-test two seconds after start, its report
// written as it comes.
void runQuickTest(AppDelegate& delegate) {
    const std::weak_ptr<AppDelegate> weakDelegate = delegate.weak_from_this();
    Platform::current().mainQueue->postAfter(std::chrono::seconds(2), [weakDelegate] {
        const auto self = weakDelegate.lock();
        if (!self || self->quickBar() == nullptr) {
            return;
        }
        self->quickBar()->runWebSelfTest([](const nlohmann::json& report) {
            ReportFile::writeAndEnd(kQuickTestReport, report);
        });
    });
}

// "--paneltest": the launch stage at once, the panel's web self-test half a second
// later; both go to the same report, the second also to standard output.
void runPanelTest(AppDelegate& delegate) {
    ReportFile::write(kPanelTestReport,
                      {{"stage", "launched"}, {"serverURL", Settings::shared().serverURL()}});
    const std::weak_ptr<AppDelegate> weakDelegate = delegate.weak_from_this();
    Platform::current().mainQueue->postAfter(std::chrono::milliseconds(500), [weakDelegate] {
        const auto self = weakDelegate.lock();
        if (!self || self->panelController() == nullptr) {
            return;
        }
        self->panelController()->runWebSelfTest([](nlohmann::json report) {
            report["accessibilityTrusted"] = NotionContextReader::isTrusted();
            // The final report on standard output too, as one line-terminated text.
            const std::string text = ReportFile::serialize(report) + "\n";
            (void)std::fwrite(text.data(), 1, text.size(), stdout);
            (void)std::fflush(stdout);
            ReportFile::writeAndEnd(kPanelTestReport, report);
        });
    });
}

// "--longrecordtest" [minutes] and "--recordtest": the recorder's probes, their report
// written when they end (or by their watchdogs), then the program ends.
void runLongRecordTest(AppDelegate& delegate) {
    MeetingProbe::longRecordTest(
        longRecordMinutes(delegate.arguments()), [](const nlohmann::json& report) {
            ReportFile::writeAndEnd(MeetingProbe::longRecordTestReportPath, report);
        });
}

void runRecordTest(AppDelegate& /*delegate*/) {
    MeetingProbe::recordTest([](const nlohmann::json& report) {
        ReportFile::writeAndEnd(MeetingProbe::recordTestReportPath, report);
    });
}

// "--meetingtest", "--ttstest", "--meetinglivetest" and "--speechtest": the meeting
// environment and the transcription's probes, each report written when it is done (or
// by the probe's watchdog), then the program ends.
void runMeetingTest(AppDelegate& /*delegate*/) {
    MeetingEnvironment::report([](const nlohmann::json& report) {
        ReportFile::writeAndEnd(MeetingEnvironment::reportPath, report);
    });
}

void runTtsTest(AppDelegate& /*delegate*/) {
    MeetingProbe::ttsTest([](const nlohmann::json& report) {
        ReportFile::writeAndEnd(MeetingProbe::ttsTestReportPath, report);
    });
}

void runMeetingLiveTest(AppDelegate& /*delegate*/) {
    MeetingProbe::liveTest([](const nlohmann::json& report) {
        ReportFile::writeAndEnd(MeetingProbe::liveTestReportPath, report);
    });
}

void runSpeechTest(AppDelegate& /*delegate*/) {
    SpeechProbe::run([](const nlohmann::json& report) {
        ReportFile::writeAndEnd(SpeechProbe::reportPath, report);
    });
}

}  // namespace

LaunchModes LaunchModes::standard() {
    LaunchModes modes;
    modes.selfTest = [](AppDelegate&) { SelfTests::runSelfTest(); };
    modes.modes.push_back(RunMode{"--meetinguitest", &runMeetingUITest, false});
    modes.modes.push_back(RunMode{"--meetingtest", &runMeetingTest, false});
    modes.modes.push_back(RunMode{"--longrecordtest", &runLongRecordTest, false});
    modes.modes.push_back(RunMode{"--recordtest", &runRecordTest, false});
    modes.modes.push_back(RunMode{"--ttstest", &runTtsTest, false});
    modes.modes.push_back(RunMode{"--meetinglivetest", &runMeetingLiveTest, false});
    modes.modes.push_back(RunMode{"--speechtest", &runSpeechTest, false});
    modes.modes.push_back(RunMode{"--quicktest", &runQuickTest, false});
    modes.modes.push_back(
        RunMode{"--activatetest", [](AppDelegate&) { SelfTests::runActivationTest(); }, false});
    modes.modes.push_back(RunMode{"--paneltest", &runPanelTest, true});
    return modes;
}

bool hasArgument(const std::vector<std::string>& arguments, std::string_view flag) {
    return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
}

const RunMode* chooseRunMode(const std::vector<RunMode>& modes,
                             const std::vector<std::string>& arguments) {
    for (const RunMode& mode : modes) {
        if (hasArgument(arguments, mode.flag)) {
            return &mode;
        }
    }
    return nullptr;
}

std::int64_t longRecordMinutes(const std::vector<std::string>& arguments) {
    constexpr std::int64_t kDefaultMinutes = 60;
    const auto flag = std::find(arguments.begin(), arguments.end(), "--longrecordtest");
    if (flag == arguments.end() || std::next(flag) == arguments.end()) {
        return kDefaultMinutes;
    }
    std::string_view text = *std::next(flag);
    // from_chars takes a leading "-" but not a "+".
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-') || text.starts_with('+')) {
            return kDefaultMinutes;
        }
    }
    if (text.empty()) {
        return kDefaultMinutes;
    }
    std::int64_t minutes = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), minutes);
    if (error != std::errc() || end != text.data() + text.size()) {
        return kDefaultMinutes;
    }
    return minutes;
}

}  // namespace pagemate
