// Tests of character-set detection and conversion: both tables code by code against the
// C library's iconv and against its charmaps, rows taken from those charmaps, and the
// detection flags on edge cases.
#include "tarvik_test.hpp"

#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

class CharsetTest : public TarvikTest {};

// Heap string from the converter, freed here; "<null>" for null.
std::string convert(const std::string &text, uint32_t options)
{
    char *converted = tarvik_convert_to_utf8_string(text.data(), text.size(), options);
    if (converted == nullptr) {
        return "<null>";
    }
    std::string result(converted);
    tarvik_free_tag(converted, __func__, __LINE__);
    return result;
}

// One glibc converter, closed at the end of the scope.
class Iconv {
  public:
    Iconv(const char *to, const char *from) : m_handle(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (ok()) {
            iconv_close(m_handle);
        }
    }
    bool ok() const { return m_handle != reinterpret_cast<iconv_t>(-1); }
    // False when glibc refuses the whole input.
    bool run(const std::string &in, std::string *out)
    {
        iconv(m_handle, nullptr, nullptr, nullptr, nullptr);
        std::string input = in;
        out->assign(input.size() * 4 + 16, '\0');
        char *in_at = input.data();
        size_t in_left = input.size();
        char *out_at = out->data();
        size_t out_left = out->size();
        if (iconv(m_handle, &in_at, &in_left, &out_at, &out_left) == static_cast<size_t>(-1) ||
            iconv(m_handle, nullptr, nullptr, &out_at, &out_left) == static_cast<size_t>(-1)) {
            return false;
        }
        out->resize(out->size() - out_left);
        return in_left == 0;
    }

  private:
    iconv_t m_handle;
};

std::string code_bytes(uint32_t code)
{
    return code < 0x100 ? std::string(1, static_cast<char>(code))
                        : std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// Every code of 0x00..0xFF and 0x8000..0xFFFF: the table lookup agrees with glibc, which
// either converts the bytes to exactly one scalar or the table holds nothing for them.
// The double-byte codes also go through the converter, as one text. Returns the number
// of codes the table holds.
size_t check_table_against_iconv(const char *charset, uint32_t (*lookup)(uint32_t),
                                 uint32_t expected_flag)
{
    Iconv to_scalar("UTF-32LE", charset);
    Iconv to_utf8("UTF-8", charset);
    if (!to_scalar.ok() || !to_utf8.ok()) {
        return 0;
    }
    size_t held = 0;
    std::string pairs;
    for (uint32_t code = 0; code <= 0xFFFF; ++code) {
        if (code == 0x100) {
            code = 0x8000;
        }
        std::string out;
        uint32_t expected = 0;
        if (to_scalar.run(code_bytes(code), &out) && out.size() == 4) {
            expected = static_cast<uint32_t>(static_cast<unsigned char>(out[0])) |
                       static_cast<uint32_t>(static_cast<unsigned char>(out[1])) << 8 |
                       static_cast<uint32_t>(static_cast<unsigned char>(out[2])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(out[3])) << 24;
        }
        EXPECT_EQ(lookup(code), expected) << charset << " code 0x" << std::hex << code;
        if (expected != 0 || code == 0) {
            ++held;
        }
        if (expected != 0 && code >= 0x8000) {
            pairs += code_bytes(code);
        }
    }
    std::string expected_text;
    EXPECT_TRUE(to_utf8.run(pairs, &expected_text));
    EXPECT_EQ(tarvik_detect_string_charset(pairs.data(), pairs.size()) & 0xFFu,
              TARVIK_CHARSET_DOUBLE_BYTE | expected_flag);
    EXPECT_TRUE(convert(pairs, 0) == expected_text) << charset;
    // The same with ASCII between the pairs.
    std::string mixed;
    for (size_t i = 0; i < pairs.size(); i += 2) {
        mixed += pairs.substr(i, 2);
        mixed += static_cast<char>('a' + (i / 2) % 26);
    }
    EXPECT_TRUE(to_utf8.run(mixed, &expected_text));
    EXPECT_TRUE(convert(mixed, 0) == expected_text) << charset;
    return held;
}

TEST_F(CharsetTest, CodePage949TableMatchesIconv)
{
    size_t held = check_table_against_iconv("CP949", tarvik_cp949_to_ucs, TARVIK_CHARSET_CP949);
    if (held == 0) {
        GTEST_SKIP() << "no CP949 module for iconv here";
    }
    EXPECT_EQ(held, 17176u);
}

TEST_F(CharsetTest, ShiftJisTableMatchesIconv)
{
    size_t held =
        check_table_against_iconv("SHIFT_JIS", tarvik_shiftjs_to_ucs, TARVIK_CHARSET_SHIFTJIS);
    if (held == 0) {
        GTEST_SKIP() << "no SHIFT_JIS module for iconv here";
    }
    EXPECT_EQ(held, 7070u);
}

// Code to scalar as the C library's charmap file lists them (read through gzip, so that
// the check runs under the emulator too, where iconv has no modules); empty when the
// charmap or gzip is missing.
std::map<uint32_t, uint32_t> read_charmap(const char *name)
{
    std::map<uint32_t, uint32_t> mapping;
    std::string command = std::string("gzip -dc /usr/share/i18n/charmaps/") + name + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return mapping;
    }
    char line[512];
    bool in_map = false;
    while (fgets(line, sizeof(line), pipe) != nullptr) {
        if (strncmp(line, "END CHARMAP", 11) == 0) {
            break;
        }
        in_map = in_map || strncmp(line, "CHARMAP", 7) == 0;
        unsigned scalar = 0;
        int used = 0;
        if (!in_map || sscanf(line, "<U%x>%n", &scalar, &used) != 1 || used == 0) {
            continue;
        }
        uint32_t code = 0;
        unsigned byte = 0;
        for (const char *at = line + used; sscanf(at, " /x%2x%n", &byte, &used) == 1; at += used) {
            code = code << 8 | byte;
        }
        mapping[code] = scalar;
    }
    pclose(pipe);
    return mapping;
}

