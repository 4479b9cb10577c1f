#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pagemate {

// What the settings window shows; every text comes from the core, the backend only
// lays it out. Sizes are in points (logical pixels).
struct SettingsWindowOptions {
    std::string title;
    double width = 0, height = 0;
    // One row each, top to bottom: a title and its control.
    std::string serverTitle;
    std::string modelTitle;
    std::vector<std::string> modelItems;
    std::string modeTitle;
    std::vector<std::string> modeItems;
    std::string cursorTitle;
    std::string cursorCheckBoxTitle;
    std::string archiveTitle;
    std::string archiveCheckBoxTitle;
    // The two buttons under the status text; the second is the default one (Return).
    std::string testButtonTitle;
    std::string saveButtonTitle;
};

// The small settings window: a fixed address, two pop-ups, two check boxes, a status
// text and two buttons. Main thread only. The button actions (the save action also for
// the Return key) run on the main thread from the main loop, never inside a call the
// core made, and never after the window is destroyed. Setting a value does not run an
// action. Closing the window only hides it; it is made once and shown again.
class SettingsWindow {
  public:
    enum class PopUp { model, mode };
    enum class CheckBox { followsCursor, archive };

    virtual ~SettingsWindow() = default;

    virtual void setServerText(const std::string& text) = 0;
    [[nodiscard]] virtual std::string serverText() = 0;
    // Indexes into the pop-up's items; an index outside them selects the first item.
    virtual void select(PopUp popUp, int index) = 0;
    [[nodiscard]] virtual int selectedIndex(PopUp popUp) = 0;
    virtual void setChecked(CheckBox checkBox, bool checked) = 0;
    [[nodiscard]] virtual bool isChecked(CheckBox checkBox) = 0;
    // Up to six wrapped lines; line feeds start new lines.
    virtual void setStatusText(const std::string& text) = 0;
    [[nodiscard]] virtual std::string statusText() = 0;

    virtual void setActions(std::function<void()> testConnection, std::function<void()> save) = 0;

    // Shown, with the keyboard focus, in front of other windows.
    virtual void makeKeyAndOrderFront() = 0;
    virtual void orderOut() = 0;
    [[nodiscard]] virtual bool isVisible() = 0;
};

}  // namespace pagemate
