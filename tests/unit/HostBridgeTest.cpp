// What the host hands its pages and takes from them. (The scripts themselves run in the
// real engine in the web tests.)

#include <gtest/gtest.h>

#include "platform/WebView.h"
#include "web/HostBridge.h"

namespace pagemate {
namespace {

namespace Bridge = HostBridge;
using nlohmann::json;

TEST(HostBridge, CallsBootstrapObjectsAndMessages) {
    EXPECT_EQ(Bridge::guardedCall("PGM_HOST_BRIDGE", "onEvent", json{{"type", "focus"}}),
              "window.PGM_HOST_BRIDGE && window.PGM_HOST_BRIDGE.onEvent && "
              "window.PGM_HOST_BRIDGE.onEvent({\"type\":\"focus\"});");
    // Text that is not UTF-8 cannot be serialised: the call or the bootstrap is skipped.
    EXPECT_EQ(Bridge::guardedCall("B", "onEvent", json{{"message", "\xff"}}), std::nullopt);
    EXPECT_EQ(Bridge::bootstrapScript(json{{"a", "\xff"}}), "");
    EXPECT_EQ(
        Bridge::panelBootstrapObject({"http://127.0.0.1:4310/", "pw", "", "confirm", true, false}),
        json::parse(R"({"serverUrl": "http://127.0.0.1:4310/", "password": "pw", "model": "",
                        "mode": "confirm", "accessibilityTrusted": true,
                        "archiveConversations": false})"));

    // The engine's JSON text of what the page posted; anything else is a null body. (What a
    // message's members default to: in the panel's and the quick bar's tables.)
    EXPECT_EQ(scriptMessageBody(R"({"action":"hide"})"), (json{{"action", "hide"}}));
    for (const char* text : {"", "undefined", R"({"action":"hide")", "\"\xff\""}) {
        EXPECT_TRUE(scriptMessageBody(text).is_null()) << text;
    }
    for (const json& body : {json::array(), json::object(), json{{"action", 3}}}) {
        EXPECT_FALSE(Bridge::Message::accept(body)) << body;
    }
}

}  // namespace
}  // namespace pagemate
