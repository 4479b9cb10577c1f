// How fast the pocketsphinx channel recogniser is: its real-time factor on about 60 s of
// the recorded LibriVox sentences, one channel and two at once, against the command-line
// decoder (pocketsphinx_continuous -infile) on the same audio in the same run; the
// latency of the first partial result and of an utterance's final result when the audio
// comes in real time (1600 frames every 100 ms); and the resident memory two channels
// take. Needs pocketsphinx-en-us, pocketsphinx-testdata and pocketsphinx; scripts/bench.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "fixtures/SpeechAudio.h"
#include "harness/TestSupport.h"
#include "platform/fake/MemoryPreferencesStore.h"
#include "platform/linux/SphinxSpeechRecognizer.h"

namespace {

using namespace std::chrono;
using pagemate::SpeechChannelRecognizer;
using pagemate::SpeechRecognizer;
using pagemate::linux_backend::SphinxModelLocations;
using pagemate::linux_backend::SphinxSpeechRecognizer;
using pagemate::testing::ResultCollector;
namespace testing = pagemate::testing;

constexpr std::int64_t rate = 16000;

double secondsSince(steady_clock::time_point start) {
    return duration<double>(steady_clock::now() - start).count();
}

// Resident memory of this process in kB.
long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

struct Audio {
    std::vector<std::int16_t> samples;
    std::vector<std::string> words;  // what is said, in order
};

// The sentences one after another, half a second of silence before each, until `seconds`.
Audio makeAudio(const std::vector<testing::LibrivoxSentence>& sentences, double seconds) {
    Audio audio;
    for (std::size_t i = 0; static_cast<double>(audio.samples.size()) < seconds * rate; ++i) {
        const auto& sentence = sentences[i % sentences.size()];
        audio.samples.insert(audio.samples.end(), rate / 2, 0);
        audio.samples.insert(audio.samples.end(), sentence.samples.begin(), sentence.samples.end());
        audio.words.insert(audio.words.end(), sentence.words.begin(), sentence.words.end());
    }
    audio.samples.insert(audio.samples.end(), rate / 2, 0);
    return audio;
}

// CPU seconds (user + system) this process, or its finished children, used so far.
double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct Run {
    double seconds = 0;  // wall time
    std::string text;
};

// pocketsphinx_continuous on the file, model loading included, as one would run it.
Run commandLine(const std::filesystem::path& wav, const std::filesystem::path& output,
                double* cpu) {
    const std::string command = "pocketsphinx_continuous -infile '" + wav.string() +
                                "' -logfn /dev/null > '" + output.string() + "' 2>/dev/null";
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    const auto start = steady_clock::now();
    const int status = std::system(command.c_str());
    Run run{secondsSince(start), {}};
    *cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    if (status != 0) {
        (void)std::fprintf(stderr, "pocketsphinx_continuous failed (%d)\n", status);
    }
    std::ifstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        run.text += line + " ";
    }
    return run;
}

std::unique_ptr<SpeechChannelRecognizer> prepared(SpeechRecognizer& speech) {
    auto made = speech.makeChannel("en-US");
    auto channel = std::get<std::unique_ptr<SpeechChannelRecognizer>>(std::move(made));
    const auto format = channel->bestFormat(pagemate::AudioFormat::meeting());
    if (!std::holds_alternative<std::monostate>(channel->prepare(*format))) {
        (void)std::fprintf(stderr, "prepare failed\n");
        std::exit(1);
    }
    return channel;
}

std::string finals(const ResultCollector& collector) {
    std::string text;
    for (const auto& received : collector.results()) {
        text += received.result.final ? received.result.text + " " : "";
    }
    return text;
}

struct Channels {
    std::vector<Run> runs;   // decoding time: from the first push to the finalize completion
    double loadSeconds = 0;  // making and preparing the channels (loading the model)
    double cpuSeconds = 0;   // all the channels' CPU time, loading included
    long residentBefore = 0;
    long residentLoaded = 0;
    long residentDecoded = 0;  // the channels still alive
};

