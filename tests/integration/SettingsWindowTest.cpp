// The settings window in GTK under Xvfb with openbox: real widgets, real keys and
// pointer clicks through XTest, real HTTP against the stand-in service.

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include <cmath>

#include "app/SettingsWindowController.h"
#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
// clang-format on
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>

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
    if (g_strcmp0(gtk_widget_get_name(widget), name) == 0) {
        return widget;
    }
    if (!GTK_IS_CONTAINER(widget)) {
        return nullptr;
    }
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    GtkWidget* found = nullptr;
    for (GList* child = children; child != nullptr && found == nullptr; child = child->next) {
        found = findNamed(GTK_WIDGET(child->data), name);
    }
    g_list_free(children);
    return found;
}

// The texts of every label under `widget`, in order.
void collectLabels(GtkWidget* widget, std::vector<std::string>& texts) {
    if (GTK_IS_LABEL(widget)) {
        texts.emplace_back(gtk_label_get_text(GTK_LABEL(widget)));
    }
    if (GTK_IS_CONTAINER(widget)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
        for (GList* child = children; child != nullptr; child = child->next) {
            collectLabels(GTK_WIDGET(child->data), texts);
        }
        g_list_free(children);
    }
}

class SettingsWindowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
        // One window manager for all the cases, as a desktop has.
        sharedDesktop = std::make_unique<testing::Desktop>();
    }
    static void TearDownTestSuite() { sharedDesktop.reset(); }
    static inline std::unique_ptr<testing::Desktop> sharedDesktop;

    SettingsWindowTest() {
        Platform::install(linux_backend::makeLinuxPlatform(true));
        Platform& platform = Platform::current();
        // The password comes from memory (the keyring has tests of its own) and the
        // permission line is fixed, so that the report reads the same everywhere.
        auto memorySecrets = std::make_unique<fake::MemorySecretStore>();
        secrets = memorySecrets.get();
        platform.secrets = std::move(memorySecrets);
        auto accessibility = std::make_unique<fake::ScriptedAccessibility>();
        accessibility->status = fake::ScriptedAccessibility::untrusted();
        platform.accessibility = std::move(accessibility);
        Settings::shared().setRuntimeBaseURL("");
    }
    ~SettingsWindowTest() override {
        controller.reset();
        Platform::uninstall();
    }

    void makeController() {
        controller = SettingsWindowController::create();
        controller->onSave = [this] { ++saves; };
        window = GTK_WINDOW(
            dynamic_cast<linux_backend::GtkSettingsWindow&>(controller->window()).widget());
    }

    GtkWidget* named(const char* name) const {
        GtkWidget* widget = findNamed(GTK_WIDGET(window), name);
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    // The space between the buttons' bottom and the window's.
    int bottomInset() const {
        GtkWidget* save = named("save");
        GtkAllocation allocation{};
        gtk_widget_get_allocation(save, &allocation);
        int x = 0;
        int bottom = 0;
        gtk_widget_translate_coordinates(save, GTK_WIDGET(window), 0, allocation.height, &x,
                                         &bottom);
        return gtk_widget_get_allocated_height(GTK_WIDGET(window)) - bottom;
    }
    std::string statusText() const { return gtk_label_get_text(GTK_LABEL(named("status"))); }

    // Shows the window and waits until it is on the screen with the keyboard focus.
    void showAndWaitForFocus() {
        controller->show();
        ASSERT_TRUE(testing::pumpUntil(
            [&] {
                return gtk_widget_get_mapped(GTK_WIDGET(window)) && gtk_window_is_active(window);
            },
            10s));
        testing::pumpUntil([] { return false; }, 200ms);  // drawn
    }

    // The window's content area on the root window, in GDK's coordinates.
    GdkRectangle contentArea() const {
        GdkRectangle area{};
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window)), &area.x, &area.y);
        area.width = gtk_widget_get_allocated_width(GTK_WIDGET(window));
        area.height = gtk_widget_get_allocated_height(GTK_WIDGET(window));
        return area;
    }

    // A pointer click in the middle of a widget, as the user makes it.
    void click(GtkWidget* widget) const {
        GtkAllocation allocation{};
        gtk_widget_get_allocation(widget, &allocation);
        int x = 0;
        int y = 0;
        gtk_widget_translate_coordinates(widget, GTK_WIDGET(window), allocation.width / 2,
                                         allocation.height / 2, &x, &y);
        const GdkRectangle area = contentArea();
        Display* display = desktop.display();
        XTestFakeMotionEvent(display, -1, area.x + x, area.y + y, CurrentTime);
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        XFlush(display);
    }

    void pressReturn() const {
        Display* display = desktop.display();
        const KeyCode key = XKeysymToKeycode(display, XK_Return);
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XFlush(display);
    }

    // Clicks "测试连接" and waits for the answer in the status text.
    std::string testConnection() {
        click(named("test"));
        EXPECT_TRUE(testing::pumpUntil([&] { return statusText() == "正在测试…"; }, 5s));
        EXPECT_TRUE(testing::pumpUntil([&] { return statusText() != "正在测试…"; }, 15s));
        return statusText();
    }

    testing::TempDir home;
    testing::ScopedEnvironment configHome{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    testing::ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    testing::StandInService service;
    testing::ScopedEnvironment server{"PGM_SERVER_URL", service.base().c_str()};
    testing::LogCapture log;
    testing::Desktop& desktop = *sharedDesktop;
    fake::MemorySecretStore* secrets = nullptr;
    std::shared_ptr<SettingsWindowController> controller;
    GtkWindow* window = nullptr;
    int saves = 0;
};

