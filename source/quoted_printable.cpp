// Streaming quoted-printable: encoding waits for the end of input (everything is queued
// until then); decoding converts as it goes and holds back only an "=" whose two digits have
// not arrived. Each push's output goes to the output queue as one block.
#include "quoted_printable.h"

#include "detail/codec.hpp"
#include "detail/common.hpp"

#include <cstring>

namespace {

using tarvik::detail::new_output_block;
using tarvik::detail::queue_output;
using tarvik::detail::replace_carry;
using tarvik::detail::within_limit;

constexpr char DIGITS[] = "0123456789ABCDEF";

constexpr bool is_literal(uint8_t c) { return c >= 0x21 && c <= 0x7E && c != '='; }

// Upper-case hex digits only: lower case passes through literally.
constexpr int upper_hex_value(uint8_t c)
{
    return c >= '0' && c <= '9' ? c - '0' : (c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1);
}

// Encodes the whole queued input once the end is pushed.
int encode_queued(tarvik_quoted_printable_t *handle)
{
    const size_t size = tarvik_get_buffer_size(handle->m_input);
    size_t length = 0;
    for (size_t at = 0; at < size;) {
        uint8_t chunk[512];
        const size_t count = tarvik_peek_buffer_ex(handle->m_input, chunk, sizeof(chunk), at, 0);
        for (size_t n = 0; n < count; ++n) {
            length += is_literal(chunk[n]) ? 1 : 3;
        }
        at += count;
    }
    if (!within_limit(handle->m_output, handle->m_max_output, length)) {
        return -1;
    }
    char *block = new_output_block(length);
    if (block == nullptr) {
        return -1;
    }
    char *out = block;
    for (size_t at = 0; at < size;) {
        uint8_t chunk[512];
        const size_t count = tarvik_peek_buffer_ex(handle->m_input, chunk, sizeof(chunk), at, 0);
        for (size_t n = 0; n < count; ++n) {
            if (is_literal(chunk[n])) {
                *out++ = static_cast<char>(chunk[n]);
            } else {
                out[0] = '=';
                out[1] = DIGITS[chunk[n] >> 4];
                out[2] = DIGITS[chunk[n] & 15u];
                out += 3;
            }
        }
        at += count;
    }
    if (!queue_output(handle->m_output, block, length)) {
        return -1;
    }
    tarvik_flush_buffer(handle->m_input);
    handle->m_final = 1;
    return 0;
}

// Decodes text into out; returns the bytes written and sets *held to the characters at the
// end that wait for more input (an "=" and at most one digit), unless end is set.
size_t decode_text(const uint8_t *text, size_t size, bool end, uint8_t *out, size_t *held)
{
    size_t length = 0;
    size_t at = 0;
    *held = 0;
    while (at < size) {
        const uint8_t *equals = static_cast<const uint8_t *>(memchr(text + at, '=', size - at));
        const size_t run = equals != nullptr ? static_cast<size_t>(equals - text) - at : size - at;
        memcpy(out + length, text + at, run);
        length += run;
        at += run;
        if (at == size) {
            break;
        }
        const size_t left = size - at;
        const int high = left > 1 ? upper_hex_value(text[at + 1]) : -1;
        const int low = left > 2 ? upper_hex_value(text[at + 2]) : -1;
        if (high >= 0 && low >= 0) {
            out[length++] = static_cast<uint8_t>(high << 4 | low);
            at += 3;
            continue;
        }
        if (!end && (left == 1 || (left == 2 && high >= 0))) {
            *held = left;
            break;
        }
        // Not an escape: the "=" and what was examined go through as they are.
        const size_t examined = high >= 0 ? 3 : 2;
        const size_t literal = examined < left ? examined : left;
        memcpy(out + length, text + at, literal);
        length += literal;
        at += literal;
    }
    return length;
}

int push_decode(tarvik_quoted_printable_t *handle, const uint8_t *bytes, size_t size)
{
    if (handle->m_final != 0) {
        return size == 0 ? 0 : -1;
    }
    const bool end = size == 0;
    // The held-back "=" and digit go in front of the new text.
    uint8_t carry[2];
    const size_t carried = tarvik_peek_buffer(handle->m_input, carry, sizeof(carry));
    uint8_t *text = const_cast<uint8_t *>(bytes);
    uint8_t *joined = nullptr;
    if (carried > 0) {
        joined = static_cast<uint8_t *>(tarvik_alloc_tag(carried + size, TARVIK_TAG));
        if (joined == nullptr) {
            return -1;
        }
        memcpy(joined, carry, carried);
        if (size > 0) {
            memcpy(joined + carried, bytes, size);
        }
        text = joined;
    }
    const size_t total = carried + size;
    char *block = new_output_block(total);
    int result = -1;
    if (block != nullptr) {
        size_t held = 0;
        const size_t length =
            decode_text(text, total, end, reinterpret_cast<uint8_t *>(block), &held);
        if ((handle->m_max_input != 0 && held > handle->m_max_input) ||
            !within_limit(handle->m_output, handle->m_max_output, length)) {
            tarvik_free_tag(block, TARVIK_TAG);
        } else if (queue_output(handle->m_output, block, length) &&
                   replace_carry(handle->m_input, text + total - held, held)) {
            handle->m_final = end ? 1 : 0;
            result = 0;
        }
    }
    tarvik_check_free_tag(joined, TARVIK_TAG);
    return result;
}

int push_encode(tarvik_quoted_printable_t *handle, const uint8_t *bytes, size_t size)
{
    if (handle->m_final != 0) {
        return size == 0 ? 0 : -1;
    }
    if (size == 0) {
        return encode_queued(handle);
    }
    if (!within_limit(handle->m_input, handle->m_max_input, size)) {
        return -1;
    }
    return tarvik_push_buffer(handle->m_input, bytes, size) == size ? 0 : -1;
}

} // namespace

extern "C" {

TARVIK_API tarvik_quoted_printable_t *tarvik_open_quoted_printable(void)
{
    return tarvik::detail::open_codec<tarvik_quoted_printable_t>();
}

TARVIK_API int tarvik_close_quoted_printable(tarvik_quoted_printable_t *handle)
{
    return tarvik::detail::close_codec(handle);
}

TARVIK_API int tarvik_push_encode_quoted_printable(tarvik_quoted_printable_t *handle,
                                                   const void *data, size_t size)
{
    if (handle == nullptr || (data == nullptr && size != 0)) {
        return -1;
    }
    return push_encode(handle, static_cast<const uint8_t *>(data), size);
}

TARVIK_API int tarvik_push_decode_quoted_printable(tarvik_quoted_printable_t *handle,
                                                   const void *data, size_t size)
{
    if (handle == nullptr || (data == nullptr && size != 0)) {
        return -1;
    }
    return push_decode(handle, static_cast<const uint8_t *>(data), size);
}

TARVIK_API char *tarvik_get_quoted_printable(tarvik_quoted_printable_t *handle, size_t *size_out)
{
    return tarvik::detail::get_codec(handle, size_out);
}

TARVIK_API char *tarvik_encode_quoted_printable(const void *data, size_t size, size_t *size_out)
{
    return tarvik::detail::one_shot(tarvik_push_encode_quoted_printable, data, size, size_out);
}

TARVIK_API char *tarvik_decode_quoted_printable(const void *data, size_t size, size_t *size_out)
{
    return tarvik::detail::one_shot(tarvik_push_decode_quoted_printable, data, size, size_out);
}

} // extern "C"
