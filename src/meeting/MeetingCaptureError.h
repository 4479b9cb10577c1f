#pragma once

#include <string>
#include <utility>

namespace pagemate {

// The error of the capture layer and of the transcription session: one message, shown
// to the user as it is. Their start operations return it as a value.
struct MeetingCaptureError {
    std::string message;
    explicit MeetingCaptureError(std::string text) : message(std::move(text)) {}
    [[nodiscard]] const std::string& description() const { return message; }
};

}  // namespace pagemate
