#pragma once

#include <string>

#include "platform/SpeechRecognizer.h"

namespace pagemate {

// A recogniser failure in the user's words: what went wrong in Chinese, followed by the
// engine's own detail in brackets when it gave one. Used wherever the platform's error
// description is shown or logged.
std::string describeSpeechError(const SpeechError& error);

}  // namespace pagemate
