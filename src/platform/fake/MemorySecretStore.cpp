#include "platform/fake/MemorySecretStore.h"

namespace pagemate::fake {

SecretLookup MemorySecretStore::copyMatching(std::string_view service, std::string_view account) {
    const std::lock_guard lock(mutex_);
    ++calls_.copyMatching;
    if (forcedStatus_) {
        return {*forcedStatus_, std::nullopt};
    }
    const auto found = items_.find(Key{service, account});
    if (found == items_.end()) {
        return {SecretStatus::itemNotFound, std::nullopt};
    }
    return {SecretStatus::success, found->second};
}

int MemorySecretStore::update(std::string_view service, std::string_view account,
                              std::string_view data) {
    const std::lock_guard lock(mutex_);
    ++calls_.update;
    if (forcedStatus_) {
        return *forcedStatus_;
    }
    auto [first, last] = items_.equal_range(Key{service, account});
    if (first == last) {
        return SecretStatus::itemNotFound;
    }
    for (; first != last; ++first) {
        first->second = data;
    }
    return SecretStatus::success;
}

int MemorySecretStore::add(std::string_view service, std::string_view account,
                           std::string_view data) {
    const std::lock_guard lock(mutex_);
    ++calls_.add;
    if (forcedStatus_) {
        return *forcedStatus_;
    }
    items_.emplace(Key{service, account}, std::string(data));
    return SecretStatus::success;
}

int MemorySecretStore::remove(std::string_view service, std::string_view account) {
    const std::lock_guard lock(mutex_);
    ++calls_.remove;
    if (forcedStatus_) {
        return *forcedStatus_;
    }
    return items_.erase(Key{service, account}) > 0 ? SecretStatus::success
                                                   : SecretStatus::itemNotFound;
}

std::size_t MemorySecretStore::itemCount(std::string_view service, std::string_view account) const {
    const std::lock_guard lock(mutex_);
    return items_.count(Key{service, account});
}

MemorySecretStore::Calls MemorySecretStore::calls() const {
    const std::lock_guard lock(mutex_);
    return calls_;
}

}  // namespace pagemate::fake
