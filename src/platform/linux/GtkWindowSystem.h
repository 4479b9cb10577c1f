#pragma once

#include <memory>

#include "platform/WindowSystem.h"

namespace pagemate::linux_backend {

// Floating GTK windows holding WebKitGTK views, and GDK's monitors. Coordinates are
// turned from GDK's (top left, y down) into the core's (bottom left of the primary
// monitor, y up) here, so that the core's placement arithmetic stays as written.
// Needs an open display (gtk_init_check succeeded).
class GtkWindowSystem final : public WindowSystem {
  public:
    GtkWindowSystem();
    GtkWindowSystem(const GtkWindowSystem&) = delete;
    GtkWindowSystem& operator=(const GtkWindowSystem&) = delete;
    ~GtkWindowSystem() override;

    std::unique_ptr<PanelWindow> createPanel(const PanelOptions& options) override;
    std::unique_ptr<DocumentWindow> createDocumentWindow(
        const DocumentWindowOptions& options) override;
    std::unique_ptr<SettingsWindow> createSettingsWindow(
        const SettingsWindowOptions& options) override;
    std::unique_ptr<PanelWindow> createQuickBar(const QuickBarOptions& options) override;
    [[nodiscard]] std::vector<Screen> screens() override;
    [[nodiscard]] std::optional<Screen> mainScreen() override;
    [[nodiscard]] std::pair<double, double> mouseLocation() override;
    void activateSelf() override {}

    // Flips a rectangle between GDK's and the core's coordinates (the same both ways).
    static Rect flip(const Rect& rect, double referenceBottom);
    static double referenceBottom();

  private:
    // One web context per data store, shared by the views that use it.
    struct WebContexts;
    std::unique_ptr<WebContexts> contexts_;
};

}  // namespace pagemate::linux_backend
