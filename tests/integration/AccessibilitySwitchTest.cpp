// Asking for the accessibility permission turns the desktop's assistive-technologies
// switch on, in GSettings' memory backend here so that the test's desktop is untouched.

#include <gio/gio.h>

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "platform/Platform.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AtspiAccessibility.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate {
namespace {

TEST(AccessibilitySwitch, RequestTurnsToolkitAccessibilityOnOnce) {
    const testing::ScopedEnvironment memory("GSETTINGS_BACKEND", "memory");
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    GSettingsSchema* schema = source != nullptr ? g_settings_schema_source_lookup(
                                                      source, "org.gnome.desktop.interface", TRUE)
                                                : nullptr;
    if (schema == nullptr) {
        GTEST_SKIP() << "no org.gnome.desktop.interface schema on this machine";
    }
    g_settings_schema_unref(schema);
    const fake::FakePlatform platform;
    const testing::LogCapture log;
    const linux_backend::GObjectPtr<GSettings> settings(
        g_settings_new("org.gnome.desktop.interface"));
    g_settings_set_boolean(settings.get(), "toolkit-accessibility", FALSE);

    linux_backend::AtspiAccessibility accessibility(true, *Platform::current().mainQueue);
    accessibility.requestPermission();
    EXPECT_EQ(g_settings_get_boolean(settings.get(), "toolkit-accessibility"), TRUE);
    EXPECT_EQ(log.messages(), std::vector<std::string>{
                                  "辅助功能：已打开桌面的辅助技术开关（toolkit-accessibility），"
                                  "请重新打开 Notion 让它生效"});
    // Already on: nothing to do, nothing to say.
    accessibility.requestPermission();
    EXPECT_EQ(log.messages().size(), 1u);
}

}  // namespace
}  // namespace pagemate
