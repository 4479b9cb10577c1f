#include "app/HotKeyManager.h"

#include <map>
#include <string>

#include "base/AppLog.h"
#include "platform/Platform.h"

namespace pagemate {

struct HotKeyManager::State {
    HotKeys* hotKeys = nullptr;  // the platform's, which owns this state through its handler
    MainQueue* queue = nullptr;
    bool handlerInstalled = false;
    std::map<std::uint32_t, Action> actions;
    std::vector<std::optional<HotKeyRef>> registrations;
};

HotKeyManager& HotKeyManager::shared() {
    static HotKeyManager manager;
    return manager;
}

std::shared_ptr<HotKeyManager::State> HotKeyManager::state() {
    if (auto current = state_.lock()) {
        return current;
    }
    auto fresh = std::make_shared<State>();
    Platform& platform = Platform::current();
    fresh->hotKeys = platform.hotKeys.get();
    fresh->queue = platform.mainQueue.get();
    state_ = fresh;
    return fresh;
}

HotKeyRegistration HotKeyManager::registerHotKey(std::uint32_t keyCode, std::uint32_t modifiers,
                                                 std::uint32_t id, Action action) {
    const std::shared_ptr<State> records = state();
    records->actions[id] = std::move(action);

    if (!records->handlerInstalled) {
        // The platform keeps the handler, and the handler the records: a press finds
        // them as long as the platform's hot keys live.
        records->hotKeys->setPressHandler([records](const HotKeyIdentifier& identifier) {
            if (identifier.signature != signature) {
                return;  // another program's combination
            }
            const std::weak_ptr<State> weak = records;
            const std::uint32_t pressed = identifier.id;
            records->queue->post([weak, pressed] {
                const auto current = weak.lock();
                if (!current) {
                    return;
                }
                const auto found = current->actions.find(pressed);
                if (found == current->actions.end() || !found->second) {
                    return;
                }
                // A copy: the action may register again and replace itself.
                const Action run = found->second;
                run();
            });
        });
        records->handlerInstalled = true;
    }

    HotKeyRegistration registration =
        records->hotKeys->registerHotKey(keyCode, modifiers, HotKeyIdentifier{signature, id});
    if (registration.status != 0) {
        AppLog::write("注册全局热键失败（id=" + std::to_string(id) + "）：" +
                      std::to_string(registration.status));
    }
    records->registrations.push_back(registration.status == 0 ? registration.ref : std::nullopt);
    return registration;
}

std::vector<std::optional<HotKeyRef>> HotKeyManager::registrations() const {
    const auto current = state_.lock();
    return current ? current->registrations : std::vector<std::optional<HotKeyRef>>{};
}

}  // namespace pagemate
