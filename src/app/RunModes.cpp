#include "app/RunModes.h"

#include <algorithm>
#include <charconv>

namespace pagemate {

LaunchModes LaunchModes::standard() {
    return LaunchModes{};
}

bool hasArgument(const std::vector<std::string>& arguments, std::string_view flag) {
    return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
}

const RunMode* chooseRunMode(const std::vector<RunMode>& modes,
                             const std::vector<std::string>& arguments) {
    for (const RunMode& mode : modes) {
        if (hasArgument(arguments, mode.flag)) {
            return &mode;
        }
    }
    return nullptr;
}

std::int64_t longRecordMinutes(const std::vector<std::string>& arguments) {
    constexpr std::int64_t kDefaultMinutes = 60;
    const auto flag = std::find(arguments.begin(), arguments.end(), "--longrecordtest");
    if (flag == arguments.end() || std::next(flag) == arguments.end()) {
        return kDefaultMinutes;
    }
    std::string_view text = *std::next(flag);
    // from_chars takes a leading "-" but not a "+".
    if (text.starts_with('+')) {
        text.remove_prefix(1);
        if (text.starts_with('-') || text.starts_with('+')) {
            return kDefaultMinutes;
        }
    }
    if (text.empty()) {
        return kDefaultMinutes;
    }
    std::int64_t minutes = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), minutes);
    if (error != std::errc() || end != text.data() + text.size()) {
        return kDefaultMinutes;
    }
    return minutes;
}

}  // namespace pagemate
