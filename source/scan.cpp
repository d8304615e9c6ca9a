// The number scanner and the library's scanf, both reading through a peek/pop source so
// that strings and streams follow the same rules; string front ends and fixed point.
#include "scan.h"

#include "ctype.h"
#include "detail/common.hpp"

#include <climits>
#include <cstring>

namespace {

struct Source {
    tarvik_scan_peek_t m_peek;
    tarvik_scan_pop_t m_pop;
    void *m_context;
    size_t m_consumed;

    int peek() { return m_peek(m_context) & 0xFF; }
    void pop()
    {
        m_pop(m_context);
        ++m_consumed;
    }
};

inline bool is_space(int c) { return tarvik_ctype_select(c, TARVIK_CTYPE_SPACE) != 0; }

size_t skip_space(Source &source, size_t limit)
{
    size_t count = 0;
    while (count < limit) {
        int c = source.peek();
        if (c == 0 || !is_space(c)) {
            break;
        }
        source.pop();
        ++count;
    }
    return count;
}

int digit_value(int c)
{
    int value = tarvik::detail::hex_digit_value(c);
    return value >= 0 ? value : INT_MAX; // not a digit in any base
}

struct Number {
    uint64_t m_value;
    size_t m_consumed; // sign, prefix and digits
    size_t m_digits;   // a lone automatic "0" counts as a digit
};

// Reads sign, base prefix and digits; leading white space is the caller's business.
Number scan_number(Source &source, size_t limit, int base)
{
    Number number{0, 0, 0};
    bool negative = false;
    int c = source.peek();
    if (number.m_consumed < limit && (c == '+' || c == '-')) {
        negative = c == '-';
        source.pop();
        ++number.m_consumed;
    }
    if (base <= 0) {
        base = 10;
        if (number.m_consumed < limit && source.peek() == '0') {
            source.pop();
            ++number.m_consumed;
            ++number.m_digits;
            c = source.peek();
            if (number.m_consumed < limit && (c == 'x' || c == 'X')) {
                source.pop();
                ++number.m_consumed;
                base = 16;
            }
        }
    }
    uint64_t value = 0;
    while (number.m_consumed < limit) {
        int digit = digit_value(source.peek());
        if (digit >= base) {
            break;
        }
        value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
        source.pop();
        ++number.m_consumed;
        ++number.m_digits;
    }
    // A minus sign means something only to decimal numbers.
    number.m_value = (negative && base == 10) ? 0 - value : value;
    return number;
}

size_t scan_intmax(Source &source, size_t limit, intmax_t *result, int base)
{
    size_t spaces = skip_space(source, limit);
    Number number{0, 0, 0};
    if (source.peek() != 0) {
        number = scan_number(source, limit - spaces, base);
    }
    if (result != nullptr) {
        *result = static_cast<intmax_t>(number.m_value);
    }
    return number.m_consumed;
}

const char **as_cursor(void *context) { return static_cast<const char **>(context); }

// String front end: value and the first character not consumed.
intmax_t string_to_intmax(const char *string, const char **end, int base)
{
    intmax_t value = 0;
    const char *cursor = string;
    if (string != nullptr) {
        Source source{tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, 0};
        scan_intmax(source, TARVIK_SCAN_DEFAULT_LIMIT, &value, base);
    }
    if (end != nullptr) {
        *end = cursor;
    }
    return value;
}

// Powers of ten that a double holds exactly.
constexpr double POWERS_OF_TEN[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int EXACT_POWERS = static_cast<int>(sizeof(POWERS_OF_TEN) / sizeof(POWERS_OF_TEN[0]));

double scale_by_ten(double value, int exponent)
{
    while (exponent > 0 && value != 0.0) {
        int step = exponent < EXACT_POWERS - 1 ? exponent : EXACT_POWERS - 1;
        value *= POWERS_OF_TEN[step];
        exponent -= step;
    }
    while (exponent < 0 && value != 0.0) {
        int step = -exponent < EXACT_POWERS - 1 ? -exponent : EXACT_POWERS - 1;
        value /= POWERS_OF_TEN[step];
        exponent += step;
    }
    return value;
}

using tarvik::detail::is_digit;

// ---- scanf -------------------------------------------------------------------------

enum class Size { CHAR, SHORT, INT, LONG, LONG_LONG, INTMAX, SIZE, PTRDIFF };

struct Conversion {
    bool m_suppress;
    size_t m_width; // 0: none given
    Size m_size;
    char m_kind;
};

// Parses the directive after "%"; returns the character behind it.
const char *parse_conversion(const char *format, Conversion *conversion)
{
    conversion->m_suppress = false;
    conversion->m_width = 0;
    conversion->m_size = Size::INT;
    if (*format == '*') {
        conversion->m_suppress = true;
        ++format;
    }
    while (is_digit(*format)) {
        size_t next = conversion->m_width * 10 + static_cast<size_t>(*format - '0');
        conversion->m_width = next < conversion->m_width ? SIZE_MAX : next;
        ++format;
    }
    switch (*format) {
    case 'h':
        ++format;
        conversion->m_size = Size::SHORT;
        if (*format == 'h') {
            ++format;
            conversion->m_size = Size::CHAR;
        }
        break;
    case 'l':
        ++format;
        conversion->m_size = Size::LONG;
        if (*format == 'l') {
            ++format;
            conversion->m_size = Size::LONG_LONG;
        }
        break;
    case 'q':
    case 'L':
        ++format;
        conversion->m_size = Size::LONG_LONG;
        break;
    case 'j':
        ++format;
        conversion->m_size = Size::INTMAX;
        break;
    case 'z':
        ++format;
        conversion->m_size = Size::SIZE;
        break;
    case 't':
        ++format;
        conversion->m_size = Size::PTRDIFF;
        break;
    default:
        break;
    }
    conversion->m_kind = *format;
    return *format != '\0' ? format + 1 : format;
}

// Unsigned destinations take the same bit pattern, so one store serves both.
void store_integer(va_list *arguments, Size size, uint64_t value)
{
    switch (size) {
    case Size::CHAR:
        *va_arg(*arguments, signed char *) = static_cast<signed char>(value);
        break;
    case Size::SHORT:
        *va_arg(*arguments, short *) = static_cast<short>(value);
        break;
    case Size::INT:
        *va_arg(*arguments, int *) = static_cast<int>(value);
        break;
    case Size::LONG:
        *va_arg(*arguments, long *) = static_cast<long>(value);
        break;
    case Size::LONG_LONG:
        *va_arg(*arguments, long long *) = static_cast<long long>(value);
        break;
    case Size::INTMAX:
        *va_arg(*arguments, intmax_t *) = static_cast<intmax_t>(value);
        break;
    case Size::SIZE:
        *va_arg(*arguments, size_t *) = static_cast<size_t>(value);
        break;
    case Size::PTRDIFF:
        *va_arg(*arguments, ptrdiff_t *) = static_cast<ptrdiff_t>(value);
        break;
    }
}

int base_of(char kind)
{
    switch (kind) {
    case 'd':
    case 'u':
        return 10;
    case 'x':
    case 'X':
        return 16;
    case 'o':
        return 8;
    default:
        return 0; // 'i'
    }
}

enum class Step { ASSIGNED, SKIPPED, INPUT_END, MISMATCH };

Step convert_integer(Source &source, const Conversion &conversion, va_list *arguments)
{
    skip_space(source, SIZE_MAX);
    if (source.peek() == 0) {
        return Step::INPUT_END;
    }
    size_t limit = conversion.m_width != 0 ? conversion.m_width : TARVIK_SCAN_DEFAULT_LIMIT;
    Number number = scan_number(source, limit, base_of(conversion.m_kind));
    if (number.m_digits == 0) {
        return Step::MISMATCH;
    }
    if (conversion.m_suppress) {
        return Step::SKIPPED;
    }
    store_integer(arguments, conversion.m_size, number.m_value);
    return Step::ASSIGNED;
}

Step convert_characters(Source &source, const Conversion &conversion, va_list *arguments)
{
    size_t width = conversion.m_width != 0 ? conversion.m_width : 1;
    char *output = conversion.m_suppress ? nullptr : va_arg(*arguments, char *);
    size_t count = 0;
    for (; count < width; ++count) {
        int c = source.peek();
        if (c == 0) {
            break;
        }
        if (output != nullptr) {
            output[count] = static_cast<char>(c);
        }
        source.pop();
    }
    if (count == 0) {
        return Step::INPUT_END;
    }
    if (count < width) {
        return Step::MISMATCH;
    }
    return output != nullptr ? Step::ASSIGNED : Step::SKIPPED;
}

Step convert_string(Source &source, const Conversion &conversion, va_list *arguments)
{
    skip_space(source, SIZE_MAX);
    if (source.peek() == 0) {
        return Step::INPUT_END;
    }
    size_t width = conversion.m_width != 0 ? conversion.m_width : SIZE_MAX;
    char *output = conversion.m_suppress ? nullptr : va_arg(*arguments, char *);
    size_t count = 0;
    for (; count < width; ++count) {
        int c = source.peek();
        if (c == 0 || is_space(c)) {
            break;
        }
        if (output != nullptr) {
            output[count] = static_cast<char>(c);
        }
        source.pop();
    }
    if (output == nullptr) {
        return Step::SKIPPED;
    }
    output[count] = '\0';
    return Step::ASSIGNED;
}

Step convert_one(Source &source, const Conversion &conversion, va_list *arguments)
{
    switch (conversion.m_kind) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        return convert_integer(source, conversion, arguments);
    case 'c':
        return convert_characters(source, conversion, arguments);
    case 's':
        return convert_string(source, conversion, arguments);
    case 'n':
        if (!conversion.m_suppress) {
            store_integer(arguments, conversion.m_size, source.m_consumed);
        }
        return Step::SKIPPED;
    default:
        // An unknown directive cannot be skipped safely: its argument type is unknown.
        return Step::MISMATCH;
    }
}

// Matches one literal character of the format; "%%" skips white space first.
Step match_literal(Source &source, char literal)
{
    int c = source.peek();
    if (c == 0) {
        return Step::INPUT_END;
    }
    if (c != static_cast<unsigned char>(literal)) {
        return Step::MISMATCH;
    }
    source.pop();
    return Step::SKIPPED;
}

int scan_format(Source &source, const char *format, va_list *arguments)
{
    int assigned = 0;
    bool converted = false; // "%n" and suppressed fields count as conversions here
    while (*format != '\0') {
        char f = *format;
        Step step;
        if (is_space(static_cast<unsigned char>(f))) {
            skip_space(source, SIZE_MAX);
            ++format;
            continue;
        }
        if (f != '%') {
            step = match_literal(source, f);
            ++format;
        } else if (format[1] == '%') {
            skip_space(source, SIZE_MAX);
            step = match_literal(source, '%');
            format += 2;
        } else {
            Conversion conversion;
            format = parse_conversion(format + 1, &conversion);
            if (conversion.m_kind == '\0') {
                break;
            }
            step = convert_one(source, conversion, arguments);
            if (step == Step::ASSIGNED || step == Step::SKIPPED) {
                converted = true;
            }
        }
        if (step == Step::ASSIGNED) {
            ++assigned;
        } else if (step == Step::INPUT_END) {
            return (assigned == 0 && !converted) ? -1 : assigned;
        } else if (step == Step::MISMATCH) {
            break;
        }
    }
    return assigned;
}

} // namespace

