#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagemate::Keychain {

// One generic password by service and account, on the installed platform's store.
std::optional<std::string> read(std::string_view service, std::string_view account);
// Updates the item in place; adds one when that fails. True when either succeeded.
bool write(std::string_view service, std::string_view account, std::string_view value);
// True when the item is gone afterwards, also when there was none.
bool remove(std::string_view service, std::string_view account);

}  // namespace pagemate::Keychain
