// One instance per session on a scripted link: the races and refusals a real bus shows
// only by chance; the rest on the real program (tests/integration/SingleInstanceTest).

#include <gtest/gtest.h>

#include <algorithm>

#include "app/SingleInstance.h"
#include "harness/TestSupport.h"
#include "platform/fake/ScriptedInstanceLink.h"

namespace pagemate {
namespace {

using Claim = InstanceLink::Claim;
using Delivery = InstanceLink::Delivery;
using Start = SingleInstance::Start;
using enum InstanceAction;

std::vector<std::string> args(std::initializer_list<const char*> rest) {
    std::vector<std::string> result{"/usr/bin/pagemate"};
    result.insert(result.end(), rest.begin(), rest.end());
    return result;
}

TEST(LaunchRequest, ReadsTheActionOptionsAndTheSelfTestSwitches) {
    const std::vector<std::pair<std::vector<std::string>, std::vector<InstanceAction>>> cases = {
        {args({"--meeting", "--quick-bar", "--chat", "--panel"}), {meeting, quickBar, chat, panel}},
        // Options after "--" are operands; look-alikes and the panel's start option are not.
        {args({"--chat", "--", "--meeting"}), {chat}},
        {args({"--show-panel", "--Meeting", "meeting", "-m"}), {}},
    };
    for (const auto& [arguments, actions] : cases) {
        EXPECT_EQ(LaunchRequest::fromArguments(arguments).actions, actions) << arguments.back();
        EXPECT_FALSE(LaunchRequest::fromArguments(arguments).selfTest);
    }
    // The program's test switches, and --selftest, run in a process of their own.
    for (const char* flag : {"--meetingtest", "--quicktest", "--paneltest", "--selftest"}) {
        EXPECT_TRUE(LaunchRequest::fromArguments(args({"--meeting", flag})).selfTest) << flag;
    }
}

TEST(SingleInstanceTest, EachAnswerOfTheBusEndsTheStartItsWay) {
    struct Case {
        std::deque<Claim> claims;
        std::deque<Delivery> deliveries;
        std::initializer_list<const char*> options;
        Start start;
        std::vector<InstanceAction> sent;
        std::vector<InstanceAction> performedHere{};  // primary, alone: after start-up
        std::string endMessage{};                     // handedOver, notAnswered
    };
    using enum SingleInstance::Start;
    const Claim taken{Claim::Outcome::taken, {}};
    const Claim claimed{Claim::Outcome::primary, {}};
    const Delivery took{Delivery::Outcome::delivered, {}};
    const Delivery gone{Delivery::Outcome::ownerGone, "gone"};
    const Case cases[] = {
        // The holder ended after the claim found the name taken: the next claim gets it.
        {{taken, claimed}, {gone}, {"--chat"}, primary, {chat}, {chat}},
        // One that goes after taking part of the request: the rest goes to the next one.
        {{taken, taken}, {took, gone}, {"--chat", "--panel"}, handedOver, {chat, panel, panel}},
        // A name that keeps changing hands is given up after a few tries.
        {{taken, taken, taken, taken},
         {gone, gone, {Delivery::Outcome::ownerGone, "gone 3"}},
         {},
         notAnswered,
         {activate, activate, activate},
         {},
         "页伴已在运行，但没有接受请求（打开助手面板）：gone 3"},
        {{taken},
         {{Delivery::Outcome::failed, "Timeout was reached"}},
         {"--meeting"},
         notAnswered,
         {meeting},
         {},
         "页伴已在运行，但没有接受请求（会议记录窗口（显示/隐藏））：Timeout was reached"},
        {{{Claim::Outcome::refused, "refused"}}, {}, {"--panel"}, alone, {}, {panel}},
    };
    std::vector<std::string> lastLog;  // of the last case: the refused name
    for (const Case& given : cases) {
        fake::ScriptedInstanceLink link;
        const testing::LogCapture log;
        link.claims = given.claims;
        link.deliveries = given.deliveries;
        SingleInstance instance(link, LaunchRequest::fromArguments(args(given.options)));
        const Start start = instance.start();
        const std::string name = given.endMessage + " " + std::to_string(given.sent.size());
        EXPECT_EQ(start, given.start) << name;
        EXPECT_EQ(link.sent, given.sent) << name;
        if (!given.endMessage.empty()) {
            EXPECT_EQ(instance.endMessage(), given.endMessage);
        }
        std::vector<InstanceAction> performed;
        if (start == primary || start == alone) {
            instance.startupFinished([&](InstanceAction action) { performed.push_back(action); });
        }
        lastLog = log.messages();
        EXPECT_EQ(performed, given.performedHere) << name;
    }
    // Why there is no single instance is said once (without a bus: the program's test).
    EXPECT_EQ(
        std::ranges::count(lastLog,
                           "单实例：无法保证只运行一个页伴（会话总线不给 "
                           "com.fernwick.pagemate 这个名字：refused），本次按独立实例运行：再次启动"
                           "会多出一个托盘图标和一组热键，--quick-bar 等动作选项也到不了这里"),
        1);
}

}  // namespace
}  // namespace pagemate
