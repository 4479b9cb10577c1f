// The assistant panel in the real engine: WebKitGTK under Xvfb against the stand-in
// service and the fixture pages.

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <gtest/gtest.h>

#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "contracts/WebViewContract.h"
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
#include <gdk/gdkx.h>
// clang-format on
#include "platform/fake/ScriptedDesktop.h"
#include "platform/linux/GObjectPtr.h"
#include "platform/linux/GtkWindowSystem.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/WebKitView.h"
#include "web/ChatWindowController.h"
#include "web/HostBridge.h"
#include "web/PanelController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class PanelWebTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    PanelWebTest() {
        Platform::install(linux_backend::makeLinuxPlatform(true));
        Platform& platform = Platform::current();
        auto scriptedWorkspace = std::make_unique<fake::ScriptedWorkspace>();
        workspace = scriptedWorkspace.get();
        platform.workspace = std::move(scriptedWorkspace);
        auto scriptedAccessibility = std::make_unique<fake::ScriptedAccessibility>();
        // No keystrokes into the test's display.
        scriptedAccessibility->status = fake::ScriptedAccessibility::untrusted();
        platform.accessibility = std::move(scriptedAccessibility);
        Settings::shared().setRuntimeBaseURL("");
        service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
    }
    ~PanelWebTest() override {
        panel.reset();
        Platform::uninstall();
    }

    std::shared_ptr<PanelController> makePanel(std::string primary) {
        ServiceResolver::Config config = ServiceResolver::Config::standard();
        config.primaryBase = [primary = std::move(primary)] { return primary; };
        config.localBase = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
        config.localTimeout = 500ms;
        panel = PanelController::create(config);
        return panel;
    }

    std::size_t loadsFinished() const {
        std::size_t count = 0;
        for (const std::string& message : log.messages()) {
            count += message.starts_with("页面加载完成：") ? 1 : 0;
        }
        return count;
    }

    // Shows the panel and waits for the page (or the failure page) to finish loading.
    void showAndWait(const std::optional<std::string>& draft = std::nullopt) {
        const std::size_t before = loadsFinished();
        if (draft) {
            panel->show(*draft);
        } else {
            panel->show();
        }
        ASSERT_TRUE(testing::pumpUntil([&] { return loadsFinished() > before; }, 15s))
            << log.text();
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

using ChatWindowWebTest = PanelWebTest;

TEST_F(PanelWebTest, PageSeesTheBootstrapFirstAndTheLatestValuesAfterAReload) {
    makePanel(service.base());
    Settings::shared().setModel("deepseek-chat");
    showAndWait();
    json seen = evaluate("window.__seen");
    EXPECT_EQ(seen["hostObjectAtFirstScript"], "object");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["serverUrl"], service.base());
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["model"], "deepseek-chat");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["mode"], "auto");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["accessibilityTrusted"], false);
    EXPECT_TRUE(log.contains("加载面板：" + service.base() + "/panel"));

    Settings::shared().setModel("deepseek-v4-pro");
    showAndWait();
    seen = evaluate("window.__seen");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["model"], "deepseek-v4-pro");
    // The context of the show reached the page: empty, as Notion is not there.
    EXPECT_EQ(service.countFor("/panel"), 2u);
}

TEST_F(PanelWebTest, FailurePagesForStatusesAndAClosedPort) {
    makePanel(service.base());
    service.answer("/panel", 404, "gone", "text/plain");
    showAndWait();
    EXPECT_NE(bodyText().find("服务器还是旧版本（/panel 不存在）。请先部署新版后端。"),
              std::string::npos);
    EXPECT_NE(bodyText().find(service.base()), std::string::npos);

    service.answer("/panel", 500, "boom", "text/plain");
    showAndWait();
    EXPECT_NE(bodyText().find("服务器返回 HTTP 500。"), std::string::npos);

    // Its buttons: open settings and the web workbench through the host object.
    int settingsOpened = 0;
    panel->onOpenSettings = [&] { ++settingsOpened; };
    evaluate(
        "document.querySelectorAll('button')[1].click(); "
        "document.querySelectorAll('button')[2].click(); 1");
    ASSERT_TRUE(testing::pumpUntil([&] { return settingsOpened == 1; }, 5s));
    EXPECT_EQ(workspace->opened(), std::vector<std::string>{service.base()});
    EXPECT_EQ(evaluate("document.querySelectorAll('button')[0].textContent"), "重试");

    makePanel("http://127.0.0.1:" + std::to_string(testing::refusingPort()));
    showAndWait();
    EXPECT_NE(bodyText().find("无法连接。请确认服务器已启动，或稍后重试。"), std::string::npos);
    EXPECT_TRUE(std::ranges::any_of(log.messages(), [](const std::string& message) {
        return message.starts_with("页面加载失败：");
    })) << log.text();
}