TEST_F(SettingsWindowTest, ControlsLoadFromSettingsAndSaveTheirMappedValues) {
    Settings& settings = Settings::shared();
    settings.setModel("deepseek-v4-pro");
    settings.setAgentMode("confirm");
    settings.setQuickBarFollowsCursor(false);
    settings.setArchiveConversations(true);
    // A window down the left side of the screen: the window manager would place a new
    // window in the free space beside it, unless the window asks for the centre.
    GtkWidget* obstacle = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(obstacle), 400, 900);
    gtk_window_move(GTK_WINDOW(obstacle), 0, 0);
    gtk_widget_show(obstacle);
    ASSERT_TRUE(testing::pumpUntil([&] { return gtk_widget_get_mapped(obstacle) == TRUE; }));
    makeController();
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(window)));
    showAndWaitForFocus();
    gtk_widget_destroy(obstacle);

    EXPECT_STREQ(gtk_window_get_title(window), "页伴 · 设置");
    EXPECT_FALSE(gtk_window_get_resizable(window));
    // 470 wide and at least 330 high: taller when the content needs it, as the theme's
    // controls do, so that nothing is cut off under the buttons' 20-point inset.
    const int height = gtk_widget_get_allocated_height(GTK_WIDGET(window));
    EXPECT_EQ(gtk_widget_get_allocated_width(GTK_WIDGET(window)), 470);
    EXPECT_GE(height, 330);
    EXPECT_EQ(bottomInset(), 20);
    // Centred on the screen.
    GdkRectangle monitor{};
    gdk_monitor_get_geometry(gdk_display_get_primary_monitor(gdk_display_get_default()), &monitor);
    const GdkRectangle area = contentArea();
    EXPECT_LE(std::abs(area.x + area.width / 2 - (monitor.x + monitor.width / 2)), 2);
    EXPECT_LE(std::abs(area.y + area.height / 2 - (monitor.y + monitor.height / 2)), 40);

    std::vector<std::string> labels;
    collectLabels(GTK_WIDGET(window), labels);
    EXPECT_EQ(labels, (std::vector<std::string>{
                          "服务器（固定）", service.base(), "默认模型", "默认执行模式",
                          "快速输入条位置", "快速输入条跟随光标出现（取消则固定在菜单栏图标下方）",
                          "对话历史", "对话自动存到 Notion（多设备可看、可搜索；菜单里能打开历史）",
                          "", "测试连接", "保存"}));
    GtkComboBox* model = GTK_COMBO_BOX(named("model"));
    GtkComboBox* mode = GTK_COMBO_BOX(named("mode"));
    GtkToggleButton* followsCursor = GTK_TOGGLE_BUTTON(named("followsCursor"));
    GtkToggleButton* archive = GTK_TOGGLE_BUTTON(named("archive"));
    EXPECT_EQ(gtk_combo_box_get_active(model), 2);
    EXPECT_EQ(gtk_combo_box_get_active(mode), 1);
    EXPECT_FALSE(gtk_toggle_button_get_active(followsCursor));
    EXPECT_TRUE(gtk_toggle_button_get_active(archive));
    const linux_backend::GCharPtr modelText(
        gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(model)));
    EXPECT_STREQ(modelText.get(), "deepseek-v4-pro（深度推理）");

    // The user picks other items and clicks both check boxes, then "保存".
    gtk_combo_box_set_active(model, 1);
    gtk_combo_box_set_active(mode, 2);
    click(GTK_WIDGET(followsCursor));
    click(GTK_WIDGET(archive));
    ASSERT_TRUE(testing::pumpUntil([&] {
        return gtk_toggle_button_get_active(followsCursor) &&
               !gtk_toggle_button_get_active(archive);
    }));
    EXPECT_EQ(settings.model(), "deepseek-v4-pro");  // nothing stored before the save
    click(named("save"));
    ASSERT_TRUE(testing::pumpUntil([&] { return saves == 1; }));
    EXPECT_EQ(settings.model(), "deepseek-chat");
    EXPECT_EQ(settings.agentMode(), "readonly");
    EXPECT_TRUE(settings.quickBarFollowsCursor());
    EXPECT_FALSE(settings.archiveConversations());
    EXPECT_EQ(statusText(), "已保存。");
    EXPECT_FALSE(gtk_widget_get_visible(GTK_WIDGET(window)));

    // Kept in the preferences file.
    const std::string stored =
        testing::readFile(home.path() / "config" / "pagemate" / "preferences.json");
    EXPECT_NE(stored.find("\"deepseek-chat\""), std::string::npos) << stored;
    EXPECT_NE(stored.find("\"readonly\""), std::string::npos) << stored;

    // An unknown stored model shows the first item; showing again drops unsaved changes.
    settings.setModel("gpt-4o");
    gtk_combo_box_set_active(mode, 0);
    showAndWaitForFocus();
    EXPECT_EQ(gtk_combo_box_get_active(model), 0);
    EXPECT_EQ(gtk_combo_box_get_active(mode), 2);
    // Closing only hides it.
    gtk_window_close(window);
    ASSERT_TRUE(testing::pumpUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(window)); }));
    EXPECT_FALSE(controller->window().isVisible());
    showAndWaitForFocus();
    EXPECT_TRUE(controller->window().isVisible());
    // The same window, controls and all: it still saves.
    click(named("save"));
    ASSERT_TRUE(testing::pumpUntil([&] { return saves == 2; }));
    EXPECT_EQ(Settings::shared().model(), "");
    EXPECT_EQ(service.countFor("/api/config"), 0u);
}

