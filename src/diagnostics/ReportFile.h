#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

namespace pagemate::ReportFile {

// The report as written: pretty-printed with sorted keys; empty when it cannot be
// serialised (text that is not UTF-8).
std::string serialize(const nlohmann::json& report);

// Replaces the file at `path` (or this user's own file of that name, AppLog::fileFor)
// with the serialised report, without following links planted at the path. False when
// nothing could be written.
bool write(const std::filesystem::path& path, const nlohmann::json& report);

// The end of a self-test run: writes its final report (and the same bytes to standard
// output when asked), then ends the program. A report that could not be written is
// said in one log line, and the program ends with a failure status.
void writeAndEnd(const std::filesystem::path& path, const nlohmann::json& report,
                 bool alsoToStandardOutput = false);

}  // namespace pagemate::ReportFile
