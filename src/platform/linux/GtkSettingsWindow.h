#pragma once

#include <memory>

#include "platform/SettingsWindow.h"
#include "platform/linux/GtkForward.h"

namespace pagemate::linux_backend {

// The settings window in GTK 3: a fixed-size dialog-like top-level window, centred,
// with the rows stacked from the top. The Return key is the save button's, whatever
// control has the focus (an open pop-up keeps its own keys). Its controls carry
// widget names (server, model, mode, followsCursor, archive, status, test, save) for
// assistive technologies and tests. Needs an open display.
class GtkSettingsWindow final : public SettingsWindow {
  public:
    explicit GtkSettingsWindow(const SettingsWindowOptions& options);
    GtkSettingsWindow(const GtkSettingsWindow&) = delete;
    GtkSettingsWindow& operator=(const GtkSettingsWindow&) = delete;
    ~GtkSettingsWindow() override;

    void setServerText(const std::string& text) override;
    [[nodiscard]] std::string serverText() override;
    void select(PopUp popUp, int index) override;
    [[nodiscard]] int selectedIndex(PopUp popUp) override;
    void setChecked(CheckBox checkBox, bool checked) override;
    [[nodiscard]] bool isChecked(CheckBox checkBox) override;
    void setStatusText(const std::string& text) override;
    [[nodiscard]] std::string statusText() override;
    void setActions(std::function<void()> testConnection, std::function<void()> save) override;
    void makeKeyAndOrderFront() override;
    void orderOut() override;
    [[nodiscard]] bool isVisible() override;

    // The top-level window.
    [[nodiscard]] GtkWidget* widget() const;

  private:
    struct Widgets;
    std::unique_ptr<Widgets> widgets_;
};

}  // namespace pagemate::linux_backend
