#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/PlatformNotice.h"
#include "platform/PreferencesStore.h"

namespace pagemate::PreferencesFile {

// The form of the preferences file a store keeps on disk: one JSON object whose members
// are the preferences. These are what a store makes of the file's bytes and of each
// member, and the bytes it writes; the store itself does the file handling.

// The object the file holds, or why it is unusable (no JSON, or JSON but no object).
std::variant<nlohmann::json, PreferencesFileUnusable::Why> parse(std::string_view contents);
// One member as a preference: a Boolean, a number (as a double) or a string; anything
// else (null, list, object) is unusable.
PreferenceValue valueOf(const nlohmann::json& member);
// The JSON of a preference to store; nullopt for an unusable one.
std::optional<nlohmann::json> jsonOf(const PreferenceValue& value);
// The file's bytes for these values, indented by two and ending in a new line; nullopt
// when they cannot be written as JSON (text that is not UTF-8), with the reason.
std::optional<std::string> serialize(const nlohmann::json& values, std::string* whyNot = nullptr);

}  // namespace pagemate::PreferencesFile
