// How fast the capture's converter turns 10 minutes of 48 kHz stereo float, in the
// capture's 4 096-frame blocks, into the meeting's 16 kHz mono float, against sox doing
// the same to the same samples in the same run. Run: scripts/bench, or
// build/bench/convert_speed [minutes].

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <variant>
#include <vector>

#include "BenchFigures.h"
#include "harness/TestSupport.h"
#include "platform/linux/AvAudioCodecs.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX, not in a header

namespace {

using namespace pagemate;
using Clock = std::chrono::steady_clock;

constexpr std::uint32_t blockFrames = 4096;
constexpr double sourceRate = 48000;

// Two tones and a little noise on the left, another tone on the right: enough that no
// part of the work can be skipped.
std::vector<AudioBlockPtr> makeSource(const AudioFormat& format, double minutes) {
    const auto total = static_cast<std::int64_t>(minutes * 60 * sourceRate);
    std::vector<AudioBlockPtr> blocks;
    std::uint32_t noise = 12345;
    for (std::int64_t first = 0; first < total; first += blockFrames) {
        const auto frames =
            static_cast<std::uint32_t>(std::min<std::int64_t>(blockFrames, total - first));
        const auto block = AudioBlock::make(format, frames);
        block->setFrameLength(frames);
        auto samples = block->floats(0);
        for (std::uint32_t n = 0; n < frames; ++n) {
            const double t = static_cast<double>(first + n) / sourceRate;
            noise = noise * 1664525U + 1013904223U;
            const double hiss = (static_cast<double>(noise >> 8) / (1U << 24) - 0.5) * 0.02;
            samples[2 * std::size_t{n}] =
                static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 440 * t) +
                                   0.2 * std::sin(2 * std::numbers::pi * 3100 * t) + hiss);
            samples[2 * std::size_t{n} + 1] =
                static_cast<float>(0.4 * std::sin(2 * std::numbers::pi * 660 * t));
        }
        blocks.push_back(block);
    }
    return blocks;
}

int runSox(const std::vector<std::string>& arguments) {
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    argv.reserve(copies.size() + 1);
    for (std::string& argument : copies) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, "sox", nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10;
    const AudioFormat capture{SampleType::float32, sourceRate, 2, true};
    const std::vector<AudioBlockPtr> source = makeSource(capture, minutes);
    const double seconds = minutes * 60;

    const testing::TempDir directory;
    const auto in = directory.path() / "in.raw";
    const auto out = directory.path() / "out.raw";
    {
        std::ofstream raw(in, std::ios::binary);
        for (const AudioBlockPtr& block : source) {
            const auto bytes = block->bytes(0).first(std::size_t{block->frameLength()} * 8);
            raw.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
        }
    }

    // Ours, as the capture does it: one output block per captured block.
    linux_backend::AvAudioCodecs codecs;
    auto made = codecs.makeConverter(capture, AudioFormat::meeting());
    if (auto* error = std::get_if<AudioError>(&made)) {
        static_cast<void>(std::fprintf(stderr, "no converter: %s\n", error->description.c_str()));
        return 1;
    }
    auto& converter = *std::get<std::unique_ptr<AudioConverter>>(made);
    std::int64_t ourFrames = 0;
    double checksum = 0;
    const auto ourStart = Clock::now();
    for (const AudioBlockPtr& block : source) {
        const auto capacity =
            static_cast<std::uint32_t>(std::floor(16000 / sourceRate * block->frameLength())) +
            1024;
        const auto output = AudioBlock::make(AudioFormat::meeting(), capacity);
        if (std::holds_alternative<AudioError>(converter.convert(*block, *output))) {
            static_cast<void>(std::fprintf(stderr, "conversion failed\n"));
            return 1;
        }
        ourFrames += output->frameLength();
        checksum += output->frameLength() > 0 ? output->floats(0)[0] : 0;
    }
    const double ourSeconds = std::chrono::duration<double>(Clock::now() - ourStart).count();

    const auto soxStart = Clock::now();
    const int soxStatus = runSox(
        {"sox",        "-t",    "raw", "-r", "48000", "-e", "floating-point", "-b", "32", "-c", "2",
         in.string(),  "-t",    "raw", "-r", "16000", "-e", "floating-point", "-b", "32", "-c", "1",
         out.string(), "remix", "1"});
    const double soxSeconds = std::chrono::duration<double>(Clock::now() - soxStart).count();
    if (soxStatus != 0) {
        static_cast<void>(std::fprintf(stderr, "sox failed (%d)\n", soxStatus));
        return 1;
    }
    const auto soxFrames = static_cast<std::int64_t>(std::filesystem::file_size(out) / 4);

    // How much of sox's time is its reading, writing and channel picking, without the
    // rate change: for reading the comparison, not part of it.
    const auto picked = directory.path() / "picked.raw";
    const auto pickStart = Clock::now();
    const int pickStatus = runSox({"sox",
                                   "-t",
                                   "raw",
                                   "-r",
                                   "48000",
                                   "-e",
                                   "floating-point",
                                   "-b",
                                   "32",
                                   "-c",
                                   "2",
                                   in.string(),
                                   "-t",
                                   "raw",
                                   "-r",
                                   "48000",
                                   "-e",
                                   "floating-point",
                                   "-b",
                                   "32",
                                   "-c",
                                   "1",
                                   picked.string(),
                                   "remix",
                                   "1"});
    const double pickSeconds = std::chrono::duration<double>(Clock::now() - pickStart).count();

    std::printf("converting %.1f min of 48 kHz stereo float to 16 kHz mono float\n", minutes);
    std::printf("%-32s %9s %12s %12s\n", "", "seconds", "x realtime", "frames out");
    std::printf("%-32s %9.3f %12.0f %12lld\n", "AvConverter, 4096-frame blocks", ourSeconds,
                seconds / ourSeconds, static_cast<long long>(ourFrames));
    std::printf("%-32s %9.3f %12.0f %12lld\n", "sox file to file", soxSeconds, seconds / soxSeconds,
                static_cast<long long>(soxFrames));
    if (pickStatus == 0) {
        std::printf("%-32s %9.3f %12.0f %12s\n", "sox, no rate change", pickSeconds,
                    seconds / pickSeconds, "(48 kHz)");
    }
    std::printf("speed ours / sox's: %.2f (goal at least 1.1)   [checksum %.3f]\n",
                soxSeconds / ourSeconds, checksum);
    char figure[96];
    (void)std::snprintf(figure, sizeof figure,
                        "convert %.0f min 48 kHz stereo to 16 kHz mono: time", minutes);
    bench::reportFigure(figure, ourSeconds, "s", bench::Reference{"sox", soxSeconds});
    return 0;
}