// Every code of 16 bits looked up against the charmap (absent codes give 0), and the
// charmap's codes with high bits added, which must not alias them. False when there is
// no charmap to compare with.
bool check_table_against_charmap(const char *name, uint32_t (*lookup)(uint32_t), size_t count)
{
    std::map<uint32_t, uint32_t> mapping = read_charmap(name);
    if (mapping.empty()) {
        return false;
    }
    EXPECT_EQ(mapping.size(), count) << name;
    size_t wrong = 0;
    for (uint32_t code = 0; code <= 0xFFFF; ++code) {
        auto found = mapping.find(code);
        uint32_t expected = found == mapping.end() ? 0 : found->second;
        if (lookup(code) != expected && ++wrong <= 10) {
            ADD_FAILURE() << name << " code 0x" << std::hex << code << ": 0x" << lookup(code)
                          << " instead of 0x" << expected;
        }
    }
    for (const auto &[code, scalar] : mapping) {
        for (uint32_t high : {0x10000u, 0x8000u << 8, 0x80000000u}) {
            if (lookup(code | high) != 0 && ++wrong <= 10) {
                ADD_FAILURE() << name << " code 0x" << std::hex << (code | high) << " is mapped";
            }
        }
    }
    EXPECT_EQ(wrong, 0u) << name;
    return true;
}

TEST_F(CharsetTest, TablesMatchTheCharmapsCodeByCode)
{
    bool cp949 = check_table_against_charmap("CP949.gz", tarvik_cp949_to_ucs, 17176);
    bool shiftjis = check_table_against_charmap("SHIFT_JIS.gz", tarvik_shiftjs_to_ucs, 7070);
    if (!cp949 || !shiftjis) {
        GTEST_SKIP() << "no charmaps here (Debian package locales)";
    }
}

struct LookupRow {
    uint32_t m_code;
    uint32_t m_scalar;
};

