#include "platform/UnavailableHotKeys.h"

namespace pagemate {

HotKeyRegistration UnavailableHotKeys::registerHotKey(std::uint32_t, std::uint32_t,
                                                      HotKeyIdentifier) {
    HotKeyRegistration registration;
    registration.outcome = HotKeyRegistration::Outcome::unavailable;
    registration.status = unavailableStatus;
    registration.detail = detail_;
    return registration;
}

}  // namespace pagemate
