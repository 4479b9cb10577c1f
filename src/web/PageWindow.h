#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "platform/WindowSystem.h"
#include "web/HostBridge.h"

namespace pagemate {

// One window hosting one of the service's pages with the host bridge: the window and
// its web view, the page's document-start scripts (the host object, the error capture
// when asked for, the latest bootstrap), loading the page, calls into the page's
// bridge, and the page's messages dispatched through a table of actions. The panel,
// the quick bar and the meeting window sit on top of it with their own actions and
// placement. Main thread only.
class PageWindow final : private WebViewDelegate {
  public:
    using Action = std::function<void(const HostBridge::Message&)>;

    // What the owner hears of the page's loading. Unset members do nothing; a response
    // is then allowed whatever its status.
    struct LoadEvents {
        std::function<bool(int status)> allowResponse;
        std::function<void()> finished;
        std::function<void(const NetworkError&)> failedProvisional;
        std::function<void(const NetworkError&)> failed;
    };

    PageWindow(std::unique_ptr<PanelWindow> window, HostBridge::Host host, bool capturesErrors);
    PageWindow(const PageWindow&) = delete;
    PageWindow& operator=(const PageWindow&) = delete;
    ~PageWindow() override;

    [[nodiscard]] PanelWindow& window() const { return *window_; }
    [[nodiscard]] WebView& view() const { return window_->webView(); }

    // Installs the document-start scripts with `bootstrap` as the page's values, for
    // the next load. Text that cannot be serialised leaves the page without a
    // bootstrap rather than with an earlier one, and gives false.
    bool setBootstrap(const nlohmann::json& bootstrap);
    // Adds or removes the error capture, keeping the bootstrap.
    void setCapturesErrors(bool captures);

    // Loads `url`; false, and nothing loaded, when it is not an absolute address.
    bool load(const std::string& url, std::chrono::milliseconds timeout);
    // Loads `url` on the first call only (an address that cannot be loaded is not tried
    // again); false on every later call, when the owner may reload the page, which runs
    // the document-start scripts again (the page then sees the latest bootstrap).
    bool loadOnce(const std::string& url, std::chrono::milliseconds timeout);

    // Calls window.<bridge>.<function>(argument) when the page defines it; skipped when
    // the argument cannot be serialised.
    void call(std::string_view function, const nlohmann::json& argument);
    void sendEvent(const nlohmann::json& event) { call("onEvent", event); }

    // The handler of a page action, replacing any earlier one; actions without a
    // handler are ignored, as are messages that are not actions.
    void on(std::string action, Action handler);
    void handleMessage(const nlohmann::json& body);

    // The visible frame of the window's screen, else of the main screen.
    [[nodiscard]] std::optional<Rect> visibleFrame() const;
    // Gives the window `height` with its top edge where it is.
    void setHeightKeepingTop(double height);

    LoadEvents events;

  private:
    void installScripts();

    bool allowResponse(int status) override;
    void didFinish() override;
    void didFailProvisional(const NetworkError& error) override;
    void didFail(const NetworkError& error) override;
    void didReceiveMessage(const nlohmann::json& body) override { handleMessage(body); }

    std::unique_ptr<PanelWindow> window_;
    HostBridge::Host host_;
    bool capturesErrors_;
    std::string bootstrapScript_;
    bool hasLoaded_ = false;
    std::map<std::string, Action, std::less<>> actions_;
};

}  // namespace pagemate
