// What a hosted page can send the program: the messages it posts to the "pagemate"
// handler, decoded as the web view decodes them and handled by the panel, the quick bar
// or the meeting window on the fake platform; and the page state a self-test reads.
//
// Input: a host byte (panel, quick bar, meeting window, self-test sample), a scene byte
// (which desktop the message meets), then one JSON text per line, at most 16 messages.
// Beyond the sanitizers it checks that every call into the page is well formed and
// that nothing a page asks for opens an address other than a web page or Notion's.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "base/Settings.h"
#include "platform/WebView.h"
#include "platform/fake/FakePlatform.h"
#include "support/Url.h"
#include "web/MeetingController.h"
#include "web/PageSample.h"
#include "web/PanelController.h"
#include "web/QuickBarController.h"

namespace pagemate::fuzz {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kMaxMessages = 16;
const RunningApplication kNotion{42, "notion.id", "Notion"};
const RunningApplication kOther{7, "org.mozilla.firefox", "Firefox"};

[[noreturn]] void fail(const char* what, const std::string& detail) {
    (void)std::fprintf(stderr, "page_messages: %s: %s\n", what, detail.c_str());
    std::abort();
}

// The desktop the messages meet, from the scene byte.
void setScene(fake::FakePlatform& platform, std::uint8_t scene) {
    static const std::vector<Screen> kScreens = {
        Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}},
        Screen{{0, 0, 1024, 768}, {0, 25, 1024, 743}},
        Screen{{0, 0, 3840, 2160}, {0, 0, 3840, 2100}},
    };
    platform.windows.screenList = {kScreens[(scene >> 6) % kScreens.size()]};
    if ((scene & 1) != 0) {
        platform.workspace.running = {kOther, kNotion};
        platform.accessibility.windowTitles[kNotion.pid] = "Draft \u2013 Notion";
    }
    platform.workspace.frontmost = (scene & 2) != 0 ? kNotion : kOther;
    if ((scene & 4) != 0) {
        platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    }
    platform.keys.postable = (scene & 8) == 0;
    if ((scene & 16) != 0) {
        // A Notion that answers copy and copy-link after a reaction time.
        platform.keys.onKeyDown = [&platform](std::uint16_t key, std::uint64_t flags) {
            if ((flags & KeyEvents::commandFlag) == 0) {
                return;
            }
            const char* answer = key == 8    ? "选中的一段文字"
                                 : key == 37 ? "https://www.notion.so/Draft-"
                                               "0123456789abcdef0123456789abcdef"
                                             : nullptr;
            if (answer != nullptr) {
                platform.queue.postAfter(30ms, [&platform, text = std::string(answer)] {
                    platform.pasteboard.copy({{{"text/plain", text}}});
                });
            }
        };
    }
    platform.speech.availabilityState = SpeechRecognizer::Availability::noModel;
    platform.preferences.setValue("recordMeetingAudio", false);
}

// Runs what the messages set going: the hand-run queues, then two virtual seconds of
// delayed steps.
void settle(fake::FakePlatform& platform) {
    for (int round = 0; round < 4; ++round) {
        for (const auto& tasks : platform.serialQueues.made()) {
            tasks->runAll();
        }
        platform.queue.runUntilIdle();
    }
    platform.queue.advance(2s);
}

// Every call into the page carries one JSON argument: "window.B && window.B.F &&
// window.B.F(<JSON>);".
void checkPageCalls(const std::vector<std::string>& scripts) {
    for (const std::string& script : scripts) {
        if (!script.starts_with("window.PGM_")) {
            continue;
        }
        const std::size_t open = script.find('(');
        if (open == std::string::npos || !script.ends_with(");")) {
            fail("malformed page call", script);
        }
        const std::string argument = script.substr(open + 1, script.size() - open - 3);
        if (nlohmann::json::parse(argument, nullptr, false).is_discarded()) {
            fail("page call argument is no JSON", script);
        }
    }
}

void checkOpened(const fake::FakePlatform& platform) {
    for (const std::string& url : platform.workspace.opened()) {
        const std::optional<std::string> scheme = urlScheme(url);
        if (!isAbsoluteURL(url) || !scheme || !isOpenableScheme(*scheme)) {
            fail("a page message opened an address that is no web page", url);
        }
    }
}

void checkFrame(const Rect& frame) {
    if (!std::isfinite(frame.height) || !std::isfinite(frame.width) || frame.height <= 0 ||
        frame.width <= 0) {
        fail("window frame out of range",
             std::to_string(frame.width) + "x" + std::to_string(frame.height));
    }
}