TEST_F(CharsetTest, TablesHoldTheCharmapRows)
{
    // Rows of the C library's CP949 and SHIFT_JIS charmaps (the generator's source),
    // including each table's first and last double-byte code, and codes they lack.
    const LookupRow cp949[] = {
        {0x41, 0x41},     {0x8141, 0xAC02}, {0xA1A1, 0x3000}, {0xA2E6, 0x20AC},
        {0xA2E7, 0x00AE}, {0xB0A1, 0xAC00}, {0xC652, 0xD7A3}, {0xC7D1, 0xD55C},
        {0xFDFE, 0x8A70}, {0x80, 0},        {0xFF, 0},        {0x8140, 0},
        {0xC9A1, 0},      {0xFEFE, 0},      {0x81FF, 0},      {0x10000, 0},
    };
    for (const LookupRow &row : cp949) {
        EXPECT_EQ(tarvik_cp949_to_ucs(row.m_code), row.m_scalar) << std::hex << row.m_code;
    }
    const LookupRow shiftjis[] = {
        {0x41, 0x41},     {0x5C, 0x00A5},   {0x7E, 0x203E},   {0xA1, 0xFF61},
        {0xDF, 0xFF9F},   {0x8140, 0x3000}, {0x815F, 0xFF3C}, {0x82A0, 0x3042},
        {0xEAA4, 0x7199}, {0x80, 0},        {0xA0, 0},        {0xFD, 0},
        {0x8100, 0},      {0xEAA5, 0},      {0xF040, 0},      {0x10000, 0},
    };
    for (const LookupRow &row : shiftjis) {
        EXPECT_EQ(tarvik_shiftjs_to_ucs(row.m_code), row.m_scalar) << std::hex << row.m_code;
    }
}

TEST_F(CharsetTest, BinarySearchFindsEveryKeyAndOnlyThose)
{
    const uint32_t table[] = {2, 20, 4, 40, 6, 60, 8, 80, 10, 100, 12, 120, 14, 140};
    for (size_t count = 0; count <= 7; ++count) {
        for (uint32_t key = 0; key <= 16; ++key) {
            bool held = key % 2 == 0 && key >= 2 && key <= 2 * count;
            EXPECT_EQ(tarvik_binary_search_from_uint_table(table, count, key, 7),
                      held ? key * 10 : 7u)
                << count << " " << key;
        }
    }
    EXPECT_EQ(tarvik_binary_search_from_uint_table(nullptr, 3, 2, 9), 9u);
}

struct DetectRow {
    const char *m_name;
    std::string m_text;
    uint32_t m_flags;
};

// "한국어" (Korean) in code page 949 and in UTF-8; "あい" (Japanese) in Shift-JIS.
const std::string KOREAN_949 = "\xC7\xD1\xB1\xB9\xBE\xEE";
const std::string KOREAN_UTF8 = "\xED\x95\x9C\xEA\xB5\xAD\xEC\x96\xB4";
const std::string HIRAGANA_SJIS = "\x82\xA0\x82\xA2";
const std::string HIRAGANA_UTF8 = "\xE3\x81\x82\xE3\x81\x84";

TEST_F(CharsetTest, DetectionFlags)
{
    const DetectRow rows[] = {
        {"ascii", "hello, world", 0x1},
        {"utf8 only", KOREAN_UTF8, 0x4},
        {"utf8 mixed", "caf\xC3\xA9", 0x5},
        {"utf8 with NUL", std::string("a\0\xC3\xA9", 4), 0x5},
        {"cp949", KOREAN_949, 0x12},
        {"cp949 mixed", "Seoul " + KOREAN_949, 0x13},
        // Hiragana codes are also Hangul codes of the extended code page 949 rows.
        {"both tables", HIRAGANA_SJIS, 0x32},
        {"shift-jis only", HIRAGANA_SJIS + "\x81\x40", 0x22},
        {"truncated", KOREAN_949 + "\xB1", 0x80000012u},
        {"truncated before NUL", KOREAN_949 + std::string("\xB1\0\xB9", 3), 0x80000012u},
        {"NUL ends the pass", KOREAN_949 + std::string("\0\xFF\xFF", 3), 0x12},
        {"unknown pair", "\xFF\xFF", 0x40000002u},
        {"unknown then more", "x\xFF\xFF" + KOREAN_949 + "\xB1", 0xC0000003u},
        {"overlong is no UTF-8", "\xC0\x80", 0x40000002u},
        {"surrogate is no UTF-8", "\xED\xA0\x80", 0xC0000002u},
        {"lead only", "\xB0", 0x80000032u},
        {"lead before NUL", std::string("a\xB0\0", 3), 0x80000033u},
    };
    for (const DetectRow &row : rows) {
        EXPECT_EQ(tarvik_detect_string_charset(row.m_text.data(), row.m_text.size()), row.m_flags)
            << row.m_name;
    }
    EXPECT_EQ(tarvik_detect_string_charset(nullptr, 5), 0u);
    EXPECT_EQ(tarvik_detect_string_charset("abc", 0), 0u);
}

