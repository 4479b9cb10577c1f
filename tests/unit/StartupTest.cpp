#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/RunModes.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
#include "meeting/RecordingFiles.h"
#include "platform/UnavailableWindowSystem.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> args(std::initializer_list<const char*> rest) {
    std::vector<std::string> result{"/usr/bin/pagemate"};
    result.insert(result.end(), rest.begin(), rest.end());
    return result;
}

TEST(RunModes, FirstSwitchOfTheTableWins) {
    std::vector<std::string> ran;
    auto mode = [&ran](std::string_view flag) {
        return RunMode{flag, [&ran, flag](AppDelegate&) { ran.emplace_back(flag); }, false};
    };
    const std::vector<RunMode> table = {mode("--meetinguitest"), mode("--recordtest"),
                                        mode("--ttstest"), mode("--paneltest")};
    EXPECT_EQ(chooseRunMode(table, args({"--ttstest", "--recordtest"}))->flag, "--recordtest");
    EXPECT_EQ(chooseRunMode(table, args({"--paneltest", "--meetinguitest"}))->flag,
              "--meetinguitest");
    EXPECT_EQ(chooseRunMode(table, args({"--ttstest"}))->flag, "--ttstest");
    EXPECT_EQ(chooseRunMode(table, args({"--show-panel", "ttstest", "--TTSTEST"})), nullptr);
    EXPECT_EQ(chooseRunMode({}, args({"--ttstest"})), nullptr);
}

TEST(RunModes, LongRecordMinutes) {
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest"})), 60);
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "5"})), 5);
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "+5"})), 5);
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "-3"})), -3);
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "007"})), 7);
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "9223372036854775807"})), INT64_MAX);
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "-9223372036854775808"})), INT64_MIN);
    for (const char* bad : {"9223372036854775808", "five", "5m", " 5", "5 ", "", "+", "-", "+-5",
                            "++5", "0x10", "1e3", "2.5", "--ttstest"}) {
        EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", bad})), 60) << bad;
    }
    // The argument after the first occurrence counts.
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", "9", "--longrecordtest", "3"})), 9);
    EXPECT_EQ(longRecordMinutes(args({"5"})), 60);
}

class StartupTest : public ::testing::Test {
  protected:
    std::shared_ptr<AppDelegate> delegate(std::vector<std::string> arguments, LaunchModes modes) {
        auto created = AppDelegate::create(std::move(arguments), std::move(modes));
        // Nothing listens on port 1: resolution ends without touching the network.
        created->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
        created->panelResolverConfig.localBase = "http://127.0.0.1:1";
        return created;
    }

    const testing::ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    fake::FakePlatform platform;
    testing::LogCapture log;
};

TEST_F(StartupTest, SelfTestRunsAloneBeforeAnythingIsCreated) {
    int selfTests = 0;
    int others = 0;
    LaunchModes modes;
    modes.selfTest = [&](AppDelegate&) { ++selfTests; };
    modes.modes = {RunMode{"--recordtest", [&](AppDelegate&) { ++others; }, false}};
    const auto app = delegate(args({"--recordtest", "--selftest"}), std::move(modes));
    app->applicationDidFinishLaunching();
    platform.queue.runUntil([] { return false; }, 300ms);
    EXPECT_EQ(selfTests, 1);
    EXPECT_EQ(others, 0);
    EXPECT_EQ(app->panelController(), nullptr);
    const std::vector<std::string> expected = {"参数：/usr/bin/pagemate --recordtest --selftest"};
    auto messages = log.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_TRUE(messages[0].starts_with("=== 启动 \u00B7 ")) << messages[0];
    messages.erase(messages.begin());
    EXPECT_EQ(messages, expected);
}

TEST_F(StartupTest, NormalStartLogsItsStepsAndDispatchesOneMode) {
    std::vector<std::string> ran;
    LaunchModes modes;
    modes.modes = {RunMode{"--recordtest", [&](AppDelegate&) { ran.emplace_back("record"); }},
                   RunMode{"--ttstest", [&](AppDelegate&) { ran.emplace_back("tts"); }}};
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const auto app =
        delegate(args({"--ttstest", "--recordtest", "--platform-option"}), std::move(modes));
    app->applicationDidFinishLaunching();
    // Before any resolution completes.
    EXPECT_EQ(app->statusLine(), "未连接");
    EXPECT_EQ(ran, std::vector<std::string>{"record"});
    ASSERT_NE(app->panelController(), nullptr);

    const auto messages = log.messages();
    ASSERT_GE(messages.size(), 6u);
    EXPECT_EQ(messages[1], "参数：/usr/bin/pagemate --ttstest --recordtest --platform-option");
    // Why, from the first look at the permission (the menu's permission row).
    EXPECT_TRUE(messages[2].starts_with("辅助功能：不可用（")) << messages[2];
    EXPECT_EQ(messages[3], "正在创建面板…");
    EXPECT_EQ(messages[4], "面板创建完成");
    EXPECT_EQ(messages[5], "菜单栏就绪；密码已配置：false；辅助功能权限：未授权");
    // The status item is there with its menu, whose status row reads "未连接".
    ASSERT_EQ(platform.statusBar.items.size(), 1u);
    EXPECT_EQ(platform.statusBar.items[0]->statusRows, std::vector<std::string>{"状态：未连接"});
    // A mode that ends start-up: no permission prompt, no watch.
    platform.queue.advance(100s);
    EXPECT_FALSE(log.contains("申请辅助功能权限（系统弹窗）"));
}

