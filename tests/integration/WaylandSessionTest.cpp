// The program in a Wayland session: Debian's weston (headless, with XWayland) and
// xdg-desktop-portal, with a GlobalShortcuts backend of the test's own.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <fstream>
#include <optional>
#include <thread>

#include "fixtures/StandInService.h"
#include "harness/ProgramRun.h"
// clang-format off
#include "fixtures/Desktop.h"
#include "fixtures/NotificationService.h"
#include "fixtures/StatusWatcher.h"
#include <X11/Xatom.h>
// clang-format on

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using Shortcuts = std::vector<std::array<std::string, 3>>;  // id, description, trigger

constexpr const char* kPortalXml = R"xml(
<node>
  <interface name="org.freedesktop.impl.portal.GlobalShortcuts">
    <method name="CreateSession">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="s" name="app_id" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="BindShortcuts">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="a(sa{sv})" name="shortcuts" direction="in"/>
      <arg type="s" name="parent_window" direction="in"/>
      <arg type="a{sv}" name="options" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
    <method name="ListShortcuts">
      <arg type="o" name="handle" direction="in"/>
      <arg type="o" name="session_handle" direction="in"/>
      <arg type="u" name="response" direction="out"/>
      <arg type="a{sv}" name="results" direction="out"/>
    </method>
  </interface>
</node>)xml";

// A GlobalShortcuts backend (answering on the main loop) behind the real frontend, which
// finds it by a .portal file of ours. It binds what is asked for but the declined one.
class ShortcutsPortal {
  public:
    explicit ShortcutsPortal(std::string declined)
        : declined_(std::move(declined)),
          backend_(
              "org.freedesktop.impl.portal.desktop.pagemate", "/org/freedesktop/portal/desktop",
              kPortalXml,
              [this](const std::string& method, GVariant* parameters,
                     GDBusMethodInvocation* invocation) { answer(method, parameters, invocation); },
              [](const std::string&) { return g_variant_new_uint32(1); }) {
        std::ofstream(folder_.path() / "pagemate-test.portal")
            << "[portal]\nDBusName=org.freedesktop.impl.portal.desktop.pagemate\n"
               "Interfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=pagemate-test\n";
        frontend_ = std::make_unique<testing::ChildProcess>(
            Strings{"/usr/libexec/xdg-desktop-portal", "--replace"},
            Strings{"XDG_DESKTOP_PORTAL_DIR=" + folder_.path().string(),
                    "XDG_CURRENT_DESKTOP=pagemate-test"});
        if (!testing::pumpUntil(
                [this] {
                    return linux_backend::GVariantPtr(g_dbus_connection_call_sync(
                               backend_.connection(), "org.freedesktop.DBus",
                               "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
                               g_variant_new("(s)", "org.freedesktop.portal.Desktop"), nullptr,
                               G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr)) != nullptr;
                },
                20s)) {
            throw std::runtime_error("xdg-desktop-portal did not take its name");
        }
    }

    // Activated twice, as a desktop repeating it while the keys are held, and Deactivated.
    void press(const std::string& id) const {
        for (const char* name : {"Activated", "Activated", "Deactivated"}) {
            backend_.emit(name,
                          g_variant_new("(ost@a{sv})", session_.c_str(), id.c_str(),
                                        static_cast<guint64>(g_get_real_time() / 1000),
                                        g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)));
            std::this_thread::sleep_for(75ms);
        }
    }

    Shortcuts bindRequest;  // what the last BindShortcuts asked for, the trigger preferred

  private:
    void answer(const std::string& method, GVariant* parameters,
                GDBusMethodInvocation* invocation) {
        if (method == "CreateSession") {
            const gchar* handle = nullptr;
            g_variant_get_child(parameters, 1, "&o", &handle);
            session_ = handle;
        } else if (method == "BindShortcuts") {
            bindRequest.clear();
            GVariantIter* asked = nullptr;
            g_variant_get_child(parameters, 2, "a(sa{sv})", &asked);
            const gchar* id = nullptr;
            GVariant* properties = nullptr;
            while (g_variant_iter_next(asked, "(&s@a{sv})", &id, &properties)) {
                const gchar* description = "";
                const gchar* trigger = "";
                g_variant_lookup(properties, "description", "&s", &description);
                g_variant_lookup(properties, "preferred_trigger", "&s", &trigger);
                bindRequest.push_back({id, description, trigger});
                g_variant_unref(properties);
            }
            g_variant_iter_free(asked);
        }
        // Every answer lists the bound shortcuts: the 1.16 frontend passes a session's on
        // from CreateSession's.
        GVariantBuilder list;
        g_variant_builder_init(&list, G_VARIANT_TYPE("a(sa{sv})"));
        for (const auto& [id, description, trigger] : bindRequest) {
            if (id != declined_) {
                g_variant_builder_add_parsed(
                    &list, "(%s, {'description': <%s>, 'trigger_description': <%s>})", id.c_str(),
                    description.c_str(), trigger.c_str());
            }
        }
        GVariantBuilder results;
        g_variant_builder_init(&results, G_VARIANT_TYPE_VARDICT);
        g_variant_builder_add(&results, "{sv}", "shortcuts", g_variant_builder_end(&list));
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(ua{sv})", 0U, &results));
    }

    std::string declined_;
    std::string session_;
    testing::BusService backend_;
    testing::TempDir folder_;
    std::unique_ptr<testing::ChildProcess> frontend_;
};

