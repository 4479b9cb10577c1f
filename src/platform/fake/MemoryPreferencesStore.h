#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/PreferencesStore.h"

namespace pagemate::fake {

class MemoryPreferencesStore final : public PreferencesStore {
  public:
    [[nodiscard]] std::optional<PreferenceValue> value(std::string_view key) const override {
        const std::lock_guard lock(mutex_);
        const auto found = values_.find(key);
        return found == values_.end() ? std::nullopt : std::optional(found->second);
    }
    void setValue(std::string_view key, PreferenceValue value) override {
        const std::lock_guard lock(mutex_);
        values_.insert_or_assign(std::string(key), std::move(value));
    }
    void removeValue(std::string_view key) override {
        const std::lock_guard lock(mutex_);
        if (const auto found = values_.find(key); found != values_.end()) {
            values_.erase(found);
        }
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, PreferenceValue, std::less<>> values_;
};

}  // namespace pagemate::fake
