#include <gtest/gtest.h>

#include "platform/WebView.h"
#include "web/HostBridge.h"

namespace pagemate {
namespace {

namespace Bridge = HostBridge;
using nlohmann::json;

TEST(HostBridge, GuardedCallShape) {
    EXPECT_EQ(Bridge::guardedCall("PGM_HOST_BRIDGE", "onEvent", json{{"type", "focus"}}),
              "window.PGM_HOST_BRIDGE && window.PGM_HOST_BRIDGE.onEvent && "
              "window.PGM_HOST_BRIDGE.onEvent({\"type\":\"focus\"});");
    // Text that is not UTF-8 cannot be serialised: the call is skipped.
    EXPECT_EQ(Bridge::guardedCall("B", "onEvent", json{{"message", "\xff"}}), std::nullopt);
    NotionContext context;
    context.pageTitle = "周报";
    EXPECT_EQ(Bridge::contextObject(context), json({{"pageId", ""},
                                                    {"pageTitle", "周报"},
                                                    {"pageUrl", ""},
                                                    {"selectedText", ""},
                                                    {"source", ""}}));
}

TEST(HostBridge, ScriptsDifferOnlyWhereTheyShould) {
    const std::string panel = Bridge::hostObjectScript(Bridge::Host::panel);
    const std::string quick = Bridge::hostObjectScript(Bridge::Host::quickBar);
    EXPECT_NE(panel.find("catch (e) { /* 宿主不可用 */ }"), std::string::npos);
    EXPECT_NE(quick.find("catch (e) {}"), std::string::npos);
    EXPECT_EQ(quick, Bridge::hostObjectScript(Bridge::Host::meeting));
    EXPECT_NE(panel.find("platform: \"mac\""), std::string::npos);
    EXPECT_NE(panel.find("messageHandlers.pagemate.postMessage"), std::string::npos);
    for (const auto host : {Bridge::Host::panel, Bridge::Host::quickBar, Bridge::Host::meeting}) {
        EXPECT_TRUE(Bridge::errorCaptureScript(host).starts_with("window.__PGM_ERRORS = [];"));
    }
    EXPECT_NE(Bridge::errorCaptureScript(Bridge::Host::panel).find("unhandledrejection: "),
              std::string::npos);
    EXPECT_EQ(Bridge::errorCaptureScript(Bridge::Host::quickBar).find("unhandledrejection"),
              std::string::npos);
}

TEST(HostBridge, BootstrapObjects) {
    const json panel =
        Bridge::panelBootstrapObject({"http://127.0.0.1:4310/", "pw", "", "confirm", true, false});
    EXPECT_EQ(panel.size(), 6u);
    EXPECT_EQ(panel["serverUrl"], "http://127.0.0.1:4310/");  // as stored, not trimmed
    EXPECT_EQ(panel["accessibilityTrusted"], true);
    EXPECT_EQ(panel["archiveConversations"], false);
    EXPECT_EQ(Bridge::bootstrapScript(json{{"a", 1}}), "window.__PGM_BOOTSTRAP__ = {\"a\":1};");
    EXPECT_EQ(Bridge::bootstrapScript(json{{"a", "\xff"}}), "");

    Bridge::QuickBarBootstrap values;
    values.serverUrl = "http://s";
    values.selection = "e\u0301t\u00e9 👍🏽 🇨🇳 👨\u200d👩\u200d👧 中文\r\n";
    values.pageUrl = "https://www.notion.so/x";
    values.appName = "Notion";
    const json quick = Bridge::quickBarBootstrapObject(values);
    EXPECT_EQ(quick.size(), 9u);
    // e+accent, t, é, space, thumb+tone, space, flag, space, family, space, 中, 文, CR LF
    EXPECT_EQ(quick["selectionChars"], 13);
    const json context = Bridge::quickBarContextObject(values);
    EXPECT_EQ(context.size(), 5u);
    EXPECT_FALSE(context.contains("pageUrl"));
    EXPECT_EQ(context["appName"], "Notion");
}

TEST(HostBridge, MessageAcceptanceAndMemberDefaults) {
    // The engine's JSON text of what the page posted; anything else is a null body.
    EXPECT_EQ(scriptMessageBody(R"({"action":"hide"})"), (json{{"action", "hide"}}));
    EXPECT_EQ(scriptMessageBody("[1]"), json::array({1}));
    EXPECT_TRUE(scriptMessageBody("").is_null());
    EXPECT_TRUE(scriptMessageBody("undefined").is_null());
    EXPECT_TRUE(scriptMessageBody(R"({"action":"hide")").is_null());
    EXPECT_TRUE(scriptMessageBody("\"\xff\"").is_null());  // not UTF-8
    EXPECT_FALSE(Bridge::Message::accept(json::array()));
    EXPECT_FALSE(Bridge::Message::accept(json::object()));
    EXPECT_FALSE(Bridge::Message::accept(json{{"action", 3}}));
    EXPECT_FALSE(Bridge::Message::accept("insertText"));
    const auto resize = Bridge::Message::accept(json{{"action", "resize"}, {"height", "300"}});
    ASSERT_TRUE(resize);
    EXPECT_EQ(resize->action(), "resize");
    EXPECT_EQ(resize->height(), 0);
    EXPECT_EQ(Bridge::Message::accept(json{{"action", "resize"}, {"height", 420.5}})->height(),
              420.5);
    const auto insert = Bridge::Message::accept(json{{"action", "insertText"}});
    EXPECT_EQ(insert->string("text"), "");
    EXPECT_EQ(Bridge::Message::accept(json{{"action", "x"}, {"text", 5}})->string("text"), "");
    EXPECT_EQ(
        Bridge::Message::accept(json{{"action", "expand"}, {"draft", {{"draft", "x"}}}})->draft(),
        "x");
    EXPECT_EQ(Bridge::Message::accept(json{{"action", "expand"}, {"draft", "y"}})->draft(), "y");
    EXPECT_EQ(Bridge::Message::accept(json{{"action", "expand"}, {"draft", {{"d", 1}}}})->draft(),
              "");
}

TEST(HostBridge, ComposerFillQuotesTheDraft) {
    const std::string script = Bridge::composerFillScript("say \"hi\"\n</script>");
    EXPECT_NE(script.find(R"(element.value = "say \"hi\"\n</script>";)"), std::string::npos);
    EXPECT_NE(script.find("document.querySelector(\"#composer\") || "
                          "document.querySelector(\"textarea\")"),
              std::string::npos);
}

}  // namespace
}  // namespace pagemate