// Weston, headless, with XWayland on the X display its log names, and the session's
// variables for the program.
class WaylandSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ::chmod(runtime.path().c_str(), 0700);
        ::mkdir("/tmp/.X11-unix", 01777);  // where XWayland's socket goes; Xvfb makes it too
        const std::filesystem::path log = runtime.path() / "weston.log";
        const std::string socket = "pagemate-test-" + std::to_string(::getpid());
        weston = std::make_unique<testing::ChildProcess>(
            Strings{"weston", "--backend=headless-backend.so", "--socket=" + socket,
                    "--idle-time=0", "--width=1280", "--height=800", "--log=" + log.string(),
                    "--xwayland"},
            Strings{"XDG_RUNTIME_DIR=" + runtime.path().string()});
        const std::string listening = "xserver listening on display ";
        ASSERT_TRUE(testing::pumpUntil(
            [&] {
                const std::string text = testing::readFile(log);
                const std::size_t at = text.find(listening);
                if (at != std::string::npos) {
                    xDisplay = text.substr(at + listening.size(),
                                           text.find('\n', at) - at - listening.size());
                }
                return std::filesystem::exists(runtime.path() / socket) && !xDisplay.empty();
            },
            20s))
            << "weston did not come up";
        for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
                 {"XDG_SESSION_TYPE", "wayland"},
                 {"XDG_RUNTIME_DIR", runtime.path().string()},
                 {"WAYLAND_DISPLAY", socket},
                 {"DISPLAY", xDisplay},
                 {"PGM_SERVER_URL", service.base()},
                 {"XDG_DATA_HOME", (home.path() / "data").string()},
                 {"XDG_CONFIG_HOME", (home.path() / "config").string()}}) {
            environment.push_back(
                std::make_shared<testing::ScopedEnvironment>(name, value.c_str()));
        }
        x.emplace();
    }
    void startProgram() {
        std::ofstream("/tmp/pagemate-app.log", std::ios::trunc).flush();
        program = std::make_unique<testing::ProgramRun>(Strings{}, home.path() / "stdout");
        ASSERT_TRUE(logged("菜单栏就绪"));
    }
    // Waits, running the main loop for the portal, for a line starting with `prefix`.
    bool logged(const std::string& prefix) {
        testing::pumpUntil(
            [&] { return !testing::logLines(prefix).empty() || !program->running(); }, 20s);
        return !testing::logLines(prefix).empty();
    }
    // Whether a window of the program of this width is shown on XWayland.
    [[nodiscard]] bool windowShown(int width) const {
        Display* display = x->display;
        std::vector<Window> windows{DefaultRootWindow(display)};
        for (std::size_t index = 0; index < windows.size(); ++index) {
            Window root = 0;
            Window parent = 0;
            Window* children = nullptr;
            unsigned count = 0;
            if (XQueryTree(display, windows[index], &root, &parent, &children, &count) != 0) {
                windows.insert(windows.end(), children, children + count);
                XFree(children);
            }
        }
        return std::any_of(windows.begin(), windows.end(), [&](Window window) {
            XWindowAttributes attributes{};
            const auto pid = testing::windowProperty(display, window, "_NET_WM_PID", XA_CARDINAL);
            return !pid.empty() && static_cast<pid_t>(pid[0]) == program->pid() &&
                   XGetWindowAttributes(display, window, &attributes) != 0 &&
                   attributes.map_state == IsViewable && attributes.width == width;
        });
    }

    testing::PrivateSessionBus bus;
    testing::TempDir runtime;
    std::unique_ptr<testing::ChildProcess> weston;
    std::string xDisplay;
    std::optional<testing::XConnection> x;  // the test's own, on XWayland
    testing::StandInService service;
    testing::TempDir home;
    std::vector<std::shared_ptr<testing::ScopedEnvironment>> environment;
    std::unique_ptr<testing::ProgramRun> program;
};

