// The quick bar's placement, capture, page messages, write-back and self-test on fake
// screens, a scripted Notion and a recording web view, on the virtual clock.

#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/Settings.h"
#include "harness/TestSupport.h"
#include "notion/NotionContextReader.h"
#include "notion/TextInsertion.h"
#include "platform/fake/FakePlatform.h"
#include "web/HostBridge.h"
#include "web/QuickBarController.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
namespace Reader = NotionContextReader;

constexpr const char* kId = "0123456789abcdef0123456789abcdef";
constexpr const char* kDashed = "01234567-89ab-cdef-0123-456789abcdef";
const std::string kBootstrapPrefix = "window.__PGM_BOOTSTRAP__ = ";

class QuickBarControllerTest : public ::testing::Test {
  protected:
    QuickBarControllerTest() {
        Settings::shared().setRuntimeBaseURL("");
        platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
        bar = QuickBarController::create();
        window = platform.windows.quickBars.at(0);
        // A scripted Notion: Control-C and Control-L put the selection and the page's
        // link on the pasteboard after a reaction time, when it has them.
        platform.keys.onKeyDown = [this](std::uint16_t key, std::uint64_t flags) {
            keyTimes.emplace_back(key, platform.queue.now());
            visibleAtKey.push_back(window->visible);
            if ((flags & KeyEvents::commandFlag) == 0) {
                return;
            }
            const std::optional<std::string> answer = key == Reader::keyC   ? selection
                                                      : key == Reader::keyL ? link
                                                                            : std::nullopt;
            if (answer) {
                platform.queue.postAfter(reaction, [this, text = *answer] {
                    platform.pasteboard.copy({{{"text/plain", text}}});
                });
            }
        };
    }

    void notionInFront(const std::string& title = "Draft \u2013 Notion") {
        platform.workspace.frontmost = notion;
        platform.workspace.running = {other, notion};
        platform.accessibility.windowTitles[notion.pid] = title;
    }

    // The key-down strokes of this key.
    [[nodiscard]] std::size_t copies(std::uint16_t key) const {
        return static_cast<std::size_t>(
            std::count_if(platform.keys.strokes.begin(), platform.keys.strokes.end(),
                          [key](const auto& stroke) { return stroke.key == key && stroke.down; }));
    }

    // The bootstrap object the page gets at its next load.
    [[nodiscard]] json bootstrap() const {
        for (const std::string& script : window->view.scripts) {
            if (script.starts_with(kBootstrapPrefix)) {
                return json::parse(script.substr(kBootstrapPrefix.size(),
                                                 script.size() - kBootstrapPrefix.size() - 1));
            }
        }
        return json();
    }

    // The arguments of the page's bridge calls of this function, since `from`.
    [[nodiscard]] std::vector<json> calls(const std::string& function, std::size_t from = 0) const {
        const std::string prefix = "window.PGM_QUICK_BRIDGE && window.PGM_QUICK_BRIDGE." +
                                   function + " && window.PGM_QUICK_BRIDGE." + function + "(";
        std::vector<json> found;
        const auto& evaluated = window->view.evaluated;
        for (std::size_t index = from; index < evaluated.size(); ++index) {
            const std::string& script = evaluated[index];
            if (script.starts_with(prefix)) {
                found.push_back(
                    json::parse(script.substr(prefix.size(), script.size() - prefix.size() - 2)));
            }
        }
        return found;
    }

    testing::ScopedEnvironment server{"PGM_SERVER_URL", "http://127.0.0.1:9/"};
    fake::FakePlatform platform;
    testing::LogCapture log;
    const RunningApplication notion{42, "notion.id", "Notion"};
    const RunningApplication other{7, "org.mozilla.firefox", "Firefox"};
    std::optional<std::string> selection;
    std::optional<std::string> link;
    std::chrono::milliseconds reaction{30};
    std::vector<std::pair<std::uint16_t, MainQueue::Clock::time_point>> keyTimes;
    std::vector<bool> visibleAtKey;
    std::shared_ptr<QuickBarController> bar;
    fake::FakePanelWindow* window = nullptr;
};

