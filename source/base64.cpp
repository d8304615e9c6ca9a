// Streaming Base64 (RFC 4648): input is consumed three bytes (four characters) at a time
// straight from the caller's data; only an incomplete group is held back in the input
// queue. Each push's output goes to the output queue as one block. Handles are not shared.
#include "base64.h"

#include "detail/codec.hpp"
#include "detail/common.hpp"

#include <cstring>

namespace {

using tarvik::detail::new_output_block;
using tarvik::detail::queue_output;
using tarvik::detail::replace_carry;
using tarvik::detail::within_limit;

constexpr char STANDARD[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
constexpr char URL_SAFE[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_=";

// Decoding classes beyond the 64 digit values.
constexpr uint8_t PAD = 64;
constexpr uint8_t LINE_END = 65;
constexpr uint8_t GARBAGE = 66;

struct DecodeTable {
    uint8_t m_value[256];
};

// The decoder reads the standard alphabet only, whatever the URL-safe flag says.
constexpr DecodeTable make_decode_table()
{
    DecodeTable table{};
    for (int c = 0; c < 256; ++c) {
        table.m_value[c] = GARBAGE;
    }
    for (int digit = 0; digit < 64; ++digit) {
        table.m_value[static_cast<uint8_t>(STANDARD[digit])] = static_cast<uint8_t>(digit);
    }
    table.m_value[static_cast<uint8_t>('=')] = PAD;
    table.m_value[static_cast<uint8_t>('\r')] = LINE_END;
    table.m_value[static_cast<uint8_t>('\n')] = LINE_END;
    return table;
}

constexpr DecodeTable DECODE = make_decode_table();

// ---- encoding -------------------------------------------------------------------------------

void encode_groups(const uint8_t *in, size_t groups, char *out, const char *alphabet)
{
    for (; groups > 0; --groups, in += 3, out += 4) {
        const uint32_t value = static_cast<uint32_t>(in[0]) << 16 |
                               static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]);
        out[0] = alphabet[value >> 18];
        out[1] = alphabet[(value >> 12) & 63u];
        out[2] = alphabet[(value >> 6) & 63u];
        out[3] = alphabet[value & 63u];
    }
}

// One or two last bytes, padded to four characters.
void encode_tail(const uint8_t *in, size_t count, char *out, const char *alphabet)
{
    uint8_t group[3] = {in[0], count > 1 ? in[1] : uint8_t{0}, 0};
    encode_groups(group, 1, out, alphabet);
    out[3] = alphabet[64];
    if (count == 1) {
        out[2] = alphabet[64];
    }
}

// Line breaks that count more characters need from column on: one before every character
// that finds the line full.
size_t breaks_before(uint32_t wrap, uint32_t column, size_t count)
{
    if (wrap == 0 || count == 0) {
        return 0;
    }
    const size_t room = column >= wrap ? 0 : wrap - column;
    return count <= room ? 0 : 1 + (count - room - 1) / wrap;
}

// Spreads count characters at the start of text over lines in place, from the back, and
// returns the column after the last one.
uint32_t spread_lines(char *text, size_t count, uint32_t wrap, uint32_t column,
                      const char *line_break, size_t break_length)
{
    const size_t breaks = breaks_before(wrap, column, count);
    if (breaks == 0) {
        return column + static_cast<uint32_t>(count);
    }
    const size_t first = column >= wrap ? 0 : wrap - column;
    for (size_t line = breaks; line > 0; --line) {
        const size_t from = first + (line - 1) * wrap;
        const size_t length = count - from < wrap ? count - from : wrap;
        char *to = text + from + line * break_length;
        memmove(to, text + from, length);
        memcpy(to - break_length, line_break, break_length);
    }
    return static_cast<uint32_t>(count - first - (breaks - 1) * wrap);
}

int push_encode(tarvik_base64_t *handle, const uint8_t *bytes, size_t size)
{
    const bool end = size == 0;
    uint8_t carry[3];
    const size_t carried = tarvik_peek_buffer(handle->m_input, carry, 2);
    const size_t total = carried + size;
    size_t groups = total / 3;
    const size_t rest = total % 3;
    const size_t chars = groups * 4 + (end && rest != 0 ? 4 : 0);
    const char *line_break = handle->m_wrap_extension != 0 ? "\\\n" : "\n";
    const size_t break_length = handle->m_wrap_extension != 0 ? 2 : 1;
    const size_t breaks = breaks_before(handle->m_wrap, handle->m_column, chars) +
                          (end && handle->m_wrap != 0 ? 1 : 0);
    const size_t length = chars + breaks * break_length;
    if ((!end && handle->m_max_input != 0 && rest > handle->m_max_input) ||
        !within_limit(handle->m_output, handle->m_max_output, length)) {
        return -1;
    }
    char *block = new_output_block(length);
    if (block == nullptr) {
        return -1;
    }
    const char *alphabet = handle->m_url_safe != 0 ? URL_SAFE : STANDARD;
    char *out = block;
    // The held-back bytes complete a group with the first new ones, or join the new rest.
    uint8_t left[3];
    const uint8_t *tail = left;
    if (carried > 0 && groups > 0) {
        memcpy(carry + carried, bytes, 3 - carried);
        encode_groups(carry, 1, out, alphabet);
        out += 4;
        bytes += 3 - carried;
        --groups;
    } else if (carried > 0) {
        memcpy(left, carry, carried);
        if (size > 0) {
            memcpy(left + carried, bytes, size);
        }
    }
    encode_groups(bytes, groups, out, alphabet);
    out += groups * 4;
    if (carried == 0 || total >= 3) {
        tail = bytes + groups * 3;
    }
    if (end && rest != 0) {
        encode_tail(tail, rest, out, alphabet);
    }
    uint32_t column =
        spread_lines(block, chars, handle->m_wrap, handle->m_column, line_break, break_length);
    if (end && handle->m_wrap != 0) {
        memcpy(block + length - break_length, line_break, break_length);
        column = 0;
    }
    if (!queue_output(handle->m_output, block, length) ||
        !replace_carry(handle->m_input, tail, end ? 0 : rest)) {
        return -1;
    }
    handle->m_column = column;
    handle->m_final = end ? 1 : 0;
    return 0;
}

// ---- decoding -------------------------------------------------------------------------------

// Bytes of a group of count digit values (pads included): the digits before the first pad
// carry them; one digit alone carries none.
size_t decode_group(const uint8_t *values, size_t count, uint8_t *out)
{
    size_t digits = 0;
    while (digits < count && values[digits] != PAD) {
        ++digits;
    }
    uint32_t value = 0;
    for (size_t n = 0; n < 4; ++n) {
        value = value << 6 | (n < digits ? values[n] : 0u);
    }
    const size_t bytes = digits == 4 ? 3 : (digits >= 2 ? digits - 1 : 0);
    for (size_t n = 0; n < bytes; ++n) {
        out[n] = static_cast<uint8_t>(value >> (16 - 8 * n));
    }
    return bytes;
}

// Whole groups of four plain digits, as long as they come; returns the characters taken.
size_t decode_run(const uint8_t *in, size_t size, uint8_t *out, size_t *produced)
{
    size_t taken = 0;
    size_t made = 0;
    for (; size - taken >= 4; taken += 4, made += 3) {
        const uint32_t a = DECODE.m_value[in[taken]];
        const uint32_t b = DECODE.m_value[in[taken + 1]];
        const uint32_t c = DECODE.m_value[in[taken + 2]];
        const uint32_t d = DECODE.m_value[in[taken + 3]];
        if ((a | b | c | d) >= 64) {
            break;
        }
        const uint32_t value = a << 18 | b << 12 | c << 6 | d;
        out[made] = static_cast<uint8_t>(value >> 16);
        out[made + 1] = static_cast<uint8_t>(value >> 8);
        out[made + 2] = static_cast<uint8_t>(value);
    }
    *produced += made;
    return taken;
}

int push_decode(tarvik_base64_t *handle, const uint8_t *bytes, size_t size)
{
    if (handle->m_final != 0) {
        return 0; // decoding has ended
    }
    uint8_t group[4];
    size_t held = tarvik_peek_buffer(handle->m_input, group, 3);
    uint8_t values[4];
    for (size_t n = 0; n < held; ++n) {
        values[n] = DECODE.m_value[group[n]];
    }
    uint8_t *block = reinterpret_cast<uint8_t *>(new_output_block((held + size) / 4 * 3 + 3));
    if (block == nullptr) {
        return -1;
    }
    size_t length = 0;
    bool ended = size == 0;
    for (size_t at = 0; at < size;) {
        if (held == 0) {
            at += decode_run(bytes + at, size - at, block + length, &length);
            if (at == size) {
                break;
            }
        }
        const uint8_t value = DECODE.m_value[bytes[at]];
        if (value == GARBAGE && handle->m_ignore_garbage == 0) {
            ended = true;
            break;
        }
        if (value <= PAD) {
            group[held] = bytes[at];
            values[held++] = value;
            if (held == 4) {
                length += decode_group(values, 4, block + length);
                held = 0;
            }
        }
        ++at;
    }
    if (ended) {
        length += decode_group(values, held, block + length);
        held = 0;
    }
    if ((handle->m_max_input != 0 && held > handle->m_max_input) ||
        !within_limit(handle->m_output, handle->m_max_output, length)) {
        tarvik_free_tag(block, TARVIK_TAG);
        return -1;
    }
    if (!queue_output(handle->m_output, reinterpret_cast<char *>(block), length) ||
        !replace_carry(handle->m_input, group, held)) {
        return -1;
    }
    handle->m_final = ended ? 1 : 0;
    return 0;
}

} // namespace

