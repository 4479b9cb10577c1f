#pragma once

#include <string>

#include "platform/NetworkError.h"

namespace pagemate {

// A failed request or page load in the user's words, one sentence ending in "。", as
// the log lines, the failure page and the history alerts show it. Kinds without a
// wording of their own carry the platform's detail.
std::string networkErrorText(const NetworkError& error);

}  // namespace pagemate
