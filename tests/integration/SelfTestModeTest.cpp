// "pagemate --selftest" and "pagemate --activatetest" as a user runs them: the program
// itself on the virtual display, against the stand-in service and the stand-in Notion.

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
// clang-format on
#include "harness/ProgramRun.h"
#include "platform/linux/X11Workspace.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kSelfTest = "/tmp/pagemate-selftest.json";
constexpr const char* kActivation = "/tmp/pagemate-paneltest.json";

class SelfTestMode : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
        desktop = std::make_unique<testing::Desktop>();
    }
    static void TearDownTestSuite() { desktop.reset(); }
    static inline std::unique_ptr<testing::Desktop> desktop;

    // Runs the program with the switch and returns its report once it has ended.
    json run(const char* flag, const char* report, std::chrono::milliseconds limit = 20s) {
        auto [values, ran] = testing::runForReport({flag}, report, home.path() / "stdout", limit);
        elapsed = ran;
        return values;
    }

    testing::TempDir home;
    const testing::ScopedEnvironment data{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    std::chrono::steady_clock::duration elapsed{};
};

TEST_F(SelfTestMode, ReportsTheServiceAndNotion) {
    testing::StandInService service;
    service.answer("/health", 200, R"({"product":"pagemate","version":"2.4.1"})");
    const testing::ScopedEnvironment server("PGM_SERVER_URL", (service.base() + "/").c_str());
    json report = run("--selftest", kSelfTest);
    EXPECT_EQ(report["serverURL"], service.base());
    EXPECT_EQ(report["passwordConfigured"], false);
    EXPECT_TRUE(report["accessibilityTrusted"].is_boolean());
    EXPECT_EQ(report["notionRunning"], false);
    EXPECT_FALSE(report.contains("notionWindowTitle"));
    EXPECT_EQ(report["urlParseSample"],
              json({{"id", "3d074ad6-303a-802d-ae31-cfa9aed04de3"}, {"title", "项目计划"}}));
    EXPECT_EQ(report["healthStatus"], 200);
    EXPECT_EQ(report["healthBody"], json({{"product", "pagemate"}, {"version", "2.4.1"}}));
    // The same bytes on standard output; no window was made.
    EXPECT_EQ(testing::readFile(home.path() / "stdout"), testing::readFile(kSelfTest));
    EXPECT_TRUE(testing::logLines("正在创建面板").empty());

    // With the stand-in Notion window up, its title as read and cleaned.
    const testing::StandInNotion notion(*desktop);
    report = run("--selftest", kSelfTest);
    EXPECT_EQ(report["notionRunning"], true);
    // From AT-SPI, else from the window system: the same title with or without an
    // accessibility bus.
    EXPECT_EQ(report["notionWindowTitle"], "Weekly Plan \u2013 Notion");
    EXPECT_EQ(report["notionWindowTitleCleaned"], "Weekly Plan");
}

TEST_F(SelfTestMode, ServiceDownStillReportsWithinEightSeconds) {
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
    const testing::ScopedEnvironment server("PGM_SERVER_URL", nowhere.c_str());
    const json report = run("--selftest", kSelfTest);
    EXPECT_EQ(report["healthStatus"], 0);
    EXPECT_FALSE(report.contains("healthBody"));
    EXPECT_LT(elapsed, 8s);

    // A service that takes the connection and never answers: the request's own 5 s
    // time-out ends the wait.
    testing::StandInService silent;
    silent.answerLate("/health", 60s, 200, "{}");
    const testing::ScopedEnvironment slow("PGM_SERVER_URL", silent.base().c_str());
    const json late = run("--selftest", kSelfTest);
    EXPECT_EQ(late["healthStatus"], 0);
    EXPECT_GE(elapsed, 5s);
    EXPECT_LT(elapsed, 9s);
}

TEST_F(SelfTestMode, ActivationTestWithAndWithoutNotion) {
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
    const testing::ScopedEnvironment server("PGM_SERVER_URL", nowhere.c_str());
    // A window of this test in front, so that there is something to come back to; the
    // window manager is asked the way pagers ask it.
    GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(other), "another window");
    gtk_widget_show_all(other);
    linux_backend::X11Workspace workspace;
    const auto bringOtherToFront = [&] {
        std::optional<RunningApplication> self;
        testing::pumpUntil([&] {
            for (const RunningApplication& application : workspace.runningApplications()) {
                if (application.pid == ::getpid()) {
                    self = application;
                }
            }
            return self.has_value();
        });
        ASSERT_TRUE(self) << "the test's window is not among the client windows";
        workspace.activate(*self);
        ASSERT_TRUE(testing::pumpUntil([&] {
            const auto frontmost = workspace.frontmostApplication();
            return frontmost && frontmost->pid == ::getpid();
        }));
    };
    bringOtherToFront();
    const std::string previous = workspace.frontmostApplication()->bundleIdentifier.value_or("");

    json report = run("--activatetest", kActivation);
    ASSERT_TRUE(report.is_object());
    EXPECT_EQ(report, json({{"previousFrontmost", previous}, {"error", "Notion 未运行"}}));

    const testing::StandInNotion notion(*desktop);
    bringOtherToFront();
    report = run("--activatetest", kActivation);
    EXPECT_EQ(report["previousFrontmost"], previous);
    EXPECT_EQ(report["activated"], true);
    EXPECT_TRUE(report["activationMs"].is_number_integer());
    EXPECT_LT(report["activationMs"].get<int>(), 2000);
    EXPECT_EQ(report["frontmostAfter"], "notion.id");
    EXPECT_EQ(report["canPostEvents"], true);
    ASSERT_TRUE(report.contains("axProbe1")) << report.dump(2);
    EXPECT_EQ(report["restoredTo"], previous);
    gtk_widget_destroy(other);
}

}  // namespace
}  // namespace pagemate
