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

// The first `count` user-perceived characters (as characterCount counts them) of the
// text, or all of it when it has no more.
std::string_view characterPrefix(std::string_view utf8, std::size_t count);

}  // namespace pagemate
