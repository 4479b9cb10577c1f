// "pagemate --quicktest" as a user runs it: the program itself, on the virtual display,
// against the stand-in service.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "fixtures/PageSelfTestMode.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kReport = "/tmp/pagemate-quicktest.json";

class QuickTestMode : public testing::PageSelfTestMode {
  protected:
    QuickTestMode() : PageSelfTestMode("--quicktest", kReport) {}
};

TEST_F(QuickTestMode, ReportsWhatThePageOffersAndTheServiceAnswer) {
    service.answer("/quick", 200, testing::readFile(PAGES_DIR "/quick.html"), "text/html");
    service.answer("/api/config", 200, R"({"version":"2.4.1"})", "application/json");
    const auto [report, ran] = run();
    ASSERT_TRUE(report.is_object()) << testing::readFile(kReport);
    EXPECT_EQ(report["title"], "Stand-in quick bar");
    EXPECT_EQ(report["hasInput"], true);
    EXPECT_EQ(report["bridge"], "object");
    EXPECT_EQ(report["host"], "object");
    EXPECT_EQ(report["bootstrap"], "object");
    EXPECT_EQ(report["selectionChars"], 0);
    EXPECT_EQ(report["errors"], json::array());
    EXPECT_EQ(report["api"], json({{"status", 200}}));
    EXPECT_EQ(report["selection"], "");
    EXPECT_EQ(report["pageTitle"], "");
    EXPECT_EQ(report["pageId"], "");
    EXPECT_TRUE(report["accessibilityTrusted"].is_boolean());
    EXPECT_FALSE(report.contains("error")) << report.dump(2);
    EXPECT_EQ(service.countFor("/api/config"), 1u);
    EXPECT_EQ(service.countFor("/quick"), 1u);
    // Two seconds after start, then 1.2 s after the load.
    EXPECT_GE(ran, 3200ms);
    EXPECT_LT(ran, 10s);
    // Pretty-printed with sorted keys.
    EXPECT_EQ(testing::readFile(kReport), report.dump(2));
}

TEST_F(QuickTestMode, APageThatNeverLoadsEndsTheTestAtTenSeconds) {
    service.answerLate("/quick", 30s, 200, "<p>too late</p>");
    const auto [report, ran] = run();
    EXPECT_EQ(report, json({{"error", "超时：页面没有在 10 秒内加载完成"},
                            {"selection", ""},
                            {"pageTitle", ""},
                            {"pageId", ""},
                            {"accessibilityTrusted", report["accessibilityTrusted"]}}));
    EXPECT_TRUE(report["accessibilityTrusted"].is_boolean());
    EXPECT_GE(ran, 12s);
    EXPECT_LT(ran, 20s);
    EXPECT_EQ(service.countFor("/api/config"), 0u);
}

}  // namespace
}  // namespace pagemate
