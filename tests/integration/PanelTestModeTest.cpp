// "pagemate --paneltest" as a user runs it: the program itself, on the virtual display,
// against the stand-in service.

#include <gtest/gtest.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "fixtures/StandInService.h"
#include "harness/ProgramRun.h"
#include "harness/TestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kReport = "/tmp/pagemate-paneltest.json";

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
    testing::ProgramRun run({"--paneltest"}, output);
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

TEST(ShowPanelMode, ShowsTheServicePageOrTheFailurePage) {
    testing::StandInService service;
    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
    testing::TempDir home;
    const testing::ScopedEnvironment data("XDG_DATA_HOME", (home.path() / "data").c_str());
    const testing::ScopedEnvironment config("XDG_CONFIG_HOME", (home.path() / "config").c_str());
    {
        const testing::ScopedEnvironment server("PGM_SERVER_URL", service.base().c_str());
        std::filesystem::remove("/tmp/pagemate-app.log");  // only this run's lines
        testing::ProgramRun run({"--show-panel"}, home.path() / "stdout");
        ASSERT_TRUE(testing::waitForLog("页面加载完成：", run));
        EXPECT_EQ(testing::logLines("页面加载完成："),
                  std::vector<std::string>{"页面加载完成：" + service.base() + "/panel"});
        EXPECT_EQ(testing::logLines("显示面板").size(), 1u);
        EXPECT_TRUE(run.terminate());
    }
    {
        const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
        const testing::ScopedEnvironment server("PGM_SERVER_URL", nowhere.c_str());
        std::filesystem::remove("/tmp/pagemate-app.log");  // only this run's lines
        testing::ProgramRun run({"--show-panel"}, home.path() / "stdout");
        ASSERT_TRUE(testing::waitForLog("页面加载完成：", run));
        EXPECT_EQ(testing::logLines("页面加载失败：").size(), 1u);
        // The built-in failure page, loaded from a string.
        EXPECT_EQ(testing::logLines("页面加载完成："),
                  std::vector<std::string>{"页面加载完成：about:blank"});
        EXPECT_TRUE(run.terminate());
    }
}

}  // namespace
}  // namespace pagemate
