#include "platform/PreferencesFile.h"

namespace pagemate::PreferencesFile {

std::variant<nlohmann::json, PreferencesFileUnusable::Why> parse(std::string_view contents) {
    nlohmann::json parsed = nlohmann::json::parse(contents, nullptr, false);
    if (parsed.is_object()) {
        return parsed;
    }
    return parsed.is_discarded() ? PreferencesFileUnusable::Why::notJson
                                 : PreferencesFileUnusable::Why::notObject;
}

PreferenceValue valueOf(const nlohmann::json& member) {
    if (member.is_boolean()) {
        return member.get<bool>();
    }
    if (member.is_number()) {
        return member.get<double>();
    }
    if (member.is_string()) {
        return member.get<std::string>();
    }
    return UnusablePreference{};
}

std::optional<nlohmann::json> jsonOf(const PreferenceValue& value) {
    if (const bool* flag = std::get_if<bool>(&value)) {
        return nlohmann::json(*flag);
    }
    if (const double* number = std::get_if<double>(&value)) {
        return nlohmann::json(*number);
    }
    if (const std::string* text = std::get_if<std::string>(&value)) {
        return nlohmann::json(*text);
    }
    return std::nullopt;
}

std::optional<std::string> serialize(const nlohmann::json& values, std::string* whyNot) {
    try {
        return values.dump(2) + "\n";
    } catch (const nlohmann::json::exception& error) {
        if (whyNot != nullptr) {
            *whyNot = error.what();
        }
        return std::nullopt;
    }
}

}  // namespace pagemate::PreferencesFile
