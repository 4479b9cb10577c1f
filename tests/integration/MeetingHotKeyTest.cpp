// The meeting as a user meets it: the program under a window manager, Alt+Shift+M
// pressed through XTest, a sound server of the test's own.

#include <gtest/gtest.h>

// httplib before the X11 headers: X11 defines macros (Success, None) that clash with it.
#include "fixtures/StandInService.h"
#include "harness/ProgramRun.h"
// clang-format off
#include <gtk/gtk.h>
#include <X11/keysym.h>
#include "fixtures/DesktopSuite.h"
// clang-format on
#include "fixtures/PulseDaemon.h"
#include "harness/MeetingFolders.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

class MeetingHotKey : public testing::DesktopSuite {
  protected:
    const testing::MeetingFolders folders;
    const testing::ScopedEnvironment config{"XDG_CONFIG_HOME", (folders.home() / "config").c_str()};
    testing::StandInService service;
    const testing::ScopedEnvironment server{"PGM_SERVER_URL", service.base().c_str()};
};

// Alt+Shift+M shows the meeting window, whose page starts a meeting. Logging out during
// it ends the program cleanly, and the next start saves the meeting's sound.
TEST_F(MeetingHotKey, AMeetingFromTheHotKeyEndedByLogoutIsRecoveredAtTheNextStart) {
    const testing::PulseDaemon sound;
    ASSERT_TRUE(sound.running()) << sound.log();
    // A page that starts the meeting as soon as it has loaded.
    service.answer("/meeting", 200,
                   "<!doctype html><meta charset=\"utf-8\"><body><p>会议记录</p><script>"
                   "window.addEventListener('load', function () {"
                   "  window.PGM_HOST.post({ action: 'start' }); });</script>",
                   "text/html");
    std::filesystem::remove("/tmp/pagemate-app.log");
    {
        testing::ProgramRun program({}, folders.home() / "stdout");
        ASSERT_TRUE(testing::waitForLog("菜单栏就绪", program));
        ASSERT_TRUE(testing::logLines("注册全局热键失败").empty()) << "a hot key is not free";
        EXPECT_EQ(windowsTitled("会议记录"), 0u);
        testing::pressAsPerson(desktop->display(), {XK_Alt_L, XK_Shift_L, XK_m}, {150ms, false});
        ASSERT_TRUE(testing::pumpUntil([] { return windowsTitled("会议记录") == 1; }, 10s));
        // The page was asked for once the window first showed.
        ASSERT_TRUE(testing::pumpUntil([&] { return service.countFor("/meeting") == 1; }, 10s));
        ASSERT_TRUE(testing::waitForLog("系统声音采集：已启动", program))
            << testing::readFile("/tmp/pagemate-app.log");
        // More than the second a recording must last, of the sine on the microphone.
        testing::pumpUntil([] { return false; }, 2500ms);
        ASSERT_EQ(folders.meetingFolders().size(), 1U);
        EXPECT_TRUE(program.terminate()) << "no clean exit: " << program.status();
    }
    EXPECT_TRUE(folders.savedFiles().empty());
    ASSERT_EQ(folders.meetingFolders().size(), 1U);

    std::filesystem::remove("/tmp/pagemate-app.log");
    testing::ProgramRun next({}, folders.home() / "stdout-next");
    ASSERT_TRUE(testing::pumpUntil(
        [] { return !testing::logLines("会议录音：已恢复上次中断的录音").empty(); }, 20s))
        << testing::readFile("/tmp/pagemate-app.log");
    ASSERT_EQ(folders.savedFiles().size(), 1U);
    EXPECT_TRUE(folders.savedFiles()[0].filename().string().starts_with("会议录音 "));
    EXPECT_EQ(folders.savedFiles()[0].extension(), ".m4a");
    // Its raw folder goes once the line is written.
    EXPECT_TRUE(testing::pumpUntil([&] { return folders.meetingFolders().empty(); }, 5s));
    EXPECT_TRUE(next.terminate());
}

}  // namespace
}  // namespace pagemate
