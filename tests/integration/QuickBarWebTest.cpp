// The quick bar in the real engine: WebKitGTK under Xvfb against the stand-in service
// serving the fixture page at "/quick". Notion is scripted (its selection comes from
// scripted copies), so that no keystroke goes into the test's display.

#include <gtk/gtk.h>

#include <gtest/gtest.h>

#include "base/Settings.h"
// httplib before the X11 headers: X11 defines macros (Success) that clash with it.
#include "fixtures/StandInService.h"
// clang-format off
#include "fixtures/Desktop.h"
// clang-format on
#include "notion/NotionContextReader.h"
#include "platform/fake/MemoryPasteboard.h"
#include "platform/fake/ScriptedDesktop.h"
#include "platform/linux/LinuxPlatform.h"
#include "web/PanelController.h"
#include "web/QuickBarController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class QuickBarWebTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display: run under xvfb-run";
    }

    QuickBarWebTest() {
        Platform::install(linux_backend::makeLinuxPlatform(true));
        Platform& platform = Platform::current();
        auto scriptedWorkspace = std::make_unique<fake::ScriptedWorkspace>();
        workspace = scriptedWorkspace.get();
        workspace->frontmost = notion;
        workspace->running = {notion};
        platform.workspace = std::move(scriptedWorkspace);
        auto scriptedAccessibility = std::make_unique<fake::ScriptedAccessibility>();
        scriptedAccessibility->windowTitles[notion.pid] = "Weekly Plan \u2013 Notion";
        platform.accessibility = std::move(scriptedAccessibility);
        auto memoryPasteboard = std::make_unique<fake::MemoryPasteboard>();
        pasteboard = memoryPasteboard.get();
        platform.pasteboard = std::move(memoryPasteboard);
        // Notion's Control-C: the selection of the moment on the pasteboard.
        auto scriptedKeys = std::make_unique<fake::ScriptedKeyEvents>();
        scriptedKeys->onKeyDown = [this](std::uint16_t key, std::uint64_t) {
            if (key == NotionContextReader::keyC && !selection.empty()) {
                pasteboard->copy({{{"text/plain", selection}}});
            }
        };
        platform.keyEvents = std::move(scriptedKeys);
        Settings::shared().setRuntimeBaseURL("");
        service.answer("/quick", 200, testing::readFile(PAGES_DIR "/quick.html"), "text/html");
        bar = QuickBarController::create();
    }
    ~QuickBarWebTest() override {
        bar.reset();
        panel.reset();
        Platform::uninstall();
    }

    [[nodiscard]] std::size_t logged(const std::string& message) const {
        const auto messages = log.messages();
        return static_cast<std::size_t>(std::count(messages.begin(), messages.end(), message));
    }

    // Shows the bar and waits for its page to finish loading.
    void showAndWait() {
        const std::size_t before = logged("快速条：页面加载完成");
        bar->show();
        ASSERT_TRUE(
            testing::pumpUntil([&] { return logged("快速条：页面加载完成") > before; }, 15s))
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
    json evaluate(const std::string& script) { return evaluateIn(bar->window().webView(), script); }

    testing::TempDir home;
    testing::ScopedEnvironment dataHome{"XDG_DATA_HOME", (home.path() / "data").c_str()};
    testing::ScopedEnvironment configHome{"XDG_CONFIG_HOME", (home.path() / "config").c_str()};
    testing::LogCapture log;
    testing::StandInService service;
    testing::ScopedEnvironment serviceBase{"PGM_SERVER_URL", service.base().c_str()};
    const RunningApplication notion{4242, "notion.id", "Notion"};
    std::string selection = "第一次选中的文字";
    fake::ScriptedWorkspace* workspace = nullptr;
    fake::MemoryPasteboard* pasteboard = nullptr;
    std::shared_ptr<QuickBarController> bar;
    std::shared_ptr<PanelController> panel;
};

