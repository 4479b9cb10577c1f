#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/HttpClient.h"
#include "platform/SettingsWindow.h"

namespace pagemate {

// The settings window: the fixed service address, the default model and execution
// mode, the quick bar's placement and the conversation archive, saved into Settings,
// and a test of the connection to the configured service. Made once at start-up and
// kept; closing or saving only hides the window. Main thread only.
class SettingsWindowController : public std::enable_shared_from_this<SettingsWindowController> {
  public:
    struct Choice {
        std::string_view title;  // the pop-up item
        std::string_view value;  // what Settings stores
    };
    static constexpr std::array<Choice, 3> models{{
        {"跟随服务器", ""},
        {"deepseek-chat（快）", "deepseek-chat"},
        {"deepseek-v4-pro（深度推理）", "deepseek-v4-pro"},
    }};
    static constexpr std::array<Choice, 3> modes{{
        {"自动执行", "auto"},
        {"写操作需确认", "confirm"},
        {"只读", "readonly"},
    }};
    static constexpr std::chrono::seconds testTimeout{12};

    // Builds the window and loads it from Settings. The window's buttons hold the
    // controller weakly.
    static std::shared_ptr<SettingsWindowController> create();
    SettingsWindowController();
    SettingsWindowController(const SettingsWindowController&) = delete;
    SettingsWindowController& operator=(const SettingsWindowController&) = delete;

    // Reloads the controls (unsaved changes are dropped) and brings the window to the
    // front with the keyboard focus.
    void show();
    // Controls from Settings.
    void load();
    // Settings from the controls.
    void apply();
    // apply(), "已保存。", onSave, then the window hides.
    void save();
    // Stores the choices (without onSave) and asks the configured service for its
    // configuration; the answer ends up as the status text.
    void testConnection();

    // Run after every save (the start-up wiring refreshes the panel and the menu).
    std::function<void()> onSave;

    [[nodiscard]] SettingsWindow& window() const { return *window_; }

    // The pop-up index of a stored value; anything not in the list is the first item.
    static int indexOf(const std::array<Choice, 3>& choices, std::string_view value);
    // The status text for the answer of the configuration endpoint; `base` is the
    // address the request went to, without "/api/config". Main thread: a report asks
    // for the accessibility permission as it is now.
    static std::string outcomeText(const HttpResponse& response, const std::string& base);

  private:
    std::unique_ptr<SettingsWindow> window_;
};

}  // namespace pagemate
