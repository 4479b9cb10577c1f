// The settings window in GTK under Xvfb with openbox: real widgets, keys and pointer
// clicks through XTest, real HTTP against the stand-in service. The wording of every
// answer: tests/unit/SettingsWindowControllerTest.

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include "app/SettingsWindowController.h"
#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/DesktopSuite.h"
// clang-format on
#include <X11/keysym.h>

#include "platform/fake/MemorySecretStore.h"
#include "platform/fake/ScriptedDesktop.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/GtkSettingsWindow.h"
#include "platform/linux/LinuxPlatform.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;

// The descendant of `widget` with this widget name, or null.
GtkWidget* findNamed(GtkWidget* widget, const char* name) {
    GtkWidget* found = g_strcmp0(gtk_widget_get_name(widget), name) == 0 ? widget : nullptr;
    GList* children =
        GTK_IS_CONTAINER(widget) ? gtk_container_get_children(GTK_CONTAINER(widget)) : nullptr;
    for (GList* child = children; child != nullptr && found == nullptr; child = child->next) {
        found = findNamed(GTK_WIDGET(child->data), name);
    }
    g_list_free(children);
    return found;
}

class SettingsWindowTest : public testing::DesktopSuite {
  protected:
    SettingsWindowTest() {
        Platform::install(linux_backend::makeLinuxPlatform(true));
        Platform& platform = Platform::current();
        // The password from memory, the permission line fixed: the report reads the same
        // everywhere.
        platform.secrets = std::make_unique<fake::MemorySecretStore>();
        platform.secrets->add("com.fernwick.pagemate", "app-password", "s3cret");
        auto accessibility = std::make_unique<fake::ScriptedAccessibility>();
        accessibility->status = fake::ScriptedAccessibility::untrusted();
        platform.accessibility = std::move(accessibility);
        Settings::shared().setRuntimeBaseURL("");
        controller = SettingsWindowController::create();
        controller->onSave = [this] { ++saves; };
        window = GTK_WINDOW(
            dynamic_cast<linux_backend::GtkSettingsWindow&>(controller->window()).widget());
    }
    ~SettingsWindowTest() override {
        controller.reset();
        Platform::uninstall();
    }

    GtkWidget* named(const char* name) const {
        GtkWidget* widget = findNamed(GTK_WIDGET(window), name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    bool shown() const { return gtk_widget_get_visible(GTK_WIDGET(window)) == TRUE; }
    bool active() const { return gtk_window_is_active(window) == TRUE; }

    // Shows the window and waits until it is on the screen with the keyboard focus.
    void showAndWaitForFocus() {
        controller->show();
        ASSERT_TRUE(testing::pumpUntil(
            [&] { return gtk_widget_get_mapped(GTK_WIDGET(window)) && active(); }, 10s));
        testing::pumpUntil([] { return false; }, 200ms);  // drawn
    }

    // A pointer click in the middle of a widget, as the user makes it.
    void click(GtkWidget* widget) const {
        int x = 0;
        int y = 0;
        gtk_widget_translate_coordinates(widget, GTK_WIDGET(window),
                                         gtk_widget_get_allocated_width(widget) / 2,
                                         gtk_widget_get_allocated_height(widget) / 2, &x, &y);
        int originX = 0;
        int originY = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window)), &originX, &originY);
        testing::clickAt(desktop->display(), originX + x, originY + y);
    }

    testing::TempDir home;
    testing::ScopedEnvironment configHome{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    testing::ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    testing::StandInService service;
    testing::ScopedEnvironment server{"PGM_SERVER_URL", service.base().c_str()};
    testing::LogCapture log;
    std::shared_ptr<SettingsWindowController> controller;
    GtkWindow* window = nullptr;
    int saves = 0;
};

