#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

// Self-tests of the meeting recorder that need no microphone, sound server or user:
// generated tones are played as a meeting's two sounds through the meeting run (a
// ProbeMeeting, recorded, not transcribed, not uploaded), and the report says what came
// out. Each test arms a watchdog on the main queue that, if the test hangs, writes the
// report as it stands with "ok" false and the time-out text to the report file itself
// and ends the program. Main thread; the completion runs on the main thread with the
// final report (which always has "ok").
namespace pagemate::MeetingProbe {

inline constexpr const char* recordTestReportPath = "/tmp/pagemate-recordtest.json";
inline constexpr const char* longRecordTestReportPath = "/tmp/pagemate-longrecordtest.json";

using Completion = std::function<void(nlohmann::json)>;

struct Options {
    // Where the watchdog writes; empty: the test's own file above.
    std::filesystem::path reportPath;
    // The pause after each block played; none: the test's own, as a meeting's blocks
    // arrive over time (none for the short recording test).
    std::optional<std::chrono::microseconds> feedPause;
};

// 30 s of a 440 Hz tone (microphone) and a 660 Hz tone (system sound) in 1 600-frame
// blocks, finished into an ".m4a" file that is read back and then deleted. 60 s
// watchdog.
void recordTest(Completion completion, const Options& options = {});

// The long test records at least a minute and at most a day (some 11 GB of raw audio
// in the temporary folder); other values are refused in the report.
inline constexpr std::int64_t minLongRecordMinutes = 1;
inline constexpr std::int64_t maxLongRecordMinutes = std::int64_t{24} * 60;

// `minutes` of the same 440 Hz block on both sources, played with a pause of 1.6 ms
// after each block, with the resident memory sampled every fifth block; then
// the finish is timed and the file read back and deleted. Watchdog: minutes × 6 + 300 s.
void longRecordTest(std::int64_t minutes, Completion completion, const Options& options = {});

// The resident memory of this process in MiB; 0 when it cannot be read.
double residentMemoryMiB();
// The bytes of all regular files under the folder, links not followed.
std::uintmax_t bytesUnder(const std::filesystem::path& folder);

}  // namespace pagemate::MeetingProbe
