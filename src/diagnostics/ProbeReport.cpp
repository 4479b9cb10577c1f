#include "diagnostics/ProbeReport.h"

#include "diagnostics/ReportFile.h"
#include "platform/Platform.h"

namespace pagemate {

void armProbeWatchdog(const std::shared_ptr<ProbeReport>& report, std::chrono::seconds delay,
                      std::string timeoutText, std::filesystem::path path) {
    Platform::current().mainQueue->postAfter(
        delay, [report, text = std::move(timeoutText), path = std::move(path)] {
            if (report->done) {
                return;
            }
            report->done = true;
            nlohmann::json values = report->values;
            values["ok"] = false;
            values["error"] = text;
            ReportFile::writeAndEnd(path, values);
        });
}

}  // namespace pagemate