// A second site on another origin (another host and port): what the service's pages
// link to.
TEST_F(PanelWebTest, LinksToOtherSitesOpenInTheBrowserAndThePanelKeepsItsPage) {
    testing::StandInService other;
    const std::string elsewhere = "http://localhost:" + std::to_string(other.port());
    makePanel(service.base());
    showAndWait();
    const std::string servicePage = panel->window().webView().currentURL();
    // A link, a script's navigation to an address that is no web page, and a link to a
    // new window clicked as a person clicks (a new window needs the user's gesture).
    evaluate("var a = document.createElement('a'); a.href = '" + elsewhere +
             "/page'; document.body.appendChild(a); a.click(); 1");
    evaluate("location.href = 'smb://server/share'; 1");
    ASSERT_TRUE(testing::pumpUntil([&] { return workspace->opened().size() == 1; }, 5s));
    evaluate("var w = document.createElement('a'); w.target = '_blank'; w.href = '" + elsewhere +
             "/other'; w.style = 'position: fixed; left: 0; top: 0; width: 200px; height: 60px;"
             " z-index: 9'; document.body.appendChild(w); 1");
    const Rect area = linux_backend::GtkWindowSystem::flip(
        panel->window().frame(), linux_backend::GtkWindowSystem::referenceBottom());
    testing::clickAt(GDK_DISPLAY_XDISPLAY(gdk_display_get_default()),
                     static_cast<int>(area.x) + 100, static_cast<int>(area.y) + 30);
    ASSERT_TRUE(testing::pumpUntil([&] { return workspace->opened().size() == 2; }, 5s));
    testing::pumpUntil([] { return false; }, 500ms);
    EXPECT_EQ(workspace->opened(),
              (std::vector<std::string>{elsewhere + "/page", elsewhere + "/other"}));
    EXPECT_TRUE(log.contains("页面要打开的地址不是网页，已拒绝：smb://server/share")) << log.text();
    EXPECT_EQ(panel->window().webView().currentURL(), servicePage);
    EXPECT_EQ(evaluate("typeof window.__PGM_BOOTSTRAP__"), "object");

    // The service's own navigation stays in the panel, with the bridge.
    const std::size_t before = loadsFinished();
    evaluate("location.reload(); 1");
    ASSERT_TRUE(testing::pumpUntil([&] { return loadsFinished() > before; }, 10s));
    EXPECT_EQ(evaluate("typeof PGM_HOST + ' ' + typeof __PGM_BOOTSTRAP__"), "object object");
    EXPECT_EQ(workspace->opened().size(), 2u);
}

TEST_F(PanelWebTest, MarkupInTheAddressShowsAsText) {
    const testing::ScopedEnvironment hostile(
        "PGM_SERVER_URL", "http://127.0.0.1:1/<img src=x onerror=\"window.__pwned=1\">");
    makePanel(service.base());
    showAndWait();
    const std::string text = bodyText();
    EXPECT_NE(text.find("服务器地址无效："), std::string::npos) << text;
    EXPECT_NE(text.find("<img src=x onerror="), std::string::npos) << text;
    EXPECT_EQ(evaluate("typeof window.__pwned"), "undefined");
    EXPECT_EQ(evaluate("document.images.length"), 0);
}

TEST_F(PanelWebTest, DraftIsFilledAfterTheLoadAndSurvivesAFailedOne) {
    service.answer("/panel", 500, "down", "text/plain");
    makePanel(service.base());
    showAndWait("先写一半的草稿👍🏽");
    EXPECT_EQ(panel->pendingDraft(), "先写一半的草稿👍🏽");

    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
    showAndWait();
    ASSERT_TRUE(testing::pumpUntil(
        [&] {
            return evaluate("document.querySelector('#composer').value") ==
                   "先写一半的草稿👍🏽";
        },
        5s));
    EXPECT_EQ(panel->pendingDraft(), "");
    EXPECT_TRUE(log.contains("面板：已填入草稿（8 字）"));
}

