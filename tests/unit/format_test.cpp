// Tests of the formatter (conversions, flags, truncation), the allocating forms and the
// number formatter with its flags word.
#include "tarvik_test.hpp"

#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <cwchar>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

std::string fmt(const char *format, ...)
{
    char buffer[512];
    va_list arguments;
    va_start(arguments, format);
    int length = tarvik_vsnprintf(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);
    EXPECT_EQ(static_cast<size_t>(length), strlen(buffer)) << format;
    return std::string(buffer, static_cast<size_t>(length));
}

struct Row {
    std::string actual;
    const char *expected;
    const char *what;
};

void check_rows(const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        EXPECT_EQ(row.actual, row.expected) << row.what;
    }
}

class FormatTest : public TarvikTest {};

TEST_F(FormatTest, IntegerConversions)
{
    check_rows({
        {fmt("%d", 0), "0", "zero"},
        {fmt("%d|%i", -7, 7), "-7|7", "d and i"},
        {fmt("%05d", -42), "-0042", "zero fill puts the sign first, width counts it"},
        {fmt("%5d", -42), "  -42", "space fill puts the sign against the digits"},
        {fmt("%-5d|", 42), "42   |", "left-justified"},
        {fmt("%-5d|", -42), "-42  |", "left-justified negative"},
        {fmt("%-05d", 42), "00042", "zero fill ignores left-justify"},
        {fmt("%2d", 12345), "12345", "width narrower than the number"},
        {fmt("%*d", 5, 42), "   42", "width from the argument list"},
        {fmt("%*3d", 2, 7), "    7", "digits add to the star width"},
        {fmt("%*d|", -4, 7), "7   |", "negative star width left-justifies"},
        {fmt("%#x", 255), "ff", "# is accepted and ignored"},
        {fmt("%.3d", 5), "  5", "leading dot on a number is a space-filled width"},
        {fmt("%d", INT_MIN), "-2147483648", "INT_MIN"},
        {fmt("%u", 0xFFFFFFFFu), "4294967295", "unsigned"},
        {fmt("%o", 8u), "10", "octal"},
        {fmt("%x|%X", 0xBEEFu, 0xBEEFu), "beef|BEEF", "hexadecimal cases"},
        {fmt("%08XH", 0x1234u), "00001234H", "diagnostic flags layout"},
        {fmt("%ld", LONG_MIN), (sizeof(long) == 8 ? "-9223372036854775808" : "-2147483648"),
         "l reads a C long"},
        {fmt("%lu", ULONG_MAX), (sizeof(long) == 8 ? "18446744073709551615" : "4294967295"),
         "lu reads an unsigned long"},
        {fmt("%lld", LLONG_MIN), "-9223372036854775808", "ll is 64-bit"},
        {fmt("%llu", ULLONG_MAX), "18446744073709551615", "llu"},
        {fmt("%llx", 0x123456789ABCDEFull), "123456789abcdef", "llx"},
        {fmt("%020llX", 0xFFull << 40), "00000000FF0000000000", "zero-filled 64-bit"},
        {fmt("%lld %d", 1ll << 40, 3), "1099511627776 3", "arguments after a 64-bit one"},
    });
}

TEST_F(FormatTest, PointerCharacterAndUnknownConversions)
{
    check_rows({
        {fmt("%p", static_cast<void *>(nullptr)), "0000000000000000", "null pointer"},
        {fmt("%p", reinterpret_cast<void *>(0xabcUL)), "0000000000000abc", "p is lower case"},
        {fmt("%P", reinterpret_cast<void *>(0xabcUL)), "0000000000000ABC", "P is upper case"},
        {fmt("%-30p|", reinterpret_cast<void *>(0x1UL)), "0000000000000001|", "width ignored"},
        {fmt("%c%c", 'A' + 256, 'z'), "Az", "low byte only"},
        {fmt("%5c|", 'q'), "q|", "character width ignored"},
        {fmt("100%%"), "100%", "percent"},
        {fmt("%-%"), "%", "flags before %"},
        {fmt("%y%d", 4), "y4", "unknown conversion prints itself, takes no argument"},
        {fmt("%5k%d", 4), "k4", "unknown after a width"},
        {fmt("%0-5d", 4), "00004", "flags in any order; zero fill ignores left-justify"},
        {fmt("%-#5x|", 255u), "ff   |", "'#' accepted anywhere among the flags"},
        {fmt("abc%"), "abc", "lone % at the end"},
        {fmt("%ll"), "", "length without conversion"},
    });
}

