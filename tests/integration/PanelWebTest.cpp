// The panel, the quick bar, the chat window and the pages' bridge in WebKitGTK under Xvfb,
// against the stand-in service and the fixture pages.

#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <gtest/gtest.h>

#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <gdk/gdkx.h>
// clang-format on
#include "platform/fake/ScriptedDesktop.h"
#include "platform/linux/GtkWindowSystem.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WebKitView.h"
#include "web/ChatWindowController.h"
#include "web/HostBridge.h"
#include "web/PanelController.h"
#include "web/QuickBarController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using linux_backend::WebKitView;
using nlohmann::json;

class PanelWebTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    PanelWebTest() {  // no Notion: no keystroke goes into the test's display
        Platform::install(linux_backend::makeLinuxPlatform(true));
        Platform& platform = Platform::current();
        auto scriptedWorkspace = std::make_unique<fake::ScriptedWorkspace>();
        workspace = scriptedWorkspace.get();
        platform.workspace = std::move(scriptedWorkspace);
        platform.accessibility = std::make_unique<fake::ScriptedAccessibility>();
        platform.keyEvents = std::make_unique<fake::ScriptedKeyEvents>();
        Settings::shared().setRuntimeBaseURL("");
    }
    ~PanelWebTest() override {
        panel.reset();
        Platform::uninstall();
    }

    void makePanel(std::string primary) {
        ServiceResolver::Config config = ServiceResolver::Config::standard();
        config.primaryBase = [primary = std::move(primary)] { return primary; };
        config.localBase = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
        config.localTimeout = 500ms;
        panel = PanelController::create(config);
    }

    [[nodiscard]] std::size_t logged(const std::string& prefix) const {
        return static_cast<std::size_t>(std::ranges::count_if(
            log.messages(), [&](const std::string& line) { return line.starts_with(prefix); }));
    }

    // Shows the panel (or the bar) and waits for its page, or the failure page, to load.
    void showAndWait(const std::function<void()>& show,
                     const std::string& done = "页面加载完成：") {
        const std::size_t before = logged(done);
        show();
        ASSERT_TRUE(testing::pumpUntil([&] { return logged(done) > before; }, 15s)) << log.text();
        testing::pumpUntil([] { return false; }, 100ms);
    }

    static json evaluateIn(WebView& view, const std::string& script) {
        std::optional<json> result;
        bool done = false;
        view.evaluate(script, [&](std::optional<json> value, const std::string&) {
            result = std::move(value);
            done = true;
        });
        EXPECT_TRUE(testing::pumpUntil([&] { return done; }, 5s));
        return result.value_or(json());
    }
    json evaluate(const std::string& script) {
        return evaluateIn(panel->window().webView(), script);
    }
    std::string bodyText() { return evaluate("document.body.innerText").get<std::string>(); }

    testing::ScopedEnvironment noServer{"PGM_SERVER_URL", nullptr};
    testing::TempDir home;
    testing::ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    testing::ScopedEnvironment configHome{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    testing::LogCapture log;
    testing::StandInService service;
    fake::ScriptedWorkspace* workspace = nullptr;
    std::shared_ptr<PanelController> panel;
};

// What the engine reports of its loads and delivers of the messages pages post.
class EngineRecorder final : public WebViewDelegate {
  public:
    bool allowResponse(int) override { return true; }
    void didFinish() override { ++finished; }
    void didFailProvisional(const NetworkError& error) override { failures.push_back(error.kind); }
    void didFail(const NetworkError& error) override { failures.push_back(error.kind); }
    void didReceiveMessage(const json& body) override {
        messages += HostBridge::Message::accept(body) ? 1 : 0;
    }
    int finished = 0;
    std::vector<NetworkError::Kind> failures;
    std::size_t messages = 0;
};

