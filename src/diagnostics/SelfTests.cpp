#include "diagnostics/SelfTests.h"

#include <condition_variable>
#include <mutex>
#include <optional>

#include "base/Settings.h"
#include "diagnostics/ReportFile.h"
#include "notion/NotionContextReader.h"
#include "notion/TextInsertion.h"
#include "platform/Platform.h"
#include "support/Text.h"
#include "support/Url.h"

namespace pagemate::SelfTests {

namespace {

namespace Reader = NotionContextReader;
using std::chrono::milliseconds;

constexpr milliseconds kProbePause{300};
constexpr int kProbes = 3;

std::optional<RunningApplication> runningNotion() {
    for (const RunningApplication& application :
         Platform::current().workspace->runningApplications()) {
        if (application.bundleIdentifier == Reader::notionBundleID) {
            return application;
        }
    }
    return std::nullopt;
}

std::string identityOf(const std::optional<RunningApplication>& application) {
    return application && application->bundleIdentifier ? *application->bundleIdentifier : "";
}

// The health answer, shared with the request's completion. Once the wait is over the
// completion finds `closed` and leaves the report alone.
struct HealthAnswer {
    std::mutex mutex;
    std::condition_variable answered;
    bool done = false;
    bool closed = false;
    int status = 0;
    std::optional<nlohmann::json> body;
};

void addHealth(nlohmann::json& report, const Timings& timings) {
    report["healthStatus"] = 0;
    const std::string address =
        std::string(trimCharacter(Settings::shared().serverURL(), '/')) + "/health";
    if (!isValidURL(address)) {
        return;
    }
    auto answer = std::make_shared<HealthAnswer>();
    HttpRequest request;
    request.url = address;
    request.timeout = timings.healthTimeout;
    Platform::current().http->send(std::move(request), [answer](const HttpResponse& response) {
        const std::lock_guard lock(answer->mutex);
        if (answer->closed) {
            return;
        }
        answer->status = response.status.value_or(0);
        if (response.body) {
            nlohmann::json body = nlohmann::json::parse(*response.body, nullptr, false);
            if (body.is_object()) {
                answer->body = std::move(body);
            }
        }
        answer->done = true;
        answer->answered.notify_all();
    });
    // The main thread waits here on purpose: nothing else runs in this mode.
    std::unique_lock lock(answer->mutex);
    answer->answered.wait_for(lock, timings.healthWait, [&] { return answer->done; });
    answer->closed = true;
    if (answer->done) {
        report["healthStatus"] = answer->status;
        if (answer->body) {
            report["healthBody"] = *answer->body;
        }
    }
}

}  // namespace

nlohmann::json applicationReport(const Timings& timings) {
    const Settings& settings = Settings::shared();
    nlohmann::json report = {{"serverURL", settings.serverURL()},
                             {"passwordConfigured", settings.hasPassword()},
                             {"accessibilityTrusted", Reader::isTrusted()}};
    const std::optional<RunningApplication> notion = runningNotion();
    report["notionRunning"] = notion.has_value();
    if (notion) {
        const std::string title = Reader::windowTitle(notion->pid).value_or("");
        report["notionWindowTitle"] = title;
        report["notionWindowTitleCleaned"] = Reader::cleanTitle(title);
    }
    const auto sample = Reader::parseNotionURL(sampleNotionURL);
    report["urlParseSample"] = {{"id", sample ? sample->id : ""},
                                {"title", sample ? sample->title : ""}};
    addHealth(report, timings);
    return report;
}

nlohmann::json activationReport() {
    Platform& platform = Platform::current();
    const std::optional<RunningApplication> previous = platform.workspace->frontmostApplication();
    nlohmann::json report = {{"previousFrontmost", identityOf(previous)}};
    const std::optional<RunningApplication> notion = runningNotion();
    if (!notion) {
        report["error"] = "Notion 未运行";
        return report;
    }
    MainQueue& queue = *platform.mainQueue;
    const auto start = queue.now();
    report["activated"] = TextInsertion::activate(*notion);
    report["activationMs"] = std::chrono::duration_cast<milliseconds>(queue.now() - start).count();
    report["frontmostAfter"] = identityOf(platform.workspace->frontmostApplication());
    report["accessibilityTrusted"] = Reader::isTrusted();
    // Nothing to ask for on this desktop when keystrokes cannot be posted: XTest is
    // there or not.
    report["canPostEvents"] = platform.keyEvents->canPost();
    for (int probe = 1; probe <= kProbes; ++probe) {
        const nlohmann::json found = TextInsertion::probeFocusedElement(notion->pid);
        report["axProbe" + std::to_string(probe)] = found;
        const auto element = found.find("focusedElement");
        const bool missing = element != found.end() && element->is_string() &&
                             element->get<std::string>() == "拿不到";
        if (!missing || probe == kProbes) {
            break;
        }
        queue.sleepFor(kProbePause);
    }
    if (previous) {
        TextInsertion::activate(*previous);
        report["restoredTo"] = identityOf(platform.workspace->frontmostApplication());
    }
    return report;
}

void runSelfTest() {
    ReportFile::writeAndEnd(selfTestReportPath, applicationReport(), true);
}

void runActivationTest() {
    ReportFile::writeAndEnd(activationReportPath, activationReport());
}

}  // namespace pagemate::SelfTests
