#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace pagemate {

// The report of a running probe as it stands, shared with its watchdog; main thread
// only. `done` once the probe has handed over its final report.
struct ProbeReport {
    nlohmann::json values = nlohmann::json::object();
    bool done = false;
};

// After `delay`, unless the probe is done by then: writes the report so far with "ok"
// false and "error" = timeoutText to `path`, and ends the program.
void armProbeWatchdog(const std::shared_ptr<ProbeReport>& report, std::chrono::seconds delay,
                      std::string timeoutText, std::filesystem::path path);

}  // namespace pagemate
