#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <ostream>

#include "app/AppDelegate.h"
#include "app/SingleInstance.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "platform/fake/ScriptedInstanceLink.h"

namespace pagemate {

// Names in the failure messages instead of bytes.
void PrintTo(InstanceAction action, std::ostream* out) {
    *out << (action == InstanceAction::activate ? "activate" : actionOption(action));
}

namespace {

using namespace std::chrono_literals;
using Claim = InstanceLink::Claim;
using Delivery = InstanceLink::Delivery;

std::vector<std::string> args(std::initializer_list<const char*> rest) {
    std::vector<std::string> result{"/usr/bin/pagemate"};
    result.insert(result.end(), rest.begin(), rest.end());
    return result;
}

std::vector<std::string> startsWith(const std::vector<std::string>& messages,
                                    std::string_view prefix) {
    std::vector<std::string> found;
    std::ranges::copy_if(messages, std::back_inserter(found),
                         [prefix](const std::string& line) { return line.starts_with(prefix); });
    return found;
}

TEST(LaunchRequest, ReadsTheActionOptionsAndTheSelfTestSwitches) {
    using enum InstanceAction;
    EXPECT_EQ(LaunchRequest::fromArguments(args({})).actions, std::vector<InstanceAction>{});
    EXPECT_EQ(LaunchRequest::fromArguments(args({"--meeting", "--quick-bar", "--chat", "--panel"}))
                  .actions,
              (std::vector<InstanceAction>{meeting, quickBar, chat, panel}));
    // Options after "--" are operands; look-alikes and the panel's start option are not actions.
    EXPECT_EQ(LaunchRequest::fromArguments(args({"--chat", "--", "--meeting"})).actions,
              std::vector<InstanceAction>{chat});
    EXPECT_EQ(
        LaunchRequest::fromArguments(args({"--show-panel", "--Meeting", "meeting", "-m"})).actions,
        std::vector<InstanceAction>{});
    EXPECT_FALSE(LaunchRequest::fromArguments(args({"--show-panel", "--meeting"})).selfTest);

    // Every switch of the program's table, and --selftest, runs in a process of its own.
    for (const char* flag : {"--meetinguitest", "--meetingtest", "--longrecordtest", "--recordtest",
                             "--ttstest", "--meetinglivetest", "--speechtest", "--quicktest",
                             "--activatetest", "--paneltest", "--selftest"}) {
        EXPECT_TRUE(LaunchRequest::fromArguments(args({"--meeting", flag})).selfTest) << flag;
    }
    EXPECT_EQ(actionOption(InstanceAction::quickBar), "--quick-bar");
    EXPECT_EQ(actionOption(InstanceAction::activate), "");
}

class SingleInstanceTest : public ::testing::Test {
  protected:
    // Starts with the arguments; what start-up later performs lands in `performed`.
    SingleInstance::Start start(std::initializer_list<const char*> options) {
        instance =
            std::make_unique<SingleInstance>(link, LaunchRequest::fromArguments(args(options)));
        return instance->start();
    }
    void finishStartup() {
        instance->startupFinished([this](InstanceAction action) { performed.push_back(action); });
    }