TEST_F(FormatTest, Strings)
{
    check_rows({
        {fmt("%s", "plain"), "plain", "no width"},
        {fmt("%s", static_cast<const char *>(nullptr)), "(null)", "null string"},
        {fmt("%5s|", "ab"), "   ab|", "right-aligned"},
        {fmt("%-5s|", "ab"), "ab   |", "left-aligned"},
        {fmt("%3s", "abcdef"), "abcdef", "width never cuts"},
        {fmt("%.*s", 3, "abcdef"), "abc", "leading dot cuts a longer string"},
        {fmt("%.*s|", 5, "ab"), "   ab|", "leading dot pads a shorter string"},
        {fmt("%-.*s|", 5, "ab"), "ab   |", "leading dot left-aligned"},
        {fmt("%.3s", "abcdef"), "abc", "leading dot with digits"},
        {fmt("%.s|", "abc"), "|", "leading dot without a number prints nothing"},
        {fmt("%.*s|", -1, "abc"), "abc|", "negative count means no limit"},
        {fmt("%5.2s|", "abcdef"), "abcdef|", "precision after width is ignored"},
        {fmt("%7.2s|", "abc"), "    abc|", "precision after width is ignored when padding"},
        {fmt("%05s", "ab"), "   ab", "strings pad with spaces"},
    });
}

TEST_F(FormatTest, FloatingPoint)
{
    check_rows({
        {fmt("%.2f", 0.125), "0.13", "rounds half up"},
        {fmt("%.0f", 2.5), "3", "no fraction"},
        {fmt("%f", 1.5), "1.500000", "plain %f has six digits"},
        {fmt("%8f|", 1.5), "       2|", "width alone means no fraction"},
        {fmt("%.2f", -0.25), "-0.25", "negative below one keeps its sign"},
        {fmt("%.1f", -0.04), "-0.0", "negative rounding to zero keeps its sign"},
        {fmt("%lf", 2.25), "2.250000", "l is allowed"},
        {fmt("%.*f", 3, 1.0), "1.000", "precision from the argument list"},
        {fmt("%8.3f|", 1.5), "       1.500|", "width applies to the integer part"},
        {fmt("%08.1f", -1.5), "-0000001.5", "zero fill with sign first"},
        {fmt("%-4.1f|", 1.5), "1.5   |", "left-justified pads after the number"},
        {fmt("%.3f", 0.0005), "0.001", "rounding carries into the fraction"},
        {fmt("%.2f", 9.999), "10.00", "rounding carries into the integer"},
        {fmt("%.0f", 1e20), "100000000000000000000", "beyond 64 bits"},
        {fmt("%.0f", -1e19), "-10000000000000000000", "beyond 64 bits, negative"},
        {fmt("%.20f", 0.5), "0.50000000000000000000", "more digits than 64 bits hold"},
        {fmt("%f", NAN), "nan", "not a number"},
        {fmt("%f|%5f", INFINITY, -INFINITY), "inf| -inf", "infinities"},
        {fmt("%.2f %d", 1.0, 7), "1.00 7", "arguments after a double"},
    });
}