struct ConvertRow {
    const char *m_name;
    std::string m_text;
    uint32_t m_options;
    std::string m_expected;
};

TEST_F(CharsetTest, Conversion)
{
    const ConvertRow rows[] = {
        {"empty", "", 0, ""},
        {"ascii", "plain text\r\n", 0, "plain text\r\n"},
        {"ascii up to the NUL", std::string("ab\0cd\xFF", 6), 0, "ab"},
        {"utf8 copied", "caf\xC3\xA9 " + KOREAN_UTF8, 0, "caf\xC3\xA9 " + KOREAN_UTF8},
        {"utf8 re-encoded", "caf\xC3\xA9 " + KOREAN_UTF8, 0x1, "caf\xC3\xA9 " + KOREAN_UTF8},
        {"cp949", KOREAN_949, 0, KOREAN_UTF8},
        {"cp949 mixed", "<" + KOREAN_949 + ">", 0, "<" + KOREAN_UTF8 + ">"},
        {"both tables: Shift-JIS first", HIRAGANA_SJIS, 0, HIRAGANA_UTF8},
        {"shift-jis", HIRAGANA_SJIS + "\x81\x40", 0, HIRAGANA_UTF8 + "\xE3\x80\x80"},
        {"half-width katakana lead is a pair", "\xB1\xB2", 0, "\xEA\xB5\x89"},
        {"truncated refused", KOREAN_949 + "\xB1", 0, "<null>"},
        {"truncated forced", KOREAN_949 + "\xB1", 0x2, KOREAN_UTF8 + "?"},
        {"lead before NUL", KOREAN_949 + std::string("\xB1\0\xB9\xB9", 4), 0x2, KOREAN_UTF8 + "?"},
        {"NUL ends the text", KOREAN_949 + std::string("\0\xFF\xFF", 3), 0, KOREAN_UTF8},
        {"unknown refused", "a\xFF\xFF", 0, "<null>"},
        {"unknown forced", "a\xFF\xFF", 0x2, "a?"},
        // Known pairs of a forced text are converted; only the unknown one is lost.
        {"forced keeps known pairs", KOREAN_949 + "\xFF\xFF" + KOREAN_949, 0x2,
         KOREAN_UTF8 + "?" + KOREAN_UTF8},
        // Shift-JIS held out longer than code page 949, so it decodes the text first.
        {"forced prefers the longer table", HIRAGANA_SJIS + "\x81\x40\xFF\xFF" + HIRAGANA_SJIS, 0x2,
         HIRAGANA_UTF8 + "\xE3\x80\x80?" + HIRAGANA_UTF8},
        {"overlong never decoded", "\xC0\x80", 0x2, "?"},
    };
    for (const ConvertRow &row : rows) {
        EXPECT_EQ(convert(row.m_text, row.m_options), row.m_expected) << row.m_name;
    }
    EXPECT_EQ(tarvik_convert_to_utf8_string(nullptr, 4, 0x2), nullptr);
}

TEST_F(CharsetTest, EveryTwoByteTextConvertsToValidUtf8)
{
    // Forced, so that nothing is refused: UTF-8 input comes back unchanged, anything else
    // as valid UTF-8 of one or two characters.
    for (uint32_t code = 0x0101; code <= 0xFFFF; ++code) {
        std::string text{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
        if (text[1] == '\0') {
            continue;
        }
        char *converted = tarvik_convert_to_utf8_string(text.data(), text.size(), 0x2);
        ASSERT_NE(converted, nullptr) << std::hex << code;
        EXPECT_TRUE(tarvik_utf8_is_valid(converted, SIZE_MAX)) << std::hex << code;
        if (tarvik_utf8_is_valid(text.data(), text.size())) {
            EXPECT_EQ(std::string(converted), text) << std::hex << code;
        } else {
            size_t count = tarvik_utf8_character_count(converted, SIZE_MAX);
            EXPECT_TRUE(count == 1 || count == 2) << std::hex << code;
        }
        tarvik_free_tag(converted, __func__, __LINE__);
    }
}

} // namespace