extern "C" {

TARVIK_API tarvik_base64_t *tarvik_open_base64(void)
{
    return tarvik::detail::open_codec<tarvik_base64_t>();
}

TARVIK_API int tarvik_close_base64(tarvik_base64_t *handle)
{
    return tarvik::detail::close_codec(handle);
}

TARVIK_API int tarvik_push_encode_base64(tarvik_base64_t *handle, const void *data, size_t size)
{
    if (handle == nullptr || (data == nullptr && size != 0)) {
        return -1;
    }
    if (handle->m_final != 0) {
        return size == 0 ? 0 : -1; // nothing can follow the end
    }
    return push_encode(handle, static_cast<const uint8_t *>(data), size);
}

TARVIK_API int tarvik_push_decode_base64(tarvik_base64_t *handle, const void *data, size_t size)
{
    if (handle == nullptr || (data == nullptr && size != 0)) {
        return -1;
    }
    return push_decode(handle, static_cast<const uint8_t *>(data), size);
}

TARVIK_API char *tarvik_get_base64(tarvik_base64_t *handle, size_t *size_out)
{
    return tarvik::detail::get_codec(handle, size_out);
}

TARVIK_API char *tarvik_encode_base64(const void *data, size_t size, size_t *size_out)
{
    return tarvik::detail::one_shot(tarvik_push_encode_base64, data, size, size_out);
}

TARVIK_API char *tarvik_decode_base64(const void *data, size_t size, size_t *size_out)
{
    return tarvik::detail::one_shot(tarvik_push_decode_base64, data, size, size_out);
}

} // extern "C"
