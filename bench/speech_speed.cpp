// How fast the pocketsphinx channel recogniser is: its processor time and real-time
// factor on about 60 s of the recorded LibriVox sentences, one channel and two at once,
// with its live search settings and with pocketsphinx's defaults (the settings it had
// before), against the command-line decoder (pocketsphinx_continuous -infile, default
// settings) on the same audio in the same run; the latency of the first partial result
// and of an utterance's final result when the audio comes in real time (1600 frames
// every 100 ms); the resident memory two channels take; and the memory and the longest
// utterance over 10 minutes of sound without a pause (three readers at once). Needs
// pocketsphinx-en-us, pocketsphinx-testdata and pocketsphinx; scripts/bench.

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
using pagemate::linux_backend::SphinxTuning;
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

struct LongSound {
    double longestUtterance = 0;  // seconds, from an utterance's first result to its final's end
    long residentAfterOneMinute = 0;
    long residentAtTheEnd = 0;
};

// `minutes` of three readers talking at once, pushed a second at a time, decoded as it
// comes; resident memory once the first minute is decoded and at the end.
LongSound longSound(SpeechRecognizer& speech,
                    const std::vector<testing::LibrivoxSentence>& sentences, int minutes) {
    std::vector<std::int16_t> reading;
    for (const auto& sentence : sentences) {
        reading.insert(reading.end(), sentence.samples.begin(), sentence.samples.end());
    }
    auto channel = prepared(speech);
    ResultCollector collector;
    (void)channel->start(collector.resultHandler(), collector.failureHandler());
    LongSound figures;
    std::vector<std::int16_t> second(rate);
    for (std::int64_t at = 0; at < std::int64_t{minutes} * 60 * rate; at += rate) {
        for (std::int64_t n = 0; n < rate; ++n) {
            const auto take = [&](std::int64_t lag) {
                return reading[static_cast<std::size_t>((at + n + lag) % std::ssize(reading))] / 2;
            };
            second[static_cast<std::size_t>(n)] =
                static_cast<std::int16_t>(take(0) + take(37000) + take(82000));
        }
        testing::pushSamples(*channel, second, at);
        while (channel->undecodedSeconds() > 5) {
            std::this_thread::sleep_for(milliseconds(20));
        }
        if (at == 59 * rate) {
            while (channel->undecodedSeconds() > 0) {
                std::this_thread::sleep_for(milliseconds(20));
            }
            figures.residentAfterOneMinute = residentKb();
        }
    }
    channel->finalize(collector.finalizeHandler());
    collector.waitFinalized(minutes * 60 * 1s);
    figures.residentAtTheEnd = residentKb();
    double utteranceStart = -1;
    for (const auto& received : collector.results()) {
        const auto& result = received.result;
        utteranceStart = utteranceStart < 0 ? result.start : utteranceStart;
        if (result.final) {
            figures.longestUtterance =
                std::max(figures.longestUtterance, result.start + result.duration - utteranceStart);
            utteranceStart = -1;
        }
    }
    return figures;
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
    const SphinxModelLocations locations{"/usr/share/pocketsphinx/model/en-us",
                                         folder.path() / "models"};
    SphinxSpeechRecognizer speech(locations, preferences, SphinxTuning::live);
    SphinxSpeechRecognizer engineDefaults(locations, preferences, SphinxTuning::engineDefaults);
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
    std::printf("%-44s %7s %9s %7s %7s %6s\n", "decoder", "load s", "decode s", "RTF", "CPU s",
                "words");
    double cliCpu = 0;
    const Run cli = commandLine(wav, folder.path() / "cli.txt", &cliCpu);
    std::printf("%-44s %7s %9.2f %7.3f %7.2f %5.1f%%\n", "pocketsphinx_continuous (with load)", "-",
                cli.seconds, cli.seconds / audioSeconds, cliCpu, share(cli.text));

    struct Tuned {
        const char* name;
        Channels one;
        Channels two;
    };
    std::vector<Tuned> tunings;
    for (auto& [name, recognizer] :
         {std::pair<const char*, SpeechRecognizer*>{"live settings", &speech},
          std::pair<const char*, SpeechRecognizer*>{"pocketsphinx's defaults", &engineDefaults}}) {
        Tuned tuned{name, channels(*recognizer, audio, 1), channels(*recognizer, audio, 2)};
        std::printf("%-44s %7.2f %9.2f %7.3f %7.2f %5.1f%%\n",
                    (std::string(name) + ": one channel").c_str(), tuned.one.loadSeconds,
                    tuned.one.runs[0].seconds, tuned.one.runs[0].seconds / audioSeconds,
                    tuned.one.cpuSeconds, share(tuned.one.runs[0].text));
        for (std::size_t i = 0; i < tuned.two.runs.size(); ++i) {
            std::printf(
                "%-44s %7.2f %9.2f %7.3f %7s %5.1f%%\n",
                (std::string(name) + ": two at once, channel " + std::to_string(i + 1)).c_str(),
                tuned.two.loadSeconds, tuned.two.runs[i].seconds,
                tuned.two.runs[i].seconds / audioSeconds, "-", share(tuned.two.runs[i].text));
        }
        std::printf("%-44s %7s %9s %7s %7.2f\n",
                    (std::string(name) + ": two at once, both").c_str(), "", "", "",
                    tuned.two.cpuSeconds);
        tunings.push_back(std::move(tuned));
    }
    const Channels& one = tunings[0].one;
    const Channels& two = tunings[0].two;
    const double both = two.loadSeconds + std::max(two.runs[0].seconds, two.runs[1].seconds);
    std::printf(
        "two channels together (live settings), load included, vs the command line on one: "
        "CPU %.2f s vs %.2f s (%s), wall %.2f s vs %.2f s\n",
        two.cpuSeconds, cliCpu, two.cpuSeconds <= cliCpu ? "no more" : "more", both, cli.seconds);
    // The command line loads its model and decodes in one run: compared with the same.
    const auto against = [](double value) {
        return pagemate::bench::Reference{"pocketsphinx_continuous", value};
    };
    pagemate::bench::reportFigure("speech: two channels at once, processor time for 60 s",
                                  two.cpuSeconds, "s", against(cliCpu));
    pagemate::bench::reportFigure(
        "speech: two channels at once, processor time, pocketsphinx's defaults",
        tunings[1].two.cpuSeconds, "s", against(cliCpu));
    pagemate::bench::reportFigure("speech: two channels at once, load + decode of 60 s", both, "s",
                                  against(cli.seconds));
    pagemate::bench::reportFigure("speech: one channel, words recognised", share(one.runs[0].text),
                                  "%", against(share(cli.text)));
    pagemate::bench::reportFigure("speech: one channel, words recognised, pocketsphinx's defaults",
                                  share(tunings[1].one.runs[0].text), "%",
                                  against(share(cli.text)));

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

    const LongSound sound = longSound(speech, sentences, 10);
    std::printf(
        "\n10 minutes of sound without a pause: longest utterance %.1f s, resident memory "
        "%ld kB after the first minute, %ld kB at the end\n",
        sound.longestUtterance, sound.residentAfterOneMinute, sound.residentAtTheEnd);
    pagemate::bench::reportFigure("speech: 10 min without a pause, longest utterance",
                                  sound.longestUtterance, "s");
    pagemate::bench::reportFigure(
        "speech: 10 min without a pause, memory growth after minute 1",
        static_cast<double>(sound.residentAtTheEnd - sound.residentAfterOneMinute) / 1024.0, "MiB");

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