TEST_F(ChatWindowWebTest, PageFillsTheWindowCentredAndLoadsOncePerBase) {
    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/chat.html"), "text/html");
    const auto chat = ChatWindowController::create();
    WebView& view = chat->window().webView();
    const auto waitFor = [&](const std::string& condition) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            if (evaluateIn(view, condition) == true) {
                return true;
            }
            testing::pumpUntil([] { return false; }, 50ms);
        }
        return false;
    };
    const std::string layout =
        "(function () { var app = document.querySelector('.app').getBoundingClientRect();"
        "  var transcript = getComputedStyle(document.querySelector('.transcript'));"
        "  return { width: app.width, left: app.left, height: app.height,"
        "           innerWidth: innerWidth, innerHeight: innerHeight,"
        "           transcriptMaxHeight: transcript.maxHeight }; })()";

    chat->show(service.base() + "/");
    ASSERT_TRUE(chat->isVisible());
    ASSERT_TRUE(
        waitFor("document.readyState === 'complete' && "
                "getComputedStyle(document.querySelector('.app')).maxWidth === '880px'"));
    json seen = evaluateIn(view, layout);
    EXPECT_EQ(seen["width"], 880) << seen;
    EXPECT_DOUBLE_EQ(seen["left"].get<double>(), (seen["innerWidth"].get<double>() - 880) / 2);
    EXPECT_EQ(seen["height"], seen["innerHeight"]) << seen;
    EXPECT_EQ(seen["transcriptMaxHeight"], "none");
    // A plain browser view: nothing of the host in the page.
    EXPECT_EQ(evaluateIn(view, "typeof window.PGM_HOST + ' ' + typeof window.webkit"),
              "undefined undefined");

    // Larger and narrower windows: still filled in height, the block centred or narrower.
    for (const Rect& frame : {Rect{40, 40, 1400, 900}, Rect{40, 40, 600, 500}}) {
        chat->window().setFrame(frame);
        ASSERT_TRUE(waitFor("innerWidth === " + std::to_string(static_cast<int>(frame.width))))
            << evaluateIn(view, layout);
        seen = evaluateIn(view, layout);
        EXPECT_EQ(seen["height"], seen["innerHeight"]) << seen;
        EXPECT_EQ(seen["width"], std::min(880.0, frame.width)) << seen;
        EXPECT_DOUBLE_EQ(seen["left"].get<double>(),
                         (seen["innerWidth"].get<double>() - seen["width"].get<double>()) / 2);
    }

    // Shown again with the same base: the page and what it holds stay.
    evaluateIn(view, "document.querySelector('#composer').value = '写到一半'; 1");
    chat->toggle(service.base());
    chat->show(service.base());
    EXPECT_EQ(evaluateIn(view, "document.querySelector('#composer').value"), "写到一半");
    EXPECT_EQ(service.countFor("/panel"), 1u);
    EXPECT_TRUE(log.contains("大窗口加载：" + service.base() + "/panel"));
}

// The panel as it appears on the screen, taken from the display, and kept as PNG files
// next to the test program for a look.
class Screenshot {
  public:
    explicit Screenshot(const Rect& frame) {
        const Rect area = linux_backend::GtkWindowSystem::flip(
            frame, linux_backend::GtkWindowSystem::referenceBottom());
        pixbuf_.reset(gdk_pixbuf_get_from_window(
            gdk_get_default_root_window(), static_cast<int>(area.x), static_cast<int>(area.y),
            static_cast<int>(area.width), static_cast<int>(area.height)));
    }
    [[nodiscard]] bool taken() const { return pixbuf_ != nullptr; }
    [[nodiscard]] int width() const { return gdk_pixbuf_get_width(pixbuf_.get()); }
    [[nodiscard]] int height() const { return gdk_pixbuf_get_height(pixbuf_.get()); }

