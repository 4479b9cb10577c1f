// The program's own time-outs and delays, read off what it does with its standard
// configuration (no value injected by the test): the requests it sends and when its
// start-up steps happen on the virtual clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include "app/AppDelegate.h"
#include "app/HistoryCommands.h"
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

// The run modes' start-up delays. They write the program's fixed report and log paths'
// neighbours: they run under the program-log lock (see tests/CMakeLists.txt).
TEST_F(ConfiguredTimings, ProgramModesStartAfterTheirDelays) {
    // Whether the mode has started, given the first panel and quick bar of its start.
    using Started = std::function<bool(fake::FakePanelWindow & panel, fake::FakePanelWindow & bar)>;
    const std::vector<std::tuple<const char*, std::chrono::milliseconds, Started>> cases = {
        {"--show-panel", 1s, [](auto& panel, auto&) { return panel.visible; }},
        {"--quicktest", 2s, [](auto&, auto& bar) { return bar.visible; }},
        // The panel's web self-test starts by installing the page's error capture.
        {"--paneltest", 500ms,
         [](auto& panel, auto&) {
             return std::ranges::any_of(panel.view.scripts, [](const std::string& script) {
                 return script.find("__PGM_ERRORS") != std::string::npos;
             });
         }},
    };
    for (const auto& [flag, delay, started] : cases) {
        const std::size_t panels = platform.windows.panels.size();
        const std::size_t bars = platform.windows.quickBars.size();
        const auto app = AppDelegate::create({"/usr/bin/pagemate", flag});
        app->applicationDidFinishLaunching();
        auto& panel = *platform.windows.panels.at(panels);
        auto& bar = *platform.windows.quickBars.at(bars);
        platform.queue.advance(delay - 1ms);
        EXPECT_FALSE(started(panel, bar)) << flag;
        platform.queue.advance(1ms);
        EXPECT_TRUE(started(panel, bar)) << flag;
    }
}

}  // namespace
}  // namespace pagemate
