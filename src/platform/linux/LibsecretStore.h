#pragma once

#include <atomic>

#include "platform/SecretStore.h"

namespace pagemate::linux_backend {

// Passwords in the desktop's Secret Service (gnome-keyring, KeePassXC, ...) through
// libsecret, as items with the attributes "service" and "account". Calls block until
// the service has answered. Without a reachable service every operation reports
// SecretStatus::notAvailable and the log says so once.
class LibsecretStore final : public SecretStore {
  public:
    [[nodiscard]] SecretLookup copyMatching(std::string_view service,
                                            std::string_view account) override;
    int update(std::string_view service, std::string_view account, std::string_view data) override;
    int add(std::string_view service, std::string_view account, std::string_view data) override;
    int remove(std::string_view service, std::string_view account) override;

  private:
    struct Failure;
    int statusFor(const Failure& failure);

    std::atomic<bool> reportedUnavailable_{false};
};

}  // namespace pagemate::linux_backend
