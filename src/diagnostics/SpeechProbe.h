#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

// The on-device recogniser checked from the command line ("--speechtest"): what it
// supports and has installed, with a closer look at Chinese, and one run end to end on
// silence. No state of its own. Main thread; completions run on the main thread; the
// blocking questions to the recogniser are asked on a thread of their own.
namespace pagemate::SpeechProbe {

inline constexpr const char* reportPath = "/tmp/pagemate-speechtest.json";

using Completion = std::function<void(nlohmann::json)>;

struct Options {
    // Where the live test's watchdog writes; empty: reportPath.
    std::filesystem::path reportPath;
    std::chrono::seconds watchdog{30};
};

// The supported and installed locales and the state of the first Chinese model.
void report(Completion completion);

// Makes the model ready, opens a recogniser for the preferred locale in the format it
// prefers, feeds it 1.5 s of silence in blocks of up to 1 024 frames 20 ms apart and
// finalizes it. A watchdog writes the report so far and ends the program when the
// recogniser does not finish within `watchdog`.
void liveTranscribeTest(Completion completion, const Options& options = {});

// "--speechtest": report(), then liveTranscribeTest() under the key "live".
void run(Completion completion, const Options& options = {});

}  // namespace pagemate::SpeechProbe