    fake::ScriptedInstanceLink link;
    testing::LogCapture log;
    std::unique_ptr<SingleInstance> instance;
    std::vector<InstanceAction> performed;
};

TEST_F(SingleInstanceTest, SecondStartHandsItsRequestOver) {
    using enum InstanceAction;
    link.claims = {{Claim::Outcome::taken, {}}};
    EXPECT_EQ(start({}), SingleInstance::Start::handedOver);
    EXPECT_EQ(link.claimedNames, std::vector<std::string>{"com.fernwick.pagemate"});
    // Without an action option the running instance is asked to show its panel.
    EXPECT_EQ(link.sent, std::vector<InstanceAction>{activate});
    EXPECT_EQ(instance->endMessage(), "页伴已在运行，已把请求交给它：打开助手面板");

    link.claims = {{Claim::Outcome::taken, {}}};
    link.sent.clear();
    EXPECT_EQ(start({"--meeting", "--quick-bar"}), SingleInstance::Start::handedOver);
    EXPECT_EQ(link.sent, (std::vector<InstanceAction>{meeting, quickBar}));
    EXPECT_EQ(instance->endMessage(),
              "页伴已在运行，已把请求交给它：会议记录窗口（显示/隐藏）、快速输入条（显示/隐藏）");
    // The log file is the running instance's: the start that hands over writes nothing.
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(SingleInstanceTest, AHolderThatEndedLeavesTheNameToTheNextStart) {
    using enum InstanceAction;
    // The holder was killed after the claim found the name taken: the first request
    // finds no one, the second claim gets the name.
    link.claims = {{Claim::Outcome::taken, {}}, {Claim::Outcome::primary, {}}};
    link.deliveries = {{Delivery::Outcome::ownerGone, "no owner"}};
    EXPECT_EQ(start({"--chat"}), SingleInstance::Start::primary);
    EXPECT_EQ(link.claimedNames.size(), 2u);
    // The own action waits for start-up and is then performed here.
    EXPECT_TRUE(performed.empty());
    finishStartup();
    EXPECT_EQ(performed, std::vector<InstanceAction>{chat});

    // One that goes after taking part of the request: the rest is sent to the next one.
    link.claims = {{Claim::Outcome::taken, {}}, {Claim::Outcome::taken, {}}};
    link.deliveries = {{Delivery::Outcome::delivered, {}}, {Delivery::Outcome::ownerGone, "gone"}};
    link.sent.clear();
    EXPECT_EQ(start({"--meeting", "--panel"}), SingleInstance::Start::handedOver);
    EXPECT_EQ(link.sent, (std::vector<InstanceAction>{meeting, panel, panel}));

    // A name that keeps changing hands is given up after a few tries.
    link.claims = {{Claim::Outcome::taken, {}},
                   {Claim::Outcome::taken, {}},
                   {Claim::Outcome::taken, {}},
                   {Claim::Outcome::taken, {}}};
    link.deliveries = {{Delivery::Outcome::ownerGone, "gone 1"},
                       {Delivery::Outcome::ownerGone, "gone 2"},
                       {Delivery::Outcome::ownerGone, "gone 3"}};
    link.sent.clear();
    EXPECT_EQ(start({}), SingleInstance::Start::notAnswered);
    EXPECT_EQ(link.sent.size(), 3u);
    EXPECT_EQ(instance->endMessage(), "页伴已在运行，但没有接受请求（打开助手面板）：gone 3");
}

TEST_F(SingleInstanceTest, AHolderThatDoesNotAnswerEndsTheStartWithItsReason) {
    link.claims = {{Claim::Outcome::taken, {}}};
    link.deliveries = {{Delivery::Outcome::failed, "Timeout was reached"}};
    EXPECT_EQ(start({"--meeting"}), SingleInstance::Start::notAnswered);
    EXPECT_EQ(link.claimedNames.size(), 1u);
    EXPECT_EQ(instance->endMessage(),
              "页伴已在运行，但没有接受请求（会议记录窗口（显示/隐藏））：Timeout was reached");
}

TEST_F(SingleInstanceTest, RequestsWaitUntilStartUpHasBuiltTheWindows) {
    using enum InstanceAction;
    EXPECT_EQ(start({"--meeting"}), SingleInstance::Start::primary);
    ASSERT_TRUE(link.handler);
    // Two later starts while this one still starts.
    link.arrive(quickBar);
    link.arrive(activate);
    EXPECT_TRUE(performed.empty());
    EXPECT_TRUE(log.messages().empty());

    finishStartup();
    // Its own option first, then the others in the order they came.
    EXPECT_EQ(performed, (std::vector<InstanceAction>{meeting, quickBar, activate}));
    EXPECT_EQ(startsWith(log.messages(), "单实例："),
              (std::vector<std::string>{
                  "单实例：已在会话总线上登记为 com.fernwick.pagemate，再次启动 pagemate "
                  "会把请求交给本实例",
                  "单实例：启动参数请求 → 会议记录窗口（显示/隐藏）",
                  "单实例：另一次启动或桌面动作请求 → 快速输入条（显示/隐藏）",
                  "单实例：另一次启动或桌面动作请求 → 打开助手面板"}));

    // Once started, a request is performed as it comes.
    link.arrive(chat);
    EXPECT_EQ(performed.back(), chat);
    EXPECT_EQ(log.messages().back(), "单实例：另一次启动或桌面动作请求 → 大窗口（显示/隐藏）");
    EXPECT_EQ(link.sent, std::vector<InstanceAction>{});

    // Gone with its instance, it takes no more requests.
    instance.reset();
    EXPECT_FALSE(link.handler);
}

TEST_F(SingleInstanceTest, WithoutASessionBusTheProgramRunsAloneAndSaysWhyOnce) {
    link.claims = {{Claim::Outcome::noSessionBus, "Unknown or unsupported transport"}};
    EXPECT_EQ(start({"--panel"}), SingleInstance::Start::alone);
    EXPECT_TRUE(link.sent.empty());
    finishStartup();
    EXPECT_EQ(performed, std::vector<InstanceAction>{InstanceAction::panel});
    const auto notes = startsWith(log.messages(), "单实例：无法保证只运行一个页伴");
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0],
              "单实例：无法保证只运行一个页伴（没有 D-Bus 会话总线：Unknown or unsupported "
              "transport），本次按独立实例运行：再次启动会多出一个托盘图标和一组热键，--quick-bar "
              "等动作选项也到不了这里");

