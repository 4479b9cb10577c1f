#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "harness/TestSupport.h"
#include "platform/AudioCodecs.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX, not in a header

namespace pagemate::testing {

// The amplitude of the `frequency` component of `samples` (a Goertzel filter): 0.5 for
// a sine of amplitude 0.5 at that frequency over a whole number of periods, near 0 for
// one far from it.
inline double toneAmplitude(std::span<const float> samples, double frequency, double rate) {
    if (samples.empty()) {
        return 0;
    }
    const double omega = 2 * std::numbers::pi * frequency / rate;
    const double coefficient = 2 * std::cos(omega);
    double previous = 0;
    double beforePrevious = 0;
    for (const float sample : samples) {
        const double current = sample + coefficient * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double real = previous - beforePrevious * std::cos(omega);
    const double imaginary = beforePrevious * std::sin(omega);
    return 2 * std::hypot(real, imaginary) / static_cast<double>(samples.size());
}

// Sample `index` of a sine of the given frequency and amplitude.
inline float sine(double frequency, double amplitude, std::int64_t index, double rate) {
    return static_cast<float>(
        amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(index) / rate));
}

// Runs a command-line tool (found on PATH) with its standard output into `output` and
// its error stream into `output` + ".err"; its exit status, or -1 when it did not run.
inline int runTool(const std::vector<std::string>& arguments, const std::filesystem::path& output) {
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    argv.reserve(copies.size() + 1);
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    const std::string errors = output.string() + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return -1;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Everything a reader gives, channel by channel, read in blocks of `blockFrames`.
struct ReadBack {
    std::vector<std::vector<float>> channels;
    std::vector<std::uint32_t> blockLengths;
    std::variant<std::monostate, AudioError> outcome;
};

inline ReadBack readAll(AudioFileReader& reader, std::uint32_t blockFrames) {
    ReadBack back;
    back.channels.resize(reader.processingFormat().channels);
    const auto block = AudioBlock::make(reader.processingFormat(), blockFrames);
    while (true) {
        auto read = reader.read(*block);
        if (auto* error = std::get_if<AudioError>(&read)) {
            back.outcome = *error;
            return back;
        }
        const std::uint32_t frames = std::get<std::uint32_t>(read);
        if (frames == 0 || block->frameLength() != frames) {
            return back;
        }
        back.blockLengths.push_back(frames);
        for (std::size_t channel = 0; channel < back.channels.size(); ++channel) {
            const auto samples = block->floats(channel);
            back.channels[channel].insert(back.channels[channel].end(), samples.begin(),
                                          samples.end());
        }
    }
}

}  // namespace pagemate::testing
