#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "platform/WindowSystem.h"

namespace pagemate::linux_backend {

class XInputMouseUps;

// Floating GTK windows holding WebKitGTK views, and GDK's monitors. Coordinates are
// turned from GDK's (top left, y down) into the core's (bottom left of the primary
// monitor, y up) here, so that the core's placement arithmetic stays as written.
// Needs an open display (gtk_init_check succeeded).
//
// Mouse-button releases are watched through XInput 2 (XInputMouseUps) on the X display
// GDK has open, from the first observer on; the watch ends with a null observer or this
// window system. Without XInput 2, or on a display that is not an X one, the log says
// why once and no observer is ever called.
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
    void setMouseUpObserver(std::function<void(double x, double y)> observer) override;

    // Flips a rectangle between GDK's and the core's coordinates (the same both ways).
    static Rect flip(const Rect& rect, double referenceBottom);
    static double referenceBottom();
    // The point of the screen at the X root window's pixel (x, y) (top left, y down, in
    // device pixels, as X events and D-Bus tray hosts give it) in the core's
    // coordinates; nullopt while GDK has no display open.
    static std::optional<std::pair<double, double>> fromScreenPixels(double x, double y);

  private:
    // One web context per data store, shared by the views that use it.
    struct WebContexts;
    std::unique_ptr<WebContexts> contexts_;
    std::function<void(double x, double y)> mouseUpObserver_;
    // After the observer, so that it goes first: no release reaches a destroyed observer.
    std::unique_ptr<XInputMouseUps> mouseUps_;
    bool mouseUpsUnavailable_ = false;  // said so in the log already
};

}  // namespace pagemate::linux_backend
