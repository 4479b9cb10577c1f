// "pagemate --paneltest" as a user runs it: the program itself, on the virtual display,
// against the stand-in service.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "fixtures/StandInService.h"
#include "harness/TestSupport.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX, not in a header

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kReport = "/tmp/pagemate-paneltest.json";

// Runs the program with standard output to a file; the exit status, or nullopt when it
// had to be killed.
class ProgramRun {
  public:
    ProgramRun(const std::vector<std::string>& arguments, const std::filesystem::path& output) {
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
        started_ =
            posix_spawn(&pid_, PAGEMATE_PROGRAM, &actions, nullptr, argv.data(), environ) == 0;
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

json readReport() {
    std::error_code error;
    if (!std::filesystem::exists(kReport, error)) {
        return json();
    }
    return json::parse(testing::readFile(kReport), nullptr, false);
}

TEST(PanelTestMode, WritesTheLaunchStageThenThePanelReport) {
    testing::StandInService service;
    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
    service.answer("/api/config", 200, R"({"version":"2.4.1","models":[{"id":"a"},{"id":"b"}]})",
                   "application/json");
    testing::TempDir home;
    const testing::ScopedEnvironment server("PGM_SERVER_URL", (service.base() + "/").c_str());
    const testing::ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    const testing::ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    std::filesystem::remove(kReport);

    const std::filesystem::path output = home.path() / "stdout";
    ProgramRun run({"--paneltest"}, output);
    ASSERT_TRUE(run.started());

    // The launch stage first, then the self-test's report in its place.
    std::vector<json> reports;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        const bool running = run.running();
        json report = readReport();
        if (report.is_object() && (reports.empty() || report != reports.back())) {
            reports.push_back(std::move(report));
        }
        if (!running) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_FALSE(run.running()) << "the program did not end within a minute";
    EXPECT_EQ(run.status(), 0);
    ASSERT_EQ(reports.size(), 2u) << json(reports).dump(2);
    EXPECT_EQ(reports[0], json({{"stage", "launched"}, {"serverURL", service.base()}}));

    const json& report = reports[1];
    EXPECT_EQ(report["serverURL"], service.base());
    EXPECT_EQ(report["loadedURL"], service.base() + "/panel");
    EXPECT_EQ(report["bootstrapInjected"], false);  // no password stored
    EXPECT_EQ(report["title"], "Stand-in panel");
    EXPECT_EQ(report["hasComposer"], true);
    EXPECT_EQ(report["hasMessages"], true);
    EXPECT_EQ(report["markdownRenderer"], "object");
    EXPECT_EQ(report["hostBridge"], "object");
    EXPECT_EQ(report["hostObject"], "object");
    EXPECT_EQ(report["bootstrap"], "object");
    EXPECT_EQ(report["errors"], json::array());
    EXPECT_EQ(report["panelApi"], json({{"status", 200}, {"version", "2.4.1"}, {"models", 2}}));
    EXPECT_TRUE(report["accessibilityTrusted"].is_boolean());
    EXPECT_FALSE(report.contains("error")) << report.dump(2);
    EXPECT_EQ(service.countFor("/api/config"), 1u);

    // The same report on standard output, pretty-printed with sorted keys.
    EXPECT_EQ(json::parse(testing::readFile(output), nullptr, false), report);
    EXPECT_EQ(testing::readFile(output), testing::readFile(kReport) + "\n");
}

// The lines of the program's log that start with the prefix.
std::vector<std::string> logLines(const std::string& prefix) {
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

bool waitForLog(const std::string& prefix, ProgramRun& run) {
    for (int attempt = 0; attempt < 2000 && run.running(); ++attempt) {
        if (!logLines(prefix).empty()) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(ShowPanelMode, ShowsTheServicePageOrTheFailurePage) {
    testing::StandInService service;
    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
    testing::TempDir home;
    const testing::ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    const testing::ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    {
        const testing::ScopedEnvironment server("PGM_SERVER_URL", service.base().c_str());
        std::filesystem::remove("/tmp/pagemate-app.log");  // only this run's lines
        ProgramRun run({"--show-panel"}, home.path() / "stdout");
        ASSERT_TRUE(waitForLog("页面加载完成：", run));
        EXPECT_EQ(logLines("页面加载完成："),
                  std::vector<std::string>{"页面加载完成：" + service.base() + "/panel"});
        EXPECT_EQ(logLines("显示面板").size(), 1u);
        EXPECT_TRUE(run.terminate());
    }
    {
        const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
        const testing::ScopedEnvironment server("PGM_SERVER_URL", nowhere.c_str());
        std::filesystem::remove("/tmp/pagemate-app.log");  // only this run's lines
        ProgramRun run({"--show-panel"}, home.path() / "stdout");
        ASSERT_TRUE(waitForLog("页面加载完成：", run));
        EXPECT_EQ(logLines("页面加载失败：").size(), 1u);
        // The built-in failure page, loaded from a string.
        EXPECT_EQ(logLines("页面加载完成："),
                  std::vector<std::string>{"页面加载完成：about:blank"});
        EXPECT_TRUE(run.terminate());
    }
}

}  // namespace
}  // namespace pagemate
