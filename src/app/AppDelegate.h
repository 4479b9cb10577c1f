#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/RunModes.h"
#include "app/SettingsWindowController.h"
#include "platform/InstanceLink.h"
#include "platform/SerialQueue.h"
#include "platform/StatusItem.h"
#include "web/ChatWindowController.h"
#include "web/MeetingController.h"
#include "web/PanelController.h"
#include "web/QuickBarController.h"

namespace pagemate {

// The application delegate: start-up, the long-lived controllers, the status item with
// its menu and commands, and the one-line connection status the menu shows. One
// instance lives for the whole process; every callback it hands out holds it weakly.
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
    [[nodiscard]] QuickBarController* quickBar() const { return quickBar_.get(); }
    [[nodiscard]] MeetingController* meetingController() const { return meetingController_.get(); }
    [[nodiscard]] StatusItem* statusItem() const { return statusItem_.get(); }
    [[nodiscard]] SettingsWindowController* settingsWindow() const { return settingsWindow_.get(); }

    // Builds the status menu anew and gives it to the status item.
    void rebuildMenu();

    // The commands of the status menu.
    void toggleQuickBar();
    void togglePanel();
    void toggleMeeting();
    // Shows or hides the chat window on the address resolution settled on, else on the
    // configured one.
    void toggleChatWindow();
    // Shows the panel when it is hidden, then sends it the Notion context with the
    // selection.
    void readContext();
    void grantPermission();
    void openWebConsole();
    void openSettings();
    void openLogs();
    void openHistory();
    void syncHistoryNow();
    void openRecordings();
    void openFeedback();
    void quit();

    // What another start of the program (or the desktop) asked for, once start-up is
    // done: "activate" shows the panel, the others do what their hot key does.
    void performAction(InstanceAction action);

    // Checks for the accessibility permission every 2 s until it arrives (then the
    // panel's page is told) or the time-out has passed.
    void watchForAccessibility(std::chrono::seconds timeout);

    // Lets tests point the panel at a stand-in service before start-up creates it.
    ServiceResolver::Config panelResolverConfig = ServiceResolver::Config::standard();
    // A self-test run while the program runs in the session: the tray item, the hot
    // keys, the accessibility request and the recovery of meetings are that one's.
    bool besideRunningInstance = false;

  private:
    // Sets the status line from a controller's status callback (and the other writers).
    void setStatusLine(std::string text);
    [[nodiscard]] std::function<void(const std::string&)> statusCallback();
    // A menu command that holds the delegate weakly.
    [[nodiscard]] std::function<void()> command(void (AppDelegate::*operation)());
    [[nodiscard]] bool accessibilityTrusted() const;
    void createStatusItem();
    void createQuickBar();
    void reportStatusItem();
    void resolveServiceAndCheckHealth();
    void requestAccessibility();

    std::vector<std::string> arguments_;
    LaunchModes modes_;
    std::unique_ptr<StatusItem> statusItem_;
    std::shared_ptr<PanelController> panelController_;
    std::shared_ptr<MeetingController> meetingController_;
    std::shared_ptr<ChatWindowController> chatWindow_;
    std::shared_ptr<QuickBarController> quickBar_;
    std::shared_ptr<SettingsWindowController> settingsWindow_;
    // Saves interrupted meetings; destroying it waits for the recovery to end.
    std::unique_ptr<SerialQueue> recovery_;
    std::string statusLine_ = "未连接";
    // Whether the log has said why the status item is not shown.
    bool statusItemHiddenLogged_ = false;
};

}  // namespace pagemate
