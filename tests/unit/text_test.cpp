// The shared text toolkit: ASCII classes against the C locale, the cursor's readers, the
// bounded writer (terminated, raw and counting) against snprintf, and the list walker.
#include "tarvik_test.hpp"

#include "detail/text.hpp"

#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace tarvik::detail;

class TextTest : public TarvikTest {};

std::string str(Text text) { return std::string(text.m_data, text.m_length); }

TEST_F(TextTest, ClassesAgreeWithTheCLocale)
{
    for (int c = -1; c < 256; ++c) {
        SCOPED_TRACE(c);
        bool ascii = c >= 0 && c < 128;
        EXPECT_EQ(is_digit(c), ascii && isdigit(c) != 0);
        EXPECT_EQ(is_alpha(c), ascii && isalpha(c) != 0);
        EXPECT_EQ(is_alnum(c), ascii && isalnum(c) != 0);
        EXPECT_EQ(is_space(c), ascii && isspace(c) != 0);
        EXPECT_EQ(is_blank(c), ascii && isblank(c) != 0);
        EXPECT_EQ(is_control(c), ascii && iscntrl(c) != 0);
        EXPECT_EQ(hex_digit_value(c) >= 0, ascii && isxdigit(c) != 0);
        if (ascii) {
            EXPECT_EQ(to_lower(static_cast<char>(c)), tolower(c));
            EXPECT_EQ(to_upper(static_cast<char>(c)), toupper(c));
        }
    }
    EXPECT_EQ(hex_digit_value('f'), 15);
    EXPECT_EQ(hex_digit_value('A'), 10);
    EXPECT_TRUE(equal_ignoring_case("VeXa", "vexa"));
    EXPECT_FALSE(equal_ignoring_case("vexa", "vexa_"));
    EXPECT_FALSE(equal_ignoring_case("\xc9", "\xe9")); // no case outside ASCII
    EXPECT_TRUE(Text().equals(Text("", 0)));
    EXPECT_TRUE(Text().equals(""));
    EXPECT_FALSE(Text("abc", 3).equals(Text()));
    EXPECT_TRUE(Text("abc", 3).starts_with(""));
    EXPECT_TRUE(Text("ABC", 3).equals_ignoring_case("abc"));
}

struct NumberRow {
    std::string m_text;
    uint64_t m_limit;
    bool m_ok;
    uint64_t m_value;
    size_t m_taken;
};

TEST_F(TextTest, DecimalAndHexadecimalStopAtTheirLimits)
{
    const NumberRow decimals[] = {
        {"0", UINT64_MAX, true, 0, 1},
        {"123abc", UINT64_MAX, true, 123, 3},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX, 20},
        {"18446744073709551616", UINT64_MAX, false, 0, 0},
        {"99999999999999999999", UINT64_MAX, false, 0, 0},
        {"255", 255, true, 255, 3},
        {"256", 255, false, 0, 0},
        {"4294967295", UINT32_MAX, true, UINT32_MAX, 10},
        {"4294967296", UINT32_MAX, false, 0, 0},
        {"", UINT64_MAX, false, 0, 0},
        {"-1", UINT64_MAX, false, 0, 0},
        {std::string("12\0"
                     "3",
                     4),
         UINT64_MAX, true, 12, 2},
    };
    for (const NumberRow &row : decimals) {
        SCOPED_TRACE(row.m_text);
        Cursor cursor(row.m_text.data(), row.m_text.size());
        uint64_t value = 7;
        EXPECT_EQ(cursor.decimal(&value, row.m_limit), row.m_ok);
        EXPECT_EQ(value, row.m_ok ? row.m_value : 7u);
        EXPECT_EQ(cursor.position() - row.m_text.data(), static_cast<ptrdiff_t>(row.m_taken));
    }
    const NumberRow hexadecimals[] = {
        {"ffFF", 0, true, 0xFFFF, 4},
        {"FFFFFFFFFFFFFFFF", 0, true, UINT64_MAX, 16},
        {"10000000000000000", 0, false, 0, 0},
        {"0x10", 0, true, 0, 1},
        {"g", 0, false, 0, 0},
    };
    for (const NumberRow &row : hexadecimals) {
        SCOPED_TRACE(row.m_text);
        Cursor cursor = Cursor::of(row.m_text.c_str());
        uint64_t value = 7;
        EXPECT_EQ(cursor.hexadecimal(&value), row.m_ok);
        EXPECT_EQ(value, row.m_ok ? row.m_value : 7u);
        EXPECT_EQ(cursor.position() - row.m_text.c_str(), static_cast<ptrdiff_t>(row.m_taken));
    }
}

