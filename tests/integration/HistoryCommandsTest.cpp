#include <nlohmann/json.hpp>

#include "app/HistoryCommands.h"
#include "fixtures/RawHttpCapture.h"
#include "integration/ServiceTestSupport.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using testing::StandInService;

class HistoryCommandsTest : public testing::ServiceTest {
  protected:
    HistoryCommandsTest() { Settings::shared().setRuntimeBaseURL(service.base()); }

    // Runs the command's request to its end: a log line, an alert or an opened address.
    void settle(std::size_t expectedRequests = 1) {
        waitFor([&] { return service.received().size() >= expectedRequests; });
        waitFor([&] {
            return !platform.alerts.shown().empty() || !platform.workspace.opened().empty() ||
                   !log.messages().empty();
        });
        platform.queue.runUntil([] { return false; }, 50ms);
    }

    std::vector<std::string> syncResult(const std::string& body) {
        service.answer("/api/history/sync", 200, body);
        const testing::LogCapture caseLog;
        const std::size_t before = platform.alerts.shown().size();
        HistoryCommands::syncHistoryNow({});
        waitFor([&] { return platform.alerts.shown().size() > before; });
        const auto alerts = platform.alerts.shown();
        EXPECT_EQ(alerts.back().buttons, std::vector<std::string>{"好"});
        EXPECT_EQ(caseLog.messages(),
                  std::vector<std::string>{"手动同步对话历史：" + alerts.back().message});
        return {alerts.back().message};
    }

    StandInService service;
};

