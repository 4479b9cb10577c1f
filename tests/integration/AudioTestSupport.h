#pragma once

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <numbers>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "harness/TestSupport.h"
#include "platform/AudioCodecs.h"

namespace pagemate::testing {

// The amplitude of the `frequency` component of `samples` (a Goertzel filter): 0.5 for
// a sine of amplitude 0.5 at that frequency over a whole number of periods, near 0 for
// one far from it.
inline double toneAmplitude(std::span<const float> samples, double frequency, double rate) {
    const double omega = 2 * std::numbers::pi * frequency / rate;
    double previous = 0;
    double beforePrevious = 0;
    for (const float sample : samples) {
        const double current = sample + 2 * std::cos(omega) * previous - beforePrevious;
        beforePrevious = previous;
        previous = current;
    }
    const double real = previous - beforePrevious * std::cos(omega);
    const double imaginary = beforePrevious * std::sin(omega);
    return samples.empty() ? 0
                           : 2 * std::hypot(real, imaginary) / static_cast<double>(samples.size());
}

// Sample `index` of a sine of the given frequency and amplitude.
inline float sine(double frequency, double amplitude, std::int64_t index, double rate) {
    return static_cast<float>(
        amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(index) / rate));
}

// Everything a reader gives, channel by channel, read in blocks of `blockFrames`.
struct ReadBack {
    std::vector<std::vector<float>> channels;
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
        for (std::size_t channel = 0; channel < back.channels.size(); ++channel) {
            const auto samples = block->floats(channel);
            back.channels[channel].insert(back.channels[channel].end(), samples.begin(),
                                          samples.end());
        }
    }
}

}  // namespace pagemate::testing
