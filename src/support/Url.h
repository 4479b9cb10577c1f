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

// The origin of an address with an authority: "scheme://host" with ":port" unless the
// port is the scheme's default, scheme and host in lower case, as a browser writes
// `location.origin`. nullopt for a relative address or one without a host (about:,
// data:, file:, mailto:), whose documents share no origin with anything.
std::optional<std::string> urlOrigin(std::string_view text);

// Both addresses have an origin and it is the same.
bool isSameOrigin(std::string_view first, std::string_view second);

// What a window bound to one origin does with an address its page asks to go to: load it
// (the same origin), hand it to the user's browser (another web address), or refuse it
// (anything else: files, other programs' handlers, pages of no origin).
enum class NavigationVerdict { load, openInBrowser, refuse };
NavigationVerdict navigationVerdict(std::string_view serviceAddress, std::string_view target);

// `text` as the value of a query parameter: every byte but letters, digits, "-._~"
// and "/" percent-encoded (so "&", "=", "+", "#" and spaces cannot end the value).
std::string percentEncodeQueryValue(std::string_view text);

}  // namespace pagemate
