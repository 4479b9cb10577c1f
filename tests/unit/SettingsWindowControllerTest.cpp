// The connection test's wording for each answer, on a recording window, scripted HTTP
// and the virtual clock. The choices, their stored values and the real window's keys,
// clicks and HTTP: tests/integration/SettingsWindowTest.

#include <gtest/gtest.h>

#include "app/SettingsWindowController.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class SettingsWindowControllerTest : public ::testing::Test {
  protected:
    SettingsWindowControllerTest() : window(platform.windows.settingsWindows.back()) {}

    // Clicks "测试连接" and runs the main queue until the answer is shown.
    std::string testConnection() {
        window->clickTest();
        EXPECT_TRUE(platform.queue.runUntil([&] { return window->status != "正在测试…"; }, 5s));
        return window->status;
    }

    testing::ScopedEnvironment server{"PGM_SERVER_URL", "https://pagemate.example.com/"};
    fake::FakePlatform platform;
    testing::LogCapture log;
    Settings& settings = Settings::shared();
    std::shared_ptr<SettingsWindowController> controller = SettingsWindowController::create();
    fake::RecordingSettingsWindow* window;
};

TEST_F(SettingsWindowControllerTest, ConnectionTestAsksTheConfiguredServiceAndWordsEachAnswer) {
    // The address resolution settled on does not count: the test is of the setting.
    settings.setRuntimeBaseURL("http://127.0.0.1:4310");
    controller->show();
    window->model = 2;
    // Nothing listens; without a password the header still goes, empty.
    EXPECT_EQ(testConnection(), "连不上 https://pagemate.example.com。请检查网络连接。");
    EXPECT_EQ(window->statusHistory.front(), "正在测试…");
    EXPECT_EQ(settings.model(), "deepseek-v4-pro");  // the choices are stored first
    const HttpRequest request = platform.http.requests().front();
    EXPECT_EQ(request.url, "https://pagemate.example.com/api/config");
    EXPECT_EQ(request.timeout, 12s);
    EXPECT_EQ(request.headers, (std::vector<HttpRequest::Header>{{"x-app-password", ""}}));

    const std::vector<std::tuple<int, std::optional<std::string>, std::string>> answers = {
        {401, R"({"error":"unauthorized"})",
         "服务器要求访问密码，但本机没配。检查服务端 .env 里的 APP_PASSWORD。"},
        {404, "Not Found",
         "服务器还是旧版本（没有 /api/config）。请先按 deploy/ONLINE-DEPLOYMENT.md 部署新版后端。"},
        {200, std::nullopt, "服务器返回异常（200）。"},  // a body that never completed
        {200,
         R"({"version":"2.0.1","ready":{"notion":true,"deepseek":true},
             "asr":{"localAvailable":true},"extra":[1]})",
         "连接正常（服务版本 2.0.1）。\nNotion：已连接\nDeepSeek：已连接\n会议转写：本机识别\n"
         "辅助功能权限：已授权"},
    };
    for (const auto& [status, body, expected] : answers) {
        platform.http.respondWith([status = status, body = body](const HttpRequest&) {
            return HttpResponse{status, body, std::nullopt};
        });
        EXPECT_EQ(testConnection(), expected) << status << " " << body.value_or("(none)");
    }

    // An address that is no address ends the test at once.
    const testing::ScopedEnvironment badServer("PGM_SERVER_URL", "http://pagemate example.com");
    const std::size_t sent = platform.http.requests().size();
    window->clickTest();
    EXPECT_EQ(window->status, "服务器地址无效。");
    EXPECT_EQ(platform.http.requests().size(), sent);
}

}  // namespace
}  // namespace pagemate
