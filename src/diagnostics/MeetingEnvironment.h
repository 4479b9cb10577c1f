#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>

// The meeting-environment report ("--meetingtest"): the system, whether on-device
// recognition can run and in which locale, the microphone permission and whether the
// sound server lets the computer's own sound be recorded. Main thread; the questions
// that block (the recogniser, the sound server) are asked on a thread of their own and
// the completion runs on the main thread.
namespace pagemate::MeetingEnvironment {

inline constexpr const char* reportPath = "/tmp/pagemate-meetingtest.json";

void report(std::function<void(nlohmann::json)> completion);

// The system's display name and version: PRETTY_NAME of the os-release file, else
// its NAME and VERSION, else "Linux".
std::string systemName(const std::string& osReleasePath = "/etc/os-release");

// The label of a microphone status, the status clamped to 0…3.
std::string microphoneLabel(int status);

}  // namespace pagemate::MeetingEnvironment