TEST_F(HistoryCommandsTest, OpensTheReturnedAddressWithThePassword) {
    platform.secrets.add("com.fernwick.pagemate", "app-password", "s3cret");
    service.answer("/api/history", 200, R"({"url":"notion://www.notion.so/abc","enabled":true})");
    HistoryCommands::openHistory();
    settle();
    EXPECT_EQ(platform.workspace.opened(), std::vector<std::string>{"notion://www.notion.so/abc"});
    const auto request = service.received().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/api/history");
    EXPECT_EQ(request.header("x-app-password"), "s3cret");
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(HistoryCommandsTest, DoesNotOpenLocalFilesOrOtherSchemes) {
    for (const char* address : {"file:///etc/passwd", "javascript:alert(1)", "smb://host/share"}) {
        const testing::LogCapture caseLog;
        service.answer("/api/history", 200,
                       nlohmann::json{{"url", address}, {"enabled", true}}.dump());
        HistoryCommands::openHistory();
        waitFor([&] { return !caseLog.messages().empty(); });
        ASSERT_EQ(caseLog.messages().size(), 1u) << address;
        EXPECT_TRUE(caseLog.messages()[0].starts_with("打开对话历史失败：")) << caseLog.text();
    }
    EXPECT_TRUE(platform.workspace.opened().empty());
}

TEST_F(HistoryCommandsTest, ArchiveSwitchedOffShowsTheAlert) {
    service.answer("/api/history", 200, R"({"url":"","enabled":false})");
    HistoryCommands::openHistory();
    settle();
    const auto alerts = platform.alerts.shown();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message, "对话历史未开启");
    EXPECT_EQ(alerts[0].informativeText,
              "设置里打开「对话自动存到 Notion」后，这里就能看到历史记录。");
    EXPECT_EQ(alerts[0].buttons, std::vector<std::string>{"好"});
    EXPECT_TRUE(platform.workspace.opened().empty());
}

TEST_F(HistoryCommandsTest, OtherAnswersOnlyLog) {
    const std::vector<std::pair<int, std::string>> answers = {
        {200, R"({"enabled":true})"},
        {200, R"({"url":"","enabled":"false"})"},
        {200, R"({"url":42})"},
        {500, "Internal Server Error"},
        {200, "[]"},
        {200, ""},
    };
    for (const auto& [status, body] : answers) {
        const testing::LogCapture caseLog;
        service.answer("/api/history", status, body);
        HistoryCommands::openHistory();
        waitFor([&] { return !caseLog.messages().empty(); });
        EXPECT_EQ(caseLog.messages(),
                  std::vector<std::string>{"打开对话历史失败：服务端没有返回地址"})
            << body;
    }
    EXPECT_TRUE(platform.alerts.shown().empty());
    EXPECT_TRUE(platform.workspace.opened().empty());

    Settings::shared().setRuntimeBaseURL("http://127.0.0.1:" +
                                         std::to_string(testing::closedPort()));
    const testing::LogCapture caseLog;
    HistoryCommands::openHistory();
    waitFor([&] { return !caseLog.messages().empty(); });
    EXPECT_EQ(caseLog.messages(), std::vector<std::string>{"打开对话历史失败：未能连接到服务器。"});
}

TEST_F(HistoryCommandsTest, EmptyPasswordIsSentAndTrailingSlashGivesADoubleSlash) {
    Settings::shared().setRuntimeBaseURL(service.base() + "/");
    HistoryCommands::openHistory();
    settle();
    EXPECT_EQ(service.received().at(0).path, "//api/history");

    // The empty password header, as it goes over the wire, for both commands.
    for (const bool sync : {false, true}) {
        testing::RawHttpCapture wire;
        Settings::shared().setRuntimeBaseURL(wire.base());
        if (sync) {
            HistoryCommands::syncHistoryNow({});
        } else {
            HistoryCommands::openHistory();
        }
        const std::string head = wire.head();
        EXPECT_TRUE(head.starts_with(sync ? "POST /api/history/sync " : "GET /api/history "))
            << head;
        EXPECT_NE(head.find("\r\nx-app-password:\r\n"), std::string::npos) << head;
    }
}

TEST_F(HistoryCommandsTest, SyncCountsAndFailures) {
    EXPECT_EQ(syncResult(R"({"updated":3,"failed":0})")[0], "同步完成：更新 3 段对话");
    EXPECT_EQ(syncResult(R"({"updated":3,"failed":2})")[0],
              "同步完成：更新 3 段，2 段失败（下次会自动重试）");
    EXPECT_EQ(syncResult(R"({"updated":"3","failed":1})")[0],
              "同步完成：更新 0 段，1 段失败（下次会自动重试）");
    EXPECT_EQ(syncResult(R"({"updated":3,"failed":-2})")[0], "同步完成：更新 3 段对话");
    EXPECT_EQ(syncResult(R"({"updated":3,"failed":1.5})")[0], "同步完成：更新 3 段对话");
    EXPECT_EQ(syncResult(R"({"updated":2.0,"failed":true})")[0], "同步完成：更新 2 段对话");
    EXPECT_EQ(syncResult(R"({})")[0], "同步完成：更新 0 段对话");
    EXPECT_EQ(syncResult("not json")[0], "同步失败");
    EXPECT_EQ(syncResult("[1]")[0], "同步失败");

    const auto received = service.received();
    EXPECT_EQ(received.back().method, "POST");
    EXPECT_EQ(received.back().path, "/api/history/sync");
    EXPECT_EQ(received.back().body, "");
}

TEST_F(HistoryCommandsTest, SyncReportsProgressAndTransportErrors) {
    std::vector<std::string> statuses;
    Settings::shared().setRuntimeBaseURL("http://127.0.0.1:" +
                                         std::to_string(testing::closedPort()));
    HistoryCommands::syncHistoryNow([&](const std::string& text) { statuses.push_back(text); });
    EXPECT_EQ(statuses, std::vector<std::string>{"正在同步对话历史…"});
    waitFor([&] { return !platform.alerts.shown().empty(); });
    ASSERT_EQ(platform.alerts.shown().size(), 1u);
    EXPECT_EQ(platform.alerts.shown()[0].message, "同步失败：未能连接到服务器。");
    EXPECT_TRUE(log.contains("手动同步对话历史：同步失败：未能连接到服务器。"));
    EXPECT_EQ(statuses.size(), 1u);  // not reset when the request ends
}

TEST_F(HistoryCommandsTest, UnformableAddressDoesNothing) {
    Settings::shared().setRuntimeBaseURL("http://bad host");
    std::vector<std::string> statuses;
    HistoryCommands::openHistory();
    HistoryCommands::syncHistoryNow([&](const std::string& text) { statuses.push_back(text); });
    platform.queue.runUntil([] { return false; }, 200ms);
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(log.messages().empty());
    EXPECT_TRUE(platform.alerts.shown().empty());
}

}  // namespace
}  // namespace pagemate
