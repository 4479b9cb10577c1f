#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "harness/TestSupport.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX, not in a header

namespace pagemate::testing {

using namespace std::chrono_literals;

// Runs the program (PAGEMATE_PROGRAM) with standard output to a file (and standard error
// to another, when given); the exit status, or nullopt when it had to be killed.
class ProgramRun {
  public:
    ProgramRun(const std::vector<std::string>& arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors = {}) {
        std::vector<std::string> copies = arguments;
        copies.insert(copies.begin(), PAGEMATE_PROGRAM);
        std::vector<char*> argv;
        argv.reserve(copies.size() + 1);
        for (std::string& argument : copies) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        if (!errors.empty()) {
            posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        // The program must not change the settings of the desktop the tests run on.
        std::vector<std::string> variables = {"GSETTINGS_BACKEND=memory"};
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (std::string_view(*variable).rfind("GSETTINGS_BACKEND=", 0) != 0) {
                variables.emplace_back(*variable);
            }
        }
        std::vector<char*> envp;
        envp.reserve(variables.size() + 1);
        for (std::string& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        started_ =
            posix_spawn(&pid_, PAGEMATE_PROGRAM, &actions, nullptr, argv.data(), envp.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;
    ~ProgramRun() {
        if (started_ && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    [[nodiscard]] bool started() const { return started_; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] bool running() {
        if (!started_ || exited_) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return false;
        }
        return true;
    }
    [[nodiscard]] int status() const { return status_; }
    // Waits up to `limit` for the program to end on its own; true when it has.
    bool waitForExit(std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (running() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(10ms);
        }
        return !running();
    }
    // Ends the program as a crash does (SIGKILL), and reaps it.
    void kill() {
        if (running()) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
            exited_ = true;
            status_ = -1;
        }
    }
    // Asks the program to end, as the session does at log-out, and waits for it.
    bool terminate() {
        if (!running()) {
            return false;
        }
        ::kill(pid_, SIGTERM);
        for (int attempt = 0; attempt < 500 && running(); ++attempt) {
            std::this_thread::sleep_for(10ms);
        }
        return !running() && status_ == 0;
    }

  private:
    pid_t pid_ = 0;
    bool started_ = false;
    bool exited_ = false;
    int status_ = -1;
};

// The lines of the program's log that start with the prefix.
inline std::vector<std::string> logLines(const std::string& prefix) {
    std::vector<std::string> lines;
    std::error_code error;
    if (!std::filesystem::exists("/tmp/pagemate-app.log", error)) {
        return lines;
    }
    std::istringstream log(testing::readFile("/tmp/pagemate-app.log"));
    for (std::string line; std::getline(log, line);) {
        const std::size_t text = line.find("] ");
        if (text != std::string::npos && line.compare(text + 2, prefix.size(), prefix) == 0) {
            lines.push_back(line.substr(text + 2));
        }
    }
    return lines;
}

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
    ReportedRun run;
    run.ran = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(program.status(), 0);
    std::error_code error;
    if (!std::filesystem::exists(report, error)) {
        ADD_FAILURE() << arguments.at(0) << " wrote no report";
        return run;
    }
    run.report = nlohmann::json::parse(testing::readFile(report), nullptr, false);
    return run;
}

}  // namespace pagemate::testing
