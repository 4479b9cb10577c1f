#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/WindowSystem.h"

namespace pagemate::testing {

// The web view of a panel window, kept with its window, so that a window system's views
// can be made and destroyed like any other.
inline std::shared_ptr<WebView> panelWebView(std::unique_ptr<PanelWindow> window) {
    const std::shared_ptr<PanelWindow> owner(std::move(window));
    return {owner, &owner->webView()};
}

// The promises every WebView makes (WebView.h), checked the same way on each
// implementation: a script's result arrives later, never inside the call that asked
// for it, and never once the view is gone.
//   makeView: a fresh view with a document loaded;
//   pump(done): runs the main loop until done() holds or a few seconds have passed,
//   and returns done().
inline void checkWebViewContract(const std::function<std::shared_ptr<WebView>()>& makeView,
                                 const std::function<bool(std::function<bool()>)>& pump) {
    std::shared_ptr<WebView> view = makeView();
    bool evaluated = false;
    bool called = false;
    view->evaluate("1 + 1", [&](const std::optional<nlohmann::json>&, const std::string&) {
        evaluated = true;
    });
    view->callAsyncFunction("return 1;", [&](const std::optional<nlohmann::json>&,
                                             const std::string&) { called = true; });
    EXPECT_FALSE(evaluated) << "a result arrived inside evaluate()";
    EXPECT_FALSE(called) << "a result arrived inside callAsyncFunction()";
    EXPECT_TRUE(pump([&] { return evaluated && called; })) << "no result arrived";

    // Asked, then the view goes before it answers: nothing arrives afterwards, so a
    // callback may hold its owner weakly and need not check the view.
    auto late = std::make_shared<int>(0);
    view->evaluate("2",
                   [late](const std::optional<nlohmann::json>&, const std::string&) { ++*late; });
    view->callAsyncFunction(
        "return 2;", [late](const std::optional<nlohmann::json>&, const std::string&) { ++*late; });
    view.reset();
    pump([] { return false; });
    EXPECT_EQ(*late, 0) << "a result arrived after the view was destroyed";
}

}  // namespace pagemate::testing