// The conversions that mean the same as in the C library must print the same.
TEST_F(FormatTest, MatchesTheCLibraryOnCommonConversions)
{
    std::mt19937_64 random(12345);
    const char *int_formats[] = {"%d", "%5d", "%-7d|", "%012d", "%i", "%3d"};
    const char *unsigned_formats[] = {"%u", "%x", "%X", "%o", "%08x", "%-9X|"};
    const char *wide_formats[] = {"%lld", "%llu", "%llx", "%25lld", "%-22llu|", "%030llX"};
    for (int i = 0; i < 2000; ++i) {
        uint64_t bits = random();
        int shift = static_cast<int>(random() % 64);
        bits >>= shift;
        int value = static_cast<int>(bits);
        for (const char *format : int_formats) {
            char expected[64];
            snprintf(expected, sizeof(expected), format, value);
            ASSERT_EQ(fmt(format, value), expected) << format << " " << value;
        }
        for (const char *format : unsigned_formats) {
            char expected[64];
            snprintf(expected, sizeof(expected), format, static_cast<unsigned>(bits));
            ASSERT_EQ(fmt(format, static_cast<unsigned>(bits)), expected) << format;
        }
        for (const char *format : wide_formats) {
            char expected[64];
            snprintf(expected, sizeof(expected), format, static_cast<long long>(bits));
            ASSERT_EQ(fmt(format, static_cast<long long>(bits)), expected) << format;
        }
    }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"

// The conversion with value, then "|%s" with "next": the string shows whether the
// conversion took exactly its own argument.
template <typename T> void check_against_c_library(const std::string &conversion, T value)
{
    const std::string format = conversion + "|%s";
    char expected[160];
    snprintf(expected, sizeof(expected), format.c_str(), value, "next");
    ASSERT_EQ(fmt(format.c_str(), value, "next"), expected) << format;
}

#pragma GCC diagnostic pop

// Every flag, width and length modifier on which the formatter's rules and the C library's
// agree, each conversion fed its argument in the modifier's own type.
template <typename T>
void check_modifier(const char *modifier, const char *conversions, std::vector<T> values)
{
    const char *flags[] = {"", "-", "0", "+", " ", "+0", "-+", "- "};
    const char *widths[] = {"", "1", "6", "24"};
    for (const char *conversion = conversions; *conversion != '\0'; ++conversion) {
        for (const char *flag : flags) {
            for (const char *width : widths) {
                for (T value : values) {
                    check_against_c_library(
                        std::string("%") + flag + width + modifier + *conversion, value);
                }
            }
        }
    }
}

template <typename T> std::vector<T> edges(std::mt19937_64 &random)
{
    std::vector<T> values = {
        std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), T(0), T(1), T(-1), T(42)};
    for (int i = 0; i < 6; ++i) {
        values.push_back(static_cast<T>(random() >> (random() % 64)));
    }
    return values;
}

TEST_F(FormatTest, EveryLengthModifierTakesItsOwnArgument)
{
    std::mt19937_64 random(20240613);
    using signed_size = std::make_signed_t<size_t>;
    check_modifier("hh", "di", edges<signed char>(random));
    check_modifier("hh", "di", std::vector<int>{300, -129, 255, 128}); // narrowed as printf does
    check_modifier("hh", "uoxX", edges<unsigned char>(random));
    check_modifier("hh", "u", std::vector<unsigned>{256, 511, 0xFFFFFFFFu});
    check_modifier("h", "di", edges<short>(random));
    check_modifier("h", "di", std::vector<int>{70000, -32769});
    check_modifier("h", "uoxX", edges<unsigned short>(random));
    check_modifier("", "di", edges<int>(random));
    check_modifier("", "uoxX", edges<unsigned>(random));
    check_modifier("l", "di", edges<long>(random));
    check_modifier("l", "uoxX", edges<unsigned long>(random));
    check_modifier("ll", "di", edges<long long>(random));
    check_modifier("ll", "uoxX", edges<unsigned long long>(random));
    check_modifier("q", "di", edges<long long>(random));
    check_modifier("L", "di", edges<long long>(random));
    check_modifier("j", "di", edges<intmax_t>(random));
    check_modifier("j", "uoxX", edges<uintmax_t>(random));
    check_modifier("z", "di", edges<signed_size>(random));
    check_modifier("z", "uoxX", edges<size_t>(random));
    check_modifier("t", "di", edges<ptrdiff_t>(random));
    check_modifier("t", "uoxX", edges<ptrdiff_t>(random));
    // A character takes no width here.
    check_against_c_library("%c", 'Z' + 256);
    check_against_c_library("%lc", static_cast<wint_t>('q'));

    // Floating point where no rounding is involved, as double and as long double (a width
    // counts the integer part alone here, so none is given).
    const double values[] = {1.5, -2.25, 0.0, -0.0, 1e20, 123.0625, -7.75};
    const char *formats[] = {"%.4f", "%f", "%.7f", "%+.4f", "% .4f", "%+f", "% f"};
    for (const char *format : formats) {
        for (double value : values) {
            check_against_c_library(format, value);
            const std::string plain = format;
            const std::string wide = plain.substr(0, plain.size() - 1) + "L" + plain.back();
            check_against_c_library(wide, static_cast<long double>(value));
        }
    }
}

