#include "platform/linux/LibsecretStore.h"

#include <libsecret/secret.h>

#include <memory>
#include <string>

#include "platform/PlatformNotice.h"
#include "platform/linux/GObjectPtr.h"

namespace pagemate::linux_backend {

namespace {

const SecretSchema& schema() {
    // Items written by other tools with the same attributes count as ours too.
    static const SecretSchema kSchema = {"com.fernwick.pagemate",
                                         SECRET_SCHEMA_DONT_MATCH_NAME,
                                         {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                          {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                         0,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr,
                                         nullptr};
    return kSchema;
}

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableUnref>;

struct SecretValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueUnref>;

struct ItemListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListFree>;

Attributes attributesFor(std::string_view service, std::string_view account) {
    Attributes table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    g_hash_table_insert(table.get(), g_strdup("service"),
                        g_strndup(service.data(), service.size()));
    g_hash_table_insert(table.get(), g_strdup("account"),
                        g_strndup(account.data(), account.size()));
    return table;
}

SecretValuePtr valueOf(std::string_view data) {
    return SecretValuePtr(
        secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain"));
}

bool meansUnavailable(const GError& error) {
    return error.domain == G_DBUS_ERROR ||
           (error.domain == G_IO_ERROR && error.code != G_IO_ERROR_CANCELLED);
}

}  // namespace

struct LibsecretStore::Failure {
    GErrorPtr error;
};

int LibsecretStore::statusFor(const Failure& failure) {
    if (!failure.error) {
        return SecretStatus::failed;
    }
    const GError& error = *failure.error;
    if (meansUnavailable(error)) {
        if (!reportedUnavailable_.exchange(true)) {
            reportPlatformNotice(SecretServiceUnavailable{error.message});
        }
        return SecretStatus::notAvailable;
    }
    if (error.domain == SECRET_ERROR && error.code == SECRET_ERROR_IS_LOCKED) {
        return SecretStatus::interactionNotAllowed;
    }
    if (error.domain == SECRET_ERROR && error.code == SECRET_ERROR_NO_SUCH_OBJECT) {
        return SecretStatus::itemNotFound;
    }
    if (error.domain == G_IO_ERROR && error.code == G_IO_ERROR_CANCELLED) {
        return SecretStatus::interactionNotAllowed;  // the unlock prompt was dismissed
    }
    return SecretStatus::failed;
}

SecretLookup LibsecretStore::copyMatching(std::string_view service, std::string_view account) {
    GError* rawError = nullptr;
    const Attributes attributes = attributesFor(service, account);
    const SecretValuePtr value(
        secret_password_lookupv_binary_sync(&schema(), attributes.get(), nullptr, &rawError));
    if (rawError != nullptr) {
        return {statusFor(Failure{GErrorPtr(rawError)}), std::nullopt};
    }
    if (!value) {
        return {SecretStatus::itemNotFound, std::nullopt};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return {SecretStatus::success, std::string(bytes, length)};
}

int LibsecretStore::update(std::string_view service, std::string_view account,
                           std::string_view data) {
    GError* rawError = nullptr;
    const GObjectPtr<SecretService> secretService(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &rawError));
    if (!secretService) {
        return statusFor(Failure{GErrorPtr(rawError)});
    }
    const Attributes attributes = attributesFor(service, account);
    const ItemList items(secret_service_search_sync(
        secretService.get(), &schema(), attributes.get(),
        static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK), nullptr,
        &rawError));
    if (rawError != nullptr) {
        return statusFor(Failure{GErrorPtr(rawError)});
    }
    if (!items) {
        return SecretStatus::itemNotFound;
    }
    const SecretValuePtr value = valueOf(data);
    for (GList* entry = items.get(); entry != nullptr; entry = entry->next) {
        auto* item = static_cast<SecretItem*>(entry->data);
        if (secret_item_set_secret_sync(item, value.get(), nullptr, &rawError) == FALSE) {
            return statusFor(Failure{GErrorPtr(rawError)});
        }
    }
    return SecretStatus::success;
}

int LibsecretStore::add(std::string_view service, std::string_view account, std::string_view data) {
    GError* rawError = nullptr;
    const Attributes attributes = attributesFor(service, account);
    const SecretValuePtr value = valueOf(data);
    // The default collection is unlocked with the user's session, which is what
    // "readable after the first unlock" asks for.
    const gboolean stored =
        secret_password_storev_binary_sync(&schema(), attributes.get(), SECRET_COLLECTION_DEFAULT,
                                           "Pagemate 应用密码", value.get(), nullptr, &rawError);
    if (stored == FALSE) {
        return statusFor(Failure{GErrorPtr(rawError)});
    }
    return SecretStatus::success;
}

int LibsecretStore::remove(std::string_view service, std::string_view account) {
    GError* rawError = nullptr;
    const Attributes attributes = attributesFor(service, account);
    const gboolean removed =
        secret_password_clearv_sync(&schema(), attributes.get(), nullptr, &rawError);
    if (rawError != nullptr) {
        return statusFor(Failure{GErrorPtr(rawError)});
    }
    return removed == TRUE ? SecretStatus::success : SecretStatus::itemNotFound;
}

}  // namespace pagemate::linux_backend