TEST_F(QuickBarControllerTest, WindowAndScriptsAsCreated) {
    const QuickBarOptions& options = platform.windows.lastQuickBarOptions;
    EXPECT_EQ(options.title, "页伴");
    EXPECT_EQ(options.contentRect, (Rect{0, 0, 560, 58}));
    EXPECT_EQ(options.minHeight, 54);
    EXPECT_EQ(options.maxHeight, 180);
    EXPECT_EQ(options.webDataName, "webdata");
    EXPECT_EQ(
        window->view.scripts,
        (std::vector<std::string>{HostBridge::hostObjectScript(HostBridge::Host::quickBar),
                                  HostBridge::errorCaptureScript(HostBridge::Host::quickBar)}));
    EXPECT_NE(window->view.delegate, nullptr);
    EXPECT_TRUE(window->view.loads.empty());
    EXPECT_EQ(bar->height(), 58);
}

TEST_F(QuickBarControllerTest, PlacementArithmetic) {
    const Rect visible{0, 25, 1440, 850};
    // Below the click, 40 points to its left.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 600, visible, 58),
              (Rect{460, 532, 560, 58}));
    // 30 points from the left edge: the visible frame's minX + 8.
    EXPECT_EQ(QuickBarController::cursorPlacement(30, 600, visible, 58).x, 8);
    EXPECT_EQ(QuickBarController::cursorPlacement(1440 + 30, 600, Rect{1440, 0, 1920, 1200}, 58).x,
              1448);
    // At the right edge: 8 points inside it.
    EXPECT_EQ(QuickBarController::cursorPlacement(1430, 600, visible, 58).x, 1440 - 568);
    // 40 points above the bottom: no room below, 18 points above the click.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 65, visible, 58).y, 83);
    // ... limited by the top of the visible frame.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 40, Rect{0, 0, 800, 100}, 58).y, 34);
    // The height counts: a taller bar hangs lower and finds no room sooner.
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 600, visible, 180).y, 410);
    EXPECT_EQ(QuickBarController::cursorPlacement(500, 200, visible, 180).y, 218);

    // Under the status item, centred on it, 6 points below; kept 8 points inside.
    const Rect item{1300, 875, 24, 25};
    EXPECT_EQ(QuickBarController::statusItemPlacement(item, visible, 58),
              (Rect{1440 - 568, 875 - 58 - 6, 560, 58}));
    EXPECT_EQ(QuickBarController::statusItemPlacement(Rect{700, 875, 24, 25}, visible, 58).x,
              712 - 280);
    EXPECT_EQ(QuickBarController::statusItemPlacement(Rect{10, 875, 24, 25}, visible, 58).x, 8);
    // No frame: 12 points from the right and top edges.
    EXPECT_EQ(QuickBarController::statusItemPlacement(std::nullopt, visible, 58),
              (Rect{1440 - 560 - 12, 875 - 58 - 12, 560, 58}));
}

TEST_F(QuickBarControllerTest, ShowPlacesByTheLastClickOrUnderTheStatusItem) {
    platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}},
                                   Screen{{1440, 0, 1920, 1200}, {1440, 40, 1920, 1160}}};
    const Rect item{1300, 875, 24, 25};
    bar->statusItemFrame = [&] { return std::optional(item); };

    // Following the cursor, but no click seen yet: under the status item.
    ASSERT_TRUE(Settings::shared().quickBarFollowsCursor());
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{872, 811, 560, 58}));
    EXPECT_TRUE(window->visible);

    // Clicks come from the window system once tracking has started, and only then.
    platform.windows.mouseUp(1470, 600);
    EXPECT_FALSE(bar->lastMouseUp());
    bar->startTrackingCursor();
    bar->startTrackingCursor();
    EXPECT_EQ(platform.windows.mouseUpObserverSets, 1);
    platform.windows.mouseUp(1470, 600);
    EXPECT_EQ(bar->lastMouseUp(), std::pair(1470.0, 600.0));
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{1448, 532, 560, 58}));  // on the second screen

    // A click on no screen, or the setting off: under the status item again.
    bar->noteMouseUp(-500, -500);
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{872, 811, 560, 58}));
    bar->noteMouseUp(1470, 600);
    Settings::shared().setQuickBarFollowsCursor(false);
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{872, 811, 560, 58}));

    // No status-item frame: the main screen's top right corner.
    bar->statusItemFrame = [] { return std::optional<Rect>(); };
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{868, 805, 560, 58}));
    bar->statusItemFrame = nullptr;
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{868, 805, 560, 58}));

    // A click reported after the controller has gone reaches nothing.
    bar.reset();
    platform.windows.mouseUp(10, 10);
}

