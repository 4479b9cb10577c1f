#pragma once

#include <string>
#include <string_view>

namespace pagemate {

// Removes every `character` from both ends.
std::string_view trimCharacter(std::string_view text, char character);
// Removes white space and line breaks (ASCII and Unicode, such as U+3000) from both ends.
std::string_view trimWhitespace(std::string_view text);
bool contains(std::string_view text, std::string_view part);

}  // namespace pagemate
