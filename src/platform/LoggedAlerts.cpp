#include "app/AppLog.h"
#include "platform/Alerts.h"

namespace pagemate {

int LoggedAlerts::show(const Alert& alert) {
    AppLog::write("提示框（无显示器）：" + alert.message + " — " + alert.informativeText);
    return 0;
}

}  // namespace pagemate
