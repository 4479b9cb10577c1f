#pragma once

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <map>
#include <string>

#include "platform/WindowSystem.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

// Floating GTK windows holding WebKitGTK views, and GDK's monitors. Coordinates are
// turned from GDK's (top left, y down) into the core's (bottom left of the primary
// monitor, y up) here, so that the core's placement arithmetic stays as written.
class GtkWindowSystem final : public WindowSystem {
  public:
    std::unique_ptr<PanelWindow> createPanel(const PanelOptions& options) override;
    std::unique_ptr<DocumentWindow> createDocumentWindow(
        const DocumentWindowOptions& options) override;
    [[nodiscard]] std::vector<Screen> screens() override;
    [[nodiscard]] std::optional<Screen> mainScreen() override;
    [[nodiscard]] std::pair<double, double> mouseLocation() override;
    void activateSelf() override {}

    // Flips a rectangle between GDK's and the core's coordinates (the same both ways).
    static Rect flip(const Rect& rect, double referenceBottom);
    static double referenceBottom();

  private:
    // An empty name means the default store, "webdata".
    WebKitWebContext* contextFor(const std::string& requestedName);

    // One web context per data store, shared by the views that use it.
    std::map<std::string, GObjectPtr<WebKitWebContext>> contexts_;
};

}  // namespace pagemate::linux_backend