// A user opens the panel on a service that is not up to date, with a draft from the quick
// bar; the service is updated and the panel shown again; then links on its page are
// followed; then the address is one that cannot be reached or is no address at all.
TEST_F(PanelWebTest, FailurePagesThenThePageWithItsBootstrapDraftAndLinks) {
    makePanel(service.base());
    service.answer("/panel", 404, "gone", "text/plain");
    Settings::shared().setModel("deepseek-chat");
    showAndWait([&] { panel->show("先写一半的草稿👍🏽"); });
    EXPECT_NE(bodyText().find("服务器还是旧版本（/panel 不存在）。请先部署新版后端。"),
              std::string::npos);
    EXPECT_NE(bodyText().find(service.base()), std::string::npos);
    EXPECT_EQ(panel->pendingDraft(), "先写一半的草稿👍🏽");
    // Its buttons open settings and the web workbench through the host object.
    int settingsOpened = 0;
    panel->onOpenSettings = [&] { ++settingsOpened; };
    evaluate(
        "document.querySelectorAll('button')[1].click(); "
        "document.querySelectorAll('button')[2].click(); 1");
    ASSERT_TRUE(testing::pumpUntil([&] { return settingsOpened == 1; }, 5s));
    EXPECT_EQ(workspace->opened(), std::vector<std::string>{service.base()});

    // The page sees the bootstrap of this show before its first script, and the draft.
    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
    Settings::shared().setModel("deepseek-v4-pro");
    showAndWait([&] { panel->show(); });
    const json seen = evaluate("window.__seen");
    EXPECT_EQ(seen["hostObjectAtFirstScript"], "object");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["serverUrl"], service.base());
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["model"], "deepseek-v4-pro");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["mode"], "auto");
    EXPECT_TRUE(testing::pumpUntil(
        [&] {
            return evaluate("document.querySelector('#composer').value") ==
                   "先写一半的草稿👍🏽";
        },
        5s));
    EXPECT_TRUE(log.contains("面板：已填入草稿（8 字）"));
    EXPECT_TRUE(log.contains("加载面板：" + service.base() + "/panel"));

    // Links to another site (another host and port) open in the browser: a link, a
    // script's navigation to an address that is no web page, and a link to a new window
    // clicked as a person clicks (a new window needs the user's gesture).
    testing::StandInService other;
    const std::string elsewhere = "http://localhost:" + std::to_string(other.port());
    const std::string servicePage = panel->window().webView().currentURL();
    evaluate("var a = document.createElement('a'); a.href = '" + elsewhere +
             "/page'; document.body.appendChild(a); a.click(); 1");
    ASSERT_TRUE(testing::pumpUntil([&] { return workspace->opened().size() == 2; }, 5s));
    evaluate("location.href = 'smb://server/share'; 1");
    evaluate("var w = document.createElement('a'); w.target = '_blank'; w.href = '" + elsewhere +
             "/other'; w.style = 'position: fixed; left: 0; top: 0; width: 200px; height: 60px;"
             " z-index: 9'; document.body.appendChild(w); 1");
    const Rect area = linux_backend::GtkWindowSystem::flip(
        panel->window().frame(), linux_backend::GtkWindowSystem::referenceBottom());
    testing::clickAt(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()),
                     static_cast<int>(area.x) + 100, static_cast<int>(area.y) + 30);
    ASSERT_TRUE(testing::pumpUntil([&] { return workspace->opened().size() == 3; }, 5s));
    testing::pumpUntil([] { return false; }, 500ms);
    EXPECT_EQ(workspace->opened(), (std::vector<std::string>{service.base(), elsewhere + "/page",
                                                             elsewhere + "/other"}));
    EXPECT_TRUE(log.contains("页面要打开的地址不是网页，已拒绝：smb://server/share")) << log.text();
    EXPECT_EQ(panel->window().webView().currentURL(), servicePage);
    // The service's own navigation stays in the panel, with the bridge.
    showAndWait([&] { evaluate("location.reload(); 1"); });
    EXPECT_EQ(evaluate("typeof PGM_HOST + ' ' + typeof __PGM_BOOTSTRAP__"), "object object");
    EXPECT_EQ(workspace->opened().size(), 3u);

    makePanel("http://127.0.0.1:" + std::to_string(testing::refusingPort()));
    showAndWait([&] { panel->show(); });
    EXPECT_NE(bodyText().find("无法连接。请确认服务器已启动，或稍后重试。"), std::string::npos);

    // Markup in the address shows as text.
    const testing::ScopedEnvironment hostile(
        "PGM_SERVER_URL", "http://127.0.0.1:1/<img src=x onerror=\"window.__pwned=1\">");
    makePanel(service.base());
    showAndWait([&] { panel->show(); });
    EXPECT_NE(bodyText().find("服务器地址无效：http://127.0.0.1:1/<img src=x onerror="),
              std::string::npos)
        << bodyText();
    EXPECT_EQ(evaluate("typeof window.__pwned + document.images.length"), "undefined0");
}

