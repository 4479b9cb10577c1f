#include <string>
#include <string_view>

#include "base/AppLog.h"
#include "platform/PlatformNotice.h"

namespace pagemate {

namespace {

constexpr std::string_view kSwitchItOnYourself =
    "请在桌面设置里打开辅助技术（GNOME：gsettings set org.gnome.desktop.interface "
    "toolkit-accessibility true），然后重新打开 Notion";

struct Wording {
    std::string operator()(const PreferencesFileUnusable& notice) const {
        std::string why;
        switch (notice.why) {
            case PreferencesFileUnusable::Why::unreadable:
                why = notice.detail;
                break;
            case PreferencesFileUnusable::Why::notRegularFile:
                why = "不是普通文件";
                break;
            case PreferencesFileUnusable::Why::notJson:
                why = "不是有效的 JSON";
                break;
            case PreferencesFileUnusable::Why::notObject:
                why = "顶层不是对象";
                break;
        }
        const std::string head = "设置：偏好文件 " + notice.file + " 无法使用（" + why + "），";
        if (notice.movedTo.empty()) {
            return head + "也无法移走（" + notice.moveError + "），本次运行使用默认值且不写回";
        }
        return head + "已移到 " + notice.movedTo + "，改用默认值";
    }
    std::string operator()(const PreferencesNotSaved& notice) const {
        return notice.file.empty() ? "设置：偏好无法保存：" + notice.detail
                                   : "设置：偏好无法保存到 " + notice.file + "：" + notice.detail;
    }
    std::string operator()(const SecretServiceUnavailable& notice) const {
        return "钥匙串：Secret Service 不可用（" + notice.detail + "），密码按未配置处理";
    }
    std::string operator()(const AddressNotOpened& notice) const {
        return "打开地址失败：" + notice.address + "（" +
               (notice.detail.empty() ? std::string("未知原因") : notice.detail) + "）";
    }
    std::string operator()(const PageAddressRefused& notice) const {
        return "页面要打开的地址不是网页，已拒绝：" + notice.address;
    }
    std::string operator()(const PageMessageDropped& notice) const {
        return "已丢弃来自 " + notice.origin + " 的页面消息：它不是助手服务的页面";
    }
    std::string operator()(const AccessibilityHasNoPrompt&) const {
        return "辅助功能：" + std::string(kSwitchItOnYourself);
    }
    std::string operator()(const AccessibilitySwitchedOn&) const {
        return "辅助功能：已打开桌面的辅助技术开关（toolkit-accessibility），请重新打开 Notion "
               "让它生效";
    }
    std::string operator()(const AccessibilitySwitchNotStored& notice) const {
        return "辅助功能：没能打开桌面的辅助技术开关（toolkit-accessibility 没有保存：" +
               notice.detail + "），" + std::string(kSwitchItOnYourself);
    }
    std::string operator()(const AccessibilitySettingsNotOpened&) const {
        return "辅助功能：找不到桌面的辅助功能设置，请手动打开";
    }
    std::string operator()(const MouseUpsNotWatched& notice) const {
        return "界面：无法监听全局的鼠标松开（" + notice.detail + "）";
    }
    std::string operator()(const SpeechModelUnusable& notice) const {
        return "语音模型：" + notice.locale + " 的模型不完整，已跳过（" + notice.folder + "：" +
               notice.detail + "）";
    }
    std::string operator()(const AlertWithoutDisplay& notice) const {
        return "提示框（无显示器）：" + notice.message + " — " + notice.informativeText;
    }
};

}  // namespace

void reportPlatformNotice(const PlatformNotice& notice) {
    AppLog::write(std::visit(Wording{}, notice));
}

}  // namespace pagemate
