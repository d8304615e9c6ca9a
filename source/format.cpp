// The library's printf-style formatter and the number formatting under it. Output goes
// through a bounded writer that stops at its limit, so no conversion can overrun a buffer.
#include "format.h"

#include "detail/common.hpp"
#include "heap.h"

#include <climits>
#include <cstddef>
#include <cstring>
#include <math.h>
#include <type_traits>

namespace {

constexpr const char *UPPER_DIGITS = "0123456789ABCDEF";
constexpr const char *LOWER_DIGITS = "0123456789abcdef";
// The allocating formatter gives up on texts that would need a 65,536-byte buffer: the
// largest buffer it may use is 255 x 256 bytes.
constexpr size_t ALLOC_LIMIT = 65280;
constexpr size_t ALLOC_FIRST_TRY = 512;
constexpr size_t WIDTH_LIMIT = TARVIK_XTOA_WIDTH_MASK;
// 10^18 is the largest power of ten below 2^64; fraction digits past it are zeros.
constexpr int FRACTION_DIGITS_LIMIT = 18;

// Every conversion writes through the bounded writer, which stops at its limit.
using Out = tarvik::detail::Writer;

// Writes the digits of value in base, right to left, ending just before end; returns
// the first digit. Values that fit 32 bits take the cheaper path (64-bit division is a
// library call on the target).
template <typename T> char *digits_of(T value, unsigned base, const char *alphabet, char *end)
{
    char *p = end;
    switch (base) {
    case 10:
        do {
            *--p = alphabet[value % 10u];
            value /= 10u;
        } while (value != 0);
        break;
    case 16:
        do {
            *--p = alphabet[value & 15u];
            value >>= 4;
        } while (value != 0);
        break;
    case 8:
        do {
            *--p = alphabet[value & 7u];
            value >>= 3;
        } while (value != 0);
        break;
    default:
        do {
            *--p = alphabet[value % base];
            value /= base;
        } while (value != 0);
        break;
    }
    return p;
}

char *digits_of_u64(uint64_t value, unsigned base, const char *alphabet, char *end)
{
    if (value <= UINT32_MAX) {
        return digits_of<uint32_t>(static_cast<uint32_t>(value), base, alphabet, end);
    }
    return digits_of<uint64_t>(value, base, alphabet, end);
}

// Places sign (none when 0) and digits in width columns. A digit fill puts the sign before
// the fill and is always right-aligned; a space fill puts the sign against the digits.
void emit_padded(Out &out, const char *digits, size_t length, char sign, size_t width, char fill,
                 bool digit_fill, bool left)
{
    size_t total = length + (sign != 0 ? 1u : 0u);
    size_t pad = width > total ? width - total : 0;
    if (digit_fill) {
        if (sign != 0) {
            out.put(sign);
        }
        out.fill(fill, pad);
        out.write(digits, length);
    } else if (left) {
        if (sign != 0) {
            out.put(sign);
        }
        out.write(digits, length);
        out.fill(' ', pad);
    } else {
        out.fill(' ', pad);
        if (sign != 0) {
            out.put(sign);
        }
        out.write(digits, length);
    }
}

// The number formatter behind tarvik_xtoa_limit and the integer conversions; positive is the
// sign a value that is not negative carries ("+", " " or none).
void emit_number(Out &out, uint64_t value, unsigned base, uint32_t flags, const char *alphabet,
                 char positive = 0)
{
    char buffer[72];
    char *end = buffer + sizeof(buffer);
    char *first = digits_of_u64(value, base, alphabet, end);
    bool space = (flags & TARVIK_XTOA_SPACE) != 0;
    bool zero = (flags & TARVIK_XTOA_ZERO) != 0;
    bool digit_fill = !space || zero;
    char fill = !space ? alphabet[0] : (zero ? '0' : ' ');
    emit_padded(out, first, static_cast<size_t>(end - first),
                (flags & TARVIK_XTOA_NEGATIVE) != 0 ? '-' : positive,
                flags & TARVIK_XTOA_WIDTH_MASK, fill, digit_fill, (flags & TARVIK_XTOA_LEFT) != 0);
}

int xtoa_limit(char *buffer, size_t size, uint64_t value, int base, uint32_t flags,
               const char *digits)
{
    if (buffer == nullptr || size == 0 || base < 2) {
        return 0;
    }
    const char *alphabet = digits != nullptr ? digits : UPPER_DIGITS;
    // A short alphabet would be read past its end.
    if (strnlen(alphabet, static_cast<size_t>(base)) < static_cast<size_t>(base)) {
        return 0;
    }
    Out out = Out::raw(buffer, size);
    emit_number(out, value, static_cast<unsigned>(base), flags, alphabet);
    return static_cast<int>(out.length());
}

// The argument type a length modifier names; "L" is long double for the floating-point
// conversions and long long for the integer ones, as the C library reads it.
enum class Length { INT, CHAR, SHORT, LONG, LONG_LONG, INTMAX, SIZE, PTRDIFF, LONG_DOUBLE };

// One parsed conversion: flags, width, precision and length.
struct Spec {
    bool m_left;
    bool m_dot;
    bool m_zero;
    bool m_plus;          // "+": non-negative signed numbers carry a plus sign
    bool m_space;         // " ": ... or a space
    bool m_has_width;     // digits or "*" were written
    bool m_has_precision; // "." after the width
    bool m_negative_star; // "*" gave a negative count
    Length m_length;
    size_t m_width;
    size_t m_precision;
};

size_t clamp_width(uint64_t width) { return width > WIDTH_LIMIT ? WIDTH_LIMIT : width; }

// A run of digits; a value past the width limit reads as just past it (clamped later).
const char *parse_decimal(const char *p, uint64_t *value, bool *seen)
{
    size_t length = strspn(p, "0123456789");
    *seen = *seen || length > 0;
    *value = length > 0 ? WIDTH_LIMIT + 1 : 0;
    tarvik::detail::Cursor(p, length).decimal(value, WIDTH_LIMIT);
    return p + length;
}

// Every length modifier the compiler's format check accepts, so that each conversion takes
// exactly the argument the caller passed.
const char *parse_length(const char *p, Length *length)
{
    switch (*p) {
    case 'h':
        if (p[1] == 'h') {
            *length = Length::CHAR;
            return p + 2;
        }
        *length = Length::SHORT;
        return p + 1;
    case 'l':
        if (p[1] == 'l') {
            *length = Length::LONG_LONG;
            return p + 2;
        }
        *length = Length::LONG;
        return p + 1;
    case 'q':
        *length = Length::LONG_LONG;
        return p + 1;
    case 'L':
        *length = Length::LONG_DOUBLE;
        return p + 1;
    case 'j':
        *length = Length::INTMAX;
        return p + 1;
    case 'z':
    case 'Z':
        *length = Length::SIZE;
        return p + 1;
    case 't':
        *length = Length::PTRDIFF;
        return p + 1;
    default:
        return p;
    }
}

const char *parse_spec(const char *p, Spec *spec, va_list *arguments)
{
    *spec = Spec{};
    // Flags are taken in any order, as printf takes them ("#", "'" and "I" change nothing
    // here). A "." before any "0" is the leading-dot form; a second "0" is a width of 0.
    for (;; ++p) {
        if (*p == '-') {
            spec->m_left = true;
        } else if (*p == '+') {
            spec->m_plus = true;
        } else if (*p == ' ') {
            spec->m_space = true;
        } else if (*p == '0' && !spec->m_zero) {
            spec->m_zero = true;
        } else if (*p != '#' && *p != '\'' && *p != 'I') {
            break;
        }
    }
    if (!spec->m_zero && *p == '.') {
        spec->m_dot = true;
        ++p;
        if (*p == '0') {
            spec->m_zero = true;
            ++p;
        }
    }
    int64_t width = 0;
    if (*p == '*') {
        int star = va_arg(*arguments, int);
        spec->m_has_width = true;
        if (star < 0) {
            // As printf does: a negative count asks for left justification, and in the
            // leading-dot form means "no limit".
            spec->m_negative_star = true;
            spec->m_left = true;
            width = -static_cast<int64_t>(star);
        } else {
            width = star;
        }
        ++p;
    }
    uint64_t digits = 0;
    bool seen = false;
    p = parse_decimal(p, &digits, &seen);
    if (seen) {
        spec->m_has_width = true;
        width += static_cast<int64_t>(digits);
    }
    spec->m_width = clamp_width(static_cast<uint64_t>(width));
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            // A negative count is as if no precision were written.
            int star = va_arg(*arguments, int);
            ++p;
            spec->m_has_precision = star >= 0;
            spec->m_precision = star >= 0 ? clamp_width(static_cast<uint64_t>(star)) : 0;
        } else {
            seen = false;
            p = parse_decimal(p, &digits, &seen);
            spec->m_has_precision = true;
            spec->m_precision = clamp_width(digits);
        }
    }
    return parse_length(p, &spec->m_length);
}

