#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace pagemate::ReportFile {

// The report as written: pretty-printed with sorted keys; empty when it cannot be
// serialised (text that is not UTF-8).
std::string serialize(const nlohmann::json& report);

// Replaces the file at `path` with the serialised report, without following links
// planted at the path. False when nothing could be written.
bool write(const std::filesystem::path& path, const nlohmann::json& report);

}  // namespace pagemate::ReportFile
