#include "app/SettingsWindowController.h"

#include <nlohmann/json.hpp>

#include "base/Settings.h"
#include "notion/NotionContextReader.h"
#include "platform/Platform.h"
#include "support/Url.h"

namespace pagemate {

namespace {

using PopUp = SettingsWindow::PopUp;
using CheckBox = SettingsWindow::CheckBox;

std::vector<std::string> titlesOf(const std::array<SettingsWindowController::Choice, 3>& choices) {
    std::vector<std::string> titles;
    titles.reserve(choices.size());
    for (const auto& choice : choices) {
        titles.emplace_back(choice.title);
    }
    return titles;
}

std::string_view valueAt(const std::array<SettingsWindowController::Choice, 3>& choices,
                         int index) {
    return index >= 0 && static_cast<std::size_t>(index) < choices.size()
               ? choices.at(static_cast<std::size_t>(index)).value
               : choices.front().value;
}

bool isTrue(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_boolean() && found->get<bool>();
}

// A member that is an object, else an empty one.
nlohmann::json objectMember(const nlohmann::json& object, const char* name) {
    const auto found = object.find(name);
    return found != object.end() && found->is_object() ? *found : nlohmann::json::object();
}

// Five lines: the service's version and readiness, then this computer's permission.
std::string report(const nlohmann::json& config) {
    const auto version = config.find("version");
    const nlohmann::json ready = objectMember(config, "ready");
    const nlohmann::json asr = objectMember(config, "asr");
    std::string text = "连接正常（服务版本 ";
    text += version != config.end() && version->is_string() ? version->get<std::string>() : "?";
    text += "）。\nNotion：";
    text += isTrue(ready, "notion") ? "已连接" : "未配置 Token";
    text += "\nDeepSeek：";
    text += isTrue(ready, "deepseek") ? "已连接" : "未配置 Key";
    text += "\n会议转写：";
    text += isTrue(asr, "localAvailable") ? "本机识别" : "不可用（没有安装本机语音模型）";
    text += "\n辅助功能权限：";
    text += NotionContextReader::isTrusted() ? "已授权" : "未授权（无法读取页面 / 粘贴回 Notion）";
    return text;
}

}  // namespace

std::shared_ptr<SettingsWindowController> SettingsWindowController::create() {
    auto controller = std::make_shared<SettingsWindowController>();
    const std::weak_ptr<SettingsWindowController> weakController = controller;
    controller->window_->setActions(
        [weakController] {
            if (const auto self = weakController.lock()) {
                self->testConnection();
            }
        },
        [weakController] {
            if (const auto self = weakController.lock()) {
                self->save();
            }
        });
    return controller;
}

SettingsWindowController::SettingsWindowController() {
    SettingsWindowOptions options;
    options.title = "页伴 · 设置";
    options.width = 470;
    options.height = 330;
    options.serverTitle = "服务器（固定）";
    options.modelTitle = "默认模型";
    options.modelItems = titlesOf(models);
    options.modeTitle = "默认执行模式";
    options.modeItems = titlesOf(modes);
    options.cursorTitle = "快速输入条位置";
    options.cursorCheckBoxTitle = "快速输入条跟随光标出现（取消则固定在菜单栏图标下方）";
    options.archiveTitle = "对话历史";
    options.archiveCheckBoxTitle = "对话自动存到 Notion（多设备可看、可搜索；菜单里能打开历史）";
    options.testButtonTitle = "测试连接";
    options.saveButtonTitle = "保存";
    window_ = Platform::current().windows->createSettingsWindow(options);
    load();
}

int SettingsWindowController::indexOf(const std::array<Choice, 3>& choices,
                                      std::string_view value) {
    // The first choice is where every unknown value lands, so it is not looked for.
    for (std::size_t index = 1; index < choices.size(); ++index) {
        if (choices.at(index).value == value) {
            return static_cast<int>(index);
        }
    }
    return 0;
}

void SettingsWindowController::show() {
    load();
    Platform::current().windows->activateSelf();
    window_->makeKeyAndOrderFront();
}

void SettingsWindowController::load() {
    const Settings& settings = Settings::shared();
    window_->setServerText(settings.serverURL());
    window_->select(PopUp::model, indexOf(models, settings.model()));
    window_->select(PopUp::mode, indexOf(modes, settings.agentMode()));
    window_->setChecked(CheckBox::followsCursor, settings.quickBarFollowsCursor());
    window_->setChecked(CheckBox::archive, settings.archiveConversations());
}

void SettingsWindowController::apply() {
    Settings& settings = Settings::shared();
    settings.setModel(valueAt(models, window_->selectedIndex(PopUp::model)));
    settings.setAgentMode(valueAt(modes, window_->selectedIndex(PopUp::mode)));
    settings.setQuickBarFollowsCursor(window_->isChecked(CheckBox::followsCursor));
    settings.setArchiveConversations(window_->isChecked(CheckBox::archive));
}

void SettingsWindowController::save() {
    apply();
    window_->setStatusText("已保存。");
    if (onSave) {
        onSave();
    }
    window_->orderOut();
}

void SettingsWindowController::testConnection() {
    apply();
    window_->setStatusText("正在测试…");
    // The configured address (already without "/" at its ends), not the one resolution
    // settled on: this tests the setting.
    std::string base = Settings::shared().serverURL();
    std::string url = base + "/api/config";
    if (!isValidURL(url)) {
        window_->setStatusText("服务器地址无效。");
        return;
    }
    HttpRequest request;
    request.url = std::move(url);
    request.timeout = testTimeout;
    request.headers.emplace_back("x-app-password", Settings::shared().password());

    Platform& platform = Platform::current();
    MainQueue& queue = *platform.mainQueue;
    auto completion = [&queue, weakSelf = weak_from_this(), base](HttpResponse response) {
        // Arrives on the client's thread: the window is only touched on the main one.
        queue.post([weakSelf, base, response = std::move(response)] {
            if (const auto self = weakSelf.lock()) {
                self->window_->setStatusText(outcomeText(response, base));
            }
        });
    };
    platform.http->send(std::move(request), std::move(completion));
}

std::string SettingsWindowController::outcomeText(const HttpResponse& response,
                                                  const std::string& base) {
    if (!response.status) {
        return "连不上 " + base + "。请检查网络连接。";
    }
    const int status = *response.status;
    if (status == 401) {
        return "服务器要求访问密码，但本机没配。检查服务端 .env 里的 APP_PASSWORD。";
    }
    if (status == 404) {
        return "服务器还是旧版本（没有 /api/config）。请先按 deploy/ONLINE-DEPLOYMENT.md "
               "部署新版后端。";
    }
    if (status == 200 && response.body) {
        const nlohmann::json config = nlohmann::json::parse(*response.body, nullptr, false);
        if (config.is_object()) {
            return report(config);
        }
    }
    return "服务器返回异常（" + std::to_string(status) + "）。";
}

}  // namespace pagemate