TEST_F(QuickBarControllerTest, ResizeKeepsTheTopEdgeWithinLimits) {
    window->currentFrame = Rect{100, 500, 560, 58};
    const auto resize = [&](const json& height) {
        bar->handleMessage({{"action", "resize"}, {"height", height}});
    };
    resize(30);  // not above 30: ignored, though 54 would be a change
    EXPECT_EQ(window->currentFrame, (Rect{100, 500, 560, 58}));
    resize(40);  // at least 54
    EXPECT_EQ(window->currentFrame, (Rect{100, 504, 560, 54}));
    EXPECT_EQ(bar->height(), 54);
    resize(55);  // within 2 points
    resize(56);
    resize(30);     // not above 30
    resize("300");  // not a number: 0
    bar->handleMessage({{"action", "resize"}});
    EXPECT_EQ(window->currentFrame, (Rect{100, 504, 560, 54}));
    resize(400);  // at most 180
    EXPECT_EQ(window->currentFrame, (Rect{100, 378, 560, 180}));
    resize(178.5);
    resize(1000);
    EXPECT_EQ(window->currentFrame, (Rect{100, 378, 560, 180}));
    resize(57);
    EXPECT_EQ(window->currentFrame, (Rect{100, 501, 560, 57}));

    EXPECT_EQ(QuickBarController::resizedHeight(30, 58), std::nullopt);
    EXPECT_EQ(QuickBarController::resizedHeight(30.5, 58), 54);
    EXPECT_EQ(QuickBarController::resizedHeight(60, 58), std::nullopt);
    EXPECT_EQ(QuickBarController::resizedHeight(61, 58), 61);

    // Later shows place the bar at its current height.
    bar->show();
    EXPECT_EQ(window->currentFrame, (Rect{1440 - 572, 875 - 57 - 12, 560, 57}));
}

TEST_F(QuickBarControllerTest, CaptureTakesTheSelectionAndOnlyWithoutItTheLink) {
    Settings::shared().setModel("deepseek-chat");
    platform.secrets.add("com.fernwick.pagemate", "app-password", "pw");

    // Notion in front with a selection: its window title, the selection, no link.
    notionInFront("Weekly Plan \u2013 Notion");
    selection = "  结论👍🏽 \n";
    link = "https://www.notion.so/Other-" + std::string(kId);
    bar->show();
    EXPECT_EQ(copies(Reader::keyC), 1u);
    EXPECT_EQ(copies(Reader::keyL), 0u);
    EXPECT_EQ(bar->targetApp(), notion);
    EXPECT_EQ(bootstrap(), json({{"serverUrl", "http://127.0.0.1:9"},
                                 {"password", "pw"},
                                 {"model", "deepseek-chat"},
                                 {"selection", "结论👍🏽"},
                                 {"selectionChars", 3},
                                 {"pageId", ""},
                                 {"pageTitle", "Weekly Plan"},
                                 {"pageUrl", ""},
                                 {"appName", "Notion"}}));
    EXPECT_EQ(calls("onContext"), std::vector<json>({json({{"selection", "结论👍🏽"},
                                                           {"selectionChars", 3},
                                                           {"pageId", ""},
                                                           {"pageTitle", "Weekly Plan"},
                                                           {"appName", "Notion"}})}));
    EXPECT_EQ(log.messages().back(), "快速条：已显示（选中 3 字，页面「Weekly Plan」）");

    // Without a selection: Control-C waits its 0.35 s, then the link gives the page,
    // its title over the window's.
    selection.reset();
    link = "https://www.notion.so/Weekly-Plan-" + std::string(kId) + "?pvs=4";
    notionInFront("Draft \u2013 Notion");
    keyTimes.clear();
    bar->show();
    ASSERT_EQ(keyTimes.size(), 2u);
    EXPECT_EQ(keyTimes[0].first, Reader::keyC);
    EXPECT_EQ(keyTimes[1].first, Reader::keyL);
    // (The copy waits in 20 ms polls: it gives up at the first one past its time-out.)
    EXPECT_GE(keyTimes[1].second - keyTimes[0].second, 20ms + 350ms);
    EXPECT_LT(keyTimes[1].second - keyTimes[0].second, 20ms + 350ms + 20ms);
    EXPECT_EQ(bar->selection(), "");
    EXPECT_EQ(bar->pageId(), kDashed);
    EXPECT_EQ(bar->pageUrl(), *link);
    EXPECT_EQ(bar->pageTitle(), "Weekly Plan");
    EXPECT_EQ(bootstrap()["selectionChars"], 0);
    EXPECT_EQ(bootstrap()["pageUrl"], *link);
    EXPECT_EQ(log.messages().back(), "快速条：已显示（选中 0 字，页面「Weekly Plan」）");

    // A link without a title keeps the window's; no link at all ends after 0.5 s.
    link = std::string(kId);
    bar->show();
    EXPECT_EQ(bar->pageTitle(), "Draft");
    EXPECT_EQ(bar->pageUrl(), "https://www.notion.so/" + std::string(kId));
    link.reset();
    const auto start = platform.queue.now();
    bar->show();
    EXPECT_GE(platform.queue.now() - start, 20ms + 350ms + 20ms + 500ms);
    EXPECT_LT(platform.queue.now() - start, 20ms + 350ms + 20ms + 500ms + 20ms);
    EXPECT_EQ(bar->pageId(), "");
    EXPECT_EQ(bar->pageTitle(), "Draft");
}