TEST_F(FormatTest, ConversionsBeyondTheOwnSetStillTakeTheirArguments)
{
    int stored = -1;
    check_rows({
        {fmt("%zu bytes from %s", size_t{42}, "host"), "42 bytes from host", "z"},
        {fmt("%hd|%hhu|%jd|%td|%s", 70000, 511, intmax_t{-5}, ptrdiff_t{9}, "x"), "4464|255|-5|9|x",
         "h, hh, j and t"},
        {fmt("%.2Lf|%s", 2.5L, "x"), "2.50|x", "L reads a long double"},
        {fmt("%*.*s|%s", 7, 2, "abc", "x"), "    abc|x", "a precision from the list is taken"},
        {fmt("%.*f|%s", 2, 1.5, "x"), "1.50|x", "leading-dot star"},
        {fmt("%5.*f|%s", -1, 1.5, "x"), "    2|x", "a negative star precision is none"},
        {fmt("%g|%e|%E|%G|%a|%A|%F|%s", 1.5, 2.5, 0.5, 1.0, 3.0, 4.0, 5.0, "x"),
         "1.500000|2.500000|0.500000|1.000000|3.000000|4.000000|5.000000|x", "e, g, a as f"},
        {fmt("a%nb|%hhn|%s", &stored, static_cast<signed char *>(nullptr), "x"), "ab||x",
         "n takes its pointer and stores nothing"},
        {fmt("%C|%S|%s", 'A', "wide", "x"), "A|wide|x", "C and S"},
        {fmt("%'d|%Id|%s", 1000, 2000, "x"), "1000|2000|x", "grouping flags are ignored"},
    });
    EXPECT_EQ(stored, -1);
    EXPECT_EQ(fmt("%Zu|%s", SIZE_MAX, "x"), std::to_string(SIZE_MAX) + "|x") << "Z, old z";
}

