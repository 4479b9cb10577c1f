#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace pagemate {

// What a web view reports to its owner; every call arrives on the main thread.
class WebViewDelegate {
  public:
    virtual ~WebViewDelegate() = default;
    // Whether the main frame may take a response with this HTTP status.
    virtual bool allowResponse(int status) = 0;
    virtual void didFinish() = 0;
    // The load could not start (no connection, time-out).
    virtual void didFailProvisional(const std::string& description) = 0;
    // The load failed after it had started.
    virtual void didFail(const std::string& description) = 0;
    // A message a page posted to the "pagemate" handler, as JSON.
    virtual void didReceiveMessage(const nlohmann::json& body) = 0;
};

// An embedded web view. User scripts run at document start in the main frame only, in
// the order given.
class WebView {
  public:
    using JsonResult = std::function<void(std::optional<nlohmann::json> value, std::string error)>;

    virtual ~WebView() = default;

    virtual void setDelegate(WebViewDelegate* delegate) = 0;
    // Replaces every user script of the view with these.
    virtual void setUserScripts(const std::vector<std::string>& scripts) = 0;
    virtual void loadURL(const std::string& url, std::chrono::milliseconds timeout) = 0;
    virtual void loadHTML(const std::string& html) = 0;
    virtual void reload() = 0;
    // Runs a script in the page without waiting for it.
    virtual void evaluate(const std::string& script) = 0;
    // Runs a script and hands its value over as JSON.
    virtual void evaluate(const std::string& script, JsonResult result) = 0;
    // Runs the body of an async function in the page's world; its resolved value as JSON.
    virtual void callAsyncFunction(const std::string& body, JsonResult result) = 0;
    [[nodiscard]] virtual std::string currentURL() = 0;
};

}  // namespace pagemate