    // The share of the pixels within a few steps of the colour 0xRRGGBB.
    [[nodiscard]] double share(unsigned colour) const {
        const int channels = gdk_pixbuf_get_n_channels(pixbuf_.get());
        const int stride = gdk_pixbuf_get_rowstride(pixbuf_.get());
        const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf_.get());
        const auto near = [](int a, unsigned b) { return std::abs(a - static_cast<int>(b)) <= 6; };
        std::size_t matching = 0;
        for (int y = 0; y < height(); ++y) {
            for (int x = 0; x < width(); ++x) {
                const guchar* pixel = pixels + static_cast<std::ptrdiff_t>(y) * stride +
                                      static_cast<std::ptrdiff_t>(x) * channels;
                matching += near(pixel[0], (colour >> 16) & 0xFF) &&
                                    near(pixel[1], (colour >> 8) & 0xFF) &&
                                    near(pixel[2], colour & 0xFF)
                                ? 1
                                : 0;
            }
        }
        return static_cast<double>(matching) / (static_cast<double>(width()) * height());
    }

    void save(const std::string& name) const {
        GError* error = nullptr;
        gdk_pixbuf_save(pixbuf_.get(), name.c_str(), "png", &error, nullptr);
        const linux_backend::GErrorPtr owned(error);
        EXPECT_FALSE(owned) << owned->message;
    }

  private:
    linux_backend::GObjectPtr<GdkPixbuf> pixbuf_;
};

TEST_F(PanelWebTest, ScreenshotsOfThePanelAndTheFailurePage) {
    makePanel(service.base());
    showAndWait();
    testing::pumpUntil([] { return false; }, 500ms);  // drawn
    const Rect frame = panel->window().frame();
    const Screenshot page(frame);
    ASSERT_TRUE(page.taken());
    page.save("panel.png");
    EXPECT_EQ(page.width(), 420);
    EXPECT_EQ(page.height(), static_cast<int>(frame.height));
    // The page's own colours fill the window: its message list (blue band, 120 px of
    // the height) and its background.
    EXPECT_NEAR(page.share(0x2b6cb0), 120.0 / frame.height, 0.05);
    EXPECT_GT(page.share(0xf3efe6), 0.5);

    service.answer("/panel", 500, "boom", "text/plain");
    showAndWait();
    testing::pumpUntil([] { return false; }, 500ms);
    const Screenshot failure(panel->window().frame());
    ASSERT_TRUE(failure.taken());
    failure.save("failure-page.png");
    // White page, the green "重试" button and the two light ones, nothing of the old page.
    EXPECT_GT(failure.share(0xffffff), 0.8);
    EXPECT_GT(failure.share(0x0f7a63), 0.001);
    EXPECT_GT(failure.share(0xe6f3ee), 0.003);
    EXPECT_EQ(failure.share(0x2b6cb0), 0);
}

// What the engine delivers of the messages pages post.
class MessageRecorder final : public WebViewDelegate {
  public:
    bool allowResponse(int) override { return true; }
    void didFinish() override { finished = true; }
    void didFailProvisional(const NetworkError&) override {}
    void didFail(const NetworkError&) override {}
    void didReceiveMessage(const json& body) override {
        if (auto message = HostBridge::Message::accept(body)) {
            messages.push_back(std::move(*message));
        }
    }
    std::vector<HostBridge::Message> messages;
    bool finished = false;
};

