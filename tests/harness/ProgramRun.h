#pragma once

#include <fcntl.h>
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
#include <thread>
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
        started_ = pid_ > 0;
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;
    ~ProgramRun() { kill(); }

    [[nodiscard]] bool started() const { return started_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool running() { return started_ && !exited(WNOHANG); }
    [[nodiscard]] int status() const { return status_; }
    // Waits up to `limit` for the program to end on its own; true when it has.
    bool waitForExit(std::chrono::milliseconds limit) {
        return waitUntil([this] { return !running(); }, limit);
    }
    // Ends the program as a crash does (SIGKILL), and reaps it.
    void kill() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            exited(0);
        }
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
    bool started_ = false;
    bool exited_ = false;
    int status_ = -1;
};

// The lines of the program's log that start with the prefix.
inline std::vector<std::string> logLines(const std::string& prefix) {
    std::vector<std::string> lines;
    std::istringstream log(readFile("/tmp/pagemate-app.log"));
    for (std::string line; std::getline(log, line);) {
        const std::size_t text = line.find("] ");
        if (text != std::string::npos && line.compare(text + 2, prefix.size(), prefix) == 0) {
            lines.push_back(line.substr(text + 2));
        }
    }
    return lines;
}

// Waits (up to 20 s) while the program runs for a log line that starts with the prefix.
inline bool waitForLog(const std::string& prefix, ProgramRun& run) {
    for (int attempt = 0; attempt < 2000 && run.running(); ++attempt) {
        if (!logLines(prefix).empty()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// What a self-test run left: its report (null when it wrote none) and how long it ran.
struct ReportedRun {
    nlohmann::json report;
    std::chrono::steady_clock::duration ran{};
};

// Runs the program with `arguments` until it ends, within `limit`, and reads the report
// it writes to `report` (removed first). A run that does not start, outlives the limit,
// ends with another status than 0 or writes no report fails the calling test.
inline ReportedRun runForReport(const std::vector<std::string>& arguments,
                                const std::filesystem::path& report,
                                const std::filesystem::path& output,
                                std::chrono::milliseconds limit) {
    std::filesystem::remove(report);
    const auto start = std::chrono::steady_clock::now();
    ProgramRun program(arguments, output);
    EXPECT_TRUE(program.started());
    EXPECT_TRUE(program.waitForExit(limit)) << arguments.at(0) << " did not end";
    EXPECT_EQ(program.status(), 0);
    const bool written = std::filesystem::exists(report);
    EXPECT_TRUE(written) << arguments.at(0) << " wrote no report";
    return {written ? nlohmann::json::parse(readFile(report), nullptr, false) : nullptr,
            std::chrono::steady_clock::now() - start};
}

}  // namespace pagemate::testing
