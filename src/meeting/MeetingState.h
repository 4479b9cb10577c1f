#pragma once

#include <cstdint>
#include <string_view>

namespace pagemate {

// Where a meeting run is: nothing runs, the capture and transcription are being
// started, the meeting records, or it is being finished, saved and uploaded.
enum class MeetingState : std::uint8_t { idle, starting, recording, stopping };

// The state's name as the meeting page knows it.
constexpr std::string_view meetingStateName(MeetingState state) {
    switch (state) {
        case MeetingState::starting:
            return "starting";
        case MeetingState::recording:
            return "recording";
        case MeetingState::stopping:
            return "stopping";
        case MeetingState::idle:
            break;
    }
    return "idle";
}

}  // namespace pagemate
