#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagemate {

// True when `text` can stand as an address (absolute or relative): only characters
// an address may hold, and every "%" followed by two hexadecimal digits.
bool isValidURL(std::string_view text);

// The scheme of an absolute address, in lower case; nullopt for a relative one.
std::optional<std::string> urlScheme(std::string_view text);

// A valid address with a scheme: one a web view can load or a browser open.
bool isAbsoluteURL(std::string_view text);

// The schemes the program hands to the desktop to open: web pages and Notion's own
// links; anything else (file:, arbitrary handlers) is never opened on a page's word.
bool isOpenableScheme(std::string_view scheme);

// `text` as the value of a query parameter: every byte but letters, digits, "-._~"
// and "/" percent-encoded (so "&", "=", "+", "#" and spaces cannot end the value).
std::string percentEncodeQueryValue(std::string_view text);

}  // namespace pagemate