TEST_F(FormatTest, TruncationAndTermination)
{
    char buffer[16];
    memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(tarvik_snprintf(buffer, 6, "%s", "abcdefgh"), 5);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(buffer[6], 'Z') << "nothing past size";

    memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(tarvik_snprintf(buffer, 0, "%s", "abc"), 0);
    EXPECT_EQ(buffer[0], 'Z') << "size 0 writes nothing";
    EXPECT_EQ(tarvik_snprintf(buffer, 1, "%s", "abc"), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'Z');

    memset(buffer, 'Z', sizeof(buffer));
    EXPECT_EQ(tarvik_snprintf(buffer, 8, nullptr), 0);
    EXPECT_EQ(buffer[0], '\0') << "null format stores an empty string";
    EXPECT_EQ(tarvik_snprintf(nullptr, 8, "abc"), 0);

    struct Cut {
        size_t size;
        std::function<int(char *, size_t)> call;
        const char *expected;
    };
    // Cuts inside every kind of output: literal text, padding, digits, strings, fractions.
    const Cut cuts[] = {
        {6, [](char *b, size_t n) { return tarvik_snprintf(b, n, "abcde"); }, "abcde"},
        {4, [](char *b, size_t n) { return tarvik_snprintf(b, n, "ab%dcd", 1); }, "ab1"},
        {4, [](char *b, size_t n) { return tarvik_snprintf(b, n, "%10d", 1); }, "   "},
        {4, [](char *b, size_t n) { return tarvik_snprintf(b, n, "%d", 123456); }, "123"},
        {4, [](char *b, size_t n) { return tarvik_snprintf(b, n, "%-8s|", "xy"); }, "xy "},
        {5, [](char *b, size_t n) { return tarvik_snprintf(b, n, "%.3f", 3.14159); }, "3.14"},
        {3, [](char *b, size_t n) { return tarvik_snprintf(b, n, "%p", (void *)nullptr); }, "00"},
        {2, [](char *b, size_t n) { return tarvik_snprintf(b, n, "%c%c", 'A', 'B'); }, "A"},
        {4, [](char *b, size_t n) { return tarvik_snprintf(b, n, "%.*s", 9, "ab"); }, "   "},
    };
    for (const Cut &cut : cuts) {
        char out[16];
        memset(out, 'Z', sizeof(out));
        EXPECT_EQ(cut.call(out, cut.size), static_cast<int>(cut.size - 1)) << cut.expected;
        EXPECT_STREQ(out, cut.expected);
        EXPECT_EQ(out[cut.size], 'Z') << cut.expected;
    }
}

TEST_F(FormatTest, UnboundedForms)
{
    std::string long_text(3000, 'q');
    std::vector<char> buffer(4000, 'Z');
    EXPECT_EQ(tarvik_sprintf(buffer.data(), "<%s>%d", long_text.c_str(), 9), 3003);
    EXPECT_EQ(std::string(buffer.data()), "<" + long_text + ">9");
    EXPECT_EQ(buffer[3004], 'Z');
}

std::string take(char *text)
{
    std::string copy = text != nullptr ? text : "<null>";
    tarvik_check_free_tag(text, __func__, __LINE__);
    return copy;
}

TEST_F(FormatTest, AllocatingFormatter)
{
    EXPECT_EQ(tarvik_alloc_sprintf(nullptr), nullptr);
    EXPECT_EQ(take(tarvik_alloc_sprintf("%s-%d", "x", 5)), "x-5");
    EXPECT_EQ(take(tarvik_alloc_sprintf("%s", "")), "");
    // Around the size of the first working buffer.
    for (int length : {254, 255, 256, 510, 511, 512, 513, 4000}) {
        std::string text = take(tarvik_alloc_sprintf("%*d", length, 1));
        EXPECT_EQ(text.size(), static_cast<size_t>(length));
        EXPECT_EQ(text.back(), '1');
    }
    // The last accepted length and the first refused one.
    EXPECT_EQ(take(tarvik_alloc_sprintf("%*d", 65278, 7)).size(), 65278u);
    EXPECT_EQ(tarvik_alloc_sprintf("%*d", 65279, 7), nullptr);
    std::string big(70000, 'b');
    EXPECT_EQ(tarvik_alloc_sprintf("%s", big.c_str()), nullptr);
    EXPECT_EQ(take(tarvik_alloc_sprintf("%.*s", 65278, big.c_str())), big.substr(0, 65278));
}

TEST_F(FormatTest, AllocatedTextIsExactlySized)
{
    size_t before = 0;
    tarvik_get_alloc_info(nullptr, &before, nullptr);
    char *text = tarvik_alloc_sprintf("%*d", 3000, 1);
    size_t after = 0;
    tarvik_get_alloc_info(nullptr, &after, nullptr);
    // Sizes are rounded up to four bytes: 3000 characters and a NUL take 3004.
    EXPECT_EQ(after - before, 3004u + TARVIK_HEAP_OVERHEAD);
    tarvik_free_tag(text, __func__, __LINE__);
}

