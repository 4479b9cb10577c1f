// "pagemate --meetinguitest" as a user runs it: the program itself, on the virtual
// display, against the stand-in service serving the fixture meeting page.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "fixtures/PageSelfTestMode.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kReport = "/tmp/pagemate-meetingui.json";

class MeetingUITestMode : public testing::PageSelfTestMode {
  protected:
    MeetingUITestMode() : PageSelfTestMode("--meetinguitest", kReport) {}
};

TEST_F(MeetingUITestMode, ReportsWhatTheMeetingPageOffersAndTheServiceAnswer) {
    service.answer("/meeting", 200, testing::readFile(PAGES_DIR "/meeting.html"), "text/html");
    service.answer("/api/config", 200, R"({"version":"2.4.1"})", "application/json");
    const auto [report, ran] = run();
    ASSERT_TRUE(report.is_object()) << testing::readFile(kReport);
    EXPECT_EQ(report["title"], "会议记录");
    EXPECT_EQ(report["hasStartButton"], true);
    EXPECT_EQ(report["bridge"], "object");
    EXPECT_EQ(report["host"], "object");
    EXPECT_EQ(report["bootstrap"], "object");
    EXPECT_EQ(report["errors"], json::array());
    EXPECT_TRUE(report["bodyText"].get<std::string>().starts_with("开始记录"));
    EXPECT_EQ(report["api"], json({{"status", 200}}));
    EXPECT_FALSE(report.contains("error")) << report.dump(2);
    EXPECT_EQ(service.countFor("/api/config"), 1u);
    EXPECT_EQ(service.countFor("/meeting"), 1u);
    // Two seconds after start, then 1.2 s after the load.
    EXPECT_GE(ran, 3200ms);
    EXPECT_LT(ran, 10s);
    EXPECT_EQ(testing::readFile(kReport), report.dump(2));
}

TEST_F(MeetingUITestMode, APageThatNeverLoadsEndsTheTestAtTenSeconds) {
    service.answerLate("/meeting", 30s, 200, "<p>too late</p>");
    const auto [report, ran] = run();
    EXPECT_EQ(report, json({{"error", "超时：会议界面没有在 10 秒内加载完成"}}));
    EXPECT_GE(ran, 12s);
    EXPECT_LT(ran, 20s);
    EXPECT_EQ(service.countFor("/api/config"), 0u);
}

}  // namespace
}  // namespace pagemate