// The quick bar's window under openbox: no frame, above the others on every workspace, in no
// task bar or pager, with the focus; the page's margin transparent, its bar and mark opaque;
// its input takes a held key, and the page's errors are caught in the bar's short form.
TEST_F(PanelWebTest, QuickBarWindowIsBorderlessTransparentAboveEveryWorkspaceWithTheFocus) {
    const testing::Desktop desktop;
    Display* display = desktop.display();
    service.answer("/quick", 200, testing::readFile(PAGES_DIR "/quick.html"), "text/html");
    const testing::ScopedEnvironment serviceBase("PGM_SERVER_URL", service.base().c_str());
    const auto bar = QuickBarController::create();
    showAndWait([&] { bar->show(); }, "快速条：页面加载完成");
    Window window = 0;  // this process's window that has the focus
    ASSERT_TRUE(testing::pumpUntil(
        [&] {
            window = desktop.activeWindow();
            return window != 0 && desktop.pidOf(window) == getpid();
        },
        5s))
        << "the bar did not get the keyboard focus";
    testing::pumpUntil([] { return false; }, 500ms);  // drawn
    EXPECT_EQ(testing::windowProperty(display, window, "_NET_FRAME_EXTENTS", XA_CARDINAL),
              (std::vector<unsigned long>{0, 0, 0, 0}));
    const auto states = testing::windowProperty(display, window, "_NET_WM_STATE", XA_ATOM);
    for (const char* state :
         {"_NET_WM_STATE_ABOVE", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER"}) {
        EXPECT_NE(std::ranges::find(states, XInternAtom(display, state, False)), states.end())
            << state;
    }
    // (Xlib hands 32-bit items over as longs, sign-extended.)
    const auto desktops = testing::windowProperty(display, window, "_NET_WM_DESKTOP", XA_CARDINAL);
    ASSERT_EQ(desktops.size(), 1u);
    EXPECT_EQ(desktops[0] & 0xFFFFFFFFu, 0xFFFFFFFFu);
    XImage* image = XGetImage(display, window, 0, 0, 560, 58, AllPlanes, ZPixmap);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->depth, 32);
    EXPECT_EQ(XGetPixel(image, 2, 2) >> 24, 0u);        // 0xAARRGGBB
    EXPECT_EQ(XGetPixel(image, 28, 29), 0xFF0F7A63u);   // the mark
    EXPECT_EQ(XGetPixel(image, 300, 10), 0xFFFBF7EEu);  // the bar
    XDestroyImage(image);

    WebView& view = bar->window().webView();
    evaluateIn(view, "document.getElementById('instruction').focus(); 1");
    testing::pressAsPerson(display, {XK_a}, {150ms, false});
    EXPECT_TRUE(testing::pumpUntil(
        [&] { return evaluateIn(view, "document.getElementById('instruction').value") == "a"; },
        5s));
    EXPECT_EQ(evaluateIn(view,
                         "window.dispatchEvent(new ErrorEvent('error', {message: 'boom', "
                         "filename: 'f.js', lineno: 3})); window.__PGM_ERRORS"),
              json({"boom @ f.js:3"}));
}

// The chat window: a plain browser view, without the bridge, that fills the window.
TEST_F(PanelWebTest, ChatWindowIsAPlainPageFillingTheWindow) {
    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/chat.html"), "text/html");
    const auto chat = ChatWindowController::create();
    WebView& view = chat->window().webView();
    chat->show(service.base() + "/");
    ASSERT_TRUE(testing::pumpUntil(
        [&] { return evaluateIn(view, "document.readyState === 'complete'") == true; }, 5s));
    EXPECT_EQ(evaluateIn(view, "typeof window.PGM_HOST + ' ' + typeof window.webkit"),
              "undefined undefined");
    chat->window().setFrame(Rect{40, 40, 600, 500});
    EXPECT_TRUE(testing::pumpUntil(
        [&] {
            return evaluateIn(view, "[innerWidth, innerHeight]") == json({600, 500});
        },
        5s));
}

