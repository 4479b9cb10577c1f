// The settings' rules on the fakes: the server address, what the password store's
// answers mean, the preferences file's format. Stored values and the password's life
// are tested on the real file and the real Secret Service (tests/integration).

#include <gtest/gtest.h>

#include "base/Keychain.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/PreferencesFile.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

using testing::ScopedEnvironment;

class SettingsTest : public ::testing::Test {
  protected:
    fake::FakePlatform platform;
    Settings& settings = Settings::shared();
    static constexpr std::string_view service = Settings::keychainService;
    static constexpr std::string_view account = Settings::keychainAccount;
};

TEST_F(SettingsTest, ServerAddressFromTheEnvironment) {
    const std::pair<const char*, std::string> cases[] = {
        {"https://pagemate.example.com///", "https://pagemate.example.com"},
        {"", "http://127.0.0.1:4310"},
        {nullptr, "http://127.0.0.1:4310"},
        // Only slashes are trimmed, nothing else.
        {" not an address ", " not an address "},
    };
    for (const auto& [value, expected] : cases) {
        const ScopedEnvironment environment("PGM_SERVER_URL", value);
        EXPECT_EQ(settings.serverURL(), expected) << (value != nullptr ? value : "(unset)");
    }
    // The address resolution settles on lives in memory only.
    settings.setRuntimeBaseURL("http://127.0.0.1:9");
    EXPECT_EQ(settings.runtimeBaseURL(), "http://127.0.0.1:9");
    EXPECT_FALSE(platform.preferences.value("runtimeBaseURL").has_value());
    settings.setRuntimeBaseURL("");
}

TEST_F(SettingsTest, WhatTheStoreHoldsAndRefuses) {
    // An empty stored value reads as no password; bytes that are not UTF-8 give none.
    for (const char* stored : {"", "\xff\xfe"}) {
        ASSERT_EQ(platform.secrets.add(service, account, stored), SecretStatus::success);
        EXPECT_EQ(settings.password(), "");
        EXPECT_FALSE(settings.hasPassword());
        ASSERT_EQ(platform.secrets.remove(service, account), SecretStatus::success);
    }
    // A store that refuses for a while keeps the previous password.
    settings.setPassword("kept");
    platform.secrets.failEverythingWith(SecretStatus::interactionNotAllowed);
    EXPECT_FALSE(Keychain::write(service, account, "other"));
    settings.setPassword("other");       // ignored result, no crash
    EXPECT_EQ(settings.password(), "");  // the store answers nothing while it refuses
    platform.secrets.failEverythingWith(std::nullopt);
    EXPECT_EQ(settings.password(), "kept");
}

TEST(PreferencesFile, ReadsAnObjectOfValuesAndWritesItBack) {
    using Why = PreferencesFileUnusable::Why;
    const auto parsed = PreferencesFile::parse(R"({"model":"deepseek-chat","panelHeight":612,)"
                                               R"("archiveConversations":false,"x":[1]})");
    ASSERT_TRUE(std::holds_alternative<nlohmann::json>(parsed));
    const auto& values = std::get<nlohmann::json>(parsed);
    EXPECT_EQ(PreferencesFile::valueOf(values["panelHeight"]), PreferenceValue(612.0));
    EXPECT_EQ(PreferencesFile::valueOf(values["x"]), PreferenceValue(UnusablePreference{}));
    EXPECT_EQ(PreferencesFile::serialize(values),
              "{\n  \"archiveConversations\": false,\n  \"model\": \"deepseek-chat\",\n"
              "  \"panelHeight\": 612,\n  \"x\": [\n    1\n  ]\n}\n");
    EXPECT_EQ(std::get<Why>(PreferencesFile::parse("[1, 2]")), Why::notObject);
    EXPECT_EQ(std::get<Why>(PreferencesFile::parse(R"({"model": )")), Why::notJson);
    std::string whyNot;
    EXPECT_FALSE(PreferencesFile::serialize(nlohmann::json{{"model", "\xff"}}, &whyNot));
    EXPECT_FALSE(whyNot.empty());
}

}  // namespace
}  // namespace pagemate
