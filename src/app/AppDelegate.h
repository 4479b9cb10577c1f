#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/RunModes.h"
#include "platform/StatusItem.h"
#include "web/ChatWindowController.h"
#include "web/PanelController.h"

namespace pagemate {

// The application delegate: start-up, the long-lived controllers and the one-line
// connection status the status menu shows. One instance lives for the whole process;
// every callback it hands out holds it weakly.
class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
  public:
    static std::shared_ptr<AppDelegate> create(std::vector<std::string> arguments,
                                               LaunchModes modes = LaunchModes::standard()) {
        return std::make_shared<AppDelegate>(std::move(arguments), std::move(modes));
    }
    AppDelegate(std::vector<std::string> arguments, LaunchModes modes);

    // Runs once, on the main thread, when the run loop has started.
    void applicationDidFinishLaunching();

    [[nodiscard]] const std::string& statusLine() const { return statusLine_; }
    [[nodiscard]] const std::vector<std::string>& arguments() const { return arguments_; }
    [[nodiscard]] PanelController* panelController() const { return panelController_.get(); }
    [[nodiscard]] ChatWindowController* chatWindow() const { return chatWindow_.get(); }

    // Shows or hides the chat window on the address resolution settled on, else on the
    // configured one.
    void toggleChatWindow();

    void openHistory();
    void syncHistoryNow();

    // Lets tests point the panel at a stand-in service before start-up creates it.
    ServiceResolver::Config panelResolverConfig = ServiceResolver::Config::standard();

  private:
    // Sets the status line from a controller's status callback (and the other writers).
    void setStatusLine(std::string text);
    void rebuildMenu();
    [[nodiscard]] std::function<void(const std::string&)> statusCallback();
    [[nodiscard]] bool accessibilityTrusted() const;
    void resolveServiceAndCheckHealth();

    std::vector<std::string> arguments_;
    LaunchModes modes_;
    std::shared_ptr<PanelController> panelController_;
    std::shared_ptr<ChatWindowController> chatWindow_;
    std::unique_ptr<StatusItem> statusItem_;
    std::string statusLine_ = "未连接";
};

}  // namespace pagemate