TEST_F(TextTest, SignedDecimalWithinItsRange)
{
    const struct {
        const char *m_text;
        int64_t m_minimum;
        int64_t m_maximum;
        bool m_ok;
        int64_t m_value;
    } rows[] = {
        {"-9223372036854775808", INT64_MIN, INT64_MAX, true, INT64_MIN},
        {"9223372036854775807", INT64_MIN, INT64_MAX, true, INT64_MAX},
        {"9223372036854775808", INT64_MIN, INT64_MAX, false, 0},
        {"-9223372036854775809", INT64_MIN, INT64_MAX, false, 0},
        {"+17", 0, 100, true, 17},
        {"-1", 0, 100, false, 0},
        {"101", 0, 100, false, 0},
        {"-5", -5, -1, true, -5},
        {"0", 1, 100, false, 0},
        {"0", -5, -1, false, 0},
        {"-0", -5, -1, false, 0},
        {"1", 1, 100, true, 1},
        {"-", INT64_MIN, INT64_MAX, false, 0},
        {"+", INT64_MIN, INT64_MAX, false, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.m_text);
        Cursor cursor = Cursor::of(row.m_text);
        int64_t value = 7;
        EXPECT_EQ(cursor.signed_decimal(&value, row.m_minimum, row.m_maximum), row.m_ok);
        EXPECT_EQ(value, row.m_ok ? row.m_value : 7);
        // A failed read takes nothing, the sign included.
        EXPECT_EQ(cursor.position() == row.m_text, !row.m_ok);
    }
}

TEST_F(TextTest, LinesAndWordsOfARange)
{
    const struct {
        std::string m_text;
        std::vector<std::string> m_lines;
    } rows[] = {
        {"a\nb\r\nc\rd", {"a", "b", "c", "d"}},
        {"\n\nx\n", {"", "", "x"}},
        {"last line", {"last line"}},
        {"", {}},
        {std::string("nul\0inside\n", 11), {std::string("nul\0inside", 10)}},
        {"\r\n\r\n", {"", ""}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.m_text);
        Cursor cursor(row.m_text.data(), row.m_text.size());
        std::vector<std::string> lines;
        for (Text line; cursor.line(&line);) {
            lines.push_back(str(line));
        }
        EXPECT_EQ(lines, row.m_lines);
        EXPECT_TRUE(cursor.at_end());
    }

    Cursor words = Cursor::of("  Name:\t value  rest\nnext");
    EXPECT_EQ(str(words.word()), "Name:");
    EXPECT_EQ(str(words.word()), "value");
    EXPECT_EQ(str(words.word()), "rest");
    EXPECT_EQ(words.peek(), '\n');
    EXPECT_EQ(str(words.word()), ""); // a word never crosses the line end
    auto comma = [](int c) { return c == ',' || c == ' '; };
    Cursor list = Cursor::of(" 1, 2,,3 ");
    EXPECT_EQ(str(list.word(comma)), "1");
    EXPECT_EQ(str(list.word(comma)), "2");
    EXPECT_EQ(str(list.word(comma)), "3");
    EXPECT_EQ(str(list.word(comma)), "");

    Cursor small = Cursor::of("ab");
    EXPECT_EQ(small.peek_at(1), 'b');
    EXPECT_EQ(small.peek_at(2), -1);
    EXPECT_FALSE(small.take_text("abc"));
    EXPECT_TRUE(small.take_text(""));
    EXPECT_TRUE(small.take_text("ab"));
    EXPECT_EQ(small.take(), -1);
    small.skip(5);
    EXPECT_TRUE(small.at_end());
    Cursor none = Cursor::of(nullptr);
    EXPECT_TRUE(none.at_end());
    EXPECT_FALSE(none.take_if('x'));
    EXPECT_TRUE(none.take_text(""));
}