// The engine's view: the same page on the service's origin and on two others (another
// host, another port): only the service's has the host object and the bootstrap, and only
// its messages arrive. The time-out ends only a page (or a reload) that does not answer,
// not one waiting for a slow image; a script's result never arrives inside the call.
TEST_F(PanelWebTest, EngineViewBridgesOnlyTheServiceAndTimesOutOnlyASilentPage) {
    testing::StandInService other;
    const std::string page = R"(<meta charset="utf-8"><script>
        window.__host = typeof window.PGM_HOST + " " + typeof window.__PGM_BOOTSTRAP__;
        var post = window.PGM_HOST ? PGM_HOST.post : function (message) {
            window.webkit.messageHandlers.pagemate.postMessage(message || {}); };
        post(); post({action: "expand", draft: {draft: "嵌套的草稿"}}); post({action: "hide"});
        </script>)";
    service.answer("/page", 200, page, "text/html");
    other.answer("/page", 200, page, "text/html");
    WebKitView view(nullptr, WebKitView::Options{});
    EngineRecorder recorder;
    view.setDelegate(&recorder);
    view.setUserScripts({HostBridge::hostObjectScript(HostBridge::Host::quickBar),
                         HostBridge::bootstrapScript({{"password", "secret"}})});
    view.setServiceOrigin(service.base() + "/quick");
    const std::string otherHost = "http://localhost:" + std::to_string(other.port());
    const std::string otherPort = "http://127.0.0.1:" + std::to_string(other.port());
    for (const std::string& origin : {otherHost, otherPort, otherHost, service.base()}) {
        const int before = recorder.finished;
        view.loadURL(origin + "/page", 10s);
        ASSERT_TRUE(testing::pumpUntil([&] { return recorder.finished > before; }, 10s)) << origin;
        const bool ofService = origin == service.base();
        testing::pumpUntil([&] { return recorder.messages == 2; }, ofService ? 5s : 300ms);
        EXPECT_EQ(evaluateIn(view, "window.__host"),
                  ofService ? "object object" : "undefined undefined")
            << origin;
        ASSERT_EQ(recorder.messages, ofService ? 2u : 0u) << origin;
    }
    // The others' are dropped, and logged once per origin.
    EXPECT_EQ(logged("已丢弃来自 http://"), 2u);
    EXPECT_TRUE(log.contains("已丢弃来自 " + otherHost + " 的页面消息：它不是助手服务的页面"));

    service.answer("/slow", 200, "<p id=p>here</p><img src=/slow.png>", "text/html");
    service.answerLate("/slow.png", 2500ms, 200, "");
    service.answerLate("/never", 30s, 200, "");
    std::atomic<bool> answerLate = false;
    service.on("/changing", [&](const httplib::Request&, httplib::Response& response) {
        if (answerLate) {
            service.pause(30s);
        }
        response.set_content("<p>changing</p>", "text/html");
    });
    const auto start = std::chrono::steady_clock::now();
    view.loadURL(service.base() + "/slow", 1s);
    ASSERT_TRUE(testing::pumpUntil([&] { return recorder.finished == 5; }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);  // the image, past the time-out
    EXPECT_EQ(evaluateIn(view, "document.getElementById('p').textContent"), "here");
    view.loadURL(service.base() + "/never", 1s);
    ASSERT_TRUE(testing::pumpUntil([&] { return !recorder.failures.empty(); }, 5s));
    view.loadURL(service.base() + "/changing", 1s);
    ASSERT_TRUE(testing::pumpUntil([&] { return recorder.finished == 6; }, 5s));
    answerLate = true;
    view.reload();
    ASSERT_TRUE(testing::pumpUntil([&] { return recorder.failures.size() == 2; }, 5s));
    EXPECT_EQ(recorder.failures, std::vector<NetworkError::Kind>(2, NetworkError::Kind::timedOut));
    view.setDelegate(nullptr);
    int answers = 0;
    const auto count = [&](const std::optional<json>&, const std::string&) { ++answers; };
    view.evaluate("1 + 1", count);
    view.callAsyncFunction("return 1;", count);
    EXPECT_EQ(answers, 0);
    EXPECT_TRUE(testing::pumpUntil([&] { return answers == 2; }, 2s));
}

}  // namespace
}  // namespace pagemate
