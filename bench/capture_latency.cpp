// How much a selection capture adds to the target's own reaction: the time from the
// stand-in Notion answering Control-C (its clipboard write) to the capture returning,
// over 50 captures, waiting on 20 ms polls and waiting on the owner-change event.
// Run on an X display with a session bus: scripts/bench.

#include <gtk/gtk.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "fixtures/Desktop.h"
#include "notion/NotionContextReader.h"
#include "platform/linux/LinuxPlatform.h"

namespace {

using namespace std::chrono;
using pagemate::NotionContextReader::CopyWait;
namespace Reader = pagemate::NotionContextReader;

struct Figures {
    double reactionMedian = 0;
    double addedMedian = 0;
    double addedP90 = 0;
    int failures = 0;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

Figures measure(const pagemate::testing::StandInNotion& notion, CopyWait wait, int rounds) {
    std::vector<double> added;
    std::vector<double> reactions;
    Figures figures;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t answered = notion.copyTimes().size();
        const auto sent = steady_clock::now();
        const std::optional<std::string> copied = Reader::guardedCopy(Reader::keyC, 700ms, wait);
        const auto returned = steady_clock::now();
        const auto times = notion.copyTimes();
        if (!copied || *copied != "world" || times.size() <= answered) {
            ++figures.failures;
            continue;
        }
        added.push_back(duration<double, std::milli>(returned - times.back()).count());
        reactions.push_back(duration<double, std::milli>(times.back() - sent).count());
        pagemate::testing::pumpUntil([] { return false; }, 30ms);  // let the restore settle
    }
    figures.reactionMedian = percentile(reactions, 0.5);
    figures.addedMedian = percentile(added, 0.5);
    figures.addedP90 = percentile(added, 0.9);
    return figures;
}

}  // namespace

int main() {
    if (gtk_init_check(nullptr, nullptr) == FALSE) {
        (void)std::fputs("capture_latency: no display (run it with scripts/bench)\n", stderr);
        return 2;
    }
    pagemate::Platform::install(pagemate::linux_backend::makeLinuxPlatform());
    int status = 0;
    {
        const pagemate::testing::Desktop desktop;
        const pagemate::testing::StandInNotion notion(desktop);
        constexpr int kRounds = 50;
        std::printf("selection captures against the stand-in Notion window, %d each\n", kRounds);
        std::printf("%-26s %14s %18s %14s %9s\n", "wait", "reaction (ms)", "added median (ms)",
                    "added p90 (ms)", "failures");
        for (const auto& [name, wait] : {std::pair{"20 ms polls", CopyWait::poll},
                                         std::pair{"owner-change event", CopyWait::change}}) {
            const Figures figures = measure(notion, wait, kRounds);
            std::printf("%-26s %14.2f %18.2f %14.2f %9d\n", name, figures.reactionMedian,
                        figures.addedMedian, figures.addedP90, figures.failures);
            status |= figures.failures > 0 ? 1 : 0;
            const std::string figure = std::string("selection copy: time added, ") + name;
            pagemate::bench::reportFigure(figure + ", median", figures.addedMedian, "ms");
            pagemate::bench::reportFigure(figure + ", p90", figures.addedP90, "ms");
        }
    }
    pagemate::Platform::uninstall();
    return status;
}