extern "C" {

TARVIK_API int tarvik_scan_peek_mem(void *context)
{
    const char **cursor = as_cursor(context);
    if (cursor == nullptr || *cursor == nullptr) {
        return 0;
    }
    return static_cast<unsigned char>(**cursor);
}

TARVIK_API int tarvik_scan_pop_mem(void *context)
{
    const char **cursor = as_cursor(context);
    if (cursor != nullptr && *cursor != nullptr && **cursor != '\0') {
        ++*cursor;
    }
    return 0;
}

TARVIK_API size_t tarvik_scan_skip_space(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                         void *context)
{
    return tarvik_scan_skip_space_limit(peek, pop, context, SIZE_MAX);
}

TARVIK_API size_t tarvik_scan_skip_space_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                               void *context, size_t limit)
{
    if (peek == nullptr || pop == nullptr) {
        return 0;
    }
    Source source{peek, pop, context, 0};
    return skip_space(source, limit);
}

TARVIK_API size_t tarvik_scan_until_space_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                                void *context, char *output, size_t limit)
{
    size_t count = 0;
    if (peek != nullptr && pop != nullptr) {
        Source source{peek, pop, context, 0};
        for (; count < limit; ++count) {
            int c = source.peek();
            if (c == 0 || is_space(c)) {
                break;
            }
            if (output != nullptr) {
                output[count] = static_cast<char>(c);
            }
            source.pop();
        }
    }
    if (output != nullptr) {
        output[count] = '\0';
    }
    return count;
}

