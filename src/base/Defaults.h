#pragma once

#include <string_view>

namespace pagemate::Defaults {

// The local assistant service.
inline constexpr std::string_view serverURL = "http://127.0.0.1:4310";
// What a service must report on /health to be taken for ours.
inline constexpr std::string_view product = "pagemate";
inline constexpr std::string_view feedbackURL = "https://pagemate.fernwick.com/#feedback";
inline constexpr std::string_view password;
inline constexpr std::string_view agentMode = "auto";
inline constexpr double panelHeight = 560;

}  // namespace pagemate::Defaults