uint32_t number_flags(const Spec &spec, bool negative)
{
    uint32_t flags = static_cast<uint32_t>(spec.m_width);
    if (!spec.m_zero) {
        flags |= TARVIK_XTOA_SPACE;
        if (spec.m_left) {
            flags |= TARVIK_XTOA_LEFT;
        }
    }
    if (negative) {
        flags |= TARVIK_XTOA_NEGATIVE;
    }
    return flags;
}

// The sign a non-negative signed number carries.
char positive_sign(const Spec &spec) { return spec.m_plus ? '+' : (spec.m_space ? ' ' : 0); }

// Types narrower than int arrive promoted to int and are narrowed back, as printf does.
int64_t signed_argument(Length length, va_list *arguments)
{
    switch (length) {
    case Length::CHAR:
        return static_cast<signed char>(va_arg(*arguments, int));
    case Length::SHORT:
        return static_cast<short>(va_arg(*arguments, int));
    case Length::LONG:
        return va_arg(*arguments, long);
    case Length::LONG_LONG:
    case Length::LONG_DOUBLE:
        return va_arg(*arguments, long long);
    case Length::INTMAX:
        return va_arg(*arguments, intmax_t);
    case Length::SIZE:
        return va_arg(*arguments, std::make_signed_t<size_t>);
    case Length::PTRDIFF:
        return va_arg(*arguments, ptrdiff_t);
    default:
        return va_arg(*arguments, int);
    }
}

