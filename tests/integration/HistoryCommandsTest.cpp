// The conversation history's two menu commands against the stand-in service over real
// HTTP: what the user sees of each answer.

#include <nlohmann/json.hpp>

#include "app/HistoryCommands.h"
#include "integration/ServiceTestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class HistoryCommandsTest : public testing::ServiceTest {
  protected:
    HistoryCommandsTest() { Settings::shared().setRuntimeBaseURL(service.base()); }

    // What the user sees of the command: the address opened, the alert or the log line.
    std::string outcome(const std::function<void()>& command) {
        const testing::LogCapture caseLog;
        const std::size_t alerts = platform.alerts.shown().size();
        const std::size_t opened = platform.workspace.opened().size();
        command();
        waitFor([&] {
            return platform.alerts.shown().size() > alerts ||
                   platform.workspace.opened().size() > opened || !caseLog.messages().empty();
        });
        platform.queue.runUntil([] { return false; }, 50ms);
        logged = caseLog.messages();
        if (platform.workspace.opened().size() > opened) {
            return "open " + platform.workspace.opened().back();
        }
        if (platform.alerts.shown().size() > alerts) {
            const auto alert = platform.alerts.shown().back();
            EXPECT_EQ(alert.buttons, std::vector<std::string>{"好"});
            return "alert " + alert.message + " " + alert.informativeText;
        }
        return caseLog.messages().empty() ? "" : "log " + caseLog.messages().front();
    }

    testing::StandInService service;
    std::vector<std::string> logged;  // by the last command
};

TEST_F(HistoryCommandsTest, OpenHistoryOpensOnlyAnOpenableAddress) {
    platform.secrets.add("com.fernwick.pagemate", "app-password", "s3cret");
    const std::string failed = "log 打开对话历史失败：";
    const struct {
        int status;
        std::string body;
        std::string seen;
    } cases[] = {
        {200, R"({"url":"notion://www.notion.so/abc","enabled":true})",
         "open notion://www.notion.so/abc"},
        {200, R"({"url":"file:///etc/passwd","enabled":true})", failed},
        {200, R"({"url":"","enabled":false})",
         "alert 对话历史未开启 设置里打开「对话自动存到 Notion」后，这里就能看到历史记录。"},
        {200, R"({"enabled":true})", failed + "服务端没有返回地址"},
        {200, R"({"url":"","enabled":"false"})", failed + "服务端没有返回地址"},
        {500, "Internal Server Error", failed + "服务端没有返回地址"},
    };
    for (const auto& [status, body, seen] : cases) {
        service.answer("/api/history", status, body);
        const std::string got = outcome(&HistoryCommands::openHistory);
        EXPECT_TRUE(got.starts_with(seen)) << body << " gave " << got;
    }
    const auto request = service.received().at(0);
    EXPECT_EQ(request.method + " " + request.path, "GET /api/history");
    EXPECT_EQ(request.header("x-app-password"), "s3cret");
    EXPECT_EQ(platform.workspace.opened().size(), 1u);
}

TEST_F(HistoryCommandsTest, SyncCountsAndFailures) {
    const auto sync = [&](const std::string& body) {
        service.answer("/api/history/sync", 200, body);
        const std::string seen = outcome([] { HistoryCommands::syncHistoryNow({}); });
        std::string message = seen.substr(6, seen.size() - 7);  // the alert's
        EXPECT_EQ(logged, std::vector<std::string>{"手动同步对话历史：" + message});
        return message;
    };
    EXPECT_EQ(sync(R"({"updated":3,"failed":0})"), "同步完成：更新 3 段对话");
    EXPECT_EQ(sync(R"({"updated":3,"failed":2})"),
              "同步完成：更新 3 段，2 段失败（下次会自动重试）");
    EXPECT_EQ(sync(R"({"updated":"3","failed":1})"),
              "同步完成：更新 0 段，1 段失败（下次会自动重试）");
    EXPECT_EQ(sync(R"({"updated":3,"failed":-2})"), "同步完成：更新 3 段对话");
    EXPECT_EQ(sync(R"({"updated":2.0,"failed":true})"), "同步完成：更新 2 段对话");
    EXPECT_EQ(sync("not json"), "同步失败");
    const auto received = service.received();
    EXPECT_EQ(received.back().method + " " + received.back().path + received.back().body,
              "POST /api/history/sync");

    // The progress is said at once and left; a transport error is the alert's.
    std::vector<std::string> statuses;
    Settings::shared().setRuntimeBaseURL("http://127.0.0.1:" +
                                         std::to_string(testing::closedPort()));
    EXPECT_EQ(outcome([&] {
                  HistoryCommands::syncHistoryNow(
                      [&](const std::string& text) { statuses.push_back(text); });
              }),
              "alert 同步失败：未能连接到服务器。 ");
    EXPECT_EQ(statuses, std::vector<std::string>{"正在同步对话历史…"});
}

}  // namespace
}  // namespace pagemate
