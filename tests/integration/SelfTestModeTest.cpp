// "pagemate --selftest" and "pagemate --activatetest" as a user runs them: the program
// itself on the virtual display, against the stand-in service and the stand-in Notion.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/DesktopSuite.h"
#include <gdk/gdkx.h>
// clang-format on
#include "harness/ProgramRun.h"
#include "platform/linux/X11Workspace.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kSelfTest = "/tmp/pagemate-selftest.json";
constexpr const char* kActivation = "/tmp/pagemate-paneltest.json";

class SelfTestMode : public testing::DesktopSuite {
  protected:
    // Runs the program with the switch and returns its report once it has ended.
    json run(const char* flag, const char* report) {
        return testing::runForReport({flag}, report, home.path() / "stdout", 20s);
    }

    testing::TempDir home;
    const testing::ScopedEnvironment data{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
};

// Every key of the report is the report's rule (tests/unit/SelfTestsTest); here, the
// real service's answer and the real window's title reach it, and nothing else runs.
TEST_F(SelfTestMode, ReportsTheServiceAndNotion) {
    testing::StandInService service;
    service.answer("/health", 200, R"({"product":"pagemate","version":"2.4.1"})");
    const testing::ScopedEnvironment server("PGM_SERVER_URL", (service.base() + "/").c_str());
    const testing::StandInNotion notion(*desktop);
    const json report = run("--selftest", kSelfTest);
    EXPECT_EQ(report["serverURL"], service.base());
    EXPECT_EQ(report["healthBody"], json({{"product", "pagemate"}, {"version", "2.4.1"}}));
    // Its title as read and cleaned: from AT-SPI, else from the window system.
    EXPECT_EQ(report["notionWindowTitle"], "Weekly Plan \u2013 Notion");
    EXPECT_EQ(report["notionWindowTitleCleaned"], "Weekly Plan");
    // The same bytes on standard output; no window was made.
    EXPECT_EQ(testing::readFile(home.path() / "stdout"), testing::readFile(kSelfTest));
    EXPECT_TRUE(testing::logLines("正在创建面板").empty());
}

TEST_F(SelfTestMode, ActivationTestWithAndWithoutNotion) {
    const std::string nowhere = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
    const testing::ScopedEnvironment server("PGM_SERVER_URL", nowhere.c_str());
    // A window of this test in front, so that there is something to come back to: asked
    // as a pager asks, until the window manager has brought it.
    GtkWidget* other = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_widget_show_all(other);
    linux_backend::X11Workspace workspace;
    const auto frontIsThisTest = [&] {
        desktop->activate(gdk_x11_window_get_xid(gtk_widget_get_window(other)));
        const auto frontmost = workspace.frontmostApplication();
        return frontmost && frontmost->pid == ::getpid();
    };
    ASSERT_TRUE(testing::pumpUntil(frontIsThisTest));
    const std::string previous = workspace.frontmostApplication()->bundleIdentifier.value_or("");
    EXPECT_EQ(run("--activatetest", kActivation),
              json({{"previousFrontmost", previous}, {"error", "Notion 未运行"}}));

    const testing::StandInNotion notion(*desktop);
    ASSERT_TRUE(testing::pumpUntil(frontIsThisTest));
    const json report = run("--activatetest", kActivation);
    EXPECT_EQ(report["activated"], true);
    EXPECT_EQ(report["frontmostAfter"], "notion.id");
    EXPECT_TRUE(report.contains("axProbe1")) << report.dump(2);
    EXPECT_EQ(report["restoredTo"], previous);
    gtk_widget_destroy(other);
}

}  // namespace
}  // namespace pagemate