// The same page on the service's origin and on two others (another host, another port):
// only the service's has the host object and the bootstrap, and only its messages arrive,
// read by the message rules (the quick bar's nested draft, numbers as strings...).
TEST_F(PanelWebTest, OnlyTheServicesDocumentsHaveTheBridgeAndAreHeard) {
    testing::StandInService other;
    const std::string page = R"(<meta charset="utf-8"><script>
        window.__host = typeof window.PGM_HOST + " " + typeof window.__PGM_BOOTSTRAP__;
        var post = window.PGM_HOST ? PGM_HOST.post : function (message) {
            window.webkit.messageHandlers.pagemate.postMessage(message || {}); };
        post(); post("expand"); post({action: 7});
        post({action: "expand", draft: {draft: "嵌套的草稿"}});
        post({action: "expand", draft: "平的草稿"});
        post({action: "expand", draft: {text: "不是草稿"}});
        post({action: "resize", height: "300"}); post({action: "resize", height: 333.5});
        post({action: "insertText"}); post({action: "insertText", text: 12});
        </script>)";
    service.answer("/page", 200, page, "text/html");
    other.answer("/page", 200, page, "text/html");
    linux_backend::WebKitView view(nullptr, linux_backend::WebKitView::Options{});
    MessageRecorder recorder;
    view.setDelegate(&recorder);
    view.setUserScripts({HostBridge::hostObjectScript(HostBridge::Host::quickBar),
                         HostBridge::bootstrapScript({{"password", "secret"}})});
    view.setServiceOrigin(service.base() + "/quick");
    const std::string otherHost = "http://localhost:" + std::to_string(other.port());
    const std::string otherPort = "http://127.0.0.1:" + std::to_string(other.port());
    for (const std::string& origin : {otherHost, otherPort, otherHost, service.base()}) {
        recorder.finished = false;
        view.loadURL(origin + "/page", 10s);
        ASSERT_TRUE(testing::pumpUntil([&] { return recorder.finished; }, 10s)) << origin;
        const bool ofService = origin == service.base();
        testing::pumpUntil([&] { return recorder.messages.size() == 7; }, ofService ? 5s : 300ms);
        EXPECT_EQ(evaluateIn(view, "window.__host"),
                  ofService ? "object object" : "undefined undefined")
            << origin;
        ASSERT_EQ(recorder.messages.size(), ofService ? 7u : 0u) << origin;
    }
    // The others' are dropped, and logged once per origin.
    EXPECT_EQ(std::ranges::count_if(
                  log.messages(),
                  [](const std::string& line) { return line.starts_with("已丢弃来自 http://"); }),
              2);
    EXPECT_TRUE(log.contains("已丢弃来自 " + otherHost + " 的页面消息：它不是助手服务的页面"));
    EXPECT_EQ(recorder.messages[0].draft(), "嵌套的草稿");  // the first three are no messages
    EXPECT_EQ(recorder.messages[1].draft(), "平的草稿");
    EXPECT_EQ(recorder.messages[2].draft(), "");
    EXPECT_EQ(recorder.messages[3].height(), 0);
    EXPECT_EQ(recorder.messages[4].height(), 333.5);
    EXPECT_EQ(recorder.messages[5].string("text"), "");
    EXPECT_EQ(recorder.messages[6].string("text"), "");
    view.setDelegate(nullptr);
}

// What the engine reports of its loads.
class LoadRecorder final : public WebViewDelegate {
  public:
    bool allowResponse(int) override { return true; }
    void didFinish() override { ++finished; }
    void didFailProvisional(const NetworkError& error) override {
        failures.emplace_back("provisional", error.kind);
    }
    void didFail(const NetworkError& error) override {
        failures.emplace_back("after start", error.kind);
    }
    void didReceiveMessage(const json&) override {}
    int finished = 0;
    std::vector<std::pair<std::string, NetworkError::Kind>> failures;
};

TEST_F(PanelWebTest, RequestTimeOutCutsOnlyAPageThatDoesNotAnswer) {
    using Clock = std::chrono::steady_clock;
    // The page answers at once; its image takes longer than the time-out.
    service.answer("/page", 200, "<p id=p>here</p><img src=/slow.png>", "text/html");
    service.answerLate("/slow.png", 2500ms, 200, "");
    service.answerLate("/never", 30s, 200, "");
    std::atomic<bool> answerLate = false;
    service.on("/changing", [&](const httplib::Request&, httplib::Response& response) {
        if (answerLate) {
            service.pause(30s);
        }
        response.set_content("<p>changing</p>", "text/html");
    });
    linux_backend::WebKitView view(nullptr, linux_backend::WebKitView::Options{});
    LoadRecorder loads;
    view.setDelegate(&loads);

    const auto start = Clock::now();
    view.loadURL(service.base() + "/page", 1s);
    ASSERT_TRUE(
        testing::pumpUntil([&] { return loads.finished > 0 || !loads.failures.empty(); }, 10s));
    EXPECT_TRUE(loads.failures.empty());
    EXPECT_EQ(loads.finished, 1);
    EXPECT_GE(Clock::now() - start, 2s);  // the image was waited for, past the time-out
    EXPECT_EQ(evaluateIn(view, "document.getElementById('p').textContent"), "here");
    EXPECT_EQ(view.currentURL(), service.base() + "/page");

    // A page that never answers fails with the time-out, before it ever started.
    view.loadURL(service.base() + "/never", 1s);
    ASSERT_TRUE(testing::pumpUntil([&] { return !loads.failures.empty(); }, 5s));
    EXPECT_EQ(loads.failures, (std::vector<std::pair<std::string, NetworkError::Kind>>{
                                  {"provisional", NetworkError::Kind::timedOut}}));

    // A reload keeps the time-out of the load that brought the page.
    loads.failures.clear();
    view.loadURL(service.base() + "/changing", 1s);
    ASSERT_TRUE(testing::pumpUntil([&] { return loads.finished == 2; }, 5s));
    answerLate = true;
    view.reload();
    ASSERT_TRUE(testing::pumpUntil([&] { return !loads.failures.empty(); }, 5s));
    EXPECT_EQ(loads.failures.at(0).second, NetworkError::Kind::timedOut);
    view.setDelegate(nullptr);
}