TEST_F(SettingsWindowTest, ReturnSavesHidesAndCallsOnSaveOnceWhereverTheFocusIs) {
    Settings& settings = Settings::shared();
    settings.setModel("");
    settings.setAgentMode("auto");
    makeController();
    showAndWaitForFocus();
    gtk_combo_box_set_active(GTK_COMBO_BOX(named("mode")), 1);
    pressReturn();
    ASSERT_TRUE(testing::pumpUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(window)); }));
    testing::pumpUntil([] { return false; }, 200ms);  // no second save comes after
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(statusText(), "已保存。");
    EXPECT_EQ(settings.agentMode(), "confirm");

    // Also with the focus on "测试连接" or on a check box: Return is the save key.
    for (const char* focused : {"test", "archive"}) {
        showAndWaitForFocus();
        gtk_widget_grab_focus(named(focused));
        ASSERT_EQ(gtk_window_get_focus(window), named(focused));
        pressReturn();
        ASSERT_TRUE(testing::pumpUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(window)); }))
            << focused;
    }
    EXPECT_EQ(saves, 3);
    EXPECT_EQ(service.countFor("/api/config"), 0u);
}

TEST_F(SettingsWindowTest, ComesToTheFrontOverAnotherProgramsWindow) {
    makeController();
    showAndWaitForFocus();
    const Window settingsWindow = GDK_WINDOW_XID(gtk_widget_get_window(GTK_WIDGET(window)));

    // The user works in another program's window, with clicks this program never sees,
    // then opens the settings from the menu: once while they are still open behind it,
    // once after closing them.
    const testing::StandInNotion notion(desktop);
    const auto clickIntoNotion = [&] {
        XWindowAttributes attributes{};
        XGetWindowAttributes(desktop.display(), notion.window(), &attributes);
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(desktop.display(), notion.window(),
                              DefaultRootWindow(desktop.display()), attributes.width / 2,
                              attributes.height / 2, &x, &y, &child);
        XTestFakeMotionEvent(desktop.display(), -1, x, y, CurrentTime);
        XTestFakeButtonEvent(desktop.display(), 1, True, CurrentTime);
        XTestFakeButtonEvent(desktop.display(), 1, False, CurrentTime);
        XSync(desktop.display(), False);
        return testing::pumpUntil([&] {
            return desktop.activeWindow() == notion.window() && !gtk_window_is_active(window);
        });
    };
    ASSERT_TRUE(clickIntoNotion());
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window)));
    controller->show();
    EXPECT_TRUE(testing::pumpUntil([&] { return gtk_window_is_active(window) == TRUE; }, 5s));
    EXPECT_EQ(desktop.activeWindow(), settingsWindow);

    gtk_window_close(window);
    ASSERT_TRUE(testing::pumpUntil([&] { return !gtk_widget_get_visible(GTK_WIDGET(window)); }));
    ASSERT_TRUE(clickIntoNotion());
    controller->show();
    EXPECT_TRUE(testing::pumpUntil([&] { return gtk_window_is_active(window) == TRUE; }, 5s));
    EXPECT_EQ(desktop.activeWindow(), settingsWindow);
}

