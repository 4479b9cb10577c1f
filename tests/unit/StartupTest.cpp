#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/RunModes.h"
#include "harness/MeetingFolders.h"
#include "harness/TestSupport.h"
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
    auto mode = [](std::string_view flag) { return RunMode{flag, [](AppDelegate&) {}, false}; };
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
    const std::pair<const char*, std::int64_t> given[] = {{"5", 5},
                                                          {"+5", 5},
                                                          {"-3", -3},
                                                          {"007", 7},
                                                          {"9223372036854775807", INT64_MAX},
                                                          {"-9223372036854775808", INT64_MIN}};
    for (const auto& [argument, minutes] : given) {
        EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", argument})), minutes) << argument;
    }
    for (const char* bad : {"9223372036854775808", "five", "5m", " 5", "5 ", "", "+", "-", "+-5",
                            "++5", "0x10", "1e3", "2.5", "--ttstest"}) {
        EXPECT_EQ(longRecordMinutes(args({"--longrecordtest", bad})), 60) << bad;
    }
    EXPECT_EQ(longRecordMinutes(args({"--longrecordtest"})), 60);
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
    platform.queue.advance(300ms);
    EXPECT_EQ(std::make_pair(selfTests, others), std::make_pair(1, 0));
    EXPECT_EQ(app->panelController(), nullptr);
    EXPECT_TRUE(platform.statusBar.items.empty());
}

TEST_F(StartupTest, NormalStartSaysItIsReadyAndDispatchesOneMode) {
    std::vector<std::string> ran;
    LaunchModes modes;
    modes.modes = {RunMode{"--recordtest", [&](AppDelegate&) { ran.emplace_back("record"); }},
                   RunMode{"--ttstest", [&](AppDelegate&) { ran.emplace_back("tts"); }}};
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const auto app = delegate(args({"--ttstest", "--recordtest"}), std::move(modes));
    app->applicationDidFinishLaunching();
    EXPECT_EQ(ran, std::vector<std::string>{"record"});
    EXPECT_TRUE(log.contains("菜单栏就绪；密码已配置：false；辅助功能权限：未授权"));
    // The status item is there with its menu, whose status row reads "未连接".
    ASSERT_EQ(platform.statusBar.items.size(), 1u);
    EXPECT_EQ(platform.statusBar.items[0]->statusRows, std::vector<std::string>{"状态：未连接"});
    // A mode that ends start-up: no permission prompt, no watch.
    platform.queue.advance(100s);
    EXPECT_EQ(platform.accessibility.permissionRequests, 0);

    platform.secrets.add("com.fernwick.pagemate", "app-password", "pw");
    platform.accessibility.status = {};
    delegate(args({}), {})->applicationDidFinishLaunching();
    EXPECT_TRUE(log.contains("菜单栏就绪；密码已配置：true；辅助功能权限：已授权"));
}

// A meeting left by a process that ended while it recorded is saved by the next normal
// start, on a queue of its own (the saving itself: the recorder's and the program's
// tests); a self-test that ends start-up leaves it alone.
TEST_F(StartupTest, OnlyANormalStartSavesAnInterruptedMeeting) {
    const testing::MeetingFolders folders;
    LaunchModes modes;
    modes.modes = {RunMode{"--recordtest", [](AppDelegate&) {}, false}};
    delegate(args({"--recordtest"}), std::move(modes))->applicationDidFinishLaunching();
    EXPECT_EQ(platform.serialQueues.latest("pagemate-recovery"), nullptr);
    delegate(args({}), {})->applicationDidFinishLaunching();
    EXPECT_NE(platform.serialQueues.latest("pagemate-recovery"), nullptr);
}

TEST_F(StartupTest, WithoutADisplayEverythingRunsAndNothingShows) {
    Platform::current().windows = std::make_unique<UnavailableWindowSystem>();
    const auto app = delegate(args({}), {});
    app->applicationDidFinishLaunching();
    EXPECT_TRUE(log.contains("界面：没有可用的显示器，窗口和提示框不可用"));
    PanelController& panel = *app->panelController();
    panel.show();
    EXPECT_FALSE(panel.window().isVisible());
    panel.handleMessage({{"action", "insertText"}, {"text", "结论"}});
    platform.queue.advance(1s);
    EXPECT_TRUE(log.contains("收到插入请求：2 字"));
    app->toggleChatWindow();
    EXPECT_FALSE(app->chatWindow()->isVisible());
}

}  // namespace
}  // namespace pagemate
