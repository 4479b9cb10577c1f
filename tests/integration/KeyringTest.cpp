// Runs under scripts/with-keyring: a private session bus with an unlocked gnome-keyring.

#include <libsecret/secret.h>

#include <gtest/gtest.h>

#include <memory>

#include "base/Keychain.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LibsecretStore.h"

namespace pagemate {
namespace {

// Items as "secret-tool store service … account …" leaves them, found as another tool finds
// them: under no schema of the program's, matched on the attributes alone.
const std::unique_ptr<SecretSchema, void (*)(SecretSchema*)> kAnySchema(
    secret_schema_new("org.freedesktop.Secret.Generic", SECRET_SCHEMA_DONT_MATCH_NAME, "service",
                      SECRET_SCHEMA_ATTRIBUTE_STRING, "account", SECRET_SCHEMA_ATTRIBUTE_STRING,
                      nullptr),
    secret_schema_unref);

int storedPasswords() {
    GList* items = secret_password_search_sync(kAnySchema.get(), SECRET_SEARCH_ALL, nullptr,
                                               nullptr, "service", "com.fernwick.pagemate",
                                               "account", "app-password", nullptr);
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    return count;
}

TEST(KeyringTest, PasswordLifecycleAgainstARealSecretService) {
    const fake::FakePlatform platform;
    Platform::current().secrets = std::make_unique<linux_backend::LibsecretStore>();
    Settings& settings = Settings::shared();
    ASSERT_EQ(storedPasswords(), 0);
    EXPECT_FALSE(settings.hasPassword());

    ASSERT_TRUE(secret_password_store_sync(
        kAnySchema.get(), SECRET_COLLECTION_DEFAULT, "by hand", "from-secret-tool", nullptr,
        nullptr, "service", "com.fernwick.pagemate", "account", "app-password", nullptr));
    EXPECT_EQ(settings.password(), "from-secret-tool");

    // Trimmed, and updated in place: still one item, new value.
    settings.setPassword("  first-密码 \n");
    EXPECT_EQ(settings.password(), "first-密码");
    settings.setPassword("\u3000second\u3000");
    EXPECT_EQ(settings.password(), "second");
    EXPECT_EQ(storedPasswords(), 1);

    // A blank password deletes the item; removing none is no failure.
    settings.setPassword("   ");
    EXPECT_EQ(storedPasswords(), 0);
    EXPECT_FALSE(settings.hasPassword());
    EXPECT_TRUE(Keychain::remove(Settings::keychainService, Settings::keychainAccount));
}

}  // namespace
}  // namespace pagemate