    link.claims = {{Claim::Outcome::refused, "Connection is not allowed to own the service"}};
    EXPECT_EQ(start({}), SingleInstance::Start::alone);
    finishStartup();
    EXPECT_TRUE(
        log.contains("单实例：无法保证只运行一个页伴（会话总线不给 com.fernwick.pagemate "
                     "这个名字：Connection is not allowed to own the service），本次按独立"
                     "实例运行：再次启动会多出一个托盘图标和一组热键，--quick-bar "
                     "等动作选项也到不了这里"));
}

TEST_F(SingleInstanceTest, SelfTestStartsNeverMeetTheRunningInstance) {
    link.held = true;
    EXPECT_EQ(start({"--meeting", "--recordtest"}), SingleInstance::Start::besideRunning);
    EXPECT_EQ(link.askedNames, std::vector<std::string>{"com.fernwick.pagemate"});
    EXPECT_TRUE(link.claimedNames.empty());
    EXPECT_TRUE(link.sent.empty());
    EXPECT_FALSE(link.handler);
    finishStartup();
    EXPECT_TRUE(performed.empty());
    EXPECT_TRUE(log.messages().empty());
}

// What each request does in the running program: the hot key's or the menu's command,
// and "activate" shows the panel without ever hiding it.
TEST(AppDelegateActions, EachRequestDoesWhatItsHotKeyDoes) {
    const testing::ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    fake::FakePlatform platform;
    const testing::LogCapture log;
    const auto app = AppDelegate::create(args({}), {});
    app->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
    app->panelResolverConfig.localBase = "http://127.0.0.1:1";
    app->applicationDidFinishLaunching();

    PanelWindow& panel = app->panelController()->window();
    ASSERT_FALSE(panel.isVisible());
    app->performAction(InstanceAction::activate);
    EXPECT_TRUE(panel.isVisible());
    app->performAction(InstanceAction::activate);
    EXPECT_TRUE(panel.isVisible());
    app->performAction(InstanceAction::panel);
    EXPECT_FALSE(panel.isVisible());
    app->performAction(InstanceAction::panel);
    EXPECT_TRUE(panel.isVisible());

    EXPECT_FALSE(app->chatWindow()->isVisible());
    app->performAction(InstanceAction::chat);
    EXPECT_TRUE(app->chatWindow()->isVisible());
    app->performAction(InstanceAction::chat);
    EXPECT_FALSE(app->chatWindow()->isVisible());

    PanelWindow& meeting = app->meetingController()->window();
    app->performAction(InstanceAction::meeting);
    EXPECT_TRUE(meeting.isVisible());
    app->performAction(InstanceAction::meeting);
    EXPECT_FALSE(meeting.isVisible());

    PanelWindow& quickBar = app->quickBar()->window();
    app->performAction(InstanceAction::quickBar);
    platform.queue.runUntil([&] { return quickBar.isVisible(); }, 5s);
    EXPECT_TRUE(quickBar.isVisible());
}

}  // namespace
}  // namespace pagemate