TEST_F(TextTest, WriterCutsTerminatesAndCounts)
{
    char buffer[8];
    Writer writer(buffer, sizeof(buffer));
    writer.puts("abc").put('-').decimal(1234);
    EXPECT_STREQ(buffer, "abc-123");
    EXPECT_EQ(writer.length(), 7u);
    EXPECT_TRUE(writer.truncated());
    EXPECT_TRUE(writer.full());
    writer.fill('x', 1000000000); // a huge fill costs nothing once full
    EXPECT_STREQ(buffer, "abc-123");

    // Raw: up to the limit, no terminator; the byte behind stays as it was.
    char raw[6] = {'.', '.', '.', '.', '.', '#'};
    Writer bounded = Writer::raw(raw, 5);
    bounded.fill('0', 3).hexadecimal(0xabc);
    EXPECT_EQ(std::string(raw, 6), "000ab#");
    EXPECT_EQ(bounded.length(), 5u);
    Writer counter = Writer::raw(nullptr, SIZE_MAX);
    counter.puts("twelve bytes").fill(' ', 8);
    EXPECT_EQ(counter.length(), 20u);
    EXPECT_FALSE(counter.truncated());

    Writer empty(buffer, 0);
    empty.puts("nothing");
    EXPECT_EQ(empty.length(), 0u);
    Writer one(buffer, 1);
    one.put('x');
    EXPECT_STREQ(buffer, "");

    // Widths beyond what a 64-bit value needs are capped, never written past the digits.
    char wide[64];
    Writer(wide, sizeof(wide)).hexadecimal(1, 40);
    EXPECT_EQ(std::string(wide), std::string(19, '0') + "1");
}

TEST_F(TextTest, WriterNumbersAgreeWithSnprintf)
{
    std::mt19937_64 random(20261208);
    std::vector<uint64_t> values = {0, 1, 9, 10, UINT32_MAX, uint64_t(UINT32_MAX) + 1, UINT64_MAX};
    for (int i = 0; i < 2000; ++i) {
        values.push_back(random() >> (random() % 64));
    }
    for (uint64_t value : values) {
        char mine[64];
        char theirs[64];
        Writer(mine, sizeof(mine))
            .decimal(value)
            .put(' ')
            .hexadecimal(value, 4)
            .put(' ')
            .signed_decimal(static_cast<int64_t>(value));
        snprintf(theirs, sizeof(theirs), "%" PRIu64 " %04" PRIx64 " %" PRId64, value, value,
                 static_cast<int64_t>(value));
        EXPECT_STREQ(mine, theirs);
    }
}

TEST_F(TextTest, ListWalkerKeepsEmptyElementsButNoTrailingOne)
{
    const struct {
        const char *m_list;
        std::vector<std::string> m_elements;
    } rows[] = {
        {"|v|vexa", {"", "v", "vexa"}},
        {"a||b", {"a", "", "b"}},
        {"a|", {"a"}},
        {"|", {""}},
        {"", {}},
        {nullptr, {}},
        {"one", {"one"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.m_list != nullptr ? row.m_list : "(null)");
        std::vector<std::string> elements;
        ListWalker walker(row.m_list);
        for (Text element; walker.next(&element);) {
            elements.push_back(str(element));
        }
        EXPECT_EQ(elements, row.m_elements);
    }
    EXPECT_TRUE(list_has("h|help", Text::of("help")));
    EXPECT_FALSE(list_has("h|help", Text::of("hel")));
    EXPECT_FALSE(list_has("h|help", Text()));
    EXPECT_TRUE(list_has("|v", Text()));
    EXPECT_TRUE(list_has("a,b", Text::of("a,b")));
    ListWalker commas("a,b", ',');
    Text element;
    EXPECT_TRUE(commas.next(&element) && str(element) == "a");
}

} // namespace
