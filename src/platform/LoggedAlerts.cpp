#include "platform/Alerts.h"
#include "platform/PlatformNotice.h"

namespace pagemate {

int LoggedAlerts::show(const Alert& alert) {
    reportPlatformNotice(AlertWithoutDisplay{alert.message, alert.informativeText});
    return 0;
}

}  // namespace pagemate
