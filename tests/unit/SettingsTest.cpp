// What the password store's answers mean, and the preferences file's format, on the
// fakes; the real file and the real Secret Service: tests/integration.

#include <gtest/gtest.h>

#include "base/Keychain.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/PreferencesFile.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

class SettingsTest : public ::testing::Test {
  protected:
    fake::FakePlatform platform;
    Settings& settings = Settings::shared();
    static constexpr std::string_view service = Settings::keychainService;
    static constexpr std::string_view account = Settings::keychainAccount;
};

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
