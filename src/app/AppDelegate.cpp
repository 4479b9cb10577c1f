#include "app/AppDelegate.h"

#include <filesystem>

#include "app/AccessibilityWatch.h"
#include "app/HistoryCommands.h"
#include "app/StandardHotKeys.h"
#include "app/StatusMenu.h"
#include "base/AppLog.h"
#include "base/Defaults.h"
#include "base/Settings.h"
#include "meeting/MeetingRecorder.h"
#include "meeting/RecordingsFolder.h"
#include "notion/NotionContextReader.h"
#include "platform/Platform.h"
#include "support/Text.h"
#include "support/Url.h"

namespace pagemate {

namespace {

// The themed icon the project installs (data/icons/hicolor).
constexpr std::string_view kStatusIconName = "pagemate-symbolic";

}  // namespace

AppDelegate::AppDelegate(std::vector<std::string> arguments, LaunchModes modes)
    : arguments_(std::move(arguments)), modes_(std::move(modes)) {}

void AppDelegate::applicationDidFinishLaunching() {
    AppLog::reset("启动");
    std::string joined;
    for (const std::string& argument : arguments_) {
        joined += joined.empty() ? argument : " " + argument;
    }
    AppLog::write("参数：" + joined);
    if (Platform::current().windows->availability() == WindowSystem::Availability::noDisplay) {
        AppLog::write("界面：没有可用的显示器，窗口和提示框不可用");
    }

    if (modes_.selfTest && hasArgument(arguments_, "--selftest")) {
        modes_.selfTest(*this);
        return;
    }

    if (besideRunningInstance) {
        AppLog::write("自检：页伴已在运行，本次不建托盘图标、不注册热键，日志只写到标准错误");
    } else {
        // The status item first: it reaches the tray while the panel's web view starts,
        // which takes most of start-up. Its commands run from the loop, once all is built.
        createStatusItem();
        rebuildMenu();
    }

    AppLog::write("正在创建面板…");
    panelController_ = PanelController::create(panelResolverConfig);
    // The meeting controller is created here, before the chat window.
    meetingController_ = MeetingController::create();
    meetingController_->onStatusChange = statusCallback();
    chatWindow_ = ChatWindowController::create();
    createQuickBar();
    AppLog::write("面板创建完成");
    settingsWindow_ = SettingsWindowController::create();
    panelController_->onOpenSettings = command(&AppDelegate::openSettings);
    panelController_->onStatusChange = statusCallback();

    if (!besideRunningInstance) {
        registerStandardHotKeys(StandardHotKeyActions{
            command(&AppDelegate::toggleQuickBar), command(&AppDelegate::togglePanel),
            command(&AppDelegate::toggleMeeting), command(&AppDelegate::toggleChatWindow)});
    }

    resolveServiceAndCheckHealth();

    AppLog::write(std::string("菜单栏就绪；密码已配置：") +
                  (Settings::shared().hasPassword() ? "true" : "false") + "；辅助功能权限：" +
                  (accessibilityTrusted() ? "已授权" : "未授权"));

    if (const RunMode* mode = chooseRunMode(modes_.modes, arguments_)) {
        mode->run(*this);
        if (!mode->continuesStartup) {
            return;
        }
    }

    if (!besideRunningInstance) {
        // A meeting whose process ended while it recorded is saved now, off the main
        // thread.
        recovery_ = MeetingRecorder::recoverInterruptedInBackground();
        if (!accessibilityTrusted()) {
            requestAccessibility();
        }
    }

    if (hasArgument(arguments_, "--show-panel")) {
        const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
        Platform::current().mainQueue->postAfter(std::chrono::seconds(1), [weakSelf] {
            if (const auto self = weakSelf.lock()) {
                self->panelController_->show();
            }
        });
    }
}

void AppDelegate::createQuickBar() {
    quickBar_ = QuickBarController::create();
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    // Known only once the tray host has told where the user clicked the icon; without
    // it the bar goes to the top right corner when it does not follow the cursor.
    quickBar_->statusItemFrame = [weakSelf]() -> std::optional<Rect> {
        const auto self = weakSelf.lock();
        if (!self || !self->statusItem_) {
            return std::nullopt;
        }
        return self->statusItem_->lastKnownFrame();
    };
    quickBar_->startTrackingCursor();
    quickBar_->onExpand = [weakSelf](const std::string& draft) {
        if (const auto self = weakSelf.lock()) {
            AppLog::write("快速条 → 展开完整面板");
            self->panelController_->show(draft);
        }
    };
    quickBar_->onStatusChange = statusCallback();
}

void AppDelegate::requestAccessibility() {
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    Platform::current().mainQueue->postAfter(std::chrono::milliseconds(1500), [weakSelf] {
        if (weakSelf.lock()) {
            AppLog::write("申请辅助功能权限（系统弹窗）");
            NotionContextReader::requestPermission();
        }
    });
    watchForAccessibility(std::chrono::seconds(90));
}

void AppDelegate::watchForAccessibility(std::chrono::seconds timeout) {
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    AccessibilityWatch::start(timeout, [weakSelf] {
        const auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        // Trays on Linux give no moment before the menu opens: its permission row is
        // brought up to date now.
        self->rebuildMenu();
        if (self->panelController_) {
            self->panelController_->sendHostEvent({{"type", "permission"}, {"trusted", true}});
        }
    });
}

void AppDelegate::createStatusItem() {
    statusItem_ = Platform::current().statusBar->createItem(
        StatusItemOptions{std::string(kStatusIconName), "页伴", "页伴（⌥Space 唤出）"});
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    statusItem_->setAvailabilityObserver([weakSelf] {
        if (const auto self = weakSelf.lock()) {
            self->reportStatusItem();
        }
    });
    reportStatusItem();
}

void AppDelegate::reportStatusItem() {
    using Availability = StatusItem::Availability;
    const Availability availability = statusItem_->availability();
    if (availability == Availability::shown) {
        if (statusItemHiddenLogged_) {
            AppLog::write("状态栏：托盘已出现，图标已显示");
            statusItemHiddenLogged_ = false;
        }
        return;
    }
    if (statusItemHiddenLogged_) {
        return;
    }
    statusItemHiddenLogged_ = true;
    std::string why = availability == Availability::noTrayHost ? "桌面没有运行状态栏托盘"
                      : availability == Availability::noSessionBus ? "没有 D-Bus 会话总线"
                                                                   : "没有可用的显示器";
    if (const std::string detail = statusItem_->availabilityDetail(); !detail.empty()) {
        why += "：" + detail;
    }
    AppLog::write("状态栏：看不到图标（" + why +
                  "）。用快捷键打开：⌥⇧Space（Alt+Shift+Space）完整助手，⌥⇧C（Alt+Shift+C）"
                  "大窗口，⌥Space（Alt+Space）快速输入，⌥⇧M（Alt+Shift+M）会议记录");
}

void AppDelegate::resolveServiceAndCheckHealth() {
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    panelController_->resolveServer([weakSelf](const std::string& base) {
        const auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        self->setStatusLine(contains(base, "127.0.0.1") ? "本地服务" : "线上服务");
        if (!self->panelController_) {
            return;
        }
        self->panelController_->checkHealth([weakSelf](bool healthy) {
            const auto delegate = weakSelf.lock();
            if (!delegate) {
                return;
            }
            const PanelController* panel = delegate->panelController_.get();
            // The service on this machine is the local one, whether it was reached as
            // the primary or as the fallback.
            const bool local =
                panel != nullptr &&
                (panel->usingFallbackServer() || contains(panel->resolvedServerURL(), "127.0.0.1"));
            delegate->setStatusLine(std::string(healthy ? "" : "连不上 • ") +
                                    (local ? "本地服务" : "线上服务"));
        });
    });
}

void AppDelegate::setStatusLine(std::string text) {
    statusLine_ = std::move(text);
    rebuildMenu();
}

std::function<void()> AppDelegate::command(void (AppDelegate::*operation)()) {
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    return [weakSelf, operation] {
        if (const auto self = weakSelf.lock()) {
            ((*self).*operation)();
        }
    };
}

void AppDelegate::rebuildMenu() {
    if (!statusItem_) {
        return;
    }
    StatusMenu::Commands commands;
    commands.toggleQuickBar = command(&AppDelegate::toggleQuickBar);
    commands.toggleChatWindow = command(&AppDelegate::toggleChatWindow);
    commands.togglePanel = command(&AppDelegate::togglePanel);
    commands.toggleMeeting = command(&AppDelegate::toggleMeeting);
    commands.readContext = command(&AppDelegate::readContext);
    commands.grantPermission = command(&AppDelegate::grantPermission);
    commands.openWebConsole = command(&AppDelegate::openWebConsole);
    commands.openSettings = command(&AppDelegate::openSettings);
    commands.openLogs = command(&AppDelegate::openLogs);
    commands.openHistory = command(&AppDelegate::openHistory);
    commands.syncHistoryNow = command(&AppDelegate::syncHistoryNow);
    commands.openRecordings = command(&AppDelegate::openRecordings);
    commands.openFeedback = command(&AppDelegate::openFeedback);
    commands.quit = command(&AppDelegate::quit);
    statusItem_->setMenu(StatusMenu::build({statusLine_, accessibilityTrusted()}, commands));
}

std::function<void(const std::string&)> AppDelegate::statusCallback() {
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    return [weakSelf](const std::string& text) {
        if (const auto self = weakSelf.lock()) {
            self->setStatusLine(text);
        }
    };
}

bool AppDelegate::accessibilityTrusted() const {
    return NotionContextReader::isTrusted();
}

void AppDelegate::toggleQuickBar() {
    if (quickBar_) {
        quickBar_->toggle();
    }
}

void AppDelegate::togglePanel() {
    panelController_->toggle();
}

void AppDelegate::toggleMeeting() {
    meetingController_->toggle();
}

void AppDelegate::toggleChatWindow() {
    const Settings& settings = Settings::shared();
    chatWindow_->toggle(settings.runtimeBaseURL().empty() ? settings.serverURL()
                                                          : settings.runtimeBaseURL());
}

void AppDelegate::readContext() {
    if (!panelController_->window().isVisible()) {
        panelController_->show();
    }
    panelController_->notifyContext(true);
}

void AppDelegate::grantPermission() {
    NotionContextReader::requestPermission();
    Platform::current().accessibility->openSettings();
}

void AppDelegate::openWebConsole() {
    const std::string address(trimCharacter(Settings::shared().serverURL(), '/'));
    if (isAbsoluteURL(address)) {
        Platform::current().workspace->openURL(address);
    }
}

void AppDelegate::openSettings() {
    const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
    settingsWindow_->onSave = [weakSelf] {
        if (const auto self = weakSelf.lock()) {
            self->panelController_->refreshBootstrap();
            self->setStatusLine("设置已更新");
        }
    };
    settingsWindow_->show();
}

void AppDelegate::openLogs() {
    AppLog::write("用户打开日志");
    Platform::current().workspace->openFile(AppLog::currentPath());
}

void AppDelegate::openHistory() {
    HistoryCommands::openHistory();
}

void AppDelegate::syncHistoryNow() {
    HistoryCommands::syncHistoryNow(panelController_->onStatusChange);
}

void AppDelegate::openRecordings() {
    openRecordingsFolder();
}

void AppDelegate::openFeedback() {
    if (isAbsoluteURL(Defaults::feedbackURL)) {
        AppLog::write("打开官网反馈区");
        Platform::current().workspace->openURL(Defaults::feedbackURL);
    }
}

void AppDelegate::performAction(InstanceAction action) {
    switch (action) {
        case InstanceAction::activate:
            // Starting the program again is asking to see it: show, never hide.
            panelController_->show();
            break;
        case InstanceAction::quickBar:
            toggleQuickBar();
            break;
        case InstanceAction::panel:
            togglePanel();
            break;
        case InstanceAction::chat:
            toggleChatWindow();
            break;
        case InstanceAction::meeting:
            toggleMeeting();
            break;
    }
}

void AppDelegate::quit() {
    Platform::current().application->terminate();
}

}  // namespace pagemate
