#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Geometry.h"
#include "platform/SettingsWindow.h"
#include "platform/WebView.h"

namespace pagemate {

struct Screen {
    Rect frame;
    Rect visibleFrame;  // without panels and docks
};

struct PanelOptions {
    std::string title;  // for the window list and assistive technologies
    Rect contentRect;
    double minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    bool floating = true;     // above other windows, on every workspace
    std::string webDataName;  // the web view's persistent data store
    bool developerExtras = false;
};

// The quick bar: a borderless strip of fixed width above other windows and on every
// workspace, that can take the keyboard focus. Its background is transparent where the
// page leaves it so (with a shadow where the desktop's compositor draws one), and the
// user can move it by dragging its background. Its height changes through setFrame().
struct QuickBarOptions {
    std::string title;  // for the window list and assistive technologies
    Rect contentRect;
    double minHeight = 0, maxHeight = 0;
    std::string webDataName;  // the web view's persistent data store
};

// A floating tool window holding one web view.
class PanelWindow {
  public:
    virtual ~PanelWindow() = default;
    [[nodiscard]] virtual WebView& webView() = 0;
    virtual void orderFront() = 0;  // shown, key, in front
    virtual void orderOut() = 0;
    [[nodiscard]] virtual bool isVisible() = 0;
    [[nodiscard]] virtual Rect frame() = 0;
    virtual void setFrame(const Rect& frame) = 0;
    // The visible frame of the screen the window is on.
    [[nodiscard]] virtual std::optional<Rect> screenVisibleFrame() = 0;
};

struct DocumentWindowOptions {
    std::string title;
    Rect contentRect;
    double minWidth = 0, minHeight = 0;
    // Run at the end of every document of the main frame.
    std::vector<std::string> documentEndScripts;
    std::string webDataName;  // the web view's persistent data store
};

// An ordinary titled, closable, resizable window around one web view that is a plain
// browser view: no message handler, no host scripts. Closing it only hides it.
class DocumentWindow {
  public:
    virtual ~DocumentWindow() = default;
    [[nodiscard]] virtual WebView& webView() = 0;
    virtual void makeKeyAndOrderFront() = 0;
    virtual void orderOut() = 0;
    [[nodiscard]] virtual bool isVisible() = 0;
    // Whether it has the keyboard focus.
    [[nodiscard]] virtual bool isKey() = 0;
    [[nodiscard]] virtual Rect frame() = 0;
    virtual void setFrame(const Rect& frame) = 0;
    // Called after the user moved or resized the window.
    virtual void setFrameObserver(std::function<void()> observer) = 0;
};

// Windows, screens and the pointer. Used on the main thread only.
class WindowSystem {
  public:
    enum class Availability {
        available,
        noDisplay,  // no screen to show windows on: windows are made but never appear
    };

    virtual ~WindowSystem() = default;
    [[nodiscard]] virtual Availability availability() const { return Availability::available; }
    virtual std::unique_ptr<PanelWindow> createPanel(const PanelOptions& options) = 0;
    virtual std::unique_ptr<DocumentWindow> createDocumentWindow(
        const DocumentWindowOptions& options) = 0;
    virtual std::unique_ptr<SettingsWindow> createSettingsWindow(
        const SettingsWindowOptions& options) = 0;
    // The quick bar's window; its web view has the "pagemate" message handler.
    virtual std::unique_ptr<PanelWindow> createQuickBar(const QuickBarOptions& options) = 0;
    [[nodiscard]] virtual std::vector<Screen> screens() = 0;
    // The screen with the keyboard focus, else the first.
    [[nodiscard]] virtual std::optional<Screen> mainScreen() = 0;
    [[nodiscard]] virtual std::pair<double, double> mouseLocation() = 0;
    // Brings this program to the front.
    virtual void activateSelf() = 0;
    // Tells `observer` of every release of the left or the right mouse button anywhere on
    // the screen, in any other application, with the pointer's position then in the core's
    // coordinates; releases over this program's own windows are not told. The pointer is
    // only watched, never grabbed: every click still goes where it went. The observer is
    // called on the main thread, from the main loop, never inside a call the core made; a
    // new observer replaces the old one, a null one stops the watch, and nothing is called
    // once the window system is destroyed. A window system that cannot watch the pointer
    // calls nothing (the Linux one says why in the log, once).
    // NOLINTNEXTLINE(performance-unnecessary-value-param): overrides keep the observer
    virtual void setMouseUpObserver(std::function<void(double x, double y)> /*observer*/) {}
};

}  // namespace pagemate
