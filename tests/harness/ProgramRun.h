#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "fixtures/ChildProcess.h"
#include "harness/TestSupport.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX, not in a header

namespace pagemate::testing {

using namespace std::chrono_literals;

// Runs the program (PAGEMATE_PROGRAM) with standard output to a file (and standard error
// to another, when given); its exit status, or -1 when it had to be killed.
class ProgramRun {
  public:
    ProgramRun(std::vector<std::string> arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors = {}) {
        arguments.insert(arguments.begin(), PAGEMATE_PROGRAM);
        // The program must not change the settings of the desktop the tests run on.
        std::vector<std::string> variables = {"GSETTINGS_BACKEND=memory"};
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (!std::string_view(*variable).starts_with("GSETTINGS_BACKEND=")) {
                variables.emplace_back(*variable);
            }
        }
        pid_ = spawnTiedToTest(arguments, variables, output, errors);
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;
    ~ProgramRun() {  // ended as a crash does, and reaped
        if (running()) {
            ::kill(pid_, SIGKILL);
            exited(0);
        }
    }

    [[nodiscard]] bool started() const { return pid_ > 0; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool running() { return started() && !exited(WNOHANG); }
    [[nodiscard]] int status() const { return status_; }
    // Waits up to `limit` for the program to end on its own; true when it has.
    bool waitForExit(std::chrono::milliseconds limit) {
        return waitUntil([this] { return !running(); }, limit);
    }
    // Asks the program to end, as the session does at log-out; true when it ended with 0
    // within 5 s.
    bool terminate() {
        return running() && ::kill(pid_, SIGTERM) == 0 && waitForExit(5s) && status_ == 0;
    }

  private:
    // Whether the program has ended (reaping it, with `options` for waitpid()).
    bool exited(int options) {
        int status = 0;
        if (!exited_ && ::waitpid(pid_, &status, options) == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return exited_;
    }

    pid_t pid_ = 0;
    bool exited_ = false;
    int status_ = -1;
};

// The messages of a log (the program's own by default) that start with the prefix.
inline std::vector<std::string> logLines(const std::string& prefix,
                                         const std::filesystem::path& file) {
    std::vector<std::string> lines;
    std::istringstream log(readFile(file));
    for (std::string line; std::getline(log, line);) {
        const std::size_t text = line.find("] ");
        if (text != std::string::npos && line.compare(text + 2, prefix.size(), prefix) == 0) {
            lines.push_back(line.substr(text + 2));
        }
    }
    return lines;
}
inline std::vector<std::string> logLines(const std::string& prefix) {
    return logLines(prefix, AppLog::path);
}

// Waits (up to 20 s) while the program runs for `count` lines of `log` that start with the
// prefix; with `runMainLoop`, the test's own main loop (a tray watcher) runs meanwhile.
inline bool waitForLog(const std::string& prefix, ProgramRun& run, std::size_t count = 1,
                       const std::filesystem::path& log = AppLog::path, bool runMainLoop = false) {
    const auto logged = [&] { return logLines(prefix, log).size() >= count; };
    return waitUntil([&] { return logged() || !run.running(); }, 20s, runMainLoop) && logged();
}

// Runs the program with `arguments` until it ends, within `limit`, and reads the report
// it writes to `report` (removed first). A run that does not start, outlives the limit,
// ends with another status than 0 or writes no report fails the calling test (and gives
// null when there is no report).
inline nlohmann::json runForReport(const std::vector<std::string>& arguments,
                                   const std::filesystem::path& report,
                                   const std::filesystem::path& output,
                                   std::chrono::milliseconds limit) {
    std::filesystem::remove(report);
    ProgramRun program(arguments, output);
    EXPECT_TRUE(program.started());
    EXPECT_TRUE(program.waitForExit(limit)) << arguments.at(0) << " did not end";
    EXPECT_EQ(program.status(), 0);
    const bool written = std::filesystem::exists(report);
    EXPECT_TRUE(written) << arguments.at(0) << " wrote no report";
    return written ? nlohmann::json::parse(readFile(report), nullptr, false) : nullptr;
}

}  // namespace pagemate::testing
