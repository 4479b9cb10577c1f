#include "support/Url.h"

#include <algorithm>
#include <cctype>

namespace pagemate {

namespace {

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// Unreserved and reserved characters of RFC 3986.
bool isAddressCharacter(char c) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
        return true;
    }
    constexpr std::string_view kOthers = "-._~:/?#[]@!$&'()*+,;=";
    return kOthers.find(c) != std::string_view::npos;
}

}  // namespace

bool isValidURL(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (std::size_t index = 0; index < text.size(); ++index) {
        const char c = text[index];
        if (c == '%') {
            if (index + 2 >= text.size() || !isHex(text[index + 1]) || !isHex(text[index + 2])) {
                return false;
            }
            index += 2;
            continue;
        }
        if (!isAddressCharacter(c)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> urlScheme(std::string_view text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        std::isalpha(static_cast<unsigned char>(text[0])) == 0) {
        return std::nullopt;
    }
    std::string scheme;
    for (const char c : text.substr(0, colon)) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) == 0 && c != '+' && c != '-' && c != '.') {
            return std::nullopt;
        }
        scheme += static_cast<char>(std::tolower(byte));
    }
    return scheme;
}

bool isAbsoluteURL(std::string_view text) {
    return isValidURL(text) && urlScheme(text).has_value();
}

std::optional<std::string> urlOrigin(std::string_view text) {
    const std::optional<std::string> scheme = urlScheme(text);
    if (!scheme || !isValidURL(text)) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(scheme->size() + 1);
    if (!rest.starts_with("//")) {
        return std::nullopt;
    }
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);  // user information is no part of the origin
    }
    // A bracketed IPv6 host may hold colons; the port follows the last one after it.
    const std::size_t hostEnd = authority.starts_with('[') ? authority.find(']') + 1 : 0;
    if (hostEnd == 0 && authority.starts_with('[')) {
        return std::nullopt;
    }
    const std::size_t colon = authority.find(':', hostEnd);
    const std::string_view host = authority.substr(0, colon);
    std::string_view port =
        colon == std::string_view::npos ? std::string_view() : authority.substr(colon + 1);
    if (host.empty() || !std::all_of(port.begin(), port.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return std::nullopt;
    }
    while (port.size() > 1 && port.front() == '0') {
        port.remove_prefix(1);
    }
    const bool defaultPort = (port == "80" && (*scheme == "http" || *scheme == "ws")) ||
                             (port == "443" && (*scheme == "https" || *scheme == "wss"));
    std::string origin = *scheme + "://";
    for (const char c : host) {
        origin += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (!port.empty() && !defaultPort) {
        origin += ':';
        origin += port;
    }
    return origin;
}

bool isSameOrigin(std::string_view first, std::string_view second) {
    const std::optional<std::string> origin = urlOrigin(first);
    return origin && origin == urlOrigin(second);
}

NavigationVerdict navigationVerdict(std::string_view serviceAddress, std::string_view target) {
    if (isSameOrigin(serviceAddress, target)) {
        return NavigationVerdict::load;
    }
    const std::optional<std::string> scheme = urlScheme(target);
    const bool web = scheme && (*scheme == "http" || *scheme == "https");
    return web && urlOrigin(target) ? NavigationVerdict::openInBrowser : NavigationVerdict::refuse;
}

std::string percentEncodeQueryValue(std::string_view text) {
    constexpr std::string_view kDigits = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) != 0 ||
            std::string_view("-._~/").find(c) != std::string_view::npos) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kDigits[byte >> 4U];
            encoded += kDigits[byte & 0x0FU];
        }
    }
    return encoded;
}

bool isOpenableScheme(std::string_view scheme) {
    return scheme == "http" || scheme == "https" || scheme == "notion";
}

}  // namespace pagemate
