// "pagemate --quicktest" and "pagemate --meetinguitest" as a user runs them: the program
// itself on the virtual display, against the stand-in service serving the fixture page,
// with data and settings in a home of the test's own.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "fixtures/StandInService.h"
#include "harness/ProgramRun.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct PageMode {
    const char* name;
    const char* flag;
    const char* report;
    const char* page;   // the service's path, and the fixture's file name
    json offered;       // what the report says of the page, besides the common keys
    json timedOut;      // the report of a page that never loads
    bool reportsTrust;  // whether the reports say if Notion can be read
};

class PageSelfTestMode : public ::testing::TestWithParam<PageMode> {
  protected:
    // Runs the program with the switch until it ends; its report, and how long it ran.
    testing::ReportedRun run() {
        const testing::ScopedEnvironment server("PGM_SERVER_URL", service.base().c_str());
        return testing::runForReport({GetParam().flag}, GetParam().report, home.path() / "stdout",
                                     60s);
    }

    testing::StandInService service;
    testing::TempDir home;
    testing::ScopedEnvironment data{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
};

TEST_P(PageSelfTestMode, ReportsWhatThePageOffersAndTheServiceAnswer) {
    const PageMode& mode = GetParam();
    service.answer(std::string("/") + mode.page, 200,
                   testing::readFile(std::string(PAGES_DIR "/") + mode.page + ".html"),
                   "text/html");
    service.answer("/api/config", 200, R"({"version":"2.4.1"})", "application/json");
    auto [report, ran] = run();
    ASSERT_TRUE(report.is_object()) << testing::readFile(mode.report);
    // Pretty-printed with sorted keys.
    EXPECT_EQ(testing::readFile(mode.report), report.dump(2));
    EXPECT_EQ(report["bridge"], "object");
    EXPECT_EQ(report["host"], "object");
    EXPECT_EQ(report["bootstrap"], "object");
    EXPECT_EQ(report["errors"], json::array());
    EXPECT_EQ(report["api"], json({{"status", 200}}));
    for (const auto& [key, value] : mode.offered.items()) {
        if (key == "bodyText") {
            EXPECT_TRUE(report[key].get<std::string>().starts_with(value.get<std::string>()));
        } else {
            EXPECT_EQ(report[key], value) << key;
        }
    }
    EXPECT_EQ(report.contains("accessibilityTrusted"), mode.reportsTrust);
    EXPECT_FALSE(report.contains("error")) << report.dump(2);
    EXPECT_EQ(service.countFor("/api/config"), 1u);
    EXPECT_EQ(service.countFor(std::string("/") + mode.page), 1u);
    // Two seconds after start, then 1.2 s after the load.
    EXPECT_GE(ran, 3200ms);
    EXPECT_LT(ran, 10s);
}

TEST_P(PageSelfTestMode, APageThatNeverLoadsEndsTheTestAtTenSeconds) {
    service.answerLate(std::string("/") + GetParam().page, 30s, 200, "<p>too late</p>");
    auto [report, ran] = run();
    json expected = GetParam().timedOut;
    if (GetParam().reportsTrust) {
        EXPECT_TRUE(report["accessibilityTrusted"].is_boolean());
        expected["accessibilityTrusted"] = report["accessibilityTrusted"];
    }
    EXPECT_EQ(report, expected);
    EXPECT_GE(ran, 12s);
    EXPECT_LT(ran, 20s);
    EXPECT_EQ(service.countFor("/api/config"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PageSelfTestMode,
    ::testing::Values(
        PageMode{"QuickTest", "--quicktest", "/tmp/pagemate-quicktest.json", "quick",
                 json{{"title", "Stand-in quick bar"},
                      {"hasInput", true},
                      {"selectionChars", 0},
                      {"selection", ""},
                      {"pageTitle", ""},
                      {"pageId", ""}},
                 json{{"error", "超时：页面没有在 10 秒内加载完成"},
                      {"selection", ""},
                      {"pageTitle", ""},
                      {"pageId", ""}},
                 true},
        PageMode{"MeetingUITest", "--meetinguitest", "/tmp/pagemate-meetingui.json", "meeting",
                 json{{"title", "会议记录"}, {"hasStartButton", true}, {"bodyText", "开始记录"}},
                 json{{"error", "超时：会议界面没有在 10 秒内加载完成"}}, false}),
    [](const ::testing::TestParamInfo<PageMode>& mode) { return std::string(mode.param.name); });

}  // namespace
}  // namespace pagemate
