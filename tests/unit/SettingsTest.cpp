// What the password store's answers mean, on the fakes; the real Secret Service:
// tests/integration/KeyringTest.

#include <gtest/gtest.h>

#include "base/Keychain.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"

namespace pagemate {
namespace {

TEST(SettingsTest, WhatTheStoreHoldsAndRefuses) {
    fake::FakePlatform platform;
    Settings& settings = Settings::shared();
    constexpr std::string_view service = Settings::keychainService;
    constexpr std::string_view account = Settings::keychainAccount;
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

}  // namespace
}  // namespace pagemate
