#pragma once

#include <cstddef>
#include <string_view>

namespace pagemate {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

// The number of user-perceived characters (extended grapheme clusters): a letter with
// its marks, an emoji with its modifiers and joined parts, a flag, CR LF, a syllable of
// a Brahmic script, each count as one. Malformed bytes count one each.
std::size_t characterCount(std::string_view utf8);

}  // namespace pagemate
