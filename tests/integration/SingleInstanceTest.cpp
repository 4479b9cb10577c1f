// One Pagemate per session, as a user meets it: the real program started again and
// again on a session bus of the test's own (a dbus-daemon), on the virtual display
// under a window manager. A second start hands its request to the first and ends; the
// first logs it and does it.

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <optional>
#include <sstream>
#include <thread>

#include "base/AppLog.h"
#include "diagnostics/MeetingEnvironment.h"
#include "fixtures/StatusWatcher.h"
#include "harness/ProgramRun.h"
#include "platform/linux/GDBusConnections.h"
// clang-format off
#include <gtk/gtk.h>
#include "fixtures/DesktopSuite.h"
// clang-format on

namespace pagemate {
namespace {

using namespace std::chrono_literals;

constexpr const char* kFromElsewhere = "单实例：另一次启动或桌面动作请求 → ";

class SingleInstanceProgram : public testing::DesktopSuite {
  protected:
    [[nodiscard]] std::filesystem::path output(const std::string& name) const {
        return home.path() / (name + ".out");
    }
    [[nodiscard]] std::filesystem::path errors(const std::string& name) const {
        return home.path() / (name + ".err");
    }

    // Starts the program with the options and waits for it to end, the test's main loop
    // (its tray watcher) running meanwhile; its exit status.
    int runToEnd(const std::vector<std::string>& options, const std::string& name) {
        testing::ProgramRun run(options, output(name), errors(name));
        EXPECT_TRUE(run.started());
        EXPECT_TRUE(testing::pumpUntil([&] { return !run.running(); }, 20s))
            << name << " did not end";
        return run.status();
    }

    // The messages of a run's log that start with the prefix, read from its error stream,
    // where every line of the log goes too: the log file's fixed path is shared with
    // every other run of the program on the machine, and a self-test starts it anew.
    [[nodiscard]] std::vector<std::string> lines(const std::string& name,
                                                 const std::string& prefix) const {
        return testing::logLines(prefix, errors(name));
    }

    // Whether the run logs at least `count` lines starting with the prefix within 20 s.
    bool waitForLines(const std::string& name, const std::string& prefix, std::size_t count,
                      testing::ProgramRun& run) const {
        return testing::waitForLog(prefix, run, count, errors(name), /*runMainLoop=*/true);
    }