TEST_F(QuickBarWebTest, PageSeesTheCaptureBeforeItsFirstScriptAndNewValuesOnEveryShow) {
    showAndWait();
    json seen = evaluate("window.__seen");
    EXPECT_EQ(seen["hostObjectAtFirstScript"], "object");
    EXPECT_EQ(seen["errorCaptureAtFirstScript"], true);
    EXPECT_EQ(seen["bootstrapAtFirstScript"], json({{"serverUrl", service.base()},
                                                    {"password", ""},
                                                    {"model", Settings::shared().model()},
                                                    {"selection", "第一次选中的文字"},
                                                    {"selectionChars", 8},
                                                    {"pageId", ""},
                                                    {"pageTitle", "Weekly Plan"},
                                                    {"pageUrl", ""},
                                                    {"appName", "Notion"}}));
    // When it has loaded: the context, then the focus event.
    EXPECT_EQ(seen["contexts"].back(), json({{"selection", "第一次选中的文字"},
                                             {"selectionChars", 8},
                                             {"pageId", ""},
                                             {"pageTitle", "Weekly Plan"},
                                             {"appName", "Notion"}}));
    EXPECT_EQ(seen["events"], json::array({{{"type", "focus"}}}));
    EXPECT_EQ(bar->window().webView().currentURL(), service.base() + "/quick");
    EXPECT_TRUE(log.contains("快速条：已显示（选中 8 字，页面「Weekly Plan」）"));

    // Hidden and called again on a new selection: the page is reloaded and sees it.
    bar->toggle();
    EXPECT_FALSE(bar->window().isVisible());
    selection = "第二次";
    showAndWait();
    seen = evaluate("window.__seen");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["selection"], "第二次");
    EXPECT_EQ(seen["bootstrapAtFirstScript"]["selectionChars"], 3);
    EXPECT_EQ(seen["contexts"].back()["selection"], "第二次");
    EXPECT_EQ(service.countFor("/quick"), 2u);
    EXPECT_TRUE(bar->window().isVisible());
}

TEST_F(QuickBarWebTest, ResizeHideAndExpandFromThePage) {
    service.answer("/panel", 200, testing::readFile(PAGES_DIR "/panel.html"), "text/html");
    ServiceResolver::Config config = ServiceResolver::Config::standard();
    config.localBase = "http://127.0.0.1:" + std::to_string(testing::refusingPort());
    panel = PanelController::create(config);
    bar->onExpand = [&](const std::string& draft) { panel->show(draft); };
    showAndWait();
    const Rect before = bar->window().frame();
    ASSERT_EQ(before.height, 58);
    EXPECT_EQ(evaluate("innerWidth + 'x' + innerHeight"), "560x58");

    // A taller bar keeps its top edge; the page gets the room.
    evaluate(R"(PGM_HOST.post({action: "resize", height: "300"});
                PGM_HOST.post({action: "resize", height: 120}); 1)");
    ASSERT_TRUE(testing::pumpUntil([&] { return evaluate("innerHeight") == 120; }, 5s))
        << evaluate("innerHeight");
    EXPECT_EQ(bar->height(), 120);
    EXPECT_EQ(bar->window().frame(), (Rect{before.x, before.maxY() - 120, 560, 120}));

    evaluate(R"(PGM_HOST.post({action: "hide"}); 1)");
    ASSERT_TRUE(testing::pumpUntil([&] { return !bar->window().isVisible(); }, 5s));

    // The draft goes to the full panel, which shows it in its composer.
    showAndWait();
    evaluate(R"(PGM_HOST.post({action: "expand", draft: {draft: "接着写👍🏽"}}); 1)");
    ASSERT_TRUE(testing::pumpUntil(
        [&] {
            return panel->window().isVisible() &&
                   evaluateIn(panel->window().webView(),
                              "document.querySelector('#composer') && "
                              "document.querySelector('#composer').value") == "接着写👍🏽";
        },
        15s))
        << log.text();
    EXPECT_FALSE(bar->window().isVisible());
}

}  // namespace
}  // namespace pagemate
