#pragma once

#include "platform/WindowSystem.h"

namespace pagemate {

// The window system of a program without a display: it makes windows that never
// appear, whose web views load nothing, and reports no screen and no pointer. The
// controllers work on it unchanged; status() says why nothing shows.
class UnavailableWindowSystem final : public WindowSystem {
  public:
    explicit UnavailableWindowSystem(Availability reason = Availability::noDisplay)
        : reason_(reason) {}

    [[nodiscard]] Availability availability() const override { return reason_; }
    std::unique_ptr<PanelWindow> createPanel(const PanelOptions& options) override;
    std::unique_ptr<DocumentWindow> createDocumentWindow(
        const DocumentWindowOptions& options) override;
    std::unique_ptr<SettingsWindow> createSettingsWindow(
        const SettingsWindowOptions& options) override;
    std::unique_ptr<PanelWindow> createQuickBar(const QuickBarOptions& options) override;
    [[nodiscard]] std::vector<Screen> screens() override { return {}; }
    [[nodiscard]] std::optional<Screen> mainScreen() override { return std::nullopt; }
    [[nodiscard]] std::pair<double, double> mouseLocation() override { return {0, 0}; }
    void activateSelf() override {}

  private:
    Availability reason_;
};

}  // namespace pagemate