uint64_t unsigned_argument(Length length, va_list *arguments)
{
    switch (length) {
    case Length::CHAR:
        return static_cast<unsigned char>(va_arg(*arguments, unsigned int));
    case Length::SHORT:
        return static_cast<unsigned short>(va_arg(*arguments, unsigned int));
    case Length::LONG:
        return va_arg(*arguments, unsigned long);
    case Length::LONG_LONG:
    case Length::LONG_DOUBLE:
        return va_arg(*arguments, unsigned long long);
    case Length::INTMAX:
        return va_arg(*arguments, uintmax_t);
    case Length::SIZE:
        return va_arg(*arguments, size_t);
    case Length::PTRDIFF:
        return static_cast<std::make_unsigned_t<ptrdiff_t>>(va_arg(*arguments, ptrdiff_t));
    default:
        return va_arg(*arguments, unsigned int);
    }
}

void emit_signed(Out &out, const Spec &spec, va_list *arguments)
{
    int64_t value = signed_argument(spec.m_length, arguments);
    bool negative = value < 0;
    uint64_t magnitude =
        negative ? 0u - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    emit_number(out, magnitude, 10, number_flags(spec, negative), UPPER_DIGITS,
                positive_sign(spec));
}

void emit_unsigned(Out &out, const Spec &spec, unsigned base, const char *alphabet,
                   va_list *arguments)
{
    emit_number(out, unsigned_argument(spec.m_length, arguments), base, number_flags(spec, false),
                alphabet);
}

void emit_pointer(Out &out, const char *alphabet, va_list *arguments)
{
    uintptr_t value = reinterpret_cast<uintptr_t>(va_arg(*arguments, void *));
    emit_number(out, value, 16, 16u, alphabet);
}

void emit_string(Out &out, const Spec &spec, va_list *arguments)
{
    const char *text = va_arg(*arguments, const char *);
    if (text == nullptr) {
        text = "(null)";
    }
    if (!spec.m_has_width && !spec.m_dot) {
        out.write(text, strlen(text));
        return;
    }
    size_t length;
    if (spec.m_dot && !spec.m_negative_star) {
        // The number is both the field and the most that is printed.
        length = strnlen(text, spec.m_width);
    } else {
        length = strlen(text);
    }
    size_t pad = spec.m_width > length ? spec.m_width - length : 0;
    if (spec.m_dot && spec.m_negative_star) {
        pad = 0;
    }
    if (!spec.m_left) {
        out.fill(' ', pad);
    }
    out.write(text, length);
    if (spec.m_left) {
        out.fill(' ', pad);
    }
}