TEST_F(QuickBarControllerTest, CaptureIsEmptyForAnotherApplicationOrWithoutPermission) {
    selection = "words";
    link = "https://www.notion.so/Weekly-Plan-" + std::string(kId);
    notionInFront();
    bar->show();
    ASSERT_EQ(bar->selection(), "words");

    // Another application in front: everything empty, its name for the page.
    platform.workspace.frontmost = other;
    platform.accessibility.windowTitles[other.pid] = "Mozilla Firefox";
    bar->show();
    EXPECT_TRUE(bar->selection().empty() && bar->pageTitle().empty() && bar->pageId().empty() &&
                bar->pageUrl().empty());
    EXPECT_EQ(copies(Reader::keyC), 1u);  // nothing sent to Firefox
    EXPECT_EQ(bootstrap()["appName"], "Firefox");
    EXPECT_EQ(bootstrap()["selection"], "");
    EXPECT_EQ(calls("onContext").back()["appName"], "Firefox");
    EXPECT_EQ(log.messages().back(), "快速条：已显示（选中 0 字，页面「」）");

    // Nothing in front at all.
    platform.workspace.frontmost.reset();
    bar->show();
    EXPECT_EQ(bootstrap()["appName"], "");

    // Notion in front without the permission: no keystroke, nothing captured.
    notionInFront();
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    platform.keys.strokes.clear();
    bar->show();
    EXPECT_TRUE(platform.keys.strokes.empty());
    EXPECT_EQ(bar->selection(), "");
    EXPECT_EQ(bar->pageId(), "");
    EXPECT_EQ(bootstrap()["selection"], "");
    EXPECT_EQ(bootstrap()["appName"], "Notion");
}

TEST_F(QuickBarControllerTest, LoadsOnceFromTheEffectiveBaseThenReloads) {
    Settings::shared().setRuntimeBaseURL("http://127.0.0.1:4310/");
    notionInFront();
    selection = "first";
    bar->show();
    EXPECT_EQ(window->view.loads, std::vector<std::string>{"http://127.0.0.1:4310/quick"});
    EXPECT_EQ(window->view.lastTimeout, 15s);
    EXPECT_EQ(window->view.reloads, 0);
    EXPECT_EQ(bootstrap()["serverUrl"], "http://127.0.0.1:4310");
    EXPECT_EQ(platform.windows.activations, 1);
    EXPECT_EQ(window->frontCount, 1);

    // Hidden and shown again: a reload that runs the new bootstrap; the address stays.
    bar->toggle();
    EXPECT_FALSE(window->visible);
    selection = "second";
    Settings::shared().setRuntimeBaseURL("http://127.0.0.1:5000");
    bar->toggle();
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->view.loads.size(), 1u);
    EXPECT_EQ(window->view.reloads, 1);
    EXPECT_EQ(bootstrap()["selection"], "second");
    EXPECT_EQ(bootstrap()["serverUrl"], "http://127.0.0.1:5000");
    // One bootstrap at a time, after the host object and the error capture.
    ASSERT_EQ(window->view.scripts.size(), 3u);
    EXPECT_EQ(window->view.scripts[0], HostBridge::hostObjectScript(HostBridge::Host::quickBar));
    EXPECT_EQ(window->view.scripts[1], HostBridge::errorCaptureScript(HostBridge::Host::quickBar));
    EXPECT_TRUE(window->view.scripts[2].starts_with(kBootstrapPrefix));
}

