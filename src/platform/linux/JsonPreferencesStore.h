#pragma once

#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>

#include "platform/PreferencesStore.h"

namespace pagemate::linux_backend {

// Preferences in one JSON object file, read on first use and written whole on every
// change: a temporary file beside it is filled, flushed to disk and renamed over it,
// so a crash leaves either the old or the new settings, never a torn file. A file that
// cannot be read or is not a JSON object is moved aside and logged; defaults apply.
// Values of kinds the program does not use are kept and written back as they were.
class JsonPreferencesStore final : public PreferencesStore {
  public:
    explicit JsonPreferencesStore(std::filesystem::path file);

    // $XDG_CONFIG_HOME/pagemate/preferences.json, or under ~/.config.
    static std::filesystem::path defaultPath();

    [[nodiscard]] std::optional<PreferenceValue> value(std::string_view key) const override;
    void setValue(std::string_view key, PreferenceValue value) override;
    void removeValue(std::string_view key) override;

  private:
    void loadOnce() const;
    void save();

    std::filesystem::path file_;
    mutable std::mutex mutex_;
    mutable bool loaded_ = false;
    // Set when a damaged file could not be moved aside: it is then never overwritten,
    // and changes live in memory for this run.
    mutable bool readOnly_ = false;
    mutable nlohmann::json values_ = nlohmann::json::object();
};

}  // namespace pagemate::linux_backend
