#pragma once

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/MeetingProbe.h"

// Self-tests of the live transcription that need no microphone, sound server or user:
// silence, or a recorded sentence, is played as a meeting's sound through the meeting
// run (a ProbeMeeting, transcribed, not recorded) and the report says what came out. Each arms a
// watchdog on the main queue that, if the test hangs, writes the report as it stands with "ok"
// false and the time-out text to the report file itself and ends the program. Main thread; the
// completion runs on the main thread with the final report (which always has "ok"). The sound is
// played in blocks paced as a capture delivers them.
namespace pagemate::MeetingProbe {

inline constexpr const char* liveTestReportPath = "/tmp/pagemate-meetinglivetest.json";
inline constexpr const char* ttsTestReportPath = "/tmp/pagemate-ttstest.json";
// A sample given from outside wins over the one installed with the program.
inline constexpr const char* externalSpeechSample = "/tmp/pagemate-tts-sample.wav";

// 31 pairs of 1 024 zero frames (microphone, then system) 20 ms apart through a
// session; "ok" when no channel reported an error. 60 s watchdog.
void liveTest(Completion completion, const Options& options = {});

// A recorded sentence (speechSample()) fed as the microphone with silence as the
// system sound, between 2 s of silence before and 4 s after, in 3 200-frame blocks
// 200 ms apart; the recognised text is scored against the sentence's transcript.
// 90 s watchdog.
void ttsTest(Completion completion, const Options& options = {});

// The sample's WAV file: the external one when it exists, else "test-speech.wav" of
// the program's data folder (installed: <prefix>/share/pagemate/speech; run from the
// build folder: the source tree's data/speech). Its text is the ".txt" beside it.
std::filesystem::path speechSample();

struct MatchScore {
    std::int64_t matched = 0;
    std::int64_t total = 0;
    double ratio = 0;  // rounded to three decimals; 0 when nothing is left to match
};
// Every character of `expected` but punctuation and white space counts as matched when
// it occurs anywhere in `recognized`.
MatchScore characterMatch(std::string_view expected, std::string_view recognized);
// The same over words (letters and digits, lower case): an expected word is matched when
// the recognised text has it.
MatchScore wordMatch(std::string_view expected, std::string_view recognized);
// The sentence test's pass mark on the characters' ratio (the test passes too only when
// no channel reported an error).
bool sentenceRecognized(double characterRatio);

}  // namespace pagemate::MeetingProbe
