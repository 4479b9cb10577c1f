// The program's own time-outs and delays, read off what it does with its standard
// configuration (no value injected by the test): the requests it sends and when its
// start-up steps happen on the virtual clock.

#include <gtest/gtest.h>

#include <filesystem>

#include "app/AppDelegate.h"
#include "app/HistoryCommands.h"
#include "app/RunModes.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "web/PanelController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class ConfiguredTimings : public ::testing::Test {
  protected:
    // The time-out of every request sent so far, in order.
    std::vector<std::chrono::milliseconds> timeouts() const {
        std::vector<std::chrono::milliseconds> result;
        for (const HttpRequest& request : platform.http.requests()) {
            result.push_back(request.timeout);
        }
        return result;
    }

    const testing::ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    fake::FakePlatform platform;
    testing::LogCapture log;
};

TEST_F(ConfiguredTimings, ServiceResolutionAndHealthCheck) {
    const auto panel = PanelController::create();
    bool resolved = false;
    panel->resolveServer([&](const std::string&) { resolved = true; });
    ASSERT_TRUE(platform.queue.runUntil([&] { return resolved; }, 5s));
    // The primary, refused, then the local service.
    EXPECT_EQ(timeouts(), (std::vector<std::chrono::milliseconds>{6s, 2s}));
    bool checked = false;
    panel->checkHealth([&](bool) { checked = true; });
    ASSERT_TRUE(platform.queue.runUntil([&] { return checked; }, 5s));
    EXPECT_EQ(timeouts().back(), 4s);
    EXPECT_EQ(platform.http.requests().back().url, "http://127.0.0.1:4310/health");
}

TEST_F(ConfiguredTimings, HistoryCommands) {
    HistoryCommands::openHistory();
    HistoryCommands::syncHistoryNow({});
    ASSERT_TRUE(platform.queue.runUntil(
        [&] { return log.contains("手动同步对话历史：同步失败：未能连接到服务器。"); }, 5s))
        << log.text();
    const auto requests = platform.http.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].url, "http://127.0.0.1:4310/api/history");
    EXPECT_EQ(requests[0].timeout, 20s);
    EXPECT_EQ(requests[1].url, "http://127.0.0.1:4310/api/history/sync");
    EXPECT_EQ(requests[1].timeout, 300s);
}

// These two write the program's fixed report and log paths' neighbours: they run under
// the program-log lock (see tests/CMakeLists.txt).
TEST_F(ConfiguredTimings, ProgramShowPanelOneSecondAfterStart) {
    const auto app = AppDelegate::create({"/usr/bin/pagemate", "--show-panel"});
    app->applicationDidFinishLaunching();
    fake::FakePanelWindow& window = *platform.windows.panels.at(0);
    platform.queue.advance(999ms);
    EXPECT_FALSE(window.visible);
    EXPECT_FALSE(log.contains("显示面板"));
    platform.queue.advance(1ms);
    EXPECT_TRUE(window.visible);
    EXPECT_TRUE(log.contains("显示面板"));
}

TEST_F(ConfiguredTimings, ProgramPanelTestHalfASecondAfterStart) {
    const auto app = AppDelegate::create({"/usr/bin/pagemate", "--paneltest"});
    app->applicationDidFinishLaunching();
    fake::FakePanelWindow& window = *platform.windows.panels.at(0);
    // The web self-test starts by installing the page's error capture.
    const auto capturing = [&] {
        return std::any_of(window.view.scripts.begin(), window.view.scripts.end(),
                           [](const std::string& script) {
                               return script.find("__PGM_ERRORS") != std::string::npos;
                           });
    };
    platform.queue.advance(499ms);
    EXPECT_FALSE(capturing());
    platform.queue.advance(1ms);
    EXPECT_TRUE(capturing());
}

TEST_F(ConfiguredTimings, ProgramQuickTestTwoSecondsAfterStart) {
    std::filesystem::remove("/tmp/pagemate-quicktest.json");
    Settings::shared().setRuntimeBaseURL("");
    const auto app = AppDelegate::create({"/usr/bin/pagemate", "--quicktest"});
    app->applicationDidFinishLaunching();
    fake::FakePanelWindow& bar = *platform.windows.quickBars.at(0);
    platform.queue.advance(1999ms);
    EXPECT_FALSE(bar.visible);
    EXPECT_TRUE(bar.view.loads.empty());
    platform.queue.advance(1ms);
    EXPECT_TRUE(bar.visible);
    EXPECT_EQ(bar.view.loads, std::vector<std::string>{"http://127.0.0.1:4310/quick"});
    // The page never loads here: the report says so ten seconds later, and the program ends.
    platform.queue.advance(9999ms);
    EXPECT_EQ(platform.application.terminateCount, 0);
    platform.queue.advance(1ms);
    EXPECT_EQ(platform.application.terminateCount, 1);
    const nlohmann::json report =
        nlohmann::json::parse(testing::readFile("/tmp/pagemate-quicktest.json"), nullptr, false);
    EXPECT_EQ(report["error"], "超时：页面没有在 10 秒内加载完成");
}

}  // namespace
}  // namespace pagemate