TEST_F(StartupTest, PasswordStateIsReported) {
    platform.secrets.add("com.fernwick.pagemate", "app-password", "pw");
    const auto app = delegate(args({}), {});
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(log.contains("菜单栏就绪；密码已配置：true；辅助功能权限：已授权"));
}

TEST_F(StartupTest, ControllerStatusCallbackSetsTheStatusLineWhileTheDelegateLives) {
    auto app = delegate(args({}), {});
    app->applicationDidFinishLaunching();
    const auto callback = app->panelController()->onStatusChange;
    ASSERT_TRUE(callback);
    callback("正在同步对话历史…");
    EXPECT_EQ(app->statusLine(), "正在同步对话历史…");
    const auto& rows = platform.statusBar.items.at(0)->statusRows;
    EXPECT_EQ(rows.back(), "状态：正在同步对话历史…");
    // The callback holds the delegate weakly: once it is gone, nothing happens.
    const std::weak_ptr<AppDelegate> weak = app;
    app.reset();
    EXPECT_TRUE(weak.expired());
    // The status item went with the delegate: the call must not reach it (the sanitizer
    // run sees a touch of freed memory).
    callback("之后");
    EXPECT_EQ(platform.statusBar.items.size(), 1u);
}

// A meeting left by a process that ended while it recorded is saved by the next normal
// start, on a queue of its own; a self-test that ends start-up leaves it alone.
TEST_F(StartupTest, NormalStartSavesAnInterruptedMeeting) {
    const testing::MeetingFolders folders;
    const std::filesystem::path left = folders.tmp() / "pagemate-meeting-2025-03-07 14-05-09";
    std::filesystem::create_directories(left);
    testing::writeFile(left / "recording.lock", "");
    testing::writeFile(left / "mic.pcm",
                       RecordingFiles::toStoredBytes(std::vector<float>(24000, 0.25F)));
    testing::writeFile(left / "system.pcm", "");

    LaunchModes modes;
    modes.modes = {RunMode{"--recordtest", [](AppDelegate&) {}, false}};
    const auto probe = delegate(args({"--recordtest"}), std::move(modes));
    probe->applicationDidFinishLaunching();
    EXPECT_EQ(platform.serialQueues.latest("pagemate-recovery"), nullptr);

    const auto app = delegate(args({}), {});
    app->applicationDidFinishLaunching();
    const auto recovery = platform.serialQueues.latest("pagemate-recovery");
    ASSERT_NE(recovery, nullptr);
    EXPECT_TRUE(std::filesystem::exists(left));  // not on the main thread
    recovery->runAll();
    EXPECT_FALSE(std::filesystem::exists(left));
    EXPECT_TRUE(log.contains("会议录音：已恢复上次中断的录音 → " +
                             (folders.recordings() / "会议录音 2025-03-07 14-05-09.m4a").string()))
        << log.text();
}

TEST_F(StartupTest, WithoutADisplayEverythingRunsAndNothingShows) {
    Platform::current().windows = std::make_unique<UnavailableWindowSystem>();
    const auto app = delegate(args({}), {});
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(log.contains("界面：没有可用的显示器，窗口和提示框不可用"));
    PanelController& panel = *app->panelController();
    panel.show();
    EXPECT_FALSE(panel.window().isVisible());
    EXPECT_TRUE(log.contains("显示面板"));
    panel.handleMessage({{"action", "resize"}, {"height", 500}});
    panel.handleMessage({{"action", "insertText"}, {"text", "结论"}});
    platform.queue.advance(1s);
    EXPECT_TRUE(log.contains("收到插入请求：2 字"));
    panel.toggle();
    app->toggleChatWindow();
    EXPECT_FALSE(app->chatWindow()->isVisible());
    EXPECT_TRUE(std::ranges::any_of(log.messages(), [](const std::string& message) {
        return message.starts_with("大窗口加载：http");
    })) << log.text();
}

}  // namespace
}  // namespace pagemate