TEST_F(QuickBarControllerTest, AFirstBaseThatIsNoAddressLoadsNothingAndLaterShowsOnlyReload) {
    const testing::ScopedEnvironment bad("PGM_SERVER_URL", "not an address");
    bar->show();
    EXPECT_TRUE(window->view.loads.empty());
    EXPECT_EQ(window->view.reloads, 0);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(bootstrap()["serverUrl"], "not an address");

    Settings::shared().setRuntimeBaseURL("http://127.0.0.1:4310");
    bar->show();
    bar->show();
    EXPECT_TRUE(window->view.loads.empty());
    EXPECT_EQ(window->view.reloads, 2);
}

TEST_F(QuickBarControllerTest, PageMessagesFollowTheTypeRules) {
    std::vector<std::string> drafts;
    std::vector<std::string> statuses;
    bar->show();
    const std::size_t mark = window->view.evaluated.size();
    const int fronts = window->frontCount;

    // Not messages: ignored without a trace.
    for (const json& body : {json(), json("apply"), json::array({"apply"}), json({{"text", "x"}}),
                             json({{"action", 3}}), json({{"action", "Apply"}}),
                             json({{"action", "insertText"}, {"text", "x"}})}) {
        bar->handleMessage(body);
    }
    EXPECT_EQ(window->view.evaluated.size(), mark);
    EXPECT_TRUE(window->visible);

    // "status" without a hook, then with one; a number as text counts as empty.
    bar->handleMessage({{"action", "status"}, {"text", "思考中"}});
    bar->onStatusChange = [&](const std::string& text) { statuses.push_back(text); };
    bar->handleMessage({{"action", "status"}, {"text", "思考中"}});
    bar->handleMessage({{"action", "status"}, {"text", 7}});
    bar->handleMessage({{"action", "status"}});
    EXPECT_EQ(statuses, (std::vector<std::string>{"思考中", "", ""}));

    // "apply" with text that is a number: nothing to write, the bar stays.
    bar->handleMessage({{"action", "apply"}, {"text", 5}});
    bar->handleMessage({{"action", "apply"}});
    EXPECT_EQ(
        calls("onEvent", mark),
        std::vector<json>(2, json({{"type", "applyFailed"}, {"message", "没有可写回的内容"}})));
    EXPECT_TRUE(window->visible);

    // "recapture" with no application to go back to: nothing at all.
    bar->handleMessage({{"action", "recapture"}});
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->frontCount, fronts);

    // "expand": both draft shapes; anything else is an empty draft. The bar hides.
    bar->handleMessage({{"action", "expand"}, {"draft", "平的草稿"}});  // no hook yet
    EXPECT_FALSE(window->visible);
    bar->onExpand = [&](const std::string& draft) { drafts.push_back(draft); };
    for (const json& draft : {json("平的草稿"), json({{"draft", "嵌套的草稿"}}),
                              json::array({"数组"}), json({{"draft", 1}}), json(3)}) {
        window->visible = true;
        bar->handleMessage({{"action", "expand"}, {"draft", draft}});
        EXPECT_FALSE(window->visible);
    }
    bar->handleMessage({{"action", "expand"}});
    EXPECT_EQ(drafts, (std::vector<std::string>{"平的草稿", "嵌套的草稿", "", "", "", ""}));

    window->visible = true;
    bar->handleMessage({{"action", "hide"}});
    EXPECT_FALSE(window->visible);
    EXPECT_EQ(platform.windows.activations, 1);  // none of these activated the program
}

