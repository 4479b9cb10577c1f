#include "app/StandardHotKeys.h"

#include <string>

#include "app/HotKeyManager.h"
#include "base/AppLog.h"
#include "platform/Platform.h"

namespace pagemate {

namespace {

std::string availabilityReason(HotKeys::Availability availability) {
    switch (availability) {
        case HotKeys::Availability::noDisplay:
            return "没有显示器";
        case HotKeys::Availability::waylandSession:
            return "Wayland 会话";
        case HotKeys::Availability::available:
            break;
    }
    return {};
}

// One line of the notification: the combination, why it does not work, and the way
// round it.
std::string insteadUse(const StandardHotKey& key);

std::string failureLine(const StandardHotKey& key, const HotKeyRegistration& registration,
                        HotKeys::Availability availability) {
    std::string line = std::string(key.keys) + " ";
    switch (registration.outcome) {
        case HotKeyRegistration::Outcome::taken:
            line += "已被其他程序占用";
            break;
        case HotKeyRegistration::Outcome::unavailable:
            line += "在此桌面不可用（" + availabilityReason(availability) + "）";
            break;
        case HotKeyRegistration::Outcome::refused:
        case HotKeyRegistration::Outcome::registered:
            line += "无法注册（错误 " + std::to_string(registration.status) + "）";
            break;
    }
    return line + insteadUse(key);
}

std::string insteadUse(const StandardHotKey& key) {
    return "，请改用状态栏图标菜单里的「" + std::string(key.menuItem) + "」。";
}

const StandardHotKey* standardKeyOf(const HotKeyIdentifier& identifier) {
    for (const StandardHotKey& key : kStandardHotKeys) {
        if (identifier == HotKeyIdentifier{HotKeyManager::signature, key.id}) {
            return &key;
        }
    }
    return nullptr;
}

void notifyNotWorking(const std::string& body) {
    const Notification notice{"页伴", "input-keyboard", "页伴：部分快捷键无法使用", body};
    Platform::current().notifications->notify(notice, [](const Notifications::Result& result) {
        if (!result.shown) {
            AppLog::write("全局热键：桌面通知没有发出（" + result.detail + "）");
        }
    });
}

// What the desktop bound: one log line, and the notification for those it did not bind.
void reportBindings(const HotKeyBindings& bindings) {
    std::string bound;
    for (const HotKeyBindings::Bound& binding : bindings.bound) {
        if (const StandardHotKey* key = standardKeyOf(binding.identifier)) {
            bound += std::string(bound.empty() ? "" : "、") + std::string(key->name) + "（" +
                     (binding.trigger.empty() ? "未设按键" : binding.trigger) + "）";
        }
    }
    AppLog::write("全局热键：桌面已绑定 " + std::to_string(bindings.bound.size()) + " 个" +
                  (bound.empty() ? "" : "：" + bound) +
                  (bindings.failure.empty() ? "" : "（" + bindings.failure + "）"));
    std::string body;
    for (const HotKeyIdentifier& identifier : bindings.unbound) {
        if (const StandardHotKey* key = standardKeyOf(identifier)) {
            body += (body.empty() ? "" : "\n") + std::string(key->keys) + " 没有被桌面绑定" +
                    insteadUse(*key);
        }
    }
    if (!body.empty()) {
        notifyNotWorking(body);
    }
}

}  // namespace

void registerStandardHotKeys(StandardHotKeyActions actions) {
    Platform& platform = Platform::current();
    const HotKeys::Availability availability = platform.hotKeys->availability();
    if (availability != HotKeys::Availability::available) {
        const std::string detail = platform.hotKeys->availabilityDetail();
        AppLog::write("全局热键：不可用（" + availabilityReason(availability) +
                      (detail.empty() ? "" : "：" + detail) + "）");
    }

    const std::array<std::function<void()>*, 4> inOrder = {&actions.quickBar, &actions.panel,
                                                           &actions.meeting, &actions.chatWindow};
    std::string body;
    HotKeyManager& manager = HotKeyManager::shared();
    platform.hotKeys->setBindingsHandler(&reportBindings);
    for (std::size_t index = 0; index < kStandardHotKeys.size(); ++index) {
        const StandardHotKey& key = kStandardHotKeys[index];
        platform.hotKeys->setLabel(HotKeyIdentifier{HotKeyManager::signature, key.id},
                                   HotKeyLabel{std::string(key.name), std::string(key.menuItem)});
        const HotKeyRegistration registration =
            manager.registerHotKey(key.keyCode, key.modifiers, key.id, std::move(*inOrder[index]));
        if (registration.status != 0) {
            body += (body.empty() ? "" : "\n") + failureLine(key, registration, availability);
        }
    }
    if (!body.empty()) {
        notifyNotWorking(body);
    }
}

}  // namespace pagemate
