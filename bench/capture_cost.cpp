// The capture's cost per block: the time in its block handler (level, conversion to
// 16 kHz mono, hand-on) for 4096-frame blocks of 48 kHz stereo float, as the system
// audio brings them, through the FFmpeg converter. Prints the median and the worst
// over the blocks.
//   capture_cost [blocks]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "BenchFigures.h"
#include "meeting/AudioCapture.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/AvAudioCodecs.h"

int main(int argc, char** argv) {
    using namespace pagemate;
    const int blocks = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    const fake::FakePlatform platform;
    Platform::current().audioCodecs = std::make_unique<linux_backend::AvAudioCodecs>();
    const auto capture = AudioCapture::make();
    std::size_t handedOn = 0;
    capture->onBuffer = [&](AudioCapture::Source /*source*/, const AudioBlockPtr& block) {
        handedOn += block->frameLength();
    };

    const AudioFormat format{SampleType::float32, 48000, 2, true};
    std::vector<std::shared_ptr<AudioBlock>> inputs;
    for (int index = 0; index < 8; ++index) {
        auto block = AudioBlock::make(format, 4096);
        block->setFrameLength(4096);
        const std::span<float> samples = block->floats(0);
        for (std::size_t sample = 0; sample < samples.size(); ++sample) {
            const std::size_t frame = (static_cast<std::size_t>(index) * 4096) + (sample / 2);
            samples[sample] = static_cast<float>(
                0.3 * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(frame) / 48000));
        }
        inputs.push_back(std::move(block));
    }

    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(blocks));
    for (int index = 0; index < blocks; ++index) {
        const AudioBlockPtr block = inputs[static_cast<std::size_t>(index) % inputs.size()];
        const auto start = std::chrono::steady_clock::now();
        capture->handle(AudioCapture::Source::system, block);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        micros.push_back(std::chrono::duration<double, std::micro>(elapsed).count());
    }
    std::vector<double> sorted = micros;
    std::ranges::sort(sorted);
    std::printf(
        "capture block handler, 4096 frames of 48 kHz stereo float (%d blocks, %zu "
        "frames handed on)\n",
        blocks, handedOn);
    std::printf("  median %.1f us, worst %.1f us (%.1f ms of audio per block)\n",
                sorted[sorted.size() / 2], sorted.back(), 4096.0 / 48.0);
    bench::reportFigure("capture: block handler, median", sorted[sorted.size() / 2], "us");
    bench::reportFigure("capture: block handler, worst", sorted.back(), "us");
    return 0;
}
