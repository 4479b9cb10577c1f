#pragma once

#include <cstdint>

namespace pagemate {

// Which of a meeting's two sounds a captured block is: what the computer plays (the
// other side of an online meeting) or the user's microphone. AudioCapture::Source.
enum class CaptureSource : std::uint8_t { system, microphone };

}  // namespace pagemate
