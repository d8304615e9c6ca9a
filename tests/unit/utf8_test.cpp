// Tests of the UTF-8 decoder, encoder and text measurements: well-formedness against the
// table of well-formed byte sequences, every scalar against the C library's converter.
#include "tarvik_test.hpp"

#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

class Utf8Test : public TarvikTest {};

size_t decode(const std::string &bytes, uint32_t *scalar)
{
    return tarvik_utf8_character_decode(bytes.data(), bytes.size(), scalar);
}

struct DecodeRow {
    const char *m_bytes;
    size_t m_length;
    uint32_t m_scalar;
};

TEST_F(Utf8Test, DecodesShortestFormsAtEveryBoundary)
{
    const DecodeRow rows[] = {
        {"\x00", 1, 0x00},
        {"A", 1, 0x41},
        {"\x7F", 1, 0x7F},
        {"\xC2\x80", 2, 0x80},
        {"\xC3\xA9", 2, 0xE9},
        {"\xDF\xBF", 2, 0x7FF},
        {"\xE0\xA0\x80", 3, 0x800},
        {"\xED\x9F\xBF", 3, 0xD7FF},
        {"\xEE\x80\x80", 3, 0xE000},
        {"\xED\x95\x9C", 3, 0xD55C},
        {"\xEF\xBF\xBF", 3, 0xFFFF},
        {"\xF0\x90\x80\x80", 4, 0x10000},
        {"\xF0\x9F\x98\x80", 4, 0x1F600},
        {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
    };
    for (const DecodeRow &row : rows) {
        std::string bytes(row.m_bytes, row.m_length);
        uint32_t scalar = 0xDEAD;
        EXPECT_EQ(decode(bytes, &scalar), row.m_length) << row.m_bytes;
        EXPECT_EQ(scalar, row.m_scalar) << row.m_bytes;
        // Trailing bytes after the character do not matter.
        bytes += "\xFF\x80z";
        EXPECT_EQ(decode(bytes, &scalar), row.m_length) << row.m_bytes;
        EXPECT_EQ(scalar, row.m_scalar);
    }
}

TEST_F(Utf8Test, RefusesMalformedOverlongSurrogateAndOutOfRange)
{
    const char *rows[] = {
        "\x80",                 // continuation without a lead
        "\xBF",                 //
        "\xC0\x80",             // overlong NUL
        "\xC1\xBF",             // overlong 0x7F
        "\xE0\x80\x80",         // overlong three-byte form
        "\xE0\x9F\xBF",         // overlong 0x7FF
        "\xF0\x80\x80\x80",     // overlong four-byte form
        "\xF0\x8F\xBF\xBF",     // overlong 0xFFFF
        "\xED\xA0\x80",         // high surrogate
        "\xED\xBF\xBF",         // low surrogate
        "\xF4\x90\x80\x80",     // 0x110000
        "\xF5\x80\x80\x80",     // lead beyond the range
        "\xF7\xBF\xBF\xBF",     //
        "\xF8\x88\x80\x80\x80", // five-byte lead
        "\xFC\x84\x80\x80\x80\x80",
        "\xFE",
        "\xFF",
        "\xC3\x41",         // second byte not a continuation
        "\xE2\x82\xC0",     // third byte not a continuation
        "\xF0\x9F\x98\x41", // fourth byte not a continuation
        "\xC3\xC3\xA9",     // a lead where a continuation belongs
    };
    for (const char *row : rows) {
        uint32_t scalar = 0xDEAD;
        EXPECT_EQ(tarvik_utf8_character_decode(row, strlen(row), &scalar), 0u) << row;
        EXPECT_EQ(scalar, 0u) << row;
    }
    // A character cut by the available size, even when the bytes beyond it would fit.
    uint32_t scalar = 0xDEAD;
    EXPECT_EQ(tarvik_utf8_character_decode("\xED\x95\x9C", 2, &scalar), 0u);
    EXPECT_EQ(scalar, 0u);
    EXPECT_EQ(tarvik_utf8_character_decode("\xF0\x9F\x98\x80", 3, &scalar), 0u);
    EXPECT_EQ(tarvik_utf8_character_decode("A", 0, &scalar), 0u);
    EXPECT_EQ(tarvik_utf8_character_decode(nullptr, 4, &scalar), 0u);
    EXPECT_EQ(scalar, 0u);
    EXPECT_EQ(tarvik_utf8_character_decode("\xC3\xA9", 2, nullptr), 2u);
}

// Length of the well-formed sequence at the start of b (four bytes), 0 when there is
// none: the table of well-formed UTF-8 byte sequences, row by row.
size_t well_formed_length(const unsigned char *b)
{
    auto in = [](unsigned char c, unsigned lo, unsigned hi) { return c >= lo && c <= hi; };
    if (b[0] <= 0x7F) {
        return 1;
    }
    if (in(b[0], 0xC2, 0xDF)) {
        return in(b[1], 0x80, 0xBF) ? 2 : 0;
    }
    if (in(b[0], 0xE0, 0xEF)) {
        unsigned lo = b[0] == 0xE0 ? 0xA0 : 0x80;
        unsigned hi = b[0] == 0xED ? 0x9F : 0xBF;
        return in(b[1], lo, hi) && in(b[2], 0x80, 0xBF) ? 3 : 0;
    }
    if (in(b[0], 0xF0, 0xF4)) {
        unsigned lo = b[0] == 0xF0 ? 0x90 : 0x80;
        unsigned hi = b[0] == 0xF4 ? 0x8F : 0xBF;
        return in(b[1], lo, hi) && in(b[2], 0x80, 0xBF) && in(b[3], 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

TEST_F(Utf8Test, AcceptsExactlyTheWellFormedSequences)
{
    const unsigned char tails[] = {0x00, 0x7F, 0x80, 0xBF, 0xC0, 0xFF};
    size_t checked = 0;
    for (unsigned first = 0; first < 256; ++first) {
        for (unsigned second = 0; second < 256; ++second) {
            for (unsigned char third : tails) {
                for (unsigned char fourth : tails) {
                    unsigned char b[4] = {static_cast<unsigned char>(first),
                                          static_cast<unsigned char>(second), third, fourth};
                    size_t expected = well_formed_length(b);
                    uint32_t scalar = 0;
                    size_t got =
                        tarvik_utf8_character_decode(reinterpret_cast<const char *>(b), 4, &scalar);
                    ASSERT_EQ(got, expected) << std::hex << first << " " << second << " "
                                             << unsigned{third} << " " << unsigned{fourth};
                    ++checked;
                }
            }
        }
    }
    EXPECT_EQ(checked, 256u * 256u * 36u);
}

TEST_F(Utf8Test, EveryScalarRoundTripsAndMatchesTheCLibrary)
{
    std::vector<uint32_t> scalars;
    std::string encoded;
    for (uint32_t scalar = 0; scalar < 0x110000; ++scalar) {
        char buffer[5] = {1, 1, 1, 1, 1};
        size_t length = tarvik_utf8_character_encode(scalar, buffer, sizeof(buffer));
        if (scalar >= 0xD800 && scalar <= 0xDFFF) {
            ASSERT_EQ(length, 0u) << std::hex << scalar;
            continue;
        }
        ASSERT_EQ(length, scalar < 0x80      ? 1u
                          : scalar < 0x800   ? 2u
                          : scalar < 0x10000 ? 3u
                                             : 4u)
            << std::hex << scalar;
        ASSERT_EQ(buffer[length], '\0');
        uint32_t decoded = 0xDEAD;
        ASSERT_EQ(tarvik_utf8_character_decode(buffer, length, &decoded), length);
        ASSERT_EQ(decoded, scalar);
        scalars.push_back(scalar);
        encoded.append(buffer, length);
    }

    // The same scalars through glibc's converter, in one call.
    iconv_t converter = iconv_open("UTF-8", "UCS-4LE");
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        GTEST_SKIP() << "no UCS-4LE converter in this C library";
    }
    std::vector<char> in(scalars.size() * 4);
    for (size_t i = 0; i < scalars.size(); ++i) {
        for (int b = 0; b < 4; ++b) {
            in[4 * i + b] = static_cast<char>((scalars[i] >> (8 * b)) & 0xFF);
        }
    }
    std::string out(encoded.size() + 16, '\0');
    char *in_at = in.data();
    size_t in_left = in.size();
    char *out_at = out.data();
    size_t out_left = out.size();
    size_t result = iconv(converter, &in_at, &in_left, &out_at, &out_left);
    iconv_close(converter);
    ASSERT_NE(result, static_cast<size_t>(-1));
    out.resize(out.size() - out_left);
    EXPECT_TRUE(out == encoded);
}

TEST_F(Utf8Test, EncoderHonoursTheBufferSize)
{
    struct Row {
        uint32_t m_scalar;
        const char *m_bytes;
    };
    const Row rows[] = {
        {0x41, "A"}, {0x7FF, "\xDF\xBF"}, {0xD55C, "\xED\x95\x9C"}, {0x10FFFF, "\xF4\x8F\xBF\xBF"}};
    for (const Row &row : rows) {
        size_t length = strlen(row.m_bytes);
        for (size_t size = 0; size <= length + 1; ++size) {
            char buffer[8];
            memset(buffer, '#', sizeof(buffer));
            size_t written = tarvik_utf8_character_encode(row.m_scalar, buffer, size);
            if (size < length) {
                EXPECT_EQ(written, 0u) << size;
                EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(8, '#'));
                continue;
            }
            ASSERT_EQ(written, length);
            EXPECT_EQ(std::string(buffer, length), row.m_bytes);
            // The NUL only when there is room for it; nothing beyond the given size.
            EXPECT_EQ(buffer[length], size > length ? '\0' : '#') << size;
            EXPECT_EQ(buffer[length + 1], '#');
        }
    }
    char buffer[8] = {};
    EXPECT_EQ(tarvik_utf8_character_encode(0x110000, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(tarvik_utf8_character_encode(0xFFFFFFFFu, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(tarvik_utf8_character_encode(0xD800, buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(tarvik_utf8_character_encode(0x41, nullptr, 8), 0u);
    EXPECT_EQ(tarvik_utf8_character_encode(0, buffer, 1), 1u);
    EXPECT_EQ(buffer[0], '\0');
}

struct MeasureRow {
    std::string m_text;
    size_t m_size; // SIZE_MAX: up to the NUL
    size_t m_count;
    size_t m_width;
    int m_valid;
};

TEST_F(Utf8Test, MeasuresTexts)
{
    const MeasureRow rows[] = {
        {"", 0, 0, 0, 1},
        {"abc", SIZE_MAX, 3, 3, 1},
        {"abc", 2, 2, 2, 1},
        {"\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4", SIZE_MAX, 3, 6, 1}, // three Hangul
        {"a\xC3\xA9z\xF0\x9F\x98\x80", SIZE_MAX, 4, 6, 1},           // a é z emoji
        {"a\xFFz", SIZE_MAX, 3, 3, 0},                               // stray byte
        {"\xED\x95\x9C", 2, 2, 2, 0},                                // cut by the size
        {"\xC0\x80", SIZE_MAX, 2, 2, 0},                             // overlong
        {std::string("ab\0\xFF", 4), 4, 2, 2, 1},                    // stops at NUL
    };
    for (const MeasureRow &row : rows) {
        const char *text = row.m_text.c_str();
        EXPECT_EQ(tarvik_utf8_character_count(text, row.m_size), row.m_count) << row.m_text;
        EXPECT_EQ(tarvik_utf8_display_width(text, row.m_size), row.m_width) << row.m_text;
        EXPECT_EQ(tarvik_utf8_is_valid(text, row.m_size), row.m_valid) << row.m_text;
    }
    EXPECT_EQ(tarvik_utf8_character_count(nullptr, 5), 0u);
    EXPECT_EQ(tarvik_utf8_display_width(nullptr, 5), 0u);
    EXPECT_EQ(tarvik_utf8_is_valid(nullptr, 5), 0);
}

TEST_F(Utf8Test, BytesOfTheFirstCharacters)
{
    const char *text = "a\xC3\xA9\xED\x95\x9C\xF0\x9F\x98\x80\xFFz";
    const size_t expected[] = {0, 1, 3, 6, 10, 11, 12, 12, 12};
    for (size_t n = 0; n < sizeof(expected) / sizeof(expected[0]); ++n) {
        EXPECT_EQ(tarvik_utf8_character_bytes(text, SIZE_MAX, n), expected[n]) << n;
    }
    EXPECT_EQ(tarvik_utf8_character_bytes(text, 5, 3), 4u); // the Hangul is cut: one stray byte
    EXPECT_EQ(tarvik_utf8_character_bytes(text, SIZE_MAX, SIZE_MAX), strlen(text));
    EXPECT_EQ(tarvik_utf8_character_bytes(nullptr, 5, 3), 0u);
}

} // namespace
