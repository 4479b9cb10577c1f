// The self-test reports on the fakes: what each key holds, the activation test's probes
// and pauses on the virtual clock.

#include <gtest/gtest.h>

#include "diagnostics/SelfTests.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class SelfTestsTest : public ::testing::Test {
  protected:
    const testing::ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:9/"};
    fake::FakePlatform platform;
    testing::LogCapture log;
    const RunningApplication notion{42, "notion.id", "Notion"};
    const RunningApplication terminal{7, "org.gnome.Terminal", "Terminal"};
};

TEST_F(SelfTestsTest, ApplicationReport) {
    platform.http.respondWith([](const HttpRequest&) {
        return HttpResponse{200, R"({"product":"pagemate","ok":true})", std::nullopt};
    });
    EXPECT_EQ(SelfTests::applicationReport(),
              json({{"serverURL", "http://127.0.0.1:9"},
                    {"passwordConfigured", false},
                    {"accessibilityTrusted", true},
                    {"notionRunning", false},
                    {"urlParseSample",
                     {{"id", "3d074ad6-303a-802d-ae31-cfa9aed04de3"}, {"title", "项目计划"}}},
                    {"healthStatus", 200},
                    {"healthBody", {{"product", "pagemate"}, {"ok", true}}}}));
    EXPECT_EQ(platform.http.requests().at(0).url, "http://127.0.0.1:9/health");
    EXPECT_EQ(platform.http.requests().at(0).timeout, 5s);
}

// The probes and pauses on the virtual clock; the report without Notion and on the real
// desktop: tests/integration/SelfTestModeTest.
TEST_F(SelfTestsTest, ActivationReport) {
    // Notion comes to the front after 100 ms; its focused element is never readable:
    // three probes, 300 ms apart; then the terminal is brought back, at once.
    platform.workspace.frontmost = terminal;
    platform.workspace.running = {terminal, notion};
    platform.workspace.onActivate = [&](const RunningApplication& application) {
        if (application == terminal) {
            platform.workspace.frontmost = terminal;
        }
    };
    platform.accessibility.focusedElement = false;
    const auto activationStart = platform.queue.now();
    platform.queue.postAfter(100ms, [&] { platform.workspace.frontmost = notion; });
    const json report = SelfTests::activationReport();
    EXPECT_EQ(report["activationMs"], 100);
    EXPECT_EQ(report["axProbe3"], json({{"focusedElement", "拿不到"}}));
    EXPECT_FALSE(report.contains("axProbe4"));
    EXPECT_EQ(report["restoredTo"], "org.gnome.Terminal");
    EXPECT_EQ(platform.queue.now() - activationStart, 700ms);
}

}  // namespace
}  // namespace pagemate
