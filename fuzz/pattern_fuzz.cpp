// Fuzzes the wildcard matcher: the input is a pattern and a text split at the first NUL.
// The case-insensitive forms must equal matching lowered inputs, the list forms must
// equal trying each piece, and plain patterns must agree with the C library's fnmatch.
#include "ctype.h"
#include "heap.h"
#include "pattern.h"

#include <fnmatch.h>

#include <cstdlib>
#include <string>

namespace {

int each_piece(const std::string &list, const std::string &text)
{
    if (list.empty()) {
        return -1;
    }
    for (size_t start = 0;;) {
        size_t end = list.find('|', start);
        std::string piece = list.substr(start, end == std::string::npos ? end : end - start);
        if (tarvik_check_pattern(piece.c_str(), text.c_str()) == 0) {
            return 0;
        }
        if (end == std::string::npos) {
            return -1;
        }
        start = end + 1;
    }
}

bool fnmatch_comparable(const std::string &pattern)
{
    size_t trailing = 0;
    for (auto it = pattern.rbegin(); it != pattern.rend() && *it == '\\'; ++it) {
        ++trailing;
    }
    return pattern.size() <= 24 && pattern.find('[') == std::string::npos && trailing % 2 == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t split = input.find('\0');
    std::string pattern = input.substr(0, split);
    std::string text = split == std::string::npos ? "" : input.substr(split + 1);
    text = text.substr(0, text.find('\0'));

    int plain = tarvik_check_pattern(pattern.c_str(), text.c_str());
    std::string lowered_pattern = pattern;
    std::string lowered_text = text;
    tarvik_strlower(lowered_pattern.data());
    tarvik_strlower(lowered_text.data());
    if (tarvik_check_case_pattern(pattern.c_str(), text.c_str()) !=
            tarvik_check_pattern(lowered_pattern.c_str(), lowered_text.c_str()) ||
        tarvik_check_pattern_list(pattern.c_str(), "|", text.c_str()) !=
            each_piece(pattern, text) ||
        tarvik_check_case_pattern_list(pattern.c_str(), "|", text.c_str()) !=
            each_piece(lowered_pattern, lowered_text) ||
        (fnmatch_comparable(pattern) &&
         plain != (fnmatch(pattern.c_str(), text.c_str(), 0) == 0 ? 0 : -1))) {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
