// Resident memory of this process (WebKit's web and network processes apart) over 100
// shows of the assistant panel against a loopback stand-in service. Each show installs
// a fresh bootstrap script and loads the page again.
//
//   panel_memory controller   the panel controller itself (latest bootstrap only)
//   panel_memory latest       the web view with the host script and the latest bootstrap
//   panel_memory kept         the web view keeping every bootstrap installed so far, as
//                             the engine does when scripts are only ever added
//
// Run on an X display with a session bus: scripts/bench.

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
// clang-format on
#include "harness/TestSupport.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WebKitView.h"
#include "web/HostBridge.h"
#include "web/PanelController.h"

namespace {

using namespace std::chrono_literals;
using namespace pagemate;

int shows = 100;  // the second argument, when given

// VmRSS of a process's status file.
long residentKilobytes(const std::filesystem::path& status = "/proc/self/status") {
    std::ifstream file(status);
    std::string line;
    while (std::getline(file, line)) {
        if (line.starts_with("VmRSS:")) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// The web content processes this process started (WebKit names them WebKitWebProcess).
long webProcessKilobytes() {
    long total = 0;
    const std::string parent = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        const std::size_t close = line.rfind(')');
        const std::size_t open = line.find('(');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 2));
        std::string state;
        std::string ppid;
        rest >> state >> ppid;
        if (ppid != parent ||
            !line.substr(open + 1, close - open - 1).starts_with("WebKitWebProces")) {
            continue;
        }
        total += residentKilobytes(entry.path() / "status");
    }
    return total;
}

class LoadCounter final : public WebViewDelegate {
  public:
    bool allowResponse(int) override { return true; }
    void didFinish() override { ++finished; }
    void didFailProvisional(const NetworkError&) override { ++failed; }
    void didFail(const NetworkError&) override { ++failed; }
    void didReceiveMessage(const nlohmann::json&) override {}
    int finished = 0;
    int failed = 0;
};

std::string bootstrapFor(const std::string& base, int show) {
    return HostBridge::bootstrapScript(HostBridge::panelBootstrapObject(
        {base, "bench-password", "deepseek-chat-" + std::to_string(show), "auto", false, true}));
}

struct Samples {
    long first = 0, tenth = 0, last = 0;
    long webFirst = 0, webLast = 0;
    int failures = 0;
};

// One show: the scripts, a load, and the wait for its end.
template <typename Show, typename Finished>
Samples run(Show show, Finished finished) {
    Samples samples;
    for (int index = 1; index <= shows; ++index) {
        const int before = finished();
        show(index);
        if (!testing::pumpUntil([&] { return finished() > before; }, 15s)) {
            ++samples.failures;
        }
        if (index == 1) {
            samples.first = residentKilobytes();
            samples.webFirst = webProcessKilobytes();
        } else if (index == 10) {
            samples.tenth = residentKilobytes();
        }
    }
    testing::pumpUntil([] { return false; }, 500ms);
    samples.last = residentKilobytes();
    samples.webLast = webProcessKilobytes();
    return samples;
}

Samples runWebView(const std::string& base, bool keepEvery) {
    auto context = linux_backend::GObjectPtr<WebKitWebContext>(webkit_web_context_new_ephemeral());
    linux_backend::WebKitView view(context.get(), linux_backend::WebKitView::Options{});
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window), 420, 560);
    gtk_container_add(GTK_CONTAINER(window), view.widget());
    gtk_widget_show_all(window);
    LoadCounter counter;
    view.setDelegate(&counter);
    std::vector<std::string> scripts = {HostBridge::hostObjectScript(HostBridge::Host::panel)};
    const Samples samples = run(
        [&](int show) {
            if (!keepEvery) {
                scripts.resize(1);
            }
            scripts.push_back(bootstrapFor(base, show));
            view.setUserScripts(scripts);
            view.loadURL(base + "/panel", 15s);
        },
        [&] { return counter.finished + counter.failed; });
    view.setDelegate(nullptr);
    gtk_widget_destroy(window);
    return samples;
}

Samples runController(const std::string& base) {
    const testing::ScopedEnvironment server("PGM_SERVER_URL", base.c_str());
    const testing::LogCapture log;
    const auto panel = PanelController::create();
    const auto loads = [&] {
        int count = 0;
        for (const std::string& message : log.messages()) {
            count += message.starts_with("页面加载完成：") || message.starts_with("页面加载失败：");
        }
        return count;
    };
    return run([&](int) { panel->show(); }, loads);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "controller";
    if (argc > 2) {
        shows = std::max(10, std::atoi(argv[2]));
    }
    if (mode != "controller" && mode != "latest" && mode != "kept") {
        (void)std::fputs("usage: panel_memory controller|latest|kept [shows]\n", stderr);
        return 2;
    }
    if (gtk_init_check(nullptr, nullptr) == FALSE) {
        (void)std::fputs("panel_memory: no display (run it with scripts/bench)\n", stderr);
        return 2;
    }
    const testing::TempDir home;
    const testing::ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    Platform::install(linux_backend::makeLinuxPlatform());
    Samples samples;
    {
        testing::StandInService service;
        service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
        samples = mode == "controller" ? runController(service.base())
                                       : runWebView(service.base(), mode == "kept");
    }
    Platform::uninstall();
    std::printf("%-12s %10ld %10ld %10ld %10ld %14ld %14ld %9d\n", mode.c_str(), samples.first,
                samples.tenth, samples.last, samples.last - samples.first, samples.webFirst,
                samples.webLast, samples.failures);
    bench::reportFigure("panel (" + mode + "): resident memory after show 1",
                        static_cast<double>(samples.first), "kB");
    bench::reportFigure("panel (" + mode + "): growth over " + std::to_string(shows) + " shows",
                        static_cast<double>(samples.last - samples.first), "kB");
    return samples.failures > 0 ? 1 : 0;
}