// `count` channels at once, each fed the whole audio at once from a thread of its own
// (as fast as it decodes), up to their finalize completions.
Channels channels(SpeechRecognizer& speech, const Audio& audio, int count) {
    Channels figures;
    figures.residentBefore = residentKb();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    const auto loadStart = steady_clock::now();
    std::vector<std::unique_ptr<SpeechChannelRecognizer>> recognizers;
    std::vector<std::unique_ptr<ResultCollector>> collectors;
    for (int i = 0; i < count; ++i) {
        recognizers.push_back(prepared(speech));
        collectors.push_back(std::make_unique<ResultCollector>());
    }
    figures.loadSeconds = secondsSince(loadStart);
    figures.residentLoaded = residentKb();
    const auto start = steady_clock::now();
    std::vector<std::thread> feeders;
    feeders.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        feeders.emplace_back([&, i] {
            auto& channel = *recognizers[static_cast<std::size_t>(i)];
            auto& collector = *collectors[static_cast<std::size_t>(i)];
            (void)channel.start(collector.resultHandler(), collector.failureHandler());
            testing::pushSamples(channel, audio.samples, 0);
            channel.finalize(collector.finalizeHandler());
        });
    }
    for (auto& feeder : feeders) {
        feeder.join();
    }
    for (auto& collector : collectors) {
        if (!collector->waitFinalized(minutes(5))) {
            (void)std::fprintf(stderr, "finalize did not complete\n");
        }
        figures.runs.push_back(Run{secondsSince(start), finals(*collector)});
    }
    figures.residentDecoded = residentKb();
    figures.cpuSeconds = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    return figures;
}

struct Latency {
    double firstPartial = -1;  // from the first speech sample pushed
    double finalResult = -1;   // from the last speech sample of that utterance pushed
};

// Real-time feeding: 1600 frames every 100 ms by the wall clock. One second of
// silence, a sentence, two seconds of silence, another sentence, one second of silence.
std::vector<Latency> realTime(SpeechRecognizer& speech,
                              const std::vector<testing::LibrivoxSentence>& sentences) {
    std::vector<std::int16_t> samples(rate, 0);
    std::vector<std::pair<std::int64_t, std::int64_t>> spoken;  // [first, end) samples
    for (const std::size_t index : {std::size_t{1}, std::size_t{4}}) {
        const auto& sentence = sentences[index].samples;
        spoken.emplace_back(samples.size(), samples.size() + sentence.size());
        samples.insert(samples.end(), sentence.begin(), sentence.end());
        samples.insert(samples.end(), 2 * rate, 0);
    }
    auto channel = prepared(speech);
    ResultCollector collector;
    (void)channel->start(collector.resultHandler(), collector.failureHandler());
    constexpr std::int64_t block = 1600;
    std::vector<steady_clock::time_point> pushedAt;  // per block
    const auto start = steady_clock::now();
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(samples.size()); at += block) {
        const auto next = start + milliseconds(100 * (at / block));
        std::this_thread::sleep_until(next);
        const std::vector<std::int16_t> part(
            samples.begin() + at,
            samples.begin() + std::min<std::int64_t>(at + block, std::ssize(samples)));
        pushedAt.push_back(steady_clock::now());
        testing::pushSamples(*channel, part, at);
    }
    channel->finalize(collector.finalizeHandler());
    collector.waitFinalized(seconds(30));
    const auto results = collector.results();
    std::vector<Latency> latencies;
    for (const auto& [first, end] : spoken) {
        Latency latency;
        const auto firstPushed = pushedAt[static_cast<std::size_t>(first / block)];
        const auto lastPushed = pushedAt[static_cast<std::size_t>((end - 1) / block)];
        for (const auto& received : results) {
            const double at = received.result.start * rate;
            if (at < static_cast<double>(first) - rate || at >= static_cast<double>(end)) {
                continue;
            }
            if (!received.result.final && latency.firstPartial < 0) {
                latency.firstPartial = duration<double>(received.at - firstPushed).count();
            }
            if (received.result.final && latency.finalResult < 0) {
                latency.finalResult = duration<double>(received.at - lastPushed).count();
            }
        }
        latencies.push_back(latency);
    }
    return latencies;
}

}  // namespace

