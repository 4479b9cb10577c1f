#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagemate {

// Status numbers of secret-store operations. They keep the values of the keychain
// the program was first written against, because they are shown to users as
// "（错误码 N）" and compared by callers.
namespace SecretStatus {
inline constexpr int success = 0;
inline constexpr int itemNotFound = -25300;
inline constexpr int duplicateItem = -25299;
inline constexpr int notAvailable = -25291;           // no secret service reachable
inline constexpr int interactionNotAllowed = -25308;  // locked, or the user refused
inline constexpr int failed = -25293;                 // any other refusal of the store
}  // namespace SecretStatus

struct SecretLookup {
    int status = SecretStatus::itemNotFound;
    std::optional<std::string> data;  // the item's bytes, on success
};

// Generic passwords identified by service and account, with the four primitive
// operations of a keychain. Higher-level rules (update-then-add, not-found counts as
// deleted) live in the core's Keychain, not here. Calls block until the store has
// answered and may be made from any thread.
class SecretStore {
  public:
    virtual ~SecretStore() = default;

    [[nodiscard]] virtual SecretLookup copyMatching(std::string_view service,
                                                    std::string_view account) = 0;
    // Replaces the data of existing matching items; itemNotFound when there is none.
    virtual int update(std::string_view service, std::string_view account,
                       std::string_view data) = 0;
    // Adds a new item readable whenever the user's session has unlocked the store once.
    virtual int add(std::string_view service, std::string_view account, std::string_view data) = 0;
    virtual int remove(std::string_view service, std::string_view account) = 0;
};

}  // namespace pagemate