TEST_F(QuickBarControllerTest, ApplyWritesIntoTheNotionItWasCalledOn) {
    // Called on Notion with a selection; Notion has quit by the time of "apply".
    notionInFront();
    selection = "旧的文字";
    bar->show();
    platform.workspace.running = {other};
    std::size_t mark = window->view.evaluated.size();
    bar->handleMessage({{"action", "apply"}, {"text", "新的文字"}});
    EXPECT_EQ(calls("onEvent", mark),
              std::vector<json>{json({{"type", "applyFailed"}, {"message", "没有找到 Notion"}})});
    EXPECT_TRUE(window->visible);

    // Called on another application, no Notion running: the same.
    platform.workspace.frontmost = other;
    bar->show();
    mark = window->view.evaluated.size();
    bar->handleMessage({{"action", "apply"}, {"text", "新的文字"}});
    EXPECT_EQ(calls("onEvent", mark).at(0)["message"], "没有找到 Notion");

    // Called on another application with Notion running: Notion gets it, at the cursor.
    const RunningApplication secondNotion{43, "notion.id", "Notion"};
    platform.workspace.running = {other, secondNotion};
    platform.workspace.onActivate = [&](const RunningApplication& application) {
        platform.workspace.frontmost = application;
    };
    mark = window->view.evaluated.size();
    bar->handleMessage({{"action", "apply"}, {"text", "新的文字"}});
    EXPECT_FALSE(window->visible);
    EXPECT_EQ(platform.workspace.activations.back(), secondNotion);
    EXPECT_EQ(platform.pasteboard.string(), "新的文字");
    EXPECT_EQ(log.messages().back(), "快速条：已写回（粘贴，插入光标处）");
    EXPECT_TRUE(calls("onEvent", mark).empty());  // no event: the bar stays hidden
    platform.queue.advance(1s);
    EXPECT_FALSE(window->visible);

    // Called on Notion with a selection, a second Notion running too: the first one's
    // selection is replaced.
    platform.workspace.running = {secondNotion, notion};
    platform.workspace.frontmost = notion;
    bar->show();
    ASSERT_EQ(bar->selection(), "旧的文字");
    platform.workspace.frontmost = other;  // the bar has the focus now
    bar->handleMessage({{"action", "apply"}, {"text", "新的文字"}});
    EXPECT_EQ(platform.workspace.activations.back(), notion);
    EXPECT_EQ(log.messages().back(), "快速条：已写回（粘贴，替换选中）");
}

TEST_F(QuickBarControllerTest, FailedWriteBringsTheBarBackAFifthOfASecondLater) {
    notionInFront();
    bar->show();
    const int activations = platform.windows.activations;
    const int fronts = window->frontCount;
    platform.accessibility.status = fake::ScriptedAccessibility::untrusted();
    const std::size_t mark = window->view.evaluated.size();
    bar->handleMessage({{"action", "apply"}, {"text", "新的文字"}});
    EXPECT_FALSE(window->visible);
    EXPECT_EQ(log.messages().back(),
              "快速条：写回失败 —— " + std::string(TextInsertion::permissionMessage));
    platform.queue.advance(199ms);
    EXPECT_FALSE(window->visible);
    EXPECT_TRUE(calls("onEvent", mark).empty());
    platform.queue.advance(1ms);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->frontCount, fronts + 1);
    EXPECT_EQ(platform.windows.activations, activations);  // not activated again
    EXPECT_EQ(
        calls("onEvent", mark),
        std::vector<json>{json({{"type", "applyFailed"},
                                {"message", std::string(TextInsertion::permissionMessage)}})});

    // A controller gone within the 0.2 s is left alone.
    bar->handleMessage({{"action", "apply"}, {"text", "新的文字"}});
    bar.reset();
    platform.queue.advance(1s);
}

