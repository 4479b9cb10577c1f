// The quick bar's capture of the selection, its page and page messages, and the
// write-back into Notion.

#include "notion/TextInsertion.h"
#include "unit/QuickBarFixture.h"
#include "web/HostBridge.h"

namespace pagemate {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::kBootstrapPrefix;
using testing::kDashed;
using testing::kId;
using testing::QuickBarTest;
namespace Reader = NotionContextReader;

TEST_F(QuickBarTest, CaptureTakesTheSelectionAndOnlyWithoutItTheLink) {
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

TEST_F(QuickBarTest, CaptureIsEmptyForAnotherApplicationOrWithoutPermission) {
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

TEST_F(QuickBarTest, LoadsOnceFromTheEffectiveBaseThenReloads) {
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

TEST_F(QuickBarTest, AFirstBaseThatIsNoAddressLoadsNothingAndLaterShowsOnlyReload) {
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

TEST_F(QuickBarTest, PageMessagesFollowTheTypeRules) {
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

TEST_F(QuickBarTest, ApplyWritesIntoTheNotionItWasCalledOn) {
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

TEST_F(QuickBarTest, FailedWriteBringsTheBarBackAFifthOfASecondLater) {
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

TEST_F(QuickBarTest, RecaptureGoesBackToTheTargetOnItsTimings) {
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

TEST_F(QuickBarTest, FinishedLoadPushesContextThenFocusAndFailuresAreLogged) {
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

}  // namespace
}  // namespace pagemate