// Without a portal the hot keys are unavailable and the log says what needs XWayland and
// what to bind instead. With it, the portal gets the four shortcuts; one left unbound is
// named once; the others open their windows as X11 windows on XWayland.
TEST_F(WaylandSessionTest, PortalShortcutsOpenTheWindowsOnXWaylandAndWithoutItTheLinesSayWhy) {
    startProgram();
    ASSERT_TRUE(logged("注册全局热键失败（id=4）"));
    EXPECT_EQ(testing::logLines("全局热键：不可用"),
              Strings{"全局热键：不可用（Wayland 会话：XDG_SESSION_TYPE=wayland）"});
    // No notification server on the bus: that the user could not be told is logged.
    EXPECT_TRUE(logged("全局热键：桌面通知没有发出（"));
    EXPECT_EQ(testing::logLines("Wayland 会话"),
              (Strings{"Wayland 会话（XDG_SESSION_TYPE=wayland）：以下功能只对 XWayland 窗口有效"
                       "——全局热键（X11 抓键只收到 X11 窗口里的按键，本次不注册）、向 Notion "
                       "发送 Ctrl+L/C/V（XTest）、X11 剪贴板和窗口激活；Notion 须以 XWayland 运行",
                       "Wayland 会话：请在桌面设置的自定义快捷键里绑定这些命令代替热键：pagemate "
                       "--quick-bar（快速输入条）、pagemate --panel（完整助手）、pagemate "
                       "--chat（大窗口）、pagemate --meeting（会议记录）"}));
    ASSERT_TRUE(program->terminate());

    const testing::NotificationService notifications;
    const ShortcutsPortal portal("chat");
    startProgram();
    ASSERT_TRUE(logged("全局热键：桌面已绑定"));
    EXPECT_EQ(testing::logLines("全局热键：桌面已绑定"),
              Strings{"全局热键：桌面已绑定 3 个：quick-bar（ALT+space）、panel（ALT+SHIFT+space）"
                      "、meeting（ALT+SHIFT+m）"});
    EXPECT_EQ(portal.bindRequest, (Shortcuts{{"quick-bar", "快速输入（就地改写）", "ALT+space"},
                                             {"panel", "打开完整助手", "ALT+SHIFT+space"},
                                             {"meeting", "会议记录（本地转写）", "ALT+SHIFT+m"},
                                             {"chat", "打开大窗口（对话建页面）", "ALT+SHIFT+c"}}));
    const Strings session = testing::logLines("Wayland 会话");
    ASSERT_EQ(session.size(), 2U);
    EXPECT_TRUE(
        session[0].starts_with("Wayland 会话（XDG_SESSION_TYPE=wayland）：页伴的窗口在 "
                               "XWayland（DISPLAY=" +
                               xDisplay + "）上"))
        << session[0];
    EXPECT_TRUE(session[1].starts_with("Wayland 会话：全局热键由桌面的 GlobalShortcuts 门户绑定"));
    ASSERT_TRUE(testing::pumpUntil([&] { return !notifications.received().empty(); }, 15s));
    EXPECT_EQ(notifications.received()[0],
              "Alt+Shift+C 没有被桌面绑定，请改用状态栏图标菜单里的「打开大窗口（对话建页面）」。");

    // Each shortcut toggles its window once, where weston places it.
    for (const auto& [id, width] : std::vector<std::pair<std::string, int>>{
             {"quick-bar", 560}, {"panel", 420}, {"meeting", 600}}) {
        portal.press(id);
        EXPECT_TRUE(testing::pumpUntil([&, wanted = width] { return windowShown(wanted); }, 15s))
            << id;
    }
    EXPECT_EQ(notifications.received().size(), 1U);
    EXPECT_TRUE(program->terminate());
}

}  // namespace
}  // namespace pagemate
