#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "notion/NotionContext.h"
#include "platform/WindowSystem.h"
#include "platform/Workspace.h"
#include "web/PageWindow.h"
#include "web/ServiceResolver.h"

namespace pagemate {

// The assistant panel: a floating window over Notion hosting the service's "/panel"
// page, reloaded with fresh bootstrap values on every show. It owns the choice of
// service for the run. Without a display its window never appears; the service is
// still resolved.
class PanelController : public std::enable_shared_from_this<PanelController> {
  public:
    static constexpr double width = 420;

    static std::shared_ptr<PanelController> create(
        ServiceResolver::Config config = ServiceResolver::Config::standard()) {
        return std::make_shared<PanelController>(std::move(config));
    }
    // Held by a shared pointer (create()), so that callbacks can hold it weakly.
    explicit PanelController(ServiceResolver::Config config);
    PanelController(const PanelController&) = delete;
    PanelController& operator=(const PanelController&) = delete;
    ~PanelController() = default;

    void toggle();
    void show();
    void show(const std::string& draft);
    void hide();
    void notifyContext(bool includeSelection);
    void sendHostEvent(const nlohmann::json& event);

    void resolveServer(std::function<void(const std::string&)> completion) {
        resolver_.resolveServer(std::move(completion));
    }
    void checkHealth(std::function<void(bool)> completion = {}) {
        resolver_.checkHealth(std::move(completion));
    }
    [[nodiscard]] const std::string& resolvedServerURL() const {
        return resolver_.resolvedServerURL();
    }
    [[nodiscard]] bool usingFallbackServer() const { return resolver_.usingFallbackServer(); }
    // Resolves again and reloads the page with fresh bootstrap values.
    void refreshBootstrap();

    // The web self-test: the report arrives once, within about 12 s.
    void runWebSelfTest(std::function<void(nlohmann::json)> completion);

    std::function<void(const std::string&)> onStatusChange;
    std::function<void()> onOpenSettings;

    [[nodiscard]] PanelWindow& window() const { return page_.window(); }
    [[nodiscard]] const std::string& pendingDraft() const { return pendingDraft_; }
    [[nodiscard]] const std::optional<RunningApplication>& lastFrontmostApp() const {
        return lastFrontmostApp_;
    }

    // The placement of show() on a screen's visible frame.
    static Rect placement(const Rect& visibleFrame, double storedHeight);
    // The frame a "resize" message asks for, or nullopt when it is to be ignored.
    static std::optional<Rect> resizedFrame(const Rect& current, const std::optional<Rect>& visible,
                                            double height);
    // The built-in page shown when the service's page cannot be.
    static std::string failurePage(const std::string& base, const std::string& message);

    void handleMessage(const nlohmann::json& body) { page_.handleMessage(body); }

  private:
    void injectAndLoad();
    void load();
    void resize(double height);
    void insert(const std::string& text);
    void sendContext(const NotionContext& context);
    void failInsert(const std::string& message);
    void applyDraftToComposer(const std::string& draft);
    void showFailurePage(const std::string& message);
    void sampleSelfTest();
    void finishSelfTest(nlohmann::json result);

    // What the web view reports.
    bool allowResponse(int status);
    void pageFinished();
    void pageFailedProvisional(const NetworkError& error);
    void pageFailed(const NetworkError& error);

    ServiceResolver resolver_;
    PageWindow page_;
    std::optional<RunningApplication> lastFrontmostApp_;
    std::function<void(nlohmann::json)> webSelfTestCompletion_;
    std::string pendingDraft_;
    // The context last read for the page. Every show reloads the page right after the
    // read, so the page that was told may be gone (or not loaded yet): the loaded page
    // is told again.
    std::optional<nlohmann::json> lastContext_;
    bool showingFailurePage_ = false;
};

}  // namespace pagemate
