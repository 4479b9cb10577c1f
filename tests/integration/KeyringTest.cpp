// Runs under scripts/with-keyring: a private session bus with an unlocked gnome-keyring.

#include <libsecret/secret.h>

#include <gtest/gtest.h>

#include "base/Keychain.h"
#include "base/Settings.h"
#include "harness/TestSupport.h"
#include "platform/fake/FakePlatform.h"
#include "platform/linux/LibsecretStore.h"

namespace pagemate {
namespace {

// The items of the program's password, as another tool sees them: any schema, matched on
// the attributes alone.
int storedPasswords() {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"),
                        const_cast<char*>("com.fernwick.pagemate"));
    g_hash_table_insert(attributes, const_cast<char*>("account"),
                        const_cast<char*>("app-password"));
    GList* items =
        secret_password_searchv_sync(nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    return count;
}

TEST(KeyringTest, PasswordLifecycleAgainstARealSecretService) {
    const fake::FakePlatform platform;
    Platform::current().secrets = std::make_unique<linux_backend::LibsecretStore>();
    Settings& settings = Settings::shared();
    ASSERT_EQ(storedPasswords(), 0);
    EXPECT_FALSE(settings.hasPassword());

    // As "secret-tool store service … account …" would leave it: another schema name.
    SecretSchema generic{};
    generic.name = "org.freedesktop.Secret.Generic";
    generic.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    generic.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    ASSERT_TRUE(secret_password_store_sync(
        &generic, SECRET_COLLECTION_DEFAULT, "by hand", "from-secret-tool", nullptr, nullptr,
        "service", "com.fernwick.pagemate", "account", "app-password", nullptr));
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
