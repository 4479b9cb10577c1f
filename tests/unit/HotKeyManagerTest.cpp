// The hot key manager on recorded hot keys and the virtual clock's main queue.

#include <gtest/gtest.h>

#include <algorithm>

#include "app/HotKeyManager.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using Outcome = HotKeyRegistration::Outcome;
constexpr std::uint32_t kOptionShift = HotKeyModifier::option | HotKeyModifier::shift;

HotKeyIdentifier ours(std::uint32_t id) {
    return HotKeyIdentifier{HotKeyManager::signature, id};
}

std::size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

class HotKeyManagerTest : public ::testing::Test {
  protected:
    // Counts the runs of the action it makes, and whether one ran inside a press.
    std::function<void()> counting(int& runs) {
        return [&runs, this] {
            ++runs;
            ranDuringPress = ranDuringPress || pressing;
        };
    }
    void press(std::uint32_t signature, std::uint32_t id) {
        pressing = true;
        platform.hotKeys.press(HotKeyIdentifier{signature, id});
        pressing = false;
    }

    fake::FakePlatform platform;
    testing::LogCapture log;
    HotKeyManager& manager = HotKeyManager::shared();
    bool pressing = false;
    bool ranDuringPress = false;
};

TEST_F(HotKeyManagerTest, RegistersUnderTheProgramsSignatureAfterInstallingOneHandler) {
    // "PGMI" read as one big-endian number.
    EXPECT_EQ(HotKeyManager::signature, (std::uint32_t{'P'} << 24U) | (std::uint32_t{'G'} << 16U) |
                                            (std::uint32_t{'M'} << 8U) | std::uint32_t{'I'});
    EXPECT_EQ(HotKeyManager::signature, 0x50474D49U);

    int runs = 0;
    manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, counting(runs));
    manager.registerHotKey(HotKeyCode::space, kOptionShift, 2, counting(runs));
    manager.registerHotKey(HotKeyCode::m, kOptionShift, 3, counting(runs));
    manager.registerHotKey(HotKeyCode::c, kOptionShift, 4, counting(runs));

    // One handler, installed before the first registration; every registration kept.
    const auto& calls = platform.hotKeys.calls;
    ASSERT_EQ(calls.size(), 5U);
    EXPECT_EQ(calls[0].what, "setPressHandler");
    EXPECT_EQ(platform.hotKeys.handlerInstalls(), 1);
    const std::vector<std::optional<HotKeyRef>> registrations = manager.registrations();
    ASSERT_EQ(registrations.size(), 4U);
    EXPECT_EQ(registrations[3], (HotKeyRef{HotKeyCode::c, kOptionShift, ours(4)}));
    EXPECT_TRUE(log.messages().empty());
}

TEST_F(HotKeyManagerTest, AFailureIsLoggedOnceLeavesAnEmptyEntryAndKeepsTheAction) {
    platform.hotKeys.fail(HotKeyCode::space, HotKeyModifier::option, Outcome::taken, 10,
                          "BadAccess");
    platform.hotKeys.fail(HotKeyCode::c, kOptionShift, Outcome::unavailable,
                          HotKeys::unavailableStatus);
    int first = 0;
    int second = 0;
    int fourth = 0;
    const HotKeyRegistration failed =
        manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, counting(first));
    manager.registerHotKey(HotKeyCode::space, kOptionShift, 2, counting(second));
    manager.registerHotKey(HotKeyCode::c, kOptionShift, 4, counting(fourth));

    EXPECT_EQ(failed.status, 10);
    const std::vector<std::string> expected = {"注册全局热键失败（id=1）：10",
                                               "注册全局热键失败（id=4）：-1"};
    EXPECT_EQ(log.messages(), expected);
    const auto registrations = manager.registrations();
    ASSERT_EQ(registrations.size(), 3U);
    EXPECT_FALSE(registrations[0].has_value());
    EXPECT_TRUE(registrations[1].has_value());
    EXPECT_FALSE(registrations[2].has_value());
    EXPECT_EQ(platform.hotKeys.handlerInstalls(), 1);

    // The action of a failed registration is kept all the same.
    press(HotKeyManager::signature, 1);
    platform.queue.runUntilIdle();
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(countOf(log.messages(), "注册全局热键失败（id=1）：10"), 1U);
}

TEST_F(HotKeyManagerTest, ActionsRunLaterFromTheMainQueueNeverInsideTheHandler) {
    int panel = 0;
    int meeting = 0;
    manager.registerHotKey(HotKeyCode::space, kOptionShift, 2, counting(panel));
    manager.registerHotKey(HotKeyCode::m, kOptionShift, 3, counting(meeting));

    press(HotKeyManager::signature, 2);
    EXPECT_EQ(panel, 0) << "the action ran inside the press handler";
    EXPECT_EQ(platform.queue.pendingCount(), 1U);
    platform.queue.runUntilIdle();
    EXPECT_EQ(panel, 1);
    EXPECT_EQ(meeting, 0);

    press(HotKeyManager::signature, 3);
    press(HotKeyManager::signature, 2);
    EXPECT_EQ(panel + meeting, 1);
    platform.queue.runUntilIdle();
    EXPECT_EQ(panel, 2);
    EXPECT_EQ(meeting, 1);
    EXPECT_FALSE(ranDuringPress);
}

TEST_F(HotKeyManagerTest, OtherProgramsPressesAndIdsWithoutAnActionDoNothing) {
    int runs = 0;
    manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, counting(runs));

    press(0x41424344, 1);  // another program's signature, our id
    EXPECT_EQ(platform.queue.pendingCount(), 0U);
    press(HotKeyManager::signature, 7);  // ours, but nothing stored under 7
    platform.queue.runUntilIdle();
    EXPECT_EQ(runs, 0);

    press(HotKeyManager::signature, 1);
    platform.queue.runUntilIdle();
    EXPECT_EQ(runs, 1);
}

TEST_F(HotKeyManagerTest, ARegisteredIdAgainKeepsBothRegistrationsAndRunsTheLatestAction) {
    int earlier = 0;
    int latest = 0;
    manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, counting(earlier));
    manager.registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1, counting(latest));

    EXPECT_EQ(manager.registrations().size(), 2U);
    EXPECT_EQ(platform.hotKeys.handlerInstalls(), 1);
    press(HotKeyManager::signature, 1);
    platform.queue.runUntilIdle();
    EXPECT_EQ(earlier, 0);
    EXPECT_EQ(latest, 1);
}

// The records go with the platform they were made on: a test's (or the program's)
// next platform starts with none and gets the handler on its first registration.
TEST(HotKeyManagerPlatform, ANewPlatformStartsAfresh) {
    int runs = 0;
    {
        const fake::FakePlatform first;
        HotKeyManager::shared().registerHotKey(HotKeyCode::space, HotKeyModifier::option, 1,
                                               [&runs] { ++runs; });
        EXPECT_EQ(HotKeyManager::shared().registrations().size(), 1U);
    }
    const fake::FakePlatform second;
    EXPECT_TRUE(HotKeyManager::shared().registrations().empty());
    HotKeyManager::shared().registerHotKey(HotKeyCode::m, kOptionShift, 3, [&runs] { runs += 10; });
    EXPECT_EQ(second.hotKeys.handlerInstalls(), 1);
    EXPECT_EQ(HotKeyManager::shared().registrations().size(), 1U);
    second.hotKeys.press(ours(1));  // the first platform's id means nothing here
    second.hotKeys.press(ours(3));
    second.queue.runUntilIdle();
    EXPECT_EQ(runs, 10);
}

}  // namespace
}  // namespace pagemate
