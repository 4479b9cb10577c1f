#include "support/Utf8.h"

#include <unicode/ubrk.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>
#include <memory>

namespace pagemate {

bool isValidUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<std::uint8_t>(bytes[i]);
        std::size_t length = 0;
        std::uint32_t codePoint = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        }
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            codePoint = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > bytes.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

namespace {

// Calls `visit` with the byte offset where each user-perceived character of the UTF-8
// text ends, in order, until it returns false. ICU's character break iterator
// implements the extended grapheme clusters of Unicode's text segmentation rules, kept
// current with each Unicode version. False when ICU could not walk the text (not
// reached with valid arguments).
template <typename Visit>
bool forEachCharacterEnd(std::string_view utf8, Visit visit) {
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UText, decltype(&utext_close)> text(
        utext_openUTF8(nullptr, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status),
        &utext_close);
    const std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status), &ubrk_close);
    if (U_SUCCESS(status)) {
        ubrk_setUText(breaks.get(), text.get(), &status);
    }
    if (U_FAILURE(status)) {
        return false;
    }
    // Over UTF-8 text the iterator's positions are byte offsets.
    for (std::int32_t at = ubrk_next(breaks.get()); at != UBRK_DONE; at = ubrk_next(breaks.get())) {
        if (!visit(static_cast<std::size_t>(at))) {
            break;
        }
    }
    return true;
}

}  // namespace

std::size_t characterCount(std::string_view utf8) {
    if (utf8.empty()) {
        return 0;
    }
    std::size_t count = 0;
    if (!forEachCharacterEnd(utf8, [&count](std::size_t) {
            ++count;
            return true;
        })) {
        return utf8.size();  // never undercount
    }
    return count;
}

std::string_view characterPrefix(std::string_view utf8, std::size_t count) {
    if (utf8.empty() || count == 0) {
        return utf8.substr(0, 0);
    }
    std::size_t seen = 0;
    std::size_t end = utf8.size();
    if (!forEachCharacterEnd(utf8, [&](std::size_t at) {
            if (++seen < count) {
                return true;
            }
            end = at;
            return false;
        })) {
        return utf8.substr(0, std::min(count, utf8.size()));
    }
    return utf8.substr(0, end);
}

}  // namespace pagemate
