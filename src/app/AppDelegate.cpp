#include "app/AppDelegate.h"

#include "app/AppLog.h"
#include "app/HistoryCommands.h"
#include "app/Settings.h"
#include "notion/NotionContextReader.h"
#include "platform/Platform.h"
#include "support/Text.h"

namespace pagemate {

namespace {

std::string trayLogLine(const StatusItem& item) {
    std::string why;
    switch (item.availability()) {
        case StatusItem::Availability::shown:
            return "托盘图标：已显示";
        case StatusItem::Availability::noTrayHost:
            why = "没有托盘宿主";
            break;
        case StatusItem::Availability::noSessionBus:
            why = "没有 D-Bus 会话总线";
            break;
        case StatusItem::Availability::noDisplay:
            why = "没有显示器";
            break;
    }
    const std::string detail = item.availabilityDetail();
    return "托盘图标：不可用（" + why + (detail.empty() ? "" : "：" + detail) + "）";
}

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

    AppLog::write("正在创建面板…");
    panelController_ = PanelController::create(panelResolverConfig);
    // The meeting controller is created here, before the chat window.
    chatWindow_ = ChatWindowController::create();
    // The quick bar follows here.
    AppLog::write("面板创建完成");
    panelController_->onStatusChange = statusCallback();
    statusItem_ = Platform::current().statusBar->createItem(
        StatusItemOptions{"pagemate-symbolic", "页伴", "页伴（⌥Space 唤出）"});
    if (statusItem_->availability() != StatusItem::Availability::shown) {
        AppLog::write(trayLogLine(*statusItem_));
    }
    statusItem_->setAvailabilityObserver([weakSelf = weak_from_this()] {
        if (const auto self = weakSelf.lock(); self && self->statusItem_) {
            AppLog::write(trayLogLine(*self->statusItem_));
        }
    });

    // The status item, its menu and the four global hot keys follow here.
    rebuildMenu();

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
    // The accessibility prompt and watch follow here.

    if (hasArgument(arguments_, "--show-panel")) {
        const std::weak_ptr<AppDelegate> weakSelf = weak_from_this();
        Platform::current().mainQueue->postAfter(std::chrono::seconds(1), [weakSelf] {
            if (const auto self = weakSelf.lock(); self && self->panelController_) {
                self->panelController_->show();
            }
        });
    }
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

void AppDelegate::toggleChatWindow() {
    if (!chatWindow_) {
        return;
    }
    const Settings& settings = Settings::shared();
    chatWindow_->toggle(settings.runtimeBaseURL().empty() ? settings.serverURL()
                                                          : settings.runtimeBaseURL());
}

void AppDelegate::rebuildMenu() {
    // Until there is a status menu to show it, each rebuild puts the status line in
    // the log, as the menu's status row would read.
    AppLog::write("状态：" + statusLine_);
    if (statusItem_) {
        // A stand-in menu until the status menu proper is built here.
        statusItem_->setMenu(
            {MenuItem{MenuItem::Kind::command, "状态：" + statusLine_, {}, {}, false},
             MenuItem::separator(),
             MenuItem{MenuItem::Kind::command, "退出",
                      [] { Platform::current().application->terminate(); }, "q", true}});
    }
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

void AppDelegate::openHistory() {
    HistoryCommands::openHistory();
}

void AppDelegate::syncHistoryNow() {
    HistoryCommands::syncHistoryNow(panelController_ ? panelController_->onStatusChange
                                                     : std::function<void(const std::string&)>{});
}

}  // namespace pagemate