TARVIK_API size_t tarvik_scan_until_xtable_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                                 void *context, char *output, size_t limit,
                                                 const uint8_t *table, int value)
{
    size_t count = 0;
    if (peek != nullptr && pop != nullptr) {
        Source source{peek, pop, context, 0};
        for (; count < limit; ++count) {
            int c = source.peek();
            if (c == 0 || (table != nullptr && table[c] == value)) {
                break;
            }
            if (output != nullptr) {
                output[count] = static_cast<char>(c);
            }
            source.pop();
        }
    }
    if (output != nullptr) {
        output[count] = '\0';
    }
    return count;
}

TARVIK_API size_t tarvik_scan_atointmax_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                              void *context, size_t limit, intmax_t *result,
                                              int base)
{
    if (peek == nullptr || pop == nullptr) {
        if (result != nullptr) {
            *result = 0;
        }
        return 0;
    }
    Source source{peek, pop, context, 0};
    return scan_intmax(source, limit, result, base);
}

} // extern "C"

namespace {

// The narrower scans share the 64-bit scanner and truncate its result.
template <typename T>
size_t scan_narrow(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context, size_t limit,
                   T *result, int base)
{
    intmax_t value = 0;
    size_t count = tarvik_scan_atointmax_limit(peek, pop, context, limit, &value, base);
    if (result != nullptr) {
        *result = static_cast<T>(value);
    }
    return count;
}

} // namespace

