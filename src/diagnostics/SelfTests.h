#pragma once

#include <chrono>
#include <nlohmann/json.hpp>

namespace pagemate::SelfTests {

inline constexpr const char* selfTestReportPath = "/tmp/pagemate-selftest.json";
// The activation test shares the panel test's file.
inline constexpr const char* activationReportPath = "/tmp/pagemate-paneltest.json";

// The page address every parser check uses: a title and a page id on Notion's web host.
inline constexpr const char* sampleNotionURL =
    "https://www.notion.so/p/项目计划-3d074ad6303a802dae31cfa9aed04de3";

struct Timings {
    std::chrono::milliseconds healthTimeout{5000};  // the request's own time-out
    std::chrono::milliseconds healthWait{8000};     // how long the report waits for it
};

// The application self-test: settings, trust, Notion, the parser on the sample and the
// service's health. Blocks the calling (main) thread for at most `healthWait`.
nlohmann::json applicationReport(const Timings& timings = {});

// The Notion activation test: brings Notion to the front and back, probing its focused
// element up to three times, 300 ms apart, while none can be had.
nlohmann::json activationReport();

// "--selftest" and "--activatetest": the report to its file (the self-test's also to
// standard output), then the program ends.
void runSelfTest();
void runActivationTest();

}  // namespace pagemate::SelfTests
