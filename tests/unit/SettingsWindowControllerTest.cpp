// The settings window's rules on a recording window, scripted HTTP and the virtual
// clock: the choices and their stored values, saving, and the connection test.

#include <gtest/gtest.h>

#include <thread>

#include "app/SettingsWindowController.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/UnavailableWindowSystem.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using PopUp = SettingsWindow::PopUp;
using CheckBox = SettingsWindow::CheckBox;

class SettingsWindowControllerTest : public ::testing::Test {
  protected:
    std::shared_ptr<SettingsWindowController> makeController() {
        auto controller = SettingsWindowController::create();
        window = platform.windows.settingsWindows.back();
        return controller;
    }

    // Answers every request with `status` and `body`.
    void answer(int status, std::string body) {
        platform.http.respondWith([status, body = std::move(body)](const HttpRequest&) {
            return HttpResponse{status, body, std::nullopt};
        });
    }

    // Clicks "测试连接" and runs the main queue until the answer is shown.
    std::string testConnection() {
        const std::size_t before = platform.http.requests().size();
        window->clickTest();
        if (platform.http.requests().size() == before) {
            return window->status;  // no request went out
        }
        EXPECT_EQ(window->status, "正在测试…");
        EXPECT_TRUE(platform.queue.runUntil([&] { return window->status != "正在测试…"; }, 5s));
        return window->status;
    }

    testing::ScopedEnvironment server{"PGM_SERVER_URL", "https://pagemate.example.com/"};
    fake::FakePlatform platform;
    testing::LogCapture log;
    Settings& settings = Settings::shared();
    fake::RecordingSettingsWindow* window = nullptr;
};

TEST_F(SettingsWindowControllerTest, StoredValuesMapToIndexesAndBack) {
    const auto controller = makeController();
    const std::vector<std::pair<std::string, int>> models = {
        {"", 0}, {"deepseek-chat", 1}, {"deepseek-v4-pro", 2}, {"gpt-4o", 0}, {"DeepSeek-Chat", 0}};
    for (const auto& [stored, index] : models) {
        settings.setModel(stored);
        controller->load();
        EXPECT_EQ(window->model, index) << stored;
    }
    const std::vector<std::pair<std::string, int>> modes = {
        {"auto", 0}, {"confirm", 1}, {"readonly", 2}, {"", 0}, {"whatever", 0}};
    for (const auto& [stored, index] : modes) {
        settings.setAgentMode(stored);
        controller->load();
        EXPECT_EQ(window->mode, index) << stored;
    }
    for (const bool on : {true, false}) {
        settings.setQuickBarFollowsCursor(on);
        settings.setArchiveConversations(!on);
        controller->load();
        EXPECT_EQ(window->followsCursor, on);
        EXPECT_EQ(window->archive, !on);
    }

    const std::vector<std::string> modelValues = {"", "deepseek-chat", "deepseek-v4-pro"};
    const std::vector<std::string> modeValues = {"auto", "confirm", "readonly"};
    for (int index = 0; index < 3; ++index) {
        window->model = index;
        window->mode = 2 - index;
        window->followsCursor = index == 1;
        window->archive = index != 1;
        controller->apply();
        EXPECT_EQ(settings.model(), modelValues.at(index));
        EXPECT_EQ(settings.agentMode(), modeValues.at(2 - index));
        EXPECT_EQ(settings.quickBarFollowsCursor(), index == 1);
        EXPECT_EQ(settings.archiveConversations(), index != 1);
    }

    // A value from elsewhere shows the first item, and saving stores that item's value;
    // show() reloads, dropping what was not saved, and comes to the front.
    settings.setModel("gpt-4o");
    settings.setAgentMode("auto");
    window->mode = 1;
    controller->show();
    EXPECT_EQ(window->model, 0);
    EXPECT_EQ(window->mode, 0);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(platform.windows.activations, 1);
    window->mode = 2;  // "只读"
    window->clickSave();
    EXPECT_EQ(settings.model(), "");
    EXPECT_EQ(platform.preferences.value("model"), PreferenceValue(std::string()));
    EXPECT_EQ(settings.agentMode(), "readonly");
}

TEST_F(SettingsWindowControllerTest, SaveStoresReportsCallsOnSaveOnceAndHides) {
    const auto controller = makeController();
    controller->show();
    window->model = 1;
    window->archive = false;
    int saves = 0;
    controller->onSave = [&] {
        ++saves;
        // Called after the choices are stored and the text is set, before hiding.
        EXPECT_EQ(settings.model(), "deepseek-chat");
        EXPECT_FALSE(settings.archiveConversations());
        EXPECT_EQ(window->status, "已保存。");
        EXPECT_TRUE(window->visible);
    };
    window->clickSave();  // the button, or Return
    EXPECT_EQ(saves, 1);
    EXPECT_FALSE(window->visible);
    // The text stays until the next save or test, also across a show.
    controller->show();
    EXPECT_EQ(window->status, "已保存。");
}

