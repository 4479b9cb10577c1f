// "pagemate --paneltest", "--quicktest" and "--meetinguitest" as a user runs them, against
// the stand-in service serving the fixture pages. (Time limits: the unit tests.)

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
    const char* flag;
    const char* report;
    const char* page;  // the service's path, and the fixture's file name
    json offered;      // what the report says of the page and the service
    bool launchStage;  // whether the report file says "launched" first
};

class PageSelfTestMode : public ::testing::TestWithParam<PageMode> {
  protected:
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
    service.answer("/api/config", 200, R"({"version":"2.4.1","models":[{"id":"a"},{"id":"b"}]})",
                   "application/json");
    const testing::ScopedEnvironment server("PGM_SERVER_URL", (service.base() + "/").c_str());
    std::filesystem::remove(mode.report);
    testing::ProgramRun run({mode.flag}, home.path() / "stdout");
    ASSERT_TRUE(run.started());
    std::vector<json> reports;  // every report the file holds while the program runs
    ASSERT_TRUE(testing::waitUntil(
        [&] {
            const bool ended = !run.running();
            json report = json::parse(testing::readFile(mode.report), nullptr, false);
            if (report.is_object() && (reports.empty() || report != reports.back())) {
                reports.push_back(std::move(report));
            }
            return ended;
        },
        60s))
        << "the program did not end within a minute";
    EXPECT_EQ(run.status(), 0);
    ASSERT_EQ(reports.size(), mode.launchStage ? 2u : 1u) << json(reports).dump(2);
    const json& report = reports.back();
    for (const auto& [key, value] : mode.offered.items()) {
        EXPECT_EQ(report[key], value) << key;
    }
    EXPECT_EQ(report.value("errors", json()), json::array()) << report.dump(2);
    EXPECT_EQ(service.countFor("/api/config"), 1u);
    EXPECT_EQ(service.countFor(std::string("/") + mode.page), 1u);
    if (mode.launchStage) {  // the panel's report, sorted and indented, on standard output too
        EXPECT_EQ(reports[0], json({{"stage", "launched"}, {"serverURL", service.base()}}));
        EXPECT_EQ(testing::readFile(home.path() / "stdout"), report.dump(2) + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PageSelfTestMode,
    ::testing::Values(
        PageMode{"--paneltest", "/tmp/pagemate-paneltest.json", "panel",
                 R"({"title": "Stand-in panel", "hasComposer": true, "hasMessages": true,
                     "markdownRenderer": "object", "hostBridge": "object", "hostObject": "object",
                     "bootstrap": "object", "bootstrapInjected": false,
                     "panelApi": {"status": 200, "version": "2.4.1", "models": 2}})"_json,
                 true},
        PageMode{"--quicktest", "/tmp/pagemate-quicktest.json", "quick",
                 R"({"title": "Stand-in quick bar", "hasInput": true, "bridge": "object",
                     "host": "object", "bootstrap": "object", "api": {"status": 200},
                     "selectionChars": 0, "selection": "", "pageTitle": "", "pageId": ""})"_json,
                 false},
        PageMode{"--meetinguitest", "/tmp/pagemate-meetingui.json", "meeting",
                 R"({"title": "会议记录", "hasStartButton": true, "bridge": "object",
                     "host": "object", "bootstrap": "object", "api": {"status": 200}})"_json,
                 false}),
    [](const auto& mode) { return std::string(mode.param.flag + 2); });  // the flag's name

}  // namespace
}  // namespace pagemate
