#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/SecretStore.h"

namespace pagemate::fake {

// An in-memory keychain. Several items may share service and account, as in a real
// store after careless adds, so tests can see duplicates. A forced status makes every
// operation fail with it (a locked or missing store).
class MemorySecretStore final : public SecretStore {
  public:
    [[nodiscard]] SecretLookup copyMatching(std::string_view service,
                                            std::string_view account) override;
    int update(std::string_view service, std::string_view account, std::string_view data) override;
    int add(std::string_view service, std::string_view account, std::string_view data) override;
    int remove(std::string_view service, std::string_view account) override;

    [[nodiscard]] std::size_t itemCount(std::string_view service, std::string_view account) const;
    void failEverythingWith(std::optional<int> status) { forcedStatus_ = status; }

    struct Calls {
        int copyMatching = 0, update = 0, add = 0, remove = 0;
    };
    [[nodiscard]] Calls calls() const;

  private:
    using Key = std::pair<std::string, std::string>;
    mutable std::mutex mutex_;
    std::multimap<Key, std::string> items_;
    std::optional<int> forcedStatus_;
    Calls calls_;
};

}  // namespace pagemate::fake
