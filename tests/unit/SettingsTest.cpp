#include <gtest/gtest.h>

#include "base/Defaults.h"
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

TEST_F(SettingsTest, FreshStoreReadsDefaults) {
    const ScopedEnvironment noServer("PGM_SERVER_URL", nullptr);
    EXPECT_EQ(settings.serverURL(), "http://127.0.0.1:4310");
    EXPECT_EQ(settings.model(), "");
    EXPECT_EQ(settings.agentMode(), "auto");
    EXPECT_EQ(settings.panelHeight(), 560);
    EXPECT_TRUE(settings.quickBarFollowsCursor());
    EXPECT_TRUE(settings.archiveConversations());
    EXPECT_TRUE(settings.recordMeetingAudio());
    EXPECT_EQ(settings.password(), "");
    EXPECT_FALSE(settings.hasPassword());
    EXPECT_EQ(Settings::keychainService, "com.fernwick.pagemate");
    EXPECT_EQ(Settings::keychainAccount, "app-password");
    EXPECT_TRUE(std::string_view(Defaults::feedbackURL).ends_with("#feedback"));
}

TEST_F(SettingsTest, StoredValuesRoundTripUnderTheirKeys) {
    settings.setModel("deepseek-chat");
    settings.setAgentMode("readonly");
    settings.setPanelHeight(720.5);
    settings.setQuickBarFollowsCursor(false);
    settings.setArchiveConversations(false);
    settings.setRecordMeetingAudio(false);
    EXPECT_EQ(settings.model(), "deepseek-chat");
    EXPECT_EQ(settings.agentMode(), "readonly");
    EXPECT_EQ(settings.panelHeight(), 720.5);
    // A stored false is false: the default applies only when nothing usable is stored.
    EXPECT_FALSE(settings.quickBarFollowsCursor());
    EXPECT_FALSE(settings.archiveConversations());
    EXPECT_FALSE(settings.recordMeetingAudio());
    EXPECT_EQ(platform.preferences.value("agentMode"), PreferenceValue(std::string("readonly")));
    EXPECT_EQ(platform.preferences.value("panelHeight"), PreferenceValue(720.5));
    EXPECT_EQ(platform.preferences.value("recordMeetingAudio"), PreferenceValue(false));
    // Values are not checked: any string is kept.
    settings.setAgentMode("whatever");
    EXPECT_EQ(settings.agentMode(), "whatever");
}

TEST_F(SettingsTest, MistypedValuesFallBackToDefaults) {
    platform.preferences.setValue("model", 3.0);
    platform.preferences.setValue("agentMode", true);
    platform.preferences.setValue("panelHeight", std::string("tall"));
    platform.preferences.setValue("quickBarFollowsCursor", std::string("false"));
    platform.preferences.setValue("archiveConversations", 0.0);
    platform.preferences.setValue("recordMeetingAudio", UnusablePreference{});
    EXPECT_EQ(settings.model(), "");
    EXPECT_EQ(settings.agentMode(), "auto");
    EXPECT_EQ(settings.panelHeight(), 560);
    EXPECT_TRUE(settings.quickBarFollowsCursor());
    EXPECT_TRUE(settings.archiveConversations());
    EXPECT_TRUE(settings.recordMeetingAudio());
}

TEST(PreferencesFile, ReadsAnObjectOfValuesAndWritesItBack) {
    using Why = PreferencesFileUnusable::Why;
    const auto parsed = PreferencesFile::parse(R"({"model":"deepseek-chat","panelHeight":612,)"
                                               R"("archiveConversations":false,"x":[1]})");
    ASSERT_TRUE(std::holds_alternative<nlohmann::json>(parsed));
    const auto& values = std::get<nlohmann::json>(parsed);
    EXPECT_EQ(PreferencesFile::valueOf(values["model"]),
              PreferenceValue(std::string("deepseek-chat")));
    EXPECT_EQ(PreferencesFile::valueOf(values["panelHeight"]), PreferenceValue(612.0));
    EXPECT_EQ(PreferencesFile::valueOf(values["archiveConversations"]), PreferenceValue(false));
    EXPECT_EQ(PreferencesFile::valueOf(values["x"]), PreferenceValue(UnusablePreference{}));
    EXPECT_EQ(PreferencesFile::serialize(values),
              "{\n  \"archiveConversations\": false,\n  \"model\": \"deepseek-chat\",\n"
              "  \"panelHeight\": 612,\n  \"x\": [\n    1\n  ]\n}\n");
    EXPECT_EQ(PreferencesFile::jsonOf(PreferenceValue(2.5)), nlohmann::json(2.5));
    EXPECT_FALSE(PreferencesFile::jsonOf(UnusablePreference{}));

    EXPECT_EQ(std::get<Why>(PreferencesFile::parse("[1, 2]")), Why::notObject);
    EXPECT_EQ(std::get<Why>(PreferencesFile::parse(R"({"model": )")), Why::notJson);
    EXPECT_EQ(std::get<Why>(PreferencesFile::parse("")), Why::notJson);
    std::string whyNot;
    EXPECT_FALSE(PreferencesFile::serialize(nlohmann::json{{"model", "\xff"}}, &whyNot));
    EXPECT_FALSE(whyNot.empty());
}

