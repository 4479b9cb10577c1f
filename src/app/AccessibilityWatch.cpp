#include "app/AccessibilityWatch.h"

#include <string>

#include "app/AppLog.h"
#include "notion/NotionContextReader.h"
#include "platform/Platform.h"

namespace pagemate::AccessibilityWatch {

namespace {

struct Watch {
    MainQueue::Clock::time_point deadline;
    std::chrono::seconds timeout;
    std::function<void()> onGranted;
};

void poll(const std::shared_ptr<Watch>& watch) {
    MainQueue& queue = *Platform::current().mainQueue;
    if (NotionContextReader::isTrusted()) {
        AppLog::write("辅助功能权限：已生效，无需重启");
        if (watch->onGranted) {
            watch->onGranted();
        }
        return;
    }
    if (queue.now() < watch->deadline) {
        queue.postAfter(pollInterval, [watch] { poll(watch); });
        return;
    }
    AppLog::write(
        "辅助功能权限：等待 " + std::to_string(watch->timeout.count()) +
        " 秒仍未生效。若系统设置里的开关已经是打开的，说明那条记录属于重新签名前的旧版本："
        "选中本 App 点「−」移除，再点「+」从「应用程序」重新添加即可。");
}

}  // namespace

void start(std::chrono::seconds timeout, std::function<void()> onGranted) {
    MainQueue& queue = *Platform::current().mainQueue;
    auto watch =
        std::make_shared<Watch>(Watch{queue.now() + timeout, timeout, std::move(onGranted)});
    queue.postAfter(pollInterval, [watch] { poll(watch); });
}

}  // namespace pagemate::AccessibilityWatch