// Exact integer digits of a double too large for 64 bits: such doubles are integers
// (a 53-bit mantissa shifted left), converted by long division of a little-endian array
// of 32-bit limbs. No libm, so the program needs no math library at all.
size_t large_integer_digits(double magnitude, char *buffer, size_t size)
{
    uint64_t bits;
    memcpy(&bits, &magnitude, sizeof(bits));
    int exponent = static_cast<int>((bits >> 52) & 0x7FF) - 1075;
    uint64_t mantissa = (bits & ((uint64_t{1} << 52) - 1)) | (uint64_t{1} << 52);
    uint32_t limbs[34] = {};
    int shift = exponent > 0 ? exponent : 0;
    limbs[shift / 32] = static_cast<uint32_t>(mantissa << (shift % 32));
    limbs[shift / 32 + 1] = static_cast<uint32_t>((mantissa << (shift % 32)) >> 32);
    if (shift % 32 != 0) {
        limbs[shift / 32 + 2] = static_cast<uint32_t>(mantissa >> (64 - shift % 32));
    }
    int used = shift / 32 + 3;
    char *end = buffer + size;
    char *p = end;
    while (used > 0 && p > buffer) {
        uint64_t remainder = 0;
        for (int i = used - 1; i >= 0; --i) {
            uint64_t current = (remainder << 32) | limbs[i];
            limbs[i] = static_cast<uint32_t>(current / 10);
            remainder = current % 10;
        }
        *--p = static_cast<char>('0' + remainder);
        while (used > 0 && limbs[used - 1] == 0) {
            --used;
        }
    }
    size_t length = static_cast<size_t>(end - p);
    memmove(buffer, p, length);
    return length;
}

void emit_float(Out &out, const Spec &spec, va_list *arguments)
{
    double value = spec.m_length == Length::LONG_DOUBLE
                       ? static_cast<double>(va_arg(*arguments, long double))
                       : va_arg(*arguments, double);
    size_t width;
    size_t precision;
    if (spec.m_dot) {
        width = 0;
        precision = spec.m_negative_star ? 6u : spec.m_width;
    } else {
        width = spec.m_width;
        precision = spec.m_has_precision ? spec.m_precision : (spec.m_has_width ? 0u : 6u);
    }
    bool negative = signbit(value) != 0;
    char sign = negative ? '-' : positive_sign(spec);
    if (!isfinite(value)) {
        const char *text = isnan(value) ? "nan" : "inf";
        emit_padded(out, text, 3, isnan(value) ? 0 : sign, width, ' ', false, spec.m_left);
        return;
    }
    double scale = 1.0;
    int scaled_digits =
        precision > FRACTION_DIGITS_LIMIT ? FRACTION_DIGITS_LIMIT : static_cast<int>(precision);
    for (int i = 0; i < scaled_digits; ++i) {
        scale *= 10.0;
    }
    double half = 0.5 / scale;
    value = negative ? value - half : value + half;
    double magnitude = negative ? -value : value;

    char digits[400];
    size_t length;
    double fraction;
    if (magnitude < 9.2e18) {
        uint64_t integer = static_cast<uint64_t>(magnitude);
        char *end = digits + sizeof(digits);
        char *first = digits_of_u64(integer, 10, UPPER_DIGITS, end);
        length = static_cast<size_t>(end - first);
        memmove(digits, first, length);
        fraction = magnitude - static_cast<double>(integer);
    } else {
        length = large_integer_digits(magnitude, digits, sizeof(digits));
        fraction = 0.0;
    }
    bool digit_fill = spec.m_zero;
    // Left-justified, the padding follows the whole number rather than splitting it.
    bool left = spec.m_left && !digit_fill;
    emit_padded(out, digits, length, sign, left ? 0 : width, digit_fill ? '0' : ' ', digit_fill,
                false);
    if (precision > 0) {
        out.put('.');
        uint64_t limit = static_cast<uint64_t>(scale);
        uint64_t scaled = static_cast<uint64_t>(fraction * scale);
        if (scaled >= limit) {
            scaled = limit - 1;
        }
        char *end = digits + sizeof(digits);
        char *first = digits_of_u64(scaled, 10, UPPER_DIGITS, end);
        size_t count = static_cast<size_t>(end - first);
        out.fill('0', static_cast<size_t>(scaled_digits) - count);
        out.write(first, count);
        out.fill('0', precision - static_cast<size_t>(scaled_digits));
    }
    if (left && width > length + (sign != 0 ? 1u : 0u)) {
        out.fill(' ', width - length - (sign != 0 ? 1u : 0u));
    }
}

