// How long the quick bar takes from the hot key to a page that knows the selection: the
// time from Alt+Space sent through XTest to the "/quick" page's onContext posting back
// what it was given, over the first show (the page loads) and 20 later ones (the page
// reloads with a fresh bootstrap). The stand-in Notion window holds a selection; the
// program's own steps are split into the capture (reading Notion) and the rest.
// Run on an X display with a session bus: scripts/bench.

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "app/Settings.h"
#include "fixtures/StandInService.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/HotKeys.h"
#include "platform/linux/LinuxPlatform.h"
#include "web/QuickBarController.h"
// clang-format off
#include "fixtures/Desktop.h"
#include <X11/Xatom.h>
// clang-format on

namespace {

using namespace std::chrono;
using Clock = steady_clock;
namespace testing = pagemate::testing;

// A quick page that says at once which selection the host pushed to it.
constexpr const char* kPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>bench</title><script>
window.PGM_QUICK_BRIDGE = {
  onContext: function (context) {
    window.PGM_HOST.post({action: "status", text: "context:" + (context.selection || "")});
  },
  onEvent: function () {}
};
</script></head><body><input autofocus></body></html>)";

double ms(Clock::duration span) {
    return duration<double, std::milli>(span).count();
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile90(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(0.9 * static_cast<double>(values.size() - 1))];
}

// Asks the window manager to give the stand-in Notion the focus, as the user clicking
// back into it does, and waits until it has it.
bool focusNotion(const testing::Desktop& desktop, Window notion) {
    Display* display = desktop.display();
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = notion;
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;  // a pager's request: honoured at once
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
    return testing::pumpUntil([&] { return desktop.activeWindow() == notion; }, 3s);
}

struct Round {
    double pressToShow = 0;    // key press to the hot key's handler
    double showCall = 0;       // show(): capture, placement, reload started, forward
    double capture = 0;        // of which the capture of Notion
    double showToContext = 0;  // show() returned to the page's answer
    double total = 0;          // key press to the page's answer
};

void printRound(const char* name, const std::vector<Round>& rounds) {
    const auto column = [&](double Round::*field) {
        std::vector<double> values;
        values.reserve(rounds.size());
        for (const Round& round : rounds) {
            values.push_back(round.*field);
        }
        return std::pair{median(values), percentile90(values)};
    };
    const auto [total, totalP90] = column(&Round::total);
    std::printf("%-16s %6zu %11.1f %10.1f %10.1f %9.1f %12.1f %12.1f\n", name, rounds.size(),
                column(&Round::pressToShow).first, column(&Round::showCall).first,
                column(&Round::capture).first, column(&Round::showToContext).first, total,
                totalP90);
}

}  // namespace

int main() {
    if (gtk_init_check(nullptr, nullptr) == FALSE) {
        (void)std::fputs("quickbar_latency: no display (run it with scripts/bench)\n", stderr);
        return 2;
    }
    const testing::TempDir home;
    const testing::ScopedEnvironment dataHome("XDG_DATA_HOME", (home.path() / "data").c_str());
    const testing::ScopedEnvironment configHome("XDG_CONFIG_HOME",
                                                (home.path() / "config").c_str());
    testing::StandInService service;
    service.answer("/quick", 200, kPage, "text/html");
    const testing::ScopedEnvironment serviceBase("PGM_SERVER_URL", service.base().c_str());
    pagemate::Platform::install(pagemate::linux_backend::makeLinuxPlatform(true));
    pagemate::Settings::shared().setRuntimeBaseURL("");
    int status = 0;
    {
        const testing::Desktop desktop;
        const testing::StandInNotion notion(desktop);
        const auto bar = pagemate::QuickBarController::create();

        Clock::time_point pressed;
        Clock::time_point handled;
        Clock::time_point shown;
        Clock::time_point answered;
        bool hasAnswer = false;
        std::string answer;
        bar->onStatusChange = [&](const std::string& text) {
            // The push of show() itself reaches the page that is being replaced; only the
            // reloaded page's answer counts, and it comes after show() has returned.
            if (shown != Clock::time_point{} && !hasAnswer) {
                answered = Clock::now();
                answer = text;
                hasAnswer = true;
            }
        };
        pagemate::HotKeys& hotKeys = *pagemate::Platform::current().hotKeys;
        hotKeys.setPressHandler([&](const pagemate::HotKeyIdentifier&) {
            handled = Clock::now();
            bar->show();
            shown = Clock::now();
        });
        const pagemate::HotKeyRegistration registration = hotKeys.registerHotKey(
            pagemate::HotKeyCode::space, pagemate::HotKeyModifier::option, {0x50474d54, 1});
        if (!registration.registered()) {
            (void)std::fprintf(stderr, "quickbar_latency: Alt+Space not registered: %s\n",
                               registration.detail.c_str());
            return 1;
        }

        constexpr int kRounds = 21;
        std::vector<Round> first;
        std::vector<Round> later;
        int failures = 0;
        for (int round = 0; round < kRounds; ++round) {
            bar->hide();
            if (!focusNotion(desktop, notion.window())) {
                ++failures;
                continue;
            }
            // The capture alone, as show() runs it, against the same focused Notion.
            const auto captureStart = Clock::now();
            (void)pagemate::NotionContextReader::windowTitle(notion.pid());
            const std::string selection = pagemate::NotionContextReader::captureSelection(700ms);
            const double capture = ms(Clock::now() - captureStart);
            testing::pumpUntil([] { return false; }, 100ms);  // the clipboard restored
            pressed = handled = shown = answered = {};
            hasAnswer = false;
            pressed = Clock::now();
            testing::pressAltSpace(desktop.display());
            if (!testing::pumpUntil([&] { return hasAnswer; }, 20s) || answer != "context:world" ||
                selection != "world") {
                ++failures;
                (void)std::fprintf(stderr, "round %d: answer \"%s\"\n", round, answer.c_str());
                continue;
            }
            Round figures{ms(handled - pressed), ms(shown - handled), capture, ms(answered - shown),
                          ms(answered - pressed)};
            (round == 0 ? first : later).push_back(figures);
        }
        std::printf(
            "quick bar: Alt+Space to the page's context, stand-in Notion with a word "
            "selected (ms; medians, last column p90)\n");
        std::printf("%-16s %6s %11s %10s %10s %9s %12s %12s\n", "shows", "count", "key→handler",
                    "show()", "capture", "→context", "total", "total p90");
        printRound("first (load)", first);
        printRound("later (reload)", later);
        for (const auto& [name, rounds] : {std::pair{"first show (page load)", &first},
                                           std::pair{"later shows (reload)", &later}}) {
            std::vector<double> totals;
            for (const Round& round : *rounds) {
                totals.push_back(round.total);
            }
            if (!totals.empty()) {
                pagemate::bench::reportFigure(
                    std::string("quick bar: Alt+Space to the page's context, ") + name + ", median",
                    median(totals), "ms");
            }
        }
        std::printf("failures: %d\n", failures);
        status = failures > 0 ? 1 : 0;
    }
    pagemate::Platform::uninstall();
    return status;
}
