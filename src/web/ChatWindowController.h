#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/WindowSystem.h"

namespace pagemate {

// The large chat window: the service's "/panel" page in an ordinary resizable window,
// as a browser would show it (no host bridge). The page is loaded once per base, so
// showing the window again keeps the conversation the page holds. Closing only hides
// the window; its frame is kept in the preferences under frameName.
class ChatWindowController : public std::enable_shared_from_this<ChatWindowController> {
  public:
    static constexpr std::string_view frameName = "PagemateChatWindow";
    static constexpr double minWidth = 560;
    static constexpr double minHeight = 440;

    static std::shared_ptr<ChatWindowController> create();
    // Use create(): the frame observer holds the controller weakly.
    ChatWindowController();
    ChatWindowController(const ChatWindowController&) = delete;
    ChatWindowController& operator=(const ChatWindowController&) = delete;

    void show(const std::string& base);
    // Hides the window when it is in front with the focus; otherwise shows it.
    void toggle(const std::string& base);
    [[nodiscard]] bool isVisible() const;

    [[nodiscard]] const std::string& loadedBase() const { return loadedBase_; }
    [[nodiscard]] DocumentWindow& window() const { return *window_; }

    // Fills the window with the page and keeps its main block at most 880 px wide.
    static std::string layoutStyleScript();
    // The stored form of a frame, "x y width height"; nullopt for anything else,
    // including sizes and places beyond any desktop.
    static std::string formatFrame(const Rect& frame);
    static std::optional<Rect> parseFrame(std::string_view text);

  private:
    void restoreFrame();
    void frameChanged();
    void saveFrame();

    std::unique_ptr<DocumentWindow> window_;
    std::string loadedBase_;
    unsigned frameChanges_ = 0;
};

}  // namespace pagemate