TEST_F(QuickBarControllerTest, RecaptureGoesBackToTheTargetOnItsTimings) {
    notionInFront("Weekly Plan \u2013 Notion");
    link = "https://www.notion.so/Weekly-Plan-" + std::string(kId);
    bar->show();
    ASSERT_EQ(bar->pageId(), kDashed);

    // The bar has the focus; Notion will not come to the front. Activation waits its
    // 1.0 s, then 150 ms, then Control-C waits its 0.4 s.
    platform.workspace.frontmost = other;
    platform.accessibility.windowTitles[notion.pid] = "Renamed \u2013 Notion";
    keyTimes.clear();
    visibleAtKey.clear();
    const int activations = platform.windows.activations;
    const std::size_t mark = window->view.evaluated.size();
    const auto start = platform.queue.now();
    bar->handleMessage({{"action", "recapture"}});
    ASSERT_EQ(keyTimes.size(), 1u);
    EXPECT_EQ(keyTimes[0].first, Reader::keyC);
    EXPECT_EQ(keyTimes[0].second - start, 1000ms + 150ms);
    EXPECT_FALSE(visibleAtKey[0]);
    EXPECT_EQ(platform.queue.now() - start, 1000ms + 150ms + 20ms + 400ms);
    EXPECT_EQ(platform.workspace.activations.back(), notion);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(platform.windows.activations, activations + 1);
    EXPECT_EQ(bar->pageTitle(), "Renamed");
    EXPECT_EQ(bar->pageId(), kDashed);  // not refreshed
    EXPECT_EQ(calls("onContext", mark).size(), 1u);
    EXPECT_EQ(log.messages().back(), "快速条：重新捕获，选中 0 字");

    // Notion comes at once this time and has a selection now.
    platform.workspace.onActivate = [&](const RunningApplication& application) {
        platform.workspace.frontmost = application;
    };
    selection = "新选中的字";
    keyTimes.clear();
    const auto again = platform.queue.now();
    bar->handleMessage({{"action", "recapture"}});
    ASSERT_EQ(keyTimes.size(), 1u);
    EXPECT_EQ(keyTimes[0].second - again, 150ms);
    EXPECT_EQ(bar->selection(), "新选中的字");
    EXPECT_EQ(calls("onContext").back()["selection"], "新选中的字");
    EXPECT_EQ(calls("onContext").back()["selectionChars"], 5);
    EXPECT_EQ(log.messages().back(), "快速条：重新捕获，选中 5 字");

    // Called on nothing: the first running Notion is the target.
    platform.workspace.frontmost.reset();
    bar->show();
    ASSERT_FALSE(bar->targetApp());
    platform.workspace.activations.clear();
    bar->handleMessage({{"action", "recapture"}});
    ASSERT_FALSE(platform.workspace.activations.empty());
    EXPECT_EQ(platform.workspace.activations.back(), notion);
}

TEST_F(QuickBarControllerTest, FinishedLoadPushesContextThenFocusAndFailuresAreLogged) {
    notionInFront();
    selection = "字";
    bar->show();
    WebViewDelegate& engine = *window->view.delegate;
    const std::size_t mark = window->view.evaluated.size();
    EXPECT_TRUE(engine.allowResponse(500));
    engine.didFinish();
    EXPECT_EQ(log.messages().back(), "快速条：页面加载完成");
    ASSERT_EQ(window->view.evaluated.size(), mark + 2);
    EXPECT_EQ(calls("onContext", mark).at(0)["selection"], "字");
    EXPECT_EQ(calls("onEvent", mark + 1), std::vector<json>{json({{"type", "focus"}})});

    engine.didFailProvisional({NetworkError::Kind::cannotConnect, "Connection refused"});
    EXPECT_EQ(log.messages().back(), "快速条：加载失败 未能连接到服务器。");
    engine.didFail({NetworkError::Kind::connectionLost, ""});
    EXPECT_EQ(log.messages().back(), "快速条：加载失败 未能连接到服务器。");
    EXPECT_TRUE(window->view.htmlLoads.empty());
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->view.evaluated.size(), mark + 2);
}