TEST_F(SettingsWindowTest, TheUserTestsTheConnectionChangesTheChoicesAndSavesThem) {
    Settings& settings = Settings::shared();
    settings.setModel("deepseek-v4-pro");
    settings.setAgentMode("confirm");
    settings.setQuickBarFollowsCursor(false);
    settings.setArchiveConversations(true);
    EXPECT_FALSE(shown());
    showAndWaitForFocus();
    EXPECT_STREQ(gtk_window_get_title(window), "页伴 · 设置");
    GtkComboBox* model = GTK_COMBO_BOX(named("model"));
    GtkComboBox* mode = GTK_COMBO_BOX(named("mode"));
    GtkToggleButton* followsCursor = GTK_TOGGLE_BUTTON(named("followsCursor"));
    GtkToggleButton* archive = GTK_TOGGLE_BUTTON(named("archive"));
    const linux_backend::GCharPtr modelText(
        gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(model)));
    EXPECT_STREQ(modelText.get(), "deepseek-v4-pro（深度推理）");
    EXPECT_EQ(gtk_combo_box_get_active(mode), 1);
    EXPECT_FALSE(gtk_toggle_button_get_active(followsCursor));
    EXPECT_TRUE(gtk_toggle_button_get_active(archive));

    // "测试连接": a whole report, asked with the stored password; shown whole, the window
    // grown with it so that nothing is cut off under the buttons.
    service.answer("/api/config", 200, R"({"version":"1.2","ready":{"notion":true}})");
    GtkLabel* status = GTK_LABEL(named("status"));
    click(named("test"));
    EXPECT_TRUE(testing::pumpUntil(
        [&] {
            return std::string(gtk_label_get_text(status)) ==
                   "连接正常（服务版本 1.2）。\nNotion：已连接\nDeepSeek：未配置 Key\n"
                   "会议转写：不可用（没有安装本机语音模型）\n"
                   "辅助功能权限：未授权（无法读取页面 / 粘贴回 Notion）";
        },
        15s))
        << gtk_label_get_text(status);
    EXPECT_EQ(service.received().at(0).header("x-app-password"), "s3cret");
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return pango_layout_get_line_count(gtk_label_get_layout(status)) == 5; }));
    EXPECT_FALSE(pango_layout_is_ellipsized(gtk_label_get_layout(status)));
    GtkWidget* save = named("save");
    int x = 0;
    int bottom = 0;
    gtk_widget_translate_coordinates(save, GTK_WIDGET(window), 0,
                                     gtk_widget_get_allocated_height(save), &x, &bottom);
    EXPECT_LE(bottom, gtk_widget_get_allocated_height(GTK_WIDGET(window)));

    // The user picks other items and clicks both check boxes, then "保存".
    gtk_combo_box_set_active(model, 1);
    gtk_combo_box_set_active(mode, 2);
    click(GTK_WIDGET(followsCursor));
    click(GTK_WIDGET(archive));
    ASSERT_TRUE(testing::pumpUntil([&] {
        return gtk_toggle_button_get_active(followsCursor) &&
               !gtk_toggle_button_get_active(archive);
    }));
    EXPECT_EQ(saves, 0);
    click(save);
    ASSERT_TRUE(testing::pumpUntil([&] { return saves == 1; }));
    EXPECT_EQ(settings.model(), "deepseek-chat");
    EXPECT_EQ(settings.agentMode(), "readonly");
    EXPECT_TRUE(settings.quickBarFollowsCursor());
    EXPECT_FALSE(settings.archiveConversations());
    EXPECT_FALSE(shown());

    // Opened from the menu while the user clicks in another program's window, it comes to
    // the front, whether it was closed or still open behind that window; closing hides it.
    const testing::StandInNotion notion(*desktop);
    for (const bool wasOpen : {false, true}) {
        XWindowAttributes attributes{};
        XGetWindowAttributes(desktop->display(), notion.window(), &attributes);
        Window child = 0;
        XTranslateCoordinates(desktop->display(), notion.window(),
                              DefaultRootWindow(desktop->display()), attributes.width / 2,
                              attributes.height / 2, &x, &bottom, &child);
        testing::clickAt(desktop->display(), x, bottom);
        ASSERT_TRUE(testing::pumpUntil(
            [&] { return desktop->activeWindow() == notion.window() && !active(); }));
        controller->show();
        EXPECT_TRUE(testing::pumpUntil([&] { return active(); }, 5s)) << wasOpen;
    }
    gtk_window_close(window);
    ASSERT_TRUE(testing::pumpUntil([&] { return !shown(); }));

    // Return saves wherever the focus is, the test button included.
    showAndWaitForFocus();
    gtk_widget_grab_focus(named("test"));
    testing::pressAsPerson(desktop->display(), {XK_Return}, {90ms});
    ASSERT_TRUE(testing::pumpUntil([&] { return !shown(); }));
    testing::pumpUntil([] { return false; }, 200ms);  // no second save comes after
    EXPECT_EQ(saves, 2);
    EXPECT_STREQ(gtk_label_get_text(status), "已保存。");
    EXPECT_EQ(service.countFor("/api/config"), 1u);
}

}  // namespace
}  // namespace pagemate
