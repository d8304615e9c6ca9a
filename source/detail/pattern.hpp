// C++-only entry to the wildcard matcher for patterns that are not NUL-terminated (an
// element of a list read in place).
#pragma once

#include "text.hpp"

namespace tarvik::detail {

// True when pattern ("*", "?", "\" escapes) matches the whole text (null reads as "").
bool match_pattern(Text pattern, const char *text, bool fold_case);

} // namespace tarvik::detail
