#include "diagnostics/ReportFile.h"

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
    return SafeFile::replaceContents(path, serialize(report));
}

}  // namespace pagemate::ReportFile
