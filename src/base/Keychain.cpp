#include "base/Keychain.h"

#include "platform/Platform.h"
#include "support/Utf8.h"

namespace pagemate::Keychain {

std::optional<std::string> read(std::string_view service, std::string_view account) {
    SecretLookup lookup = Platform::current().secrets->copyMatching(service, account);
    if (lookup.status != SecretStatus::success || !lookup.data || !isValidUtf8(*lookup.data)) {
        return std::nullopt;
    }
    return std::move(lookup.data);
}

bool write(std::string_view service, std::string_view account, std::string_view value) {
    SecretStore& store = *Platform::current().secrets;
    if (store.update(service, account, value) == SecretStatus::success) {
        return true;
    }
    return store.add(service, account, value) == SecretStatus::success;
}

bool remove(std::string_view service, std::string_view account) {
    const int status = Platform::current().secrets->remove(service, account);
    return status == SecretStatus::success || status == SecretStatus::itemNotFound;
}

}  // namespace pagemate::Keychain