TEST_F(FormatTest, ReallocatingFormatterMayUseTheOldText)
{
    char *text = tarvik_alloc_sprintf("%s", "a");
    for (int i = 0; i < 5; ++i) {
        text = tarvik_realloc_sprintf(text, "%s+%s", text, "b");
    }
    EXPECT_EQ(take(text), "a+b+b+b+b+b");
    EXPECT_EQ(take(tarvik_realloc_sprintf(nullptr, "%d", 3)), "3");
    // A refused text still releases the old one (the fixture checks for leaks).
    char *old = tarvik_alloc_sprintf("%s", "old");
    EXPECT_EQ(tarvik_realloc_sprintf(old, "%*d", 70000, 1), nullptr);
}

struct XtoaRow {
    uint64_t value;
    int base;
    uint32_t flags;
    const char *digits;
    size_t size;
    const char *expected;
};

TEST_F(FormatTest, NumberFormatterFlagsWord)
{
    const char *lower = "0123456789abcdef";
    const XtoaRow rows[] = {
        {255, 16, 0, nullptr, 16, "FF"},
        {255, 16, 0, lower, 16, "ff"},
        {0, 10, 0, nullptr, 16, "0"},
        {5, 2, 0, nullptr, 16, "101"},
        {42, 10, 5, nullptr, 16, "00042"},
        {42, 10, TARVIK_XTOA_SPACE | 5, nullptr, 16, "   42"},
        {42, 10, TARVIK_XTOA_SPACE | TARVIK_XTOA_LEFT | 5, nullptr, 16, "42   "},
        {42, 10, TARVIK_XTOA_LEFT | 5, nullptr, 16, "00042"},
        {42, 10, TARVIK_XTOA_NEGATIVE | 5, nullptr, 16, "-0042"},
        {42, 10, TARVIK_XTOA_NEGATIVE | TARVIK_XTOA_SPACE | 5, nullptr, 16, "  -42"},
        {42, 10, TARVIK_XTOA_NEGATIVE | TARVIK_XTOA_SPACE | TARVIK_XTOA_LEFT | 5, nullptr, 16,
         "-42  "},
        {42, 10, TARVIK_XTOA_SPACE | TARVIK_XTOA_ZERO | 5, nullptr, 16, "00042"},
        {42, 10, TARVIK_XTOA_SPACE | TARVIK_XTOA_ZERO | TARVIK_XTOA_LEFT | TARVIK_XTOA_NEGATIVE | 5,
         nullptr, 16, "-0042"},
        {7, 8, 4, "abcdefgh", 16, "aaah"},
        {35, 36, 0, "0123456789abcdefghijklmnopqrstuvwxyz", 16, "z"},
        {123456, 10, 0, nullptr, 3, "123"},
        {1, 10, TARVIK_XTOA_SPACE | 6, nullptr, 4, "    "},
        {UINT64_MAX, 16, 0, nullptr, 32, "FFFFFFFFFFFFFFFF"},
        {0x100000000ull, 10, 0, nullptr, 32, "4294967296"},
        {1, 10, 0, nullptr, 0, ""},
        {1, 1, 0, nullptr, 16, ""},
        {1, 17, 0, nullptr, 16, ""},
        {1, 12, 0, "0123", 16, ""},
    };
    for (const XtoaRow &row : rows) {
        char buffer[40];
        memset(buffer, 'Z', sizeof(buffer));
        int length =
            tarvik_llxtoa_limit(buffer, row.size, row.value, row.base, row.flags, row.digits);
        std::string expected = row.expected;
        EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), expected)
            << row.value << " base " << row.base << " flags " << std::hex << row.flags;
        EXPECT_EQ(buffer[length], 'Z') << "no terminator is written";
        if (row.value <= ULONG_MAX) {
            char narrow[40];
            int narrow_length =
                tarvik_xtoa_limit(narrow, row.size, static_cast<unsigned long>(row.value), row.base,
                                  row.flags, row.digits);
            EXPECT_EQ(std::string(narrow, static_cast<size_t>(narrow_length)), expected);
        }
    }
    EXPECT_EQ(tarvik_xtoa_limit(nullptr, 8, 1, 10, 0, nullptr), 0);
}

} // namespace