    testing::TempDir home;
    const testing::ScopedEnvironment data{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    // Nothing listens on the discard port: the windows show their failure pages at once.
    const testing::ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:9"};
    const testing::ScopedEnvironment x11{"XDG_SESSION_TYPE", "x11"};
    const testing::ScopedEnvironment noWayland{"WAYLAND_DISPLAY", nullptr};
    const testing::PrivateSessionBus bus;
};

TEST_F(SingleInstanceProgram, ASecondStartHandsOverAndEveryActionReachesTheFirst) {
    const testing::StatusWatcher tray;
    testing::ProgramRun first({}, output("first"), errors("first"));
    ASSERT_TRUE(waitForLines("first", "菜单栏就绪", 1, first));
    ASSERT_TRUE(testing::pumpUntil([&] { return tray.registrations().size() == 1; }));
    EXPECT_EQ(windowsTitled("页伴"), 0u);

    // A self-test run beside it (the README's advice when something is wrong) is a process
    // of its own that leaves the running one's log, tray item and hot keys alone; its own
    // lines go to its error stream. The meeting-environment report builds the windows as a
    // normal start does.
    const std::string firstLog = testing::readFile(AppLog::path);
    ASSERT_NE(firstLog.find("菜单栏就绪"), std::string::npos);
    std::filesystem::remove(MeetingEnvironment::reportPath);
    EXPECT_EQ(runToEnd({"--meetingtest"}, "selftest"), 0);
    EXPECT_TRUE(std::filesystem::exists(MeetingEnvironment::reportPath));
    testing::pumpUntil([] { return false; }, 500ms);
    EXPECT_EQ(tray.registrations().size(), 1u);
    const std::string log = testing::readFile(AppLog::path);
    EXPECT_TRUE(log.starts_with(firstLog) && log.find("--meetingtest") == std::string::npos) << log;
    EXPECT_EQ(lines("selftest", "自检：页伴已在运行，本次不建托盘图标、不注册热键").size(), 1u);
    EXPECT_TRUE(lines("selftest", "全局热键").empty() && lines("selftest", "注册全局热键").empty());
    EXPECT_EQ(lines("first", "单实例：").size(), 1u) << "something was handed to the first";
    // A report that cannot be written fails the run, in one line.
    std::filesystem::remove(MeetingEnvironment::reportPath);
    std::filesystem::create_directory(MeetingEnvironment::reportPath);
    EXPECT_EQ(runToEnd({"--meetingtest"}, "unwritten"), 1);
    std::filesystem::remove(MeetingEnvironment::reportPath);
    EXPECT_EQ(lines("unwritten", "自检：报告写不进 ").size(), 1u)
        << testing::readFile(errors("unwritten"));

    // Started again without options: the first shows its panel (and keeps it shown when
    // asked again), the second ends with 0 having built nothing: it ended before the
    // display, the tray item and the hot keys, and wrote nothing into the log.
    EXPECT_EQ(runToEnd({}, "second"), 0);
    EXPECT_EQ(testing::readFile(errors("second")), "页伴已在运行，已把请求交给它：打开助手面板\n");
    EXPECT_EQ(runToEnd({}, "third"), 0);
    ASSERT_TRUE(waitForLines("first", std::string(kFromElsewhere) + "打开助手面板", 2, first));
    EXPECT_TRUE(testing::pumpUntil([] { return windowsTitled("页伴") == 1; }));

    // Each action option does what its hot key does. The quick bar's window is not
    // counted: away from Notion it shows and hides on its own timings.
    const std::tuple<const char*, const char*, const char*, std::optional<std::size_t>> actions[] =
        {
            {"--panel", "完整助手面板（显示/隐藏）", "页伴", 0},
            {"--meeting", "会议记录窗口（显示/隐藏）", "会议记录", 1},
            {"--chat", "大窗口（显示/隐藏）", "页伴", 1},
            {"--quick-bar", "快速输入条（显示/隐藏）", "页伴", std::nullopt},
        };
    for (const auto& [option, request, title, windows] : actions) {
        EXPECT_EQ(runToEnd({option}, option), 0);
        EXPECT_TRUE(waitForLines("first", std::string(kFromElsewhere) + request, 1, first));
        if (windows) {
            EXPECT_TRUE(testing::pumpUntil([title = title, windows = *windows] {
                return windowsTitled(title) == windows;
            })) << option;
        }
    }
    // The desktop's way to an action (a launcher's or a shortcut's command); an action
    // the program does not have is refused.
    EXPECT_EQ(std::system("gapplication action com.fernwick.pagemate meeting"), 0);
    EXPECT_TRUE(testing::pumpUntil([] { return windowsTitled("会议记录") == 0; }));
    EXPECT_NE(std::system("gapplication action com.fernwick.pagemate quit 2>/dev/null"), 0);
    EXPECT_TRUE(first.terminate());
}

TEST_F(SingleInstanceProgram, RequestsDuringTheFirstStartUpAreKeptUntilItIsDone) {
    std::string why;
    const auto observer = linux_backend::connectToBus(bus.address(), why);
    ASSERT_TRUE(observer) << why;
    testing::ProgramRun first({"--meeting"}, output("first"), errors("first"));
    // The first holds the name before it builds anything; held still there (stopped) it is
    // a start-up that takes its time.
    const auto nameOwned = [&] {
        const linux_backend::GVariantPtr reply(g_dbus_connection_call_sync(
            observer.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", g_variant_new("(s)", "com.fernwick.pagemate"), G_VARIANT_TYPE("(b)"),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr));
        gboolean owned = FALSE;
        if (reply) {
            g_variant_get(reply.get(), "(b)", &owned);
        }
        return owned == TRUE;
    };
    ASSERT_TRUE(testing::pumpUntil([&] { return nameOwned() || !first.running(); }, 20s));
    ASSERT_EQ(::kill(first.pid(), SIGSTOP), 0);
    testing::ProgramRun second({"--chat"}, output("second"), errors("second"));
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(second.running()) << "the second start did not wait for the first";
    ASSERT_EQ(::kill(first.pid(), SIGCONT), 0);
    ASSERT_TRUE(second.waitForExit(20s));
    EXPECT_EQ(second.status(), 0);

    // The first's own option, then the request that came during its start-up.
    ASSERT_TRUE(
        waitForLines("first", std::string(kFromElsewhere) + "大窗口（显示/隐藏）", 1, first));
    EXPECT_EQ(
        lines("first", "单实例："),
        (std::vector<std::string>{"单实例：已在会话总线上登记为 com.fernwick.pagemate，再次启动 "
                                  "pagemate 会把请求交给本实例",
                                  "单实例：启动参数请求 → 会议记录窗口（显示/隐藏）",
                                  std::string(kFromElsewhere) + "大窗口（显示/隐藏）"}));
    EXPECT_TRUE(testing::pumpUntil([] { return windowsTitled("会议记录") == 1; }));
    EXPECT_TRUE(first.terminate());
}

}  // namespace
}  // namespace pagemate