TEST_F(SettingsWindowTest, ConnectionTestAgainstTheService) {
    secrets->add("com.fernwick.pagemate", "app-password", "s3cret");
    makeController();
    showAndWaitForFocus();

    service.answer("/api/config", 401, R"({"error":"unauthorized"})");
    gtk_combo_box_set_active(GTK_COMBO_BOX(named("model")), 2);
    EXPECT_EQ(testConnection(),
              "服务器要求访问密码，但本机没配。检查服务端 .env 里的 APP_PASSWORD。");
    // The choice was stored by the test, without a save.
    EXPECT_EQ(Settings::shared().model(), "deepseek-v4-pro");
    EXPECT_EQ(saves, 0);
    ASSERT_EQ(service.received().size(), 1u);
    const auto request = service.received().front();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/api/config");
    EXPECT_EQ(request.header("x-app-password"), "s3cret");

    // Every other answer's wording is the controller's (unit tests); over real HTTP: a
    // refused connection and a whole report.
    {
        const std::string closed = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
        const testing::ScopedEnvironment refusing("PGM_SERVER_URL", (closed + "/").c_str());
        EXPECT_EQ(testConnection(), "连不上 " + closed + "。请检查网络连接。");
    }

    service.answer("/api/config", 200, R"({"version":"1.2","ready":{"notion":true}})");
    const std::string report = testConnection();
    EXPECT_EQ(report,
              "连接正常（服务版本 1.2）。\n"
              "Notion：已连接\n"
              "DeepSeek：未配置 Key\n"
              "会议转写：不可用（没有安装本机语音模型）\n"
              "辅助功能权限：未授权（无法读取页面 / 粘贴回 Notion）");
    EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(window)));
    EXPECT_EQ(service.countFor("/api/config"), 2u);
}

// The status text as the user reads it: a five-line report laid out whole, the window
// grown with it; longer texts wrapped between words and cut after six lines.
TEST_F(SettingsWindowTest, StatusTextFitsTheWindow) {
    service.answer("/api/config", 200,
                   R"({"version":"1.2","ready":{"notion":true},"asr":{"localAvailable":false}})");
    makeController();
    showAndWaitForFocus();
    testConnection();
    GtkLabel* status = GTK_LABEL(named("status"));
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return pango_layout_get_line_count(gtk_label_get_layout(status)) == 5; }));
    EXPECT_FALSE(pango_layout_is_ellipsized(gtk_label_get_layout(status)));
    EXPECT_EQ(gtk_widget_get_allocated_width(GTK_WIDGET(window)), 470);
    // The window grew with the report: the buttons keep their inset.
    EXPECT_EQ(bottomInset(), 20);

    // The text wraps between words at 410 points and stops at six lines, however many
    // paragraphs it has; the window keeps the whole text.
    EXPECT_EQ(gtk_widget_get_allocated_width(GTK_WIDGET(status)), 410);
    const std::string words = std::string(40, 'x') + " " + std::string(40, 'y');
    controller->window().setStatusText(words);
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return pango_layout_get_line_count(gtk_label_get_layout(status)) == 2; }));
    EXPECT_EQ(pango_layout_get_line_readonly(gtk_label_get_layout(status), 1)->start_index, 41);
    std::string eightLines;
    for (int line = 1; line <= 8; ++line) {
        eightLines += "第 " + std::to_string(line) + " 行\n";
    }
    controller->window().setStatusText(eightLines + words);
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return pango_layout_get_line_count(gtk_label_get_layout(status)) == 6; }));
    EXPECT_EQ(std::string(gtk_label_get_text(status)),
              "第 1 行\n第 2 行\n第 3 行\n第 4 行\n第 5 行\n第 6 行…");
    EXPECT_EQ(controller->window().statusText(), eightLines + words);
    const std::string longWord(60, 'z');
    controller->window().setStatusText("1\n2\n3\n4\n5\n" + longWord + " " + longWord);
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return pango_layout_get_line_count(gtk_label_get_layout(status)) == 6; }));
    EXPECT_EQ(std::string(gtk_label_get_text(status)).substr(0, 10), "1\n2\n3\n4\n5\n");
    EXPECT_TRUE(std::string(gtk_label_get_text(status)).ends_with("z…"));
}

}  // namespace
}  // namespace pagemate