TEST_F(PanelWebTest, EngineViewKeepsTheWebViewContract) {
    linux_backend::GtkWindowSystem windows;
    testing::checkWebViewContract(
        [&] {
            auto view = testing::panelWebView(windows.createPanel({}));
            view->loadHTML("<p>contract</p>");
            return view;
        },
        [](const std::function<bool()>& done) { return testing::pumpUntil(done, 1500ms); });
}

TEST_F(PanelWebTest, ErrorCaptureLinesAndTheComposerFillAsTheEngineRunsThem) {
    service.answer("/errors", 200, R"(<textarea id=composer></textarea><script>
        window.__bubbled = [];
        document.addEventListener("input", function (e) { window.__bubbled.push(e.target.id); });
        </script><script>
        throw new Error("boom");
        </script><script>
        window.dispatchEvent(new ErrorEvent("error"));
        Promise.reject(new Error("refused"));
        Promise.reject("plain reason");
        </script>)",
                   "text/html");
    const std::string page = service.base() + "/errors";
    LoadRecorder loads;
    const auto errorsOf = [&](HostBridge::Host host) {
        linux_backend::WebKitView view(nullptr, linux_backend::WebKitView::Options{});
        view.setDelegate(&loads);
        view.setUserScripts({HostBridge::errorCaptureScript(host)});
        view.setServiceOrigin(page);
        const int before = loads.finished;
        view.loadURL(page, 10s);
        EXPECT_TRUE(testing::pumpUntil([&] { return loads.finished > before; }, 10s));
        testing::pumpUntil([] { return false; }, 300ms);  // the rejections are reported late
        json errors = evaluateIn(view, "window.__PGM_ERRORS");
        if (host == HostBridge::Host::panel) {
            // The draft goes in with an input event that bubbles, and takes the focus.
            evaluateIn(view, HostBridge::composerFillScript("草稿 \"引号\"\n第二行"));
            EXPECT_EQ(evaluateIn(view, "document.querySelector('#composer').value"),
                      "草稿 \"引号\"\n第二行");
            EXPECT_EQ(evaluateIn(view, "window.__bubbled"), json({"composer"}));
            EXPECT_EQ(evaluateIn(view, "document.activeElement.id"), "composer");
        }
        view.setDelegate(nullptr);
        return errors;
    };

    // The panel's long form: message (else error, else "unknown"), " @ ", file, ":" line;
    // rejections with their reason's message, else the reason.
    EXPECT_EQ(errorsOf(HostBridge::Host::panel),
              json({"Error: boom @ " + page + ":5", "unknown @ :0", "unhandledrejection: refused",
                    "unhandledrejection: plain reason"}));
    // The quick bar's short form: no rejections, an empty message stays empty.
    EXPECT_EQ(errorsOf(HostBridge::Host::quickBar),
              json({"Error: boom @ " + page + ":5", " @ :0"}));
    // The meeting window's minimal form: the messages alone.
    EXPECT_EQ(errorsOf(HostBridge::Host::meeting), json({"Error: boom", ""}));
}

}  // namespace
}  // namespace pagemate
