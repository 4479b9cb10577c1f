#include "diagnostics/ReportFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/AppLog.h"
#include "platform/Platform.h"
#include "support/SafeFile.h"

namespace pagemate::ReportFile {

std::string serialize(const nlohmann::json& report) {
    try {
        // nlohmann::json keeps object members in key order.
        return report.dump(2);
    } catch (const nlohmann::json::exception&) {
        return "";
    }
}

bool write(const std::filesystem::path& path, const nlohmann::json& report) {
    return SafeFile::replaceContents(AppLog::fileFor(path), serialize(report));
}

void writeAndEnd(const std::filesystem::path& path, const nlohmann::json& report,
                 bool alsoToStandardOutput) {
    errno = 0;
    if (!write(path, report)) {
        const int error = errno;
        AppLog::write("自检：报告写不进 " + AppLog::fileFor(path).string() + "（" +
                      (error != 0 ? std::strerror(error) : "不是本用户的普通文件") +
                      "），本次运行以失败结束");
        Platform::current().application->markFailed();
    }
    if (alsoToStandardOutput) {
        const std::string text = serialize(report);
        (void)std::fwrite(text.data(), 1, text.size(), stdout);
        (void)std::fflush(stdout);
    }
    Platform::current().application->terminate();
}

}  // namespace pagemate::ReportFile
