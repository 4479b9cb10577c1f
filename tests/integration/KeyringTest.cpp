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

// Counts the items the Secret Service holds for service and account, bypassing the
// code under test.
int itemsInService(const char* service, const char* account) {
    GError* error = nullptr;
    SecretService* secretService = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (secretService == nullptr) {
        ADD_FAILURE() << (error != nullptr ? error->message : "no service");
        g_clear_error(&error);
        return -1;
    }
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(account));
    // Any schema: match on the attributes alone.
    GList* items = secret_service_search_sync(secretService, nullptr, attributes, SECRET_SEARCH_ALL,
                                              nullptr, &error);
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    g_object_unref(secretService);
    g_clear_error(&error);
    return count;
}

class KeyringTest : public ::testing::Test {
  protected:
    KeyringTest() {
        Platform::current().secrets = std::make_unique<linux_backend::LibsecretStore>();
    }
    fake::FakePlatform platform;
};

TEST_F(KeyringTest, PasswordLifecycleAgainstARealSecretService) {
    Settings& settings = Settings::shared();
    const char* service = "com.fernwick.pagemate";
    const char* account = "app-password";
    ASSERT_EQ(itemsInService(service, account), 0);
    EXPECT_FALSE(settings.hasPassword());
    EXPECT_TRUE(Keychain::remove(service, account));  // nothing there: still success

    // Trimmed, and updated in place: still one item, new value.
    settings.setPassword("  first-密码 \n");
    EXPECT_EQ(settings.password(), "first-密码");
    settings.setPassword("\u3000second\u3000");
    EXPECT_EQ(settings.password(), "second");
    EXPECT_EQ(itemsInService(service, account), 1);

    // Another account is another item; a blank password deletes the item.
    EXPECT_TRUE(Keychain::write(service, "other-account", "x"));
    settings.setPassword("   ");
    EXPECT_EQ(itemsInService(service, account), 0);
    EXPECT_FALSE(settings.hasPassword());
    EXPECT_EQ(Keychain::read(service, "other-account"), "x");
}

TEST_F(KeyringTest, ItemsStoredByOtherToolsAreFound) {
    // As "secret-tool store service … account …" would leave it: another schema name.
    SecretSchema generic{};
    generic.name = "org.freedesktop.Secret.Generic";
    generic.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    generic.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    GError* error = nullptr;
    const gboolean stored = secret_password_store_sync(
        &generic, SECRET_COLLECTION_DEFAULT, "by hand", "from-secret-tool", nullptr, &error,
        "service", "com.fernwick.pagemate", "account", "app-password", nullptr);
    ASSERT_TRUE(stored) << (error != nullptr ? error->message : "");
    EXPECT_EQ(Settings::shared().password(), "from-secret-tool");
    Settings::shared().setPassword("replaced");
    EXPECT_EQ(itemsInService("com.fernwick.pagemate", "app-password"), 1);
    EXPECT_EQ(Settings::shared().password(), "replaced");
    Settings::shared().setPassword("");
}

}  // namespace
}  // namespace pagemate
