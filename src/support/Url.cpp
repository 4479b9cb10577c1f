#include "support/Url.h"

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
