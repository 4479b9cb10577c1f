// The window system on a GDK display that is not an X one: GTK's Broadway backend and
// its broadwayd. Releases cannot be watched there; the log says why once.

// GoogleTest before Xlib, whose None macro its names would meet.
#include <gtest/gtest.h>

#include <gdk/gdkx.h>
#include <gtk/gtk.h>

#include "fixtures/ChildProcess.h"
#include "fixtures/StatusWatcher.h"
#include "platform/linux/GtkWindowSystem.h"

namespace pagemate {
namespace {

TEST(MouseUpsElsewhere, OnADisplayThatIsNotX11TheLogSaysWhyOnceAndNothingIsTold) {
    const testing::TempDir runtime;
    const testing::ScopedEnvironment runtimeDir("XDG_RUNTIME_DIR", runtime.path().c_str());
    const testing::ScopedEnvironment backend("GDK_BACKEND", "broadway");
    const testing::ChildProcess server(
        {"broadwayd", "--unixsocket", (runtime.path() / "web.socket").string(), ":5"});
    // Its socket has no name in the file system: tried until it answers.
    GdkDisplay* opened = nullptr;
    ASSERT_TRUE(testing::runMainLoopUntil(
        [&] { return (opened = gdk_display_open(":5")) != nullptr || !server.running(); }));
    ASSERT_NE(opened, nullptr) << "broadwayd did not start";
    gdk_display_manager_set_default_display(gdk_display_manager_get(), opened);
    ASSERT_FALSE(GDK_IS_X11_DISPLAY(gdk_display_get_default()));

    const testing::LogCapture log;
    linux_backend::GtkWindowSystem windows;
    int told = 0;
    windows.setMouseUpObserver([&](double, double) { ++told; });
    windows.setMouseUpObserver(nullptr);
    windows.setMouseUpObserver([&](double, double) { ++told; });
    testing::runMainLoopFor(std::chrono::milliseconds(200));
    EXPECT_EQ(
        log.messages(),
        std::vector<std::string>{
            "界面：无法监听全局的鼠标松开（the display is not an X11 one (GdkBroadwayDisplay)）"});
    EXPECT_EQ(told, 0);
}

}  // namespace
}  // namespace pagemate