TEST_F(SettingsTest, ServerAddressFromTheEnvironment) {
    struct Case {
        const char* value;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"https://pagemate.example.com///", "https://pagemate.example.com"},
        {"//host/path/", "host/path"},
        {"/", ""},
        {"///", ""},
        {"", "http://127.0.0.1:4310"},
        {nullptr, "http://127.0.0.1:4310"},
        // Only slashes are trimmed, nothing else.
        {"  http://a.example/ ", "  http://a.example/ "},
        {" ", " "},
        {"not an address", "not an address"},
    };
    for (const Case& testCase : cases) {
        const ScopedEnvironment environment("PGM_SERVER_URL", testCase.value);
        EXPECT_EQ(settings.serverURL(), testCase.expected)
            << (testCase.value != nullptr ? testCase.value : "(unset)");
    }
}

TEST_F(SettingsTest, PasswordIsTrimmedUpdatedInPlaceAndDeletedWhenBlank) {
    settings.setPassword("  secret \n");
    EXPECT_EQ(settings.password(), "secret");
    EXPECT_TRUE(settings.hasPassword());
    EXPECT_EQ(platform.secrets.itemCount(service, account), 1u);
    EXPECT_EQ(platform.secrets.calls().add, 1);

    // An existing item is updated, not duplicated.
    settings.setPassword("\u3000newer\u3000");
    EXPECT_EQ(settings.password(), "newer");
    EXPECT_EQ(platform.secrets.itemCount(service, account), 1u);
    EXPECT_EQ(platform.secrets.calls().add, 1);

    settings.setPassword(" \t ");
    EXPECT_EQ(platform.secrets.itemCount(service, account), 0u);
    EXPECT_EQ(settings.password(), "");
    EXPECT_FALSE(settings.hasPassword());

    // Deleting what is not there counts as success.
    EXPECT_TRUE(Keychain::remove(service, account));
    settings.setPassword("");
    EXPECT_EQ(platform.secrets.itemCount(service, account), 0u);
}

TEST_F(SettingsTest, KeychainReadRules) {
    // An empty stored value reads as no password.
    ASSERT_EQ(platform.secrets.add(service, account, ""), SecretStatus::success);
    EXPECT_EQ(Keychain::read(service, account), std::optional<std::string>(""));
    EXPECT_EQ(settings.password(), "");
    EXPECT_FALSE(settings.hasPassword());
    ASSERT_EQ(platform.secrets.remove(service, account), SecretStatus::success);

    // Bytes that are not UTF-8 give no value.
    ASSERT_EQ(platform.secrets.add(service, account, "\xff\xfe"), SecretStatus::success);
    EXPECT_EQ(Keychain::read(service, account), std::nullopt);
    EXPECT_FALSE(settings.hasPassword());
}

TEST_F(SettingsTest, RefusingKeychainLeavesThePreviousPassword) {
    settings.setPassword("kept");
    platform.secrets.failEverythingWith(SecretStatus::interactionNotAllowed);
    EXPECT_FALSE(Keychain::write(service, account, "other"));
    EXPECT_FALSE(Keychain::remove(service, account));
    settings.setPassword("other");       // ignored result, no crash
    EXPECT_EQ(settings.password(), "");  // the store answers nothing while it refuses
    platform.secrets.failEverythingWith(std::nullopt);
    EXPECT_EQ(settings.password(), "kept");
    EXPECT_EQ(platform.secrets.itemCount(service, account), 1u);
}

TEST_F(SettingsTest, RuntimeBaseLivesInMemoryOnly) {
    settings.setRuntimeBaseURL("http://127.0.0.1:9");
    EXPECT_EQ(settings.runtimeBaseURL(), "http://127.0.0.1:9");
    EXPECT_FALSE(platform.preferences.value("runtimeBaseURL").has_value());
    settings.setRuntimeBaseURL("");
}

}  // namespace
}  // namespace pagemate
