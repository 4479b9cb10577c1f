#pragma once

#include <functional>
#include <memory>
#include <string>

#include "web/ServiceResolver.h"

namespace pagemate {

// The assistant panel. It owns the choice of service for the run; the panel window
// and its page are built on this.
class PanelController : public std::enable_shared_from_this<PanelController> {
  public:
    static std::shared_ptr<PanelController> create(
        ServiceResolver::Config config = ServiceResolver::Config::standard()) {
        return std::make_shared<PanelController>(std::move(config));
    }
    // Held by a shared pointer (create()), so that callbacks can hold it weakly.
    explicit PanelController(ServiceResolver::Config config) : resolver_(std::move(config)) {}

    PanelController(const PanelController&) = delete;
    PanelController& operator=(const PanelController&) = delete;

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

    std::function<void(const std::string&)> onStatusChange;
    std::function<void()> onOpenSettings;

  private:
    // Installs the bridge and loads the panel page; the panel window does this.
    // Until the panel window exists there is no page to reload.
    void injectAndLoad() {}

    ServiceResolver resolver_;
};

}  // namespace pagemate
