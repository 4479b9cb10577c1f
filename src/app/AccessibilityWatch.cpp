#include "app/AccessibilityWatch.h"

#include <string>

#include "base/AppLog.h"
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
    AppLog::write("辅助功能权限：等待 " + std::to_string(watch->timeout.count()) +
                  " 秒仍未生效。若桌面设置里的辅助功能（无障碍）开关已经打开，请确认辅助功能总线"
                  "（at-spi2-core）正在运行，再重新启动 Notion：它只在启动时连上辅助功能总线。");
}

}  // namespace

void start(std::chrono::seconds timeout, std::function<void()> onGranted) {
    MainQueue& queue = *Platform::current().mainQueue;
    auto watch =
        std::make_shared<Watch>(Watch{queue.now() + timeout, timeout, std::move(onGranted)});
    queue.postAfter(pollInterval, [watch] { poll(watch); });
}

}  // namespace pagemate::AccessibilityWatch
