// Fuzzes detection and conversion to UTF-8 with every option on arbitrary bytes: the
// result must be valid UTF-8, agree with the detection flags, and leave the heap empty.
#include "charset.h"
#include "heap.h"
#include "utf8.h"

#include <cstdlib>
#include <cstring>

namespace {

void check_conversion(const char *text, size_t size, uint32_t flags, uint32_t options)
{
    char *converted = tarvik_convert_to_utf8_string(text, size, options);
    bool refused = (flags & (TARVIK_CHARSET_UNKNOWN_PAIR | TARVIK_CHARSET_TRUNCATED)) != 0 &&
                   (options & TARVIK_CHARSET_FORCE) == 0;
    if (refused != (converted == nullptr)) {
        abort();
    }
    if (converted == nullptr) {
        return;
    }
    size_t length = strlen(converted);
    if (!tarvik_utf8_is_valid(converted, length)) {
        abort();
    }
    if ((flags & TARVIK_CHARSET_UTF8) != 0 || (flags & TARVIK_CHARSET_DOUBLE_BYTE) == 0) {
        // UTF-8 and plain ASCII come back byte for byte up to the first NUL.
        const void *nul = memchr(text, 0, size);
        size_t expected =
            nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - text) : size;
        if (length != expected || memcmp(converted, text, length) != 0) {
            abort();
        }
    }
    tarvik_free_tag(converted, __func__, __LINE__);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    uint32_t flags = tarvik_detect_string_charset(text, size);
    if ((flags & TARVIK_CHARSET_UTF8) != 0 && !tarvik_utf8_is_valid(text, size)) {
        abort();
    }
    for (uint32_t options = 0; options < 4; ++options) {
        check_conversion(text, size, flags, options);
    }
    uint32_t scalar = 0;
    size_t length = tarvik_utf8_character_decode(text, size, &scalar);
    char buffer[5];
    if (length != 0 && (tarvik_utf8_character_encode(scalar, buffer, sizeof(buffer)) != length ||
                        memcmp(buffer, text, length) != 0)) {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