template <typename Controller>
void deliverAll(fake::FakePlatform& platform, Controller& controller, fake::FakePanelWindow& window,
                ByteReader& input) {
    for (std::size_t count = 0; count < kMaxMessages && !input.empty(); ++count) {
        const nlohmann::json body = scriptMessageBody(input.line());
        if (window.view.delegate != nullptr) {
            window.view.delegate->didReceiveMessage(body);
        } else {
            controller.handleMessage(body);
        }
        settle(platform);
        checkFrame(window.currentFrame);
    }
    checkPageCalls(window.view.evaluated);
    checkOpened(platform);
}

void panel(fake::FakePlatform& platform, std::uint8_t scene, ByteReader& input) {
    const auto controller = PanelController::create();
    int settingsOpened = 0;
    std::vector<std::string> statuses;
    controller->onOpenSettings = [&settingsOpened] { ++settingsOpened; };
    controller->onStatusChange = [&statuses](const std::string& text) { statuses.push_back(text); };
    fake::FakePanelWindow& window = *platform.windows.panels.back();
    if ((scene & 32) != 0) {
        controller->show();
        settle(platform);
    }
    deliverAll(platform, *controller, window, input);
}

void quickBar(fake::FakePlatform& platform, std::uint8_t scene, ByteReader& input) {
    const auto controller = QuickBarController::create();
    std::vector<std::string> drafts;
    controller->onExpand = [&drafts](const std::string& draft) { drafts.push_back(draft); };
    controller->onStatusChange = [](const std::string&) {};
    fake::FakePanelWindow& window = *platform.windows.quickBars.back();
    if ((scene & 32) != 0) {
        controller->show();
        settle(platform);
    }
    deliverAll(platform, *controller, window, input);
}

void meeting(fake::FakePlatform& platform, std::uint8_t scene, ByteReader& input) {
    const auto controller = MeetingController::create();
    controller->onStatusChange = [](const std::string&) {};
    fake::FakePanelWindow& window = *platform.windows.panels.back();
    if ((scene & 32) != 0) {
        controller->show();
        settle(platform);
    }
    deliverAll(platform, *controller, window, input);
}

// A self-test's look at the page: the probe's JSON text, then the configuration answer
// the page got, both from the input.
void selfTestSample(fake::FakePlatform& platform, ByteReader& input) {
    const std::string stateText(input.line());
    const nlohmann::json apiAnswer = scriptMessageBody(input.rest());
    fake::RecordingWebView view;
    view.answer = [&](const std::string& script) {
        return script == "probe"
                   ? fake::RecordingWebView::ScriptAnswer{nlohmann::json(stateText), ""}
                   : fake::RecordingWebView::ScriptAnswer{apiAnswer, ""};
    };
    std::optional<nlohmann::json> sample;
    samplePage(view, "probe", "config", "无法读取页面状态",
               [&sample](nlohmann::json value) { sample = std::move(value); });
    platform.queue.runUntilIdle();
    if (!sample || !sample->is_object()) {
        fail("self-test sample is no object", sample ? sample->dump() : "none");
    }
    (void)sample->dump();  // the report is written as JSON
    const nlohmann::json direct = pageSample(scriptMessageBody(stateText), "", "x");
    if (!direct.is_object()) {
        fail("page sample is no object", direct.dump());
    }
}

}  // namespace
}  // namespace pagemate::fuzz

// The service's address comes from the environment, so that no message waits for an
// HTTP answer: every input runs the same way.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    ::setenv("PGM_SERVER_URL", "http://127.0.0.1:8787", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace pagemate;
    fuzz::QuietLog& log = fuzz::quietLog();
    fuzz::ByteReader input(data, size);
    const std::uint8_t host = input.byte();
    const std::uint8_t scene = input.byte();
    {
        Settings::shared().setRuntimeBaseURL("http://127.0.0.1:8787");
        fake::FakePlatform platform;
        fuzz::setScene(platform, scene);
        switch (host % 4) {
            case 0:
                fuzz::panel(platform, scene, input);
                break;
            case 1:
                fuzz::quickBar(platform, scene, input);
                break;
            case 2:
                fuzz::meeting(platform, scene, input);
                break;
            default:
                fuzz::selfTestSample(platform, input);
                break;
        }
        platform.queue.runUntilIdle();
    }
    log.clear();
    return 0;
}
