// How long the quick bar takes from the hot key to a page that knows the selection: the
// time from the trigger key's release (Alt+Space sent through XTest, all at once or as
// a person types it, Space held 150 ms) to the "/quick" page's onContext posting back
// what it was given, over 20 later shows (the page reloads with a fresh bootstrap).
// Notion is played by Chromium with a word selected; the editor's own copy time,
// measured alone before each show, is what reading Notion cannot go below.
// Run on an X display with a session bus: scripts/bench.

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "base/Settings.h"
#include "fixtures/StandInService.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "platform/HotKeys.h"
#include "platform/linux/LinuxPlatform.h"
#include "web/QuickBarController.h"
// clang-format off
#include "fixtures/ChromiumNotion.h"
#include <X11/Xlib.h>
#include <X11/keysym.h>
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

struct Round {
    double releaseToShow = 0;  // trigger key up to the hot key's handler
    double showCall = 0;       // show(): capture, placement, reload started, forward
    double showToContext = 0;  // show() returned to the page's answer
    double total = 0;          // trigger key up to the page's answer
};

struct Series {
    const char* name;
    std::vector<Round> rounds;
    std::vector<double> copies;  // the editor's own copy time, measured alone
};

void printSeries(const Series& series) {
    const auto column = [&](double Round::*field) {
        std::vector<double> values;
        values.reserve(series.rounds.size());
        for (const Round& round : series.rounds) {
            values.push_back(round.*field);
        }
        return std::pair{median(values), percentile90(values)};
    };
    const auto [total, totalP90] = column(&Round::total);
    std::printf("%-30s %6zu %11.1f %10.1f %9.1f %10.1f %12.1f %12.1f\n", series.name,
                series.rounds.size(), column(&Round::releaseToShow).first,
                column(&Round::showCall).first, column(&Round::showToContext).first,
                median(series.copies), total, totalP90);
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
        testing::ChromiumNotion notion(desktop, service, false);
        const auto bar = pagemate::QuickBarController::create();

        Clock::time_point shown;
        Clock::time_point handled;
        Clock::time_point answered;
        std::string answer;
        bar->onStatusChange = [&](const std::string& text) {
            // The push of show() itself reaches the page that is being replaced; only the
            // reloaded page's answer counts, and it comes after show() has returned.
            if (shown != Clock::time_point{} && answered == Clock::time_point{}) {
                answered = Clock::now();
                answer = text;
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

        // The keys go in from a connection and a thread of their own, as from a keyboard:
        // this thread keeps running the loop that sees them arrive.
        const auto press = [](bool asPerson) {
            auto typed = testing::typeInBackground([asPerson](Display* keyboard) {
                if (asPerson) {
                    return testing::pressAsPerson(keyboard, {XK_Alt_L, XK_space}, {150ms, false});
                }
                testing::pressAltSpace(keyboard);
                XSync(keyboard, False);
                return Clock::now();
            });
            testing::pumpUntil([&] { return typed.wait_for(0ms) == std::future_status::ready; },
                               5s);
            return typed.get();
        };

        constexpr int kRounds = 21;
        std::vector<Series> series = {{"zero-time press", {}, {}},
                                      {"person (Space held 150 ms)", {}, {}}};
        int failures = 0;
        for (int round = 0; round < kRounds; ++round) {
            for (std::size_t kind = 0; kind < series.size(); ++kind) {
                bar->hide();
                notion.startRound(true);
                // The editor's copy alone, as show() runs it, against the same page.
                const auto copyStart = Clock::now();
                const std::string selection =
                    pagemate::NotionContextReader::captureSelection(700ms);
                const double copy = ms(Clock::now() - copyStart);
                testing::pumpUntil([] { return false; }, 100ms);  // the clipboard restored
                handled = shown = answered = {};
                answer.clear();
                const Clock::time_point released = press(kind == 1);
                if (!testing::pumpUntil([&] { return answered != Clock::time_point{}; }, 20s) ||
                    answer != "context:world" || selection != "world") {
                    ++failures;
                    (void)std::fprintf(stderr, "%s, round %d: answer \"%s\"\n", series[kind].name,
                                       round, answer.c_str());
                    continue;
                }
                if (round == 0) {
                    continue;  // the first show loads the page: not a later show
                }
                series[kind].rounds.push_back({ms(handled - released), ms(shown - handled),
                                               ms(answered - shown), ms(answered - released)});
                series[kind].copies.push_back(copy);
            }
        }
        std::printf(
            "quick bar: Alt+Space released to the page's context, Chromium as Notion with a "
            "word selected, %d later shows (ms; medians, last column p90)\n",
            kRounds - 1);
        std::printf("%-30s %6s %11s %10s %9s %10s %12s %12s\n", "press", "count", "up→handler",
                    "show()", "→context", "copy alone", "total", "total p90");
        for (const Series& one : series) {
            printSeries(one);
            std::vector<double> totals;
            for (const Round& round : one.rounds) {
                totals.push_back(round.total);
            }
            if (totals.empty()) {
                continue;
            }
            const std::string name =
                std::string("quick bar: key up to the page's context, ") + one.name;
            pagemate::bench::reportFigure(name + ", median", median(totals), "ms");
            pagemate::bench::reportFigure(name + ", p90", percentile90(totals), "ms");
            pagemate::bench::reportFigure(name + ", beyond Chromium's copy, median",
                                          median(totals) - median(one.copies), "ms");
        }
        std::printf("failures: %d\n", failures);
        status = failures > 0 ? 1 : 0;
    }
    pagemate::Platform::uninstall();
    return status;
}