void format_into(Out &out, const char *format, va_list *arguments)
{
    const char *p = format;
    while (!out.full()) {
        const char *percent = strchrnul(p, '%');
        out.write(p, static_cast<size_t>(percent - p));
        if (*percent == '\0' || out.full()) {
            return;
        }
        Spec spec;
        p = parse_spec(percent + 1, &spec, arguments);
        char conversion = *p;
        if (conversion == '\0') {
            return;
        }
        ++p;
        switch (conversion) {
        case 'd':
        case 'i':
            emit_signed(out, spec, arguments);
            break;
        case 'u':
            emit_unsigned(out, spec, 10, UPPER_DIGITS, arguments);
            break;
        case 'o':
            emit_unsigned(out, spec, 8, UPPER_DIGITS, arguments);
            break;
        case 'x':
            emit_unsigned(out, spec, 16, LOWER_DIGITS, arguments);
            break;
        case 'X':
            emit_unsigned(out, spec, 16, UPPER_DIGITS, arguments);
            break;
        case 'p':
            emit_pointer(out, LOWER_DIGITS, arguments);
            break;
        case 'P':
            emit_pointer(out, UPPER_DIGITS, arguments);
            break;
        case 'c':
        case 'C':
            out.put(static_cast<char>(va_arg(*arguments, int)));
            break;
        case 's':
        case 'S':
            emit_string(out, spec, arguments);
            break;
        // The other floating-point conversions take their argument too, printed as %f.
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            emit_float(out, spec, arguments);
            break;
        case 'n':
            // Its pointer is taken but never written through: a format is no way to store.
            va_arg(*arguments, void *);
            break;
        default:
            out.put(conversion);
            break;
        }
    }
}

// Formats with a copy of the arguments so that the caller's list stays usable.
size_t format_copy(char *buffer, size_t limit, const char *format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    Out out = Out::raw(buffer, limit);
    format_into(out, format, &copy);
    va_end(copy);
    return out.length();
}

} // namespace

extern "C" {

TARVIK_API int tarvik_vsnprintf(char *buffer, size_t size, const char *format, va_list arguments)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (format == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    Out out(buffer, size);
    va_list copy;
    va_copy(copy, arguments);
    format_into(out, format, &copy);
    va_end(copy);
    return out.length() > INT_MAX ? INT_MAX : static_cast<int>(out.length());
}

TARVIK_API int tarvik_snprintf(char *buffer, size_t size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_vsprintf(char *buffer, const char *format, va_list arguments)
{
    return tarvik_vsnprintf(buffer, SIZE_MAX, format, arguments);
}

TARVIK_API int tarvik_sprintf(char *buffer, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_vsnprintf(buffer, SIZE_MAX, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API char *tarvik_alloc_vsprintf(const char *format, va_list arguments)
{
    if (format == nullptr) {
        return nullptr;
    }
    // Most texts are short: format once on the stack and copy the exact length.
    char first[ALLOC_FIRST_TRY];
    size_t length = format_copy(first, sizeof(first) - 1, format, arguments);
    if (length < sizeof(first) - 1) {
        return tarvik::detail::copy_range_tag(first, length, TARVIK_TAG);
    }
    // Longer ones are measured, then formatted straight into their allocation. A text
    // that fills the largest buffer would have been cut: refuse it.
    length = format_copy(nullptr, ALLOC_LIMIT - 1, format, arguments);
    if (length >= ALLOC_LIMIT - 1) {
        return nullptr;
    }
    char *text = static_cast<char *>(tarvik_alloc_tag(length + 1, TARVIK_TAG));
    if (text == nullptr) {
        return nullptr;
    }
    size_t stored = format_copy(text, length, format, arguments);
    text[stored] = '\0';
    return text;
}

TARVIK_API char *tarvik_alloc_sprintf(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char *text = tarvik_alloc_vsprintf(format, arguments);
    va_end(arguments);
    return text;
}

TARVIK_API char *tarvik_realloc_vsprintf(char *old, const char *format, va_list arguments)
{
    // old may be one of the arguments: it is released only once the new text exists.
    char *text = tarvik_alloc_vsprintf(format, arguments);
    tarvik_check_free_tag(old, TARVIK_TAG);
    return text;
}

TARVIK_API char *tarvik_realloc_sprintf(char *old, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char *text = tarvik_realloc_vsprintf(old, format, arguments);
    va_end(arguments);
    return text;
}

TARVIK_API int tarvik_xtoa_limit(char *buffer, size_t size, unsigned long value, int base,
                                 uint32_t flags, const char *digits)
{
    return xtoa_limit(buffer, size, value, base, flags, digits);
}

TARVIK_API int tarvik_llxtoa_limit(char *buffer, size_t size, uint64_t value, int base,
                                   uint32_t flags, const char *digits)
{
    return xtoa_limit(buffer, size, value, base, flags, digits);
}

} // extern "C"