extern "C" {

TARVIK_API size_t tarvik_scan_atollx_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                           void *context, size_t limit, long long *result, int base)
{
    return scan_narrow(peek, pop, context, limit, result, base);
}

TARVIK_API size_t tarvik_scan_atolx_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                          void *context, size_t limit, long *result, int base)
{
    return scan_narrow(peek, pop, context, limit, result, base);
}

TARVIK_API size_t tarvik_scan_atox_limit(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                         void *context, size_t limit, int *result, int base)
{
    return scan_narrow(peek, pop, context, limit, result, base);
}

TARVIK_API size_t tarvik_scan_atointmax(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop,
                                        void *context, intmax_t *result, int base)
{
    return tarvik_scan_atointmax_limit(peek, pop, context, TARVIK_SCAN_DEFAULT_LIMIT, result, base);
}

TARVIK_API size_t tarvik_scan_atollx(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                     long long *result, int base)
{
    return tarvik_scan_atollx_limit(peek, pop, context, TARVIK_SCAN_DEFAULT_LIMIT, result, base);
}

TARVIK_API size_t tarvik_scan_atolx(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                    long *result, int base)
{
    return tarvik_scan_atolx_limit(peek, pop, context, TARVIK_SCAN_DEFAULT_LIMIT, result, base);
}

TARVIK_API size_t tarvik_scan_atox(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                   int *result, int base)
{
    return tarvik_scan_atox_limit(peek, pop, context, TARVIK_SCAN_DEFAULT_LIMIT, result, base);
}

TARVIK_API intmax_t tarvik_atointmax(const char *string, int base)
{
    return string_to_intmax(string, nullptr, base);
}

TARVIK_API intmax_t tarvik_strtointmax(const char *string, char **end_out, int base)
{
    const char *end = nullptr;
    intmax_t value = string_to_intmax(string, &end, base);
    if (end_out != nullptr) {
        *end_out = const_cast<char *>(end);
    }
    return value;
}

TARVIK_API long tarvik_strtol(const char *string, char **end_out, int base)
{
    return static_cast<long>(tarvik_strtointmax(string, end_out, base));
}

TARVIK_API int tarvik_atoi(const char *string)
{
    return static_cast<int>(string_to_intmax(string, nullptr, 10));
}

