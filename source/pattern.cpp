// Wildcard matching ("*", "?", "\" escapes) and pattern lists. Patterns come from options
// and configuration files, so the matcher is iterative and never worse than
// O(pattern x text): it only ever backtracks to the most recent "*".
#include "pattern.h"

#include "ctype.h"
#include "detail/pattern.hpp"

#include <cstring>

namespace {

inline bool same(char left, char right, bool fold_case)
{
    if (fold_case) {
        return tarvik_to_lower(static_cast<unsigned char>(left)) ==
               tarvik_to_lower(static_cast<unsigned char>(right));
    }
    return left == right;
}

// Pattern [pattern, pattern_end) against the whole NUL-terminated text.
//
// Why one backtrack point suffices: once a later "*" has been reached, every way of
// matching the part before it is as good as any other, because that "*" can absorb
// whatever text the earlier choice leaves over. So only the latest star needs retrying,
// and each retry moves its start forward by one character.
bool match(const char *pattern, const char *pattern_end, const char *text, bool fold_case)
{
    const char *star_pattern = nullptr; // behind the latest "*"
    const char *star_text = nullptr;    // where that star's run currently ends
    for (;;) {
        if (pattern == pattern_end) {
            if (*text == '\0') {
                return true;
            }
        } else if (*pattern == '*') {
            star_pattern = ++pattern;
            star_text = text;
            continue;
        } else if (*pattern == '\\' && pattern + 1 == pattern_end) {
            ++pattern; // a trailing escape has nothing to escape
            continue;
        } else {
            if (*text == '\0') {
                // The part after the star has a fixed length, and retrying only
                // shortens the text it gets: no retry can succeed.
                return false;
            }
            bool matched = true;
            if (*pattern == '?') {
                ++pattern;
            } else {
                if (*pattern == '\\') {
                    ++pattern;
                }
                matched = same(*pattern, *text, fold_case);
                ++pattern;
            }
            if (matched) {
                ++text;
                continue;
            }
        }
        if (star_pattern == nullptr) {
            return false;
        }
        pattern = star_pattern;
        text = ++star_text;
    }
}

int check(const char *pattern, const char *text, bool fold_case)
{
    if (pattern == nullptr) {
        return -1;
    }
    if (text == nullptr) {
        text = "";
    }
    return match(pattern, pattern + strlen(pattern), text, fold_case) ? 0 : -1;
}

int check_list(const char *list, const char *separators, const char *text, bool fold_case)
{
    if (list == nullptr || *list == '\0') {
        return -1;
    }
    if (text == nullptr) {
        text = "";
    }
    if (separators == nullptr) {
        separators = "";
    }
    for (;;) {
        size_t length = strcspn(list, separators);
        if (match(list, list + length, text, fold_case)) {
            return 0;
        }
        if (list[length] == '\0') {
            return -1;
        }
        list += length + 1;
    }
}

} // namespace

namespace tarvik::detail {

bool match_pattern(Text pattern, const char *text, bool fold_case)
{
    return match(pattern.m_data, pattern.end(), text != nullptr ? text : "", fold_case);
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_check_pattern(const char *pattern, const char *text)
{
    return check(pattern, text, false);
}

TARVIK_API int tarvik_check_case_pattern(const char *pattern, const char *text)
{
    return check(pattern, text, true);
}

TARVIK_API int tarvik_check_pattern_list(const char *list, const char *separators, const char *text)
{
    return check_list(list, separators, text, false);
}

TARVIK_API int tarvik_check_case_pattern_list(const char *list, const char *separators,
                                              const char *text)
{
    return check_list(list, separators, text, true);
}

} // extern "C"
