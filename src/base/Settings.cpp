#include "base/Settings.h"

#include <cstdlib>

#include "base/Defaults.h"
#include "base/Keychain.h"
#include "platform/Platform.h"
#include "support/Text.h"

namespace pagemate {

namespace {

constexpr std::string_view kModelKey = "model";
constexpr std::string_view kAgentModeKey = "agentMode";
constexpr std::string_view kPanelHeightKey = "panelHeight";
constexpr std::string_view kQuickBarFollowsCursorKey = "quickBarFollowsCursor";
constexpr std::string_view kArchiveConversationsKey = "archiveConversations";
constexpr std::string_view kRecordMeetingAudioKey = "recordMeetingAudio";

PreferencesStore& store() {
    return *Platform::current().preferences;
}

template <typename T>
T stored(std::string_view key, T fallback) {
    const std::optional<PreferenceValue> value = store().value(key);
    if (value) {
        if (const T* typed = std::get_if<T>(&*value)) {
            return *typed;
        }
    }
    return fallback;
}

}  // namespace

Settings& Settings::shared() {
    static Settings settings;
    return settings;
}

std::string Settings::serverURL() const {
    const char* fromEnvironment = std::getenv("PGM_SERVER_URL");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return std::string(trimCharacter(fromEnvironment, '/'));
    }
    return std::string(Defaults::serverURL);
}

std::string Settings::model() const {
    return stored<std::string>(kModelKey, "");
}
void Settings::setModel(std::string_view value) {
    store().setValue(kModelKey, std::string(value));
}

std::string Settings::agentMode() const {
    return stored<std::string>(kAgentModeKey, std::string(Defaults::agentMode));
}
void Settings::setAgentMode(std::string_view value) {
    store().setValue(kAgentModeKey, std::string(value));
}

double Settings::panelHeight() const {
    return stored<double>(kPanelHeightKey, Defaults::panelHeight);
}
void Settings::setPanelHeight(double value) {
    store().setValue(kPanelHeightKey, value);
}

bool Settings::quickBarFollowsCursor() const {
    return stored<bool>(kQuickBarFollowsCursorKey, true);
}
void Settings::setQuickBarFollowsCursor(bool value) {
    store().setValue(kQuickBarFollowsCursorKey, value);
}

bool Settings::archiveConversations() const {
    return stored<bool>(kArchiveConversationsKey, true);
}
void Settings::setArchiveConversations(bool value) {
    store().setValue(kArchiveConversationsKey, value);
}

bool Settings::recordMeetingAudio() const {
    return stored<bool>(kRecordMeetingAudioKey, true);
}
void Settings::setRecordMeetingAudio(bool value) {
    store().setValue(kRecordMeetingAudioKey, value);
}

std::string Settings::password() const {
    std::optional<std::string> value = Keychain::read(keychainService, keychainAccount);
    if (value && !value->empty()) {
        return std::move(*value);
    }
    return std::string(Defaults::password);
}

void Settings::setPassword(std::string_view value) {
    const std::string_view trimmed = trimWhitespace(value);
    if (!trimmed.empty() && trimmed != Defaults::password) {
        Keychain::write(keychainService, keychainAccount, trimmed);
    } else {
        Keychain::remove(keychainService, keychainAccount);
    }
}

bool Settings::hasPassword() const {
    const std::optional<std::string> value = Keychain::read(keychainService, keychainAccount);
    return value && !value->empty();
}

}  // namespace pagemate