TARVIK_API int tarvik_atox(const char *string, int base)
{
    return static_cast<int>(string_to_intmax(string, nullptr, base));
}

TARVIK_API double tarvik_atof(const char *string)
{
    if (string == nullptr) {
        return 0.0;
    }
    const char *at = tarvik_skip_space(string);
    bool negative = *at == '-';
    if (*at == '+' || *at == '-') {
        ++at;
    }
    // Up to 19 significant digits are exact in 64 bits; later ones only move the exponent.
    uint64_t mantissa = 0;
    int significant = 0;
    int exponent = 0;
    for (; is_digit(*at); ++at) {
        if (significant < 19) {
            mantissa = mantissa * 10 + static_cast<uint64_t>(*at - '0');
            significant += mantissa != 0 ? 1 : 0;
        } else {
            ++exponent;
        }
    }
    if (*at == '.') {
        for (++at; is_digit(*at); ++at) {
            if (significant < 19) {
                mantissa = mantissa * 10 + static_cast<uint64_t>(*at - '0');
                significant += mantissa != 0 ? 1 : 0;
                --exponent;
            }
        }
    }
    if ((*at == 'e' || *at == 'E') &&
        (is_digit(at[1]) || ((at[1] == '+' || at[1] == '-') && is_digit(at[2])))) {
        ++at;
        bool negative_exponent = *at == '-';
        if (*at == '+' || *at == '-') {
            ++at;
        }
        int written = 0;
        for (; is_digit(*at); ++at) {
            // Beyond this any double is zero or infinite already.
            if (written < 100000) {
                written = written * 10 + (*at - '0');
            }
        }
        exponent += negative_exponent ? -written : written;
    }
    double value = scale_by_ten(static_cast<double>(mantissa), exponent);
    return negative ? -value : value;
}

TARVIK_API int64_t tarvik_ipow(int64_t base, unsigned int exponent)
{
    uint64_t result = 1;
    uint64_t factor = static_cast<uint64_t>(base);
    while (exponent != 0) {
        if ((exponent & 1u) != 0) {
            result *= factor;
        }
        factor *= factor;
        exponent >>= 1;
    }
    return static_cast<int64_t>(result);
}

TARVIK_API int64_t tarvik_atofixed(const char *string, unsigned int decimals, char **end_out)
{
    if (string == nullptr) {
        if (end_out != nullptr) {
            *end_out = nullptr;
        }
        return 0;
    }
    const char *at = tarvik_skip_space(string);
    bool negative = *at == '-';
    if (*at == '+' || *at == '-') {
        ++at;
    }
    uint64_t value = 0;
    for (; is_digit(*at); ++at) {
        value = value * 10 + static_cast<uint64_t>(*at - '0');
    }
    unsigned int taken = 0;
    if (*at == '.') {
        for (++at; is_digit(*at); ++at) {
            if (taken < decimals) {
                value = value * 10 + static_cast<uint64_t>(*at - '0');
                ++taken;
            }
        }
    }
    value *= static_cast<uint64_t>(tarvik_ipow(10, decimals - taken));
    if (end_out != nullptr) {
        *end_out = const_cast<char *>(at);
    }
    return static_cast<int64_t>(negative ? 0 - value : value);
}

TARVIK_API int tarvik_context_vscanf(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                     const char *format, va_list arguments)
{
    if (peek == nullptr || pop == nullptr || format == nullptr) {
        return -1;
    }
    Source source{peek, pop, context, 0};
    va_list copy;
    va_copy(copy, arguments);
    int result = scan_format(source, format, &copy);
    va_end(copy);
    return result;
}

TARVIK_API int tarvik_context_scanf(tarvik_scan_peek_t peek, tarvik_scan_pop_t pop, void *context,
                                    const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_context_vscanf(peek, pop, context, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_vsscanf(const char *string, const char *format, va_list arguments)
{
    if (string == nullptr) {
        return -1;
    }
    const char *cursor = string;
    return tarvik_context_vscanf(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, format,
                                 arguments);
}

TARVIK_API int tarvik_sscanf(const char *string, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_vsscanf(string, format, arguments);
    va_end(arguments);
    return result;
}

} // extern "C"
