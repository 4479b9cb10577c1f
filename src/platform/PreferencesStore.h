#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace pagemate {

// One stored preference. Anything of another shape found in the store (a list, a
// null, a nested object) is reported as Unusable so that readers can fall back.
struct UnusablePreference {
    bool operator==(const UnusablePreference&) const = default;
};
using PreferenceValue = std::variant<bool, double, std::string, UnusablePreference>;

// The user's preferences: a flat map from key to a typed value. A missing key reads
// as nullopt; a key holding a value of another type reads as that value, so the
// caller tells "missing" from "mistyped". Safe from any thread; a change is stored
// before setValue() returns.
class PreferencesStore {
  public:
    virtual ~PreferencesStore() = default;

    [[nodiscard]] virtual std::optional<PreferenceValue> value(std::string_view key) const = 0;
    virtual void setValue(std::string_view key, PreferenceValue value) = 0;
    virtual void removeValue(std::string_view key) = 0;
};

}  // namespace pagemate
