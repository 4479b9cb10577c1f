#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>

#include "platform/WindowSystem.h"
#include "platform/Workspace.h"
#include "web/HostBridge.h"
#include "web/PageSample.h"
#include "web/PageWindow.h"

namespace pagemate {

// The quick bar: a slim strip called over Notion that takes the selection and the page
// the user is working on at the moment it is called, hosts the service's "/quick" page
// for a short instruction, and writes the result back in place of the selection. The
// page is loaded once and reloaded with a fresh bootstrap on every later show.
class QuickBarController : public std::enable_shared_from_this<QuickBarController> {
  public:
    static constexpr double width = 560;
    static constexpr double initialHeight = 58;
    static constexpr double minHeight = 54;
    static constexpr double maxHeight = 180;

    // Held by a shared pointer, so that delayed steps and callbacks can hold it weakly.
    static std::shared_ptr<QuickBarController> create() {
        return std::make_shared<QuickBarController>();
    }
    QuickBarController();
    QuickBarController(const QuickBarController&) = delete;
    QuickBarController& operator=(const QuickBarController&) = delete;
    ~QuickBarController() = default;

    void toggle();
    // Captures, places, loads and brings the bar forward.
    void show();
    void hide();
    // Asks the window system for the user's clicks in other programs, once; the last
    // one places the bar when it follows the cursor.
    void startTrackingCursor();
    // A click seen by other means (core coordinates).
    void noteMouseUp(double x, double y) { lastMouseUp_ = std::pair{x, y}; }
    // The self-test: the report arrives once, within about 10 s.
    void runWebSelfTest(std::function<void(nlohmann::json)> completion);

    // The screen frame of the status item, when start-up can tell it.
    std::function<std::optional<Rect>()> statusItemFrame;
    // Opens the full panel with the page's draft.
    std::function<void(const std::string&)> onExpand;
    std::function<void(const std::string&)> onStatusChange;

    [[nodiscard]] const std::optional<std::pair<double, double>>& lastMouseUp() const {
        return lastMouseUp_;
    }
    [[nodiscard]] PanelWindow& window() const { return page_.window(); }
    [[nodiscard]] double height() const { return height_; }
    [[nodiscard]] const std::optional<RunningApplication>& targetApp() const { return targetApp_; }
    [[nodiscard]] const std::string& selection() const { return selection_; }
    [[nodiscard]] const std::string& pageTitle() const { return pageTitle_; }
    [[nodiscard]] const std::string& pageId() const { return pageId_; }
    [[nodiscard]] const std::string& pageUrl() const { return pageUrl_; }

    // Where the bar goes below (or, without room, above) a click at (x, y) on a screen
    // with this visible frame.
    static Rect cursorPlacement(double x, double y, const Rect& visibleFrame, double height);
    // Under the status item, or in the top right corner when its frame is unknown.
    static Rect statusItemPlacement(const std::optional<Rect>& statusItem, const Rect& visibleFrame,
                                    double height);
    // The height a "resize" message asks for, or nullopt when it changes nothing.
    static std::optional<double> resizedHeight(double requested, double current);

    void handleMessage(const nlohmann::json& body) { page_.handleMessage(body); }

  private:
    void capture();
    void position();
    void positionUnderStatusItem();
    void injectBootstrap();
    void loadIfNeeded();
    void pushContext();
    void applyResult(const std::string& text);
    void recapture();
    void resize(double requested);
    [[nodiscard]] HostBridge::QuickBarBootstrap captured() const;

    void pageFinished();

    PageWindow page_;
    std::optional<RunningApplication> targetApp_;
    std::string selection_;
    std::string pageTitle_;
    std::string pageId_;
    std::string pageUrl_;
    double height_ = initialHeight;
    bool trackingCursor_ = false;
    std::optional<std::pair<double, double>> lastMouseUp_;
    PageSelfTest selfTest_;
};

}  // namespace pagemate