int main() {
    const auto sentences = testing::librivoxSentences();
    if (sentences.size() != 5) {
        (void)std::fprintf(stderr, "the LibriVox sentences of pocketsphinx-testdata are missing\n");
        return 1;
    }
    testing::TempDir folder;
    pagemate::fake::MemoryPreferencesStore preferences;
    SphinxSpeechRecognizer speech(
        SphinxModelLocations{"/usr/share/pocketsphinx/model/en-us", folder.path() / "models"},
        preferences);
    const Audio audio = makeAudio(sentences, 60);
    const double audioSeconds = static_cast<double>(audio.samples.size()) / rate;
    const auto wav = folder.path() / "speech.wav";
    testing::writeWav16(wav, audio.samples);
    const auto share = [&](const std::string& heard) {
        return 100.0 * static_cast<double>(testing::wordsFound(audio.words, heard)) /
               static_cast<double>(audio.words.size());
    };

    std::printf("speech recognition speed, %.1f s of LibriVox speech (%zu words), %u cores\n",
                audioSeconds, audio.words.size(), std::thread::hardware_concurrency());
    std::printf("%-36s %7s %9s %7s %7s %6s\n", "decoder", "load s", "decode s", "RTF", "CPU s",
                "words");
    double cliCpu = 0;
    const Run cli = commandLine(wav, folder.path() / "cli.txt", &cliCpu);
    std::printf("%-36s %7s %9.2f %7.3f %7.2f %5.0f%%\n", "pocketsphinx_continuous (with load)", "-",
                cli.seconds, cli.seconds / audioSeconds, cliCpu, share(cli.text));

    const Channels one = channels(speech, audio, 1);
    std::printf("%-36s %7.2f %9.2f %7.3f %7.2f %5.0f%%\n", "one channel", one.loadSeconds,
                one.runs[0].seconds, one.runs[0].seconds / audioSeconds, one.cpuSeconds,
                share(one.runs[0].text));

    const Channels two = channels(speech, audio, 2);
    for (std::size_t i = 0; i < two.runs.size(); ++i) {
        std::printf("%-36s %7.2f %9.2f %7.3f %7.2f %5.0f%%\n",
                    ("two channels at once: channel " + std::to_string(i + 1)).c_str(),
                    two.loadSeconds, two.runs[i].seconds, two.runs[i].seconds / audioSeconds,
                    two.cpuSeconds / 2, share(two.runs[i].text));
    }
    const double both = two.loadSeconds + std::max(two.runs[0].seconds, two.runs[1].seconds);
    std::printf(
        "two channels together, load included, vs the command line alone: wall %.2f s "
        "vs %.2f s (%s), CPU %.2f s vs %.2f s\n",
        both, cli.seconds, both <= cli.seconds ? "no slower" : "slower", two.cpuSeconds, cliCpu);
    // The command line loads its model and decodes in one run: compared with the same.
    const auto against = [](double value) {
        return pagemate::bench::Reference{"pocketsphinx_continuous", value};
    };
    pagemate::bench::reportFigure("speech: one channel, load + decode of 60 s",
                                  one.loadSeconds + one.runs[0].seconds, "s", against(cli.seconds));
    pagemate::bench::reportFigure("speech: two channels at once, load + decode of 60 s", both, "s",
                                  against(cli.seconds));
    pagemate::bench::reportFigure("speech: one channel, words recognised", share(one.runs[0].text),
                                  "%", against(share(cli.text)));

    std::printf("\nlatency, fed in real time (1600 frames every 100 ms)\n");
    const auto latencies = realTime(speech, sentences);
    for (std::size_t i = 0; i < latencies.size(); ++i) {
        std::printf(
            "utterance %zu: first partial %.2f s after its first speech block, "
            "final %.2f s after its last speech block\n",
            i + 1, latencies[i].firstPartial, latencies[i].finalResult);
        const std::string utterance =
            "speech, fed in real time: utterance " + std::to_string(i + 1);
        pagemate::bench::reportFigure(utterance + ", first partial", latencies[i].firstPartial,
                                      "s");
        pagemate::bench::reportFigure(utterance + ", final after its end", latencies[i].finalResult,
                                      "s");
    }

    std::printf(
        "\nresident memory (kB): before two channels %ld, loaded %ld (+%ld), decoded "
        "%ld (+%ld)\n",
        two.residentBefore, two.residentLoaded, two.residentLoaded - two.residentBefore,
        two.residentDecoded, two.residentDecoded - two.residentBefore);
    pagemate::bench::reportFigure(
        "speech: two channels, resident memory added",
        static_cast<double>(two.residentDecoded - two.residentBefore) / 1024.0, "MiB");
    return 0;
}
