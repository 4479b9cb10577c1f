#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/NetworkError.h"

namespace pagemate {

// What a web view reports to its owner. Every call arrives on the main thread, and none
// once the delegate has been replaced or the view destroyed. The owner may call the
// view from inside any of them (load another page, evaluate a script). A load that the
// view's owner replaced with another, or that a vetoed response ended, is not
// reported as failed.
class WebViewDelegate {
  public:
    virtual ~WebViewDelegate() = default;
    // Whether the main frame may take a response with this HTTP status.
    virtual bool allowResponse(int status) = 0;
    virtual void didFinish() = 0;
    // The load could not start: no connection, or no response within its time-out.
    virtual void didFailProvisional(const NetworkError& error) = 0;
    // The load failed after its response had arrived.
    virtual void didFail(const NetworkError& error) = 0;
    // A message a page of the service posted to the "pagemate" handler, as JSON.
    virtual void didReceiveMessage(const nlohmann::json& body) = 0;
    // A page asked to go to a web address outside the service's origin (a link, a
    // script, a form, a new window or a download); the view stayed where it was. By
    // default the address goes to the user's browser (the workspace's open-URL service).
    virtual void openInBrowser(const std::string& url);
};

// The body of a page's message, from the JSON text the engine made of what the page
// posted: null when the text is no JSON (the page posted a value JSON cannot hold).
nlohmann::json scriptMessageBody(std::string_view jsonText);

// An embedded web view, used on the main thread only. User scripts run at document
// start in the main frame only, in the order given.
//
// A view with the "pagemate" handler belongs to one service, the origin (scheme, host,
// port) named by setServiceOrigin(): its user scripts run only in documents of that
// origin and in the view's own pages (loadHTML), and its messages are delivered only
// while the view shows such a document; others are dropped and logged once per origin.
// Its pages cannot take it elsewhere: a top-level navigation, new window or download to
// another origin is not loaded; a web address goes to the delegate's openInBrowser(),
// anything else is refused and logged; a new window of the service's own opens in the
// view itself. What the owner loads itself is always loaded.
//
// Results of scripts (JsonResult) always arrive later, on the main thread from the
// main loop, never inside the evaluate() or callAsyncFunction() call that asked for
// them; they do not arrive at all once the view is destroyed, so a result callback may
// hold its owner weakly and need not check the view. `error` is the engine's own
// description of a script that threw, or empty when the value could not be turned
// into JSON.
class WebView {
  public:
    using JsonResult = std::function<void(std::optional<nlohmann::json> value, std::string error)>;

    virtual ~WebView() = default;

    // Null detaches the delegate: nothing more is reported.
    virtual void setDelegate(WebViewDelegate* delegate) = 0;
    // Replaces every user script of the view with these; they apply from the next load.
    virtual void setUserScripts(const std::vector<std::string>& scripts) = 0;
    // The service this view belongs to: the origin of `address`; an address without one
    // leaves only the view's own pages to the scripts. Applies from the next load.
    virtual void setServiceOrigin(const std::string& address) = 0;
    // Loads the address. The time-out belongs to the request: the load fails with
    // NetworkError::Kind::timedOut only when no response for the page itself has come
    // within it; a page that has answered may take its time over images and scripts.
    virtual void loadURL(const std::string& url, std::chrono::milliseconds timeout) = 0;
    virtual void loadHTML(const std::string& html) = 0;
    // Loads the current document again, with the time-out of the load that brought it.
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
