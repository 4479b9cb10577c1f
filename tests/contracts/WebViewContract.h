#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "platform/WindowSystem.h"

namespace pagemate::testing {

// The web view of a panel window, as a WebView that owns its window, so that a window
// system's views can be made and destroyed like any other.
class PanelWebView final : public WebView {
  public:
    explicit PanelWebView(std::unique_ptr<PanelWindow> window) : window_(std::move(window)) {}
    void setDelegate(WebViewDelegate* delegate) override { view().setDelegate(delegate); }
    void setUserScripts(const std::vector<std::string>& scripts) override {
        view().setUserScripts(scripts);
    }
    void setServiceOrigin(const std::string& address) override { view().setServiceOrigin(address); }
    void loadURL(const std::string& url, std::chrono::milliseconds timeout) override {
        view().loadURL(url, timeout);
    }
    void loadHTML(const std::string& html) override { view().loadHTML(html); }
    void reload() override { view().reload(); }
    void evaluate(const std::string& script) override { view().evaluate(script); }
    void evaluate(const std::string& script, JsonResult result) override {
        view().evaluate(script, std::move(result));
    }
    void callAsyncFunction(const std::string& body, JsonResult result) override {
        view().callAsyncFunction(body, std::move(result));
    }
    std::string currentURL() override { return view().currentURL(); }

  private:
    WebView& view() { return window_->webView(); }
    std::unique_ptr<PanelWindow> window_;
};

// The promises every WebView makes (WebView.h), checked the same way on each
// implementation: a script's result arrives later, never inside the call that asked
// for it, and never once the view is gone.
//   makeView: a fresh view with a document loaded;
//   pump(done): runs the main loop until done() holds or a few seconds have passed,
//   and returns done().
inline void checkWebViewContract(const std::function<std::unique_ptr<WebView>()>& makeView,
                                 const std::function<bool(std::function<bool()>)>& pump) {
    std::unique_ptr<WebView> view = makeView();
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
