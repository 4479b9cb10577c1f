#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pagemate {

class AppDelegate;

// A self-test mode chosen by a command-line switch once start-up has built everything.
struct RunMode {
    std::string_view flag;
    std::function<void(AppDelegate&)> run;
    // False for modes that end start-up where they are dispatched (they terminate
    // the program once their report is written).
    bool continuesStartup = false;
};

struct LaunchModes {
    // "--selftest", run before anything is created; empty while there is no self-test.
    std::function<void(AppDelegate&)> selfTest;
    // Tested in this order; the first switch present decides.
    std::vector<RunMode> modes;

    // The program's own modes. This table is the one place where a mode is added.
    static LaunchModes standard();
};

bool hasArgument(const std::vector<std::string>& arguments, std::string_view flag);

// The first mode of `modes` whose switch is among the arguments, or nullptr.
const RunMode* chooseRunMode(const std::vector<RunMode>& modes,
                             const std::vector<std::string>& arguments);

// The minutes of "--longrecordtest": the argument after its first occurrence as a
// decimal integer with an optional sign within the 64-bit range, otherwise 60.
std::int64_t longRecordMinutes(const std::vector<std::string>& arguments);

}  // namespace pagemate