TEST_F(SettingsWindowControllerTest, ConnectionTestAsksTheConfiguredServiceAndWordsEachAnswer) {
    // The address resolution settled on does not count: the test is of the setting.
    settings.setRuntimeBaseURL("http://127.0.0.1:4310");
    const auto controller = makeController();
    controller->show();
    // Nothing listens; without a password the header still goes, empty.
    EXPECT_EQ(testConnection(), "连不上 https://pagemate.example.com。请检查网络连接。");
    const HttpRequest request = platform.http.requests().front();
    EXPECT_EQ(request.url, "https://pagemate.example.com/api/config");
    EXPECT_EQ(request.timeout, 12s);
    EXPECT_EQ(request.headers, (std::vector<HttpRequest::Header>{{"x-app-password", ""}}));

    const std::string notReady =
        "Notion：未配置 Token\nDeepSeek：未配置 Key\n"
        "会议转写：不可用（没有安装本机语音模型）\n辅助功能权限：已授权";
    const std::vector<std::tuple<int, std::string, std::string>> answers = {
        {401, R"({"error":"unauthorized"})",
         "服务器要求访问密码，但本机没配。检查服务端 .env 里的 APP_PASSWORD。"},
        {404, "Not Found",
         "服务器还是旧版本（没有 /api/config）。请先按 deploy/ONLINE-DEPLOYMENT.md 部署新版后端。"},
        {500, R"({"version":"1.2"})", "服务器返回异常（500）。"},
        {302, "", "服务器返回异常（302）。"},
        {200, "[1,2]", "服务器返回异常（200）。"},
        {200, "not json", "服务器返回异常（200）。"},
        {200, "{\"version\":", "服务器返回异常（200）。"},
        {200,
         R"({"version":"2.0.1","ready":{"notion":true,"deepseek":true},
             "asr":{"localAvailable":true},"extra":[1]})",
         "连接正常（服务版本 2.0.1）。\nNotion：已连接\nDeepSeek：已连接\n会议转写：本机识别\n"
         "辅助功能权限：已授权"},
        // Members of the wrong type read as absent; only a true Boolean is true.
        {200,
         R"({"version":1.2,"ready":{"notion":1,"deepseek":"true"},"asr":{"localAvailable":false}})",
         "连接正常（服务版本 ?）。\n" + notReady},
        {200, R"({"ready":[true],"asr":"yes"})", "连接正常（服务版本 ?）。\n" + notReady},
    };
    for (const auto& [status, body, expected] : answers) {
        answer(status, body);
        EXPECT_EQ(testConnection(), expected) << status << " " << body;
    }
    // A 200 whose body never completed is no object either.
    platform.http.respondWith([](const HttpRequest&) {
        return HttpResponse{200, std::nullopt,
                            NetworkError{NetworkError::Kind::timedOut, "Operation timed out"}};
    });
    EXPECT_EQ(testConnection(), "服务器返回异常（200）。");
    // Nothing of the test goes to the log or to an alert.
    EXPECT_TRUE(platform.alerts.shown().empty());
    EXPECT_TRUE(log.messages().empty()) << log.text();
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    answer(200, "{}");
    EXPECT_TRUE(testConnection().ends_with("辅助功能权限：未授权（无法读取页面 / 粘贴回 Notion）"));
}

TEST_F(SettingsWindowControllerTest, AddressThatIsNoAddressEndsTheTestAtOnce) {
    const testing::ScopedEnvironment badServer("PGM_SERVER_URL", "http://pagemate example.com");
    const auto controller = makeController();
    controller->show();
    window->model = 2;
    window->clickTest();
    EXPECT_EQ(window->statusHistory, (std::vector<std::string>{"正在测试…", "服务器地址无效。"}));
    EXPECT_TRUE(platform.http.requests().empty());
    EXPECT_EQ(settings.model(), "deepseek-v4-pro");  // stored before the address was looked at
    platform.queue.advance(20s);
    EXPECT_EQ(window->status, "服务器地址无效。");
}

TEST_F(SettingsWindowControllerTest, AnswerReachesTheWindowOnlyOnTheMainQueue) {
    const std::thread::id mainThread = std::this_thread::get_id();
    auto controller = makeController();
    controller->show();
    answer(401, "");
    window->clickTest();
    // The client has answered on its own thread; what it handed over waits for the loop.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (platform.queue.pendingCount() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    EXPECT_EQ(platform.queue.pendingCount(), 1u);
    EXPECT_EQ(window->status, "正在测试…");
    platform.queue.runUntilIdle();
    EXPECT_EQ(window->status,
              "服务器要求访问密码，但本机没配。检查服务端 .env 里的 APP_PASSWORD。");
    for (const std::thread::id thread : window->changeThreads) {
        EXPECT_EQ(thread, mainThread);
    }

    // An answer that arrives after the controller is gone touches nothing.
    window->clickTest();
    const std::weak_ptr<SettingsWindowController> weak = controller;
    controller.reset();
    window = nullptr;
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(platform.queue.runUntil([&] { return platform.queue.pendingCount() == 0; }, 5s));
    EXPECT_EQ(platform.http.requests().size(), 2u);
}

TEST_F(SettingsWindowControllerTest, WithoutADisplayTheWindowKeepsTheStoredValues) {
    Platform::current().windows = std::make_unique<UnavailableWindowSystem>();
    settings.setModel("deepseek-v4-pro");
    settings.setAgentMode("readonly");
    settings.setQuickBarFollowsCursor(false);
    settings.setArchiveConversations(false);
    const auto controller = SettingsWindowController::create();
    controller->show();
    EXPECT_FALSE(controller->window().isVisible());
    EXPECT_EQ(controller->window().serverText(), "https://pagemate.example.com");
    // Nothing is lost by storing what the window holds.
    controller->save();
    EXPECT_EQ(settings.model(), "deepseek-v4-pro");
    EXPECT_EQ(settings.agentMode(), "readonly");
    EXPECT_FALSE(settings.quickBarFollowsCursor());
    EXPECT_FALSE(settings.archiveConversations());
    EXPECT_EQ(controller->window().statusText(), "已保存。");
    settings.setModel("deepseek-chat");
    settings.setArchiveConversations(true);
    controller->load();
    controller->apply();
    EXPECT_EQ(settings.model(), "deepseek-chat");
    EXPECT_TRUE(settings.archiveConversations());
}

}  // namespace
}  // namespace pagemate
