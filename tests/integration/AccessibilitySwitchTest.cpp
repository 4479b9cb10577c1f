// Asking for the accessibility permission turns the desktop's assistive-technologies
// switch on, and says so only when the settings store kept it (dconf without a session
// bus loses it). One process a case: GSettings picks its backend once per process.

#include <gio/gio.h>

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "platform/Platform.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate {
namespace {

void requestTwice(const char* backend, const char* sessionBus, const std::string& firstLine,
                  gboolean stored) {
    const testing::TempDir home;
    const testing::ScopedEnvironment backendChoice("GSETTINGS_BACKEND", backend);
    const testing::ScopedEnvironment config("XDG_CONFIG_HOME", home.path().c_str());
    const testing::ScopedEnvironment runtime("XDG_RUNTIME_DIR", home.path().c_str());
    const testing::ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", sessionBus);
    const fake::FakePlatform platform;
    const testing::LogCapture log;
    const linux_backend::GObjectPtr<GSettings> settings(
        g_settings_new("org.gnome.desktop.interface"));
    ASSERT_EQ(g_settings_get_boolean(settings.get(), "toolkit-accessibility"), FALSE);

    linux_backend::AtspiAccessibility accessibility(true, *Platform::current().mainQueue);
    accessibility.requestPermission();
    EXPECT_EQ(g_settings_get_boolean(settings.get(), "toolkit-accessibility"), stored);
    ASSERT_EQ(log.messages().size(), 1u);
    EXPECT_TRUE(log.messages()[0].starts_with(firstLine)) << log.messages()[0];
    // Already on: nothing to do, nothing to say. Still off: the user is told again.
    accessibility.requestPermission();
    EXPECT_EQ(log.messages().size(), stored == TRUE ? 1u : 2u);
}

TEST(AccessibilitySwitch, MemoryStoreKeepsTheSwitch) {
    requestTwice("memory", nullptr,
                 "辅助功能：已打开桌面的辅助技术开关（toolkit-accessibility），请重新打开 Notion "
                 "让它生效",
                 TRUE);
}

TEST(AccessibilitySwitch, DconfWithoutSessionBusLosesTheSwitch) {
    requestTwice("dconf", "disabled:",
                 "辅助功能：没能打开桌面的辅助技术开关（toolkit-accessibility 没有保存：", FALSE);
}

}  // namespace
}  // namespace pagemate
