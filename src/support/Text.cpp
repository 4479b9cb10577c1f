#include "support/Text.h"

#include <array>

namespace pagemate {

namespace {

// UTF-8 forms of the Unicode white space and line-break characters outside ASCII.
constexpr std::array<std::string_view, 20> kUnicodeSpaces = {
    "\u0085", "\u00A0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003",
    "\u2004", "\u2005", "\u2006", "\u2007", "\u2008", "\u2009", "\u200A",
    "\u2028", "\u2029", "\u202F", "\u205F", "\u3000", "\uFEFF"};

bool isAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The length of the white space that `text` starts (atEnd: ends) with, or 0.
std::size_t spaceAt(std::string_view text, bool atEnd) {
    if (text.empty()) {
        return 0;
    }
    if (isAsciiSpace(atEnd ? text.back() : text.front())) {
        return 1;
    }
    for (std::string_view space : kUnicodeSpaces) {
        if (atEnd ? text.ends_with(space) : text.starts_with(space)) {
            return space.size();
        }
    }
    return 0;
}

}  // namespace

std::string_view trimCharacter(std::string_view text, char character) {
    while (!text.empty() && text.front() == character) {
        text.remove_prefix(1);
    }
    while (!text.empty() && text.back() == character) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view trimWhitespace(std::string_view text) {
    while (const std::size_t n = spaceAt(text, false)) {
        text.remove_prefix(n);
    }
    while (const std::size_t n = spaceAt(text, true)) {
        text.remove_suffix(n);
    }
    return text;
}

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace pagemate
