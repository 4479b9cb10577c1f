#include "platform/linux/GioWorkspace.h"

#include <gio/gio.h>

#include <string>

#include "app/AppLog.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

bool GioWorkspace::openURL(std::string_view url) {
    const std::string address(url);
    GError* rawError = nullptr;
    if (g_app_info_launch_default_for_uri(address.c_str(), nullptr, &rawError) == TRUE) {
        return true;
    }
    const GErrorPtr error(rawError);
    AppLog::write("打开地址失败：" + address + "（" +
                  (error ? std::string(error->message) : std::string("未知原因")) + "）");
    return false;
}

}  // namespace pagemate::linux_backend