TEST_F(QuickBarControllerTest, SelfTestEndsAtTenSecondsOrSamplesOneAndAFifthAfterTheLoad) {
    std::vector<json> reports;
    const auto record = [&](json report) { reports.push_back(std::move(report)); };
    WebViewDelegate& engine = *window->view.delegate;

    // A page that never finishes.
    bar->runWebSelfTest(record);
    EXPECT_TRUE(window->visible);
    EXPECT_EQ(window->view.loads, std::vector<std::string>{"http://127.0.0.1:9/quick"});
    platform.queue.advance(9999ms);
    EXPECT_TRUE(reports.empty());
    platform.queue.advance(1ms);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], json({{"error", "超时：页面没有在 10 秒内加载完成"},
                                {"selection", ""},
                                {"pageTitle", ""},
                                {"pageId", ""},
                                {"accessibilityTrusted", true}}));

    // A finished load is sampled 1.2 s later: the probe, then the configuration fetch.
    window->view.answer = [](const std::string& script) {
        if (script.find("PGM_QUICK_BRIDGE") != std::string::npos) {
            return fake::RecordingWebView::ScriptAnswer{
                json(R"({"title":"Quick","hasInput":true,"bridge":"object"})"), ""};
        }
        if (script.find("/api/config") != std::string::npos) {
            return fake::RecordingWebView::ScriptAnswer{json({{"status", 200}}), ""};
        }
        return fake::RecordingWebView::ScriptAnswer{std::nullopt, "unexpected script"};
    };
    notionInFront("Weekly Plan \u2013 Notion");
    selection = "字";
    bar->runWebSelfTest(record);
    platform.queue.advance(3s);
    engine.didFinish();
    platform.queue.advance(1199ms);
    EXPECT_TRUE(window->view.asyncCalls.empty());
    EXPECT_EQ(reports.size(), 1u);
    platform.queue.advance(1ms);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1], json({{"title", "Quick"},
                                {"hasInput", true},
                                {"bridge", "object"},
                                {"api", {{"status", 200}}},
                                {"selection", "字"},
                                {"pageTitle", "Weekly Plan"},
                                {"pageId", ""},
                                {"accessibilityTrusted", true}}));
    EXPECT_NE(window->view.asyncCalls.at(0).find("x-app-password"), std::string::npos);
    platform.queue.advance(20s);  // its 10 s check finds it done
    EXPECT_EQ(reports.size(), 2u);

    // An engine that cannot run the probe: its error; no "api" without a map.
    window->view.answer = [](const std::string&) {
        return fake::RecordingWebView::ScriptAnswer{std::nullopt, "no engine"};
    };
    bar->runWebSelfTest(record);
    engine.didFinish();
    platform.queue.advance(1200ms);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2]["error"], "no engine");
    EXPECT_FALSE(reports[2].contains("api"));

    // A value that is no JSON text, without an error.
    window->view.answer = [](const std::string&) {
        return fake::RecordingWebView::ScriptAnswer{json(5), ""};
    };
    bar->runWebSelfTest(record);
    engine.didFinish();
    platform.queue.advance(1200ms);
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[3]["error"], "无法读取页面状态");

    // A load outside the self-test samples nothing.
    engine.didFinish();
    platform.queue.advance(20s);
    EXPECT_EQ(reports.size(), 4u);
}

// What start-up gives the quick bar: the panel for its drafts, the status line, the
// clicks, and the menu's and hot key's toggle.
TEST(QuickBarStartup, StartUpWiresTheBarToThePanelAndTheStatusLine) {
    const testing::ScopedEnvironment noServer("PGM_SERVER_URL", nullptr);
    fake::FakePlatform platform;
    const testing::LogCapture log;
    platform.windows.screenList = {Screen{{0, 0, 1440, 900}, {0, 0, 1440, 875}}};
    const auto app = AppDelegate::create({"/usr/bin/pagemate"}, {});
    app->panelResolverConfig.primaryBase = [] { return std::string("http://127.0.0.1:1"); };
    app->panelResolverConfig.localBase = "http://127.0.0.1:1";
    app->applicationDidFinishLaunching();
    QuickBarController* bar = app->quickBar();
    ASSERT_NE(bar, nullptr);
    fake::FakePanelWindow& window = *platform.windows.quickBars.at(0);
    EXPECT_EQ(platform.windows.mouseUpObserverSets, 1);

    app->toggleQuickBar();
    EXPECT_TRUE(window.visible);
    EXPECT_EQ(window.currentFrame, (Rect{868, 805, 560, 58}));  // no status-item frame
    app->toggleQuickBar();
    EXPECT_FALSE(window.visible);

    // Once the tray host has said where the icon is, the bar hangs under it.
    platform.statusBar.items.at(0)->frame = Rect{700, 876, 24, 24};
    app->toggleQuickBar();
    EXPECT_EQ(window.currentFrame, (Rect{432, 812, 560, 58}));
    app->toggleQuickBar();

    bar->handleMessage({{"action", "status"}, {"text", "改写中"}});
    EXPECT_EQ(app->statusLine(), "改写中");

    bar->handleMessage({{"action", "expand"}, {"draft", {{"draft", "写到一半"}}}});
    EXPECT_TRUE(log.contains("快速条 → 展开完整面板"));
    EXPECT_TRUE(app->panelController()->window().isVisible());
    EXPECT_EQ(app->panelController()->pendingDraft(), "写到一半");
}

}  // namespace
}  // namespace pagemate
