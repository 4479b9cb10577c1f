// How soon the program's tray item is there, and what the idle program costs.
//
// Each run starts build/src/pagemate on a session bus of its own with the test watcher
// (tests/fixtures/StatusWatcher) running in this process, and times spawn to the
// item's RegisterStatusNotifierItem call. After the last run the program idles for a
// while; then its private resident memory (RssAnon in /proc/<pid>/status) is read, and
// apart from it that of the processes it started (WebKit's web and network processes).
//
//   tray_startup [RUNS] [IDLE_SECONDS]     (defaults: 10 runs, 5 s)
//
// Run on an X display: scripts/bench.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "fixtures/StatusWatcher.h"
#include "harness/TestSupport.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using pagemate::testing::PrivateSessionBus;
using pagemate::testing::ScopedEnvironment;
using pagemate::testing::StatusWatcher;
using pagemate::testing::TempDir;

// A field of /proc/<pid>/status in kB; 0 when absent.
long statusKilobytes(pid_t pid, const std::string& field) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.starts_with(field + ":")) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return 0;
}

std::string processName(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(file, name);
    return name;
}

pid_t parentOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // After the name in parentheses: state, then the parent's id.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    char state = 0;
    int parent = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) != 2) {
        return 0;
    }
    return parent;
}

// Every process descended from `root`.
std::vector<pid_t> descendants(pid_t root) {
    std::vector<pid_t> all;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (!name.empty() && std::all_of(name.begin(), name.end(), ::isdigit)) {
            all.push_back(std::stoi(name));
        }
    }
    std::vector<pid_t> found{root};
    for (std::size_t next = 0; next < found.size(); ++next) {
        for (const pid_t pid : all) {
            if (parentOf(pid) == found[next]) {
                found.push_back(pid);
            }
        }
    }
    found.erase(found.begin());
    return found;
}

class Program {
  public:
    Program() {
        char* argv[] = {const_cast<char*>(PAGEMATE_PROGRAM), nullptr};
        // Its log lines, echoed on its error stream, would bury the figures.
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, PAGEMATE_PROGRAM, &quiet, nullptr, argv, environ) != 0) {
            pid_ = 0;
        }
        posix_spawn_file_actions_destroy(&quiet);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    ~Program() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    [[nodiscard]] pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int idleSeconds = argc > 2 ? std::max(0, std::atoi(argv[2])) : 5;

    const TempDir home;
    const ScopedEnvironment homeVariable("HOME", home.path().c_str());
    const ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    const ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    // Nothing listens on the discard port: the service check ends at once.
    const ScopedEnvironment service("PGM_SERVER_URL", "http://127.0.0.1:9");

    std::vector<double> millis;
    long programKb = 0;
    std::vector<std::pair<std::string, long>> children;
    // One session for every run, as on a desktop: the services the program starts on it
    // on first use (the accessibility bus) are there already for the runs after the
    // first, which is reported apart.
    PrivateSessionBus bus;
    StatusWatcher watcher;
    for (int run = 0; run < runs; ++run) {
        const auto spawned = std::chrono::steady_clock::now();
        const Program program;
        if (program.pid() == 0) {
            (void)std::fprintf(stderr, "cannot start %s\n", PAGEMATE_PROGRAM);
            return 1;
        }
        const std::string name =
            "org.kde.StatusNotifierItem-" + std::to_string(program.pid()) + "-1";
        const auto registration = [&] {
            return std::find_if(watcher.registrations().begin(), watcher.registrations().end(),
                                [&](const auto& entry) { return entry.service == name; });
        };
        if (!pagemate::testing::runMainLoopUntil(
                [&] { return registration() != watcher.registrations().end(); }, 20s)) {
            (void)std::fprintf(stderr, "run %d: the item did not register within 20 s\n", run + 1);
            return 1;
        }
        millis.push_back(
            std::chrono::duration<double, std::milli>(registration()->at - spawned).count());
        if (run + 1 == runs) {
            // The idle program, its start-up work done.
            pagemate::testing::runMainLoopFor(std::chrono::seconds(idleSeconds));
            programKb = statusKilobytes(program.pid(), "RssAnon");
            for (const pid_t child : descendants(program.pid())) {
                children.emplace_back(processName(child) + " (" + std::to_string(child) + ")",
                                      statusKilobytes(child, "RssAnon"));
            }
        }
    }

    std::printf("tray item: spawn to RegisterStatusNotifierItem (goal < 300 ms)\n");
    std::printf("  first run on a fresh session bus %.1f ms\n", millis.front());
    if (millis.size() > 1) {
        std::vector<double> sorted(millis.begin() + 1, millis.end());
        std::sort(sorted.begin(), sorted.end());
        std::printf("  the %zu runs after it: median %.1f ms, fastest %.1f ms, slowest %.1f ms\n",
                    sorted.size(), sorted[sorted.size() / 2], sorted.front(), sorted.back());
        pagemate::bench::reportFigure("tray: start to item registered, median of later runs",
                                      sorted[sorted.size() / 2], "ms");
    }
    std::printf("idle program after %d s: private resident memory (RssAnon, goal < 30 MB)\n",
                idleSeconds);
    std::printf("  pagemate                       %8.1f MB\n",
                static_cast<double>(programKb) / 1024.0);
    long childrenKb = 0;
    for (const auto& [child, kb] : children) {
        std::printf("  %-30s %8.1f MB\n", child.c_str(), static_cast<double>(kb) / 1024.0);
        childrenKb += kb;
    }
    std::printf("  processes it started, together %8.1f MB (%zu)\n",
                static_cast<double>(childrenKb) / 1024.0, children.size());
    pagemate::bench::reportFigure("tray: start to item registered, first run", millis.front(),
                                  "ms");
    pagemate::bench::reportFigure("idle program: private resident memory",
                                  static_cast<double>(programKb) / 1024.0, "MB");
    pagemate::bench::reportFigure("idle program: the web processes it started",
                                  static_cast<double>(childrenKb) / 1024.0, "MB");
    return 0;
}
