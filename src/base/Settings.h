#pragma once

#include <string>
#include <string_view>

namespace pagemate {

// Every setting of the program. Plain preferences live in the platform's preferences
// store, the app password in the secret store; the service address comes from the
// environment and the resolved address lives in memory for this run only. Mistyped
// or unreadable stored values read as their defaults. No change notifications:
// readers read again when they need a value.
class Settings {
  public:
    static Settings& shared();

    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    static constexpr std::string_view keychainService = "com.fernwick.pagemate";
    static constexpr std::string_view keychainAccount = "app-password";

    // PGM_SERVER_URL without leading and trailing "/" when set and not empty, else the
    // local service. Read anew on every call.
    [[nodiscard]] std::string serverURL() const;

    [[nodiscard]] std::string model() const;
    void setModel(std::string_view value);
    [[nodiscard]] std::string agentMode() const;
    void setAgentMode(std::string_view value);
    [[nodiscard]] double panelHeight() const;
    void setPanelHeight(double value);
    [[nodiscard]] bool quickBarFollowsCursor() const;
    void setQuickBarFollowsCursor(bool value);
    [[nodiscard]] bool archiveConversations() const;
    void setArchiveConversations(bool value);
    [[nodiscard]] bool recordMeetingAudio() const;
    void setRecordMeetingAudio(bool value);

    [[nodiscard]] std::string password() const;
    // Trimmed of white space; an empty result removes the stored item.
    void setPassword(std::string_view value);
    [[nodiscard]] bool hasPassword() const;

    // The address service resolution settled on; main thread only.
    [[nodiscard]] const std::string& runtimeBaseURL() const { return runtimeBaseURL_; }
    void setRuntimeBaseURL(std::string value) { runtimeBaseURL_ = std::move(value); }

  private:
    Settings() = default;

    std::string runtimeBaseURL_;
};

}  // namespace pagemate
