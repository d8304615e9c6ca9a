// Character classes, string helpers and the tokenizer.
#include "tarvik_test.hpp"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

class CtypeTest : public TarvikTest {};

TEST_F(CtypeTest, ClassTableAgreesWithTheCLocale)
{
    // The C locale's classes are the reference for the classes both define.
    for (int c = 0; c < 128; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_CONTROL) != 0, iscntrl(c) != 0);
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_SPACE) != 0, isspace(c) != 0);
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_PUNCT) != 0, ispunct(c) != 0);
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_DIGIT) != 0, isdigit(c) != 0);
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_UPPER) != 0, isupper(c) != 0);
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_LOWER) != 0, islower(c) != 0);
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_HEX) != 0, isxdigit(c) && !isdigit(c));
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_BASE64) != 0,
                  isalnum(c) || c == '+' || c == '/' || c == '=');
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_LF) != 0, c == '\n');
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_CR) != 0, c == '\r');
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_TOKEN_SEP) != 0,
                  c == '\t' || (c != 0 && strchr(" \"(),/:;<=>?@[\\]{}", c) != nullptr));
        EXPECT_EQ(tarvik_ctype_select(c, TARVIK_CTYPE_HIGH), 0);
    }
}

TEST_F(CtypeTest, HighBytesAndNegativeCharacters)
{
    EXPECT_NE(tarvik_ctype_select(0xE9, TARVIK_CTYPE_HIGH), 0);
    EXPECT_EQ(tarvik_ctype_select(0xE9, TARVIK_CTYPE_SPACE), 0);
    EXPECT_NE(tarvik_ctype_select(0xFF, TARVIK_CTYPE_HIGH | TARVIK_CTYPE_DIGIT), 0);
    EXPECT_NE(tarvik_ctype_select(1000, TARVIK_CTYPE_HIGH), 0);
    // A signed char holding 0xE9 is negative: no class at all.
    EXPECT_EQ(tarvik_ctype_select(-23, TARVIK_CTYPE_HIGH), 0);
    EXPECT_EQ(tarvik_ctype_select(-1, 0xFFFF), 0);
    EXPECT_EQ(tarvik_ctype_select('a', 0), 0);
}

TEST_F(CtypeTest, CombinedMasks)
{
    for (char c : std::string("09afAF")) {
        EXPECT_NE(tarvik_ctype_select(c, 0x0028), 0) << c;
    }
    EXPECT_EQ(tarvik_ctype_select('g', 0x0028), 0);
    EXPECT_NE(tarvik_ctype_select('\n', 0x0600), 0);
    EXPECT_NE(tarvik_ctype_select('\r', 0x0600), 0);
    EXPECT_EQ(tarvik_ctype_select(' ', 0x0600), 0);
}

TEST_F(CtypeTest, CaseConversionTouchesOnlyLetters)
{
    for (int c = -1; c < 256; ++c) {
        int upper = (c >= 'a' && c <= 'z') ? c - 32 : c;
        int lower = (c >= 'A' && c <= 'Z') ? c + 32 : c;
        EXPECT_EQ(tarvik_to_upper(c), upper) << c;
        EXPECT_EQ(tarvik_to_lower(c), lower) << c;
    }
    char text[] = "Hello, World_9\xE9";
    EXPECT_STREQ(tarvik_strupper(text), "HELLO, WORLD_9\xE9");
    EXPECT_STREQ(tarvik_strlower(text), "hello, world_9\xE9");
    EXPECT_EQ(tarvik_strupper(nullptr), nullptr);
    EXPECT_EQ(tarvik_strlower(nullptr), nullptr);
}

TEST_F(CtypeTest, DecimalStrings)
{
    const struct {
        const char *m_text;
        int m_expected;
    } rows[] = {
        {"12", 1}, {"-5", 1}, {"+1-2", 1}, {"-", 1},   {"", 0},
        {"1a", 0}, {" 1", 0}, {"0x10", 0}, {"1.5", 0}, {"abc", 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik_is_decimal_string(row.m_text), row.m_expected) << row.m_text;
    }
    EXPECT_EQ(tarvik_is_decimal_string(nullptr), 0);
}

TEST_F(CtypeTest, CheckString)
{
    const char *text = "x";
    EXPECT_EQ(tarvik_check_string(text), text);
    EXPECT_STREQ(tarvik_check_string(nullptr), "");
    EXPECT_EQ(tarvik_check_string_ex(text, "fallback"), text);
    EXPECT_STREQ(tarvik_check_string_ex(nullptr, "fallback"), "fallback");
}

TEST_F(CtypeTest, SkipAndTrim)
{
    EXPECT_STREQ(tarvik_skip_space(" \t\r\n\v\fword "), "word ");
    EXPECT_STREQ(tarvik_skip_space(""), "");
    EXPECT_EQ(tarvik_skip_space(nullptr), nullptr);
    EXPECT_STREQ(tarvik_skip_charlist("--==x-", "-="), "x-");
    EXPECT_STREQ(tarvik_skip_charlist("  x", nullptr), "x");
    EXPECT_STREQ(tarvik_skip_charlist("abc", ""), "abc");
    EXPECT_EQ(tarvik_skip_charlist(nullptr, "a"), nullptr);

    EXPECT_EQ(tarvik_is_charlist(',', ",;"), 1);
    EXPECT_EQ(tarvik_is_charlist('x', ",;"), 0);
    EXPECT_EQ(tarvik_is_charlist('\t', nullptr), 1);
    EXPECT_EQ(tarvik_is_charlist(0, ",;"), 0); // the terminator is never a member
    EXPECT_EQ(tarvik_is_charlist(0, nullptr), 0);

    char both[] = "  \tvalue \r\n";
    EXPECT_STREQ(tarvik_trim_charlist(both, nullptr), "value");
    char right[] = "a,b,,";
    EXPECT_STREQ(tarvik_trim_charlist_right(right, ","), "a,b");
    char left[] = "//path/";
    EXPECT_STREQ(tarvik_trim_charlist_left(left, "/"), "path/");
    char all[] = "   ";
    EXPECT_STREQ(tarvik_trim_charlist(all, nullptr), "");
    EXPECT_EQ(tarvik_trim_charlist(nullptr, nullptr), nullptr);
    EXPECT_EQ(tarvik_trim_charlist_right(nullptr, ","), nullptr);
    EXPECT_EQ(tarvik_trim_charlist_left(nullptr, ","), nullptr);
}

// Splits text the way parsers do: take a token, step over the separator, repeat.
std::vector<std::string> split(const char *text, const char *separators, int skip_space)
{
    std::vector<std::string> words;
    char *cursor = const_cast<char *>(text);
    for (;;) {
        char *word = tarvik_get_word_sep(skip_space, separators, &cursor);
        words.emplace_back(word, static_cast<size_t>(cursor - word));
        if (*cursor == '\0') {
            break;
        }
        ++cursor;
    }
    return words;
}

TEST_F(CtypeTest, TokenizerLeavesTheCursorOnTheSeparator)
{
    char text[] = "a:b";
    char *cursor = text;
    char *word = tarvik_get_word_sep(0, ":", &cursor);
    EXPECT_EQ(word, text);
    EXPECT_EQ(cursor, text + 1);
    EXPECT_EQ(*cursor, ':');
    ++cursor;
    word = tarvik_get_word_sep(0, ":", &cursor);
    EXPECT_STREQ(word, "b");
    EXPECT_EQ(*cursor, '\0');
    // At the end the token is empty and the cursor stays put.
    word = tarvik_get_word_sep(0, ":", &cursor);
    EXPECT_EQ(word, cursor);
}

TEST_F(CtypeTest, TokenizerRows)
{
    const struct {
        const char *m_text;
        const char *m_separators;
        int m_skip_space;
        std::vector<std::string> m_words;
    } rows[] = {
        {"a:b", ":", 0, {"a", "b"}},
        {"a::b", ":", 0, {"a", "", "b"}},
        {":a", ":", 0, {"", "a"}},
        {"a:", ":", 0, {"a", ""}},
        {"", ":", 0, {""}},
        {" a , b", ",", 1, {"a ", "b"}},
        {" a , b", ",", 0, {" a ", " b"}},
        {"x=1;y=2", ";=", 0, {"x", "1", "y", "2"}},
        {"  rest of line", nullptr, 1, {"rest of line"}},
        {"no separator here", "", 0, {"no separator here"}},
        {"cpu  1 2", " ", 0, {"cpu", "", "1", "2"}},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(split(row.m_text, row.m_separators, row.m_skip_space), row.m_words) << row.m_text;
    }
}

TEST_F(CtypeTest, TokenizerCopies)
{
    const char *text = " one|two";
    const char *cursor = text;
    char *word = tarvik_get_word_sep_alloc_c(1, "|", &cursor);
    ASSERT_NE(word, nullptr);
    EXPECT_STREQ(word, "one");
    EXPECT_EQ(cursor, text + 4);
    tarvik_free_tag(word, "test", 0);
    ++cursor;
    word = tarvik_get_word_sep_alloc_c(1, "|", &cursor);
    EXPECT_STREQ(word, "two");
    EXPECT_EQ(*cursor, '\0');
    tarvik_free_tag(word, "test", 0);

    char mutable_text[] = "k=v";
    char *mutable_cursor = mutable_text;
    word = tarvik_get_word_sep_alloc(0, "=", &mutable_cursor);
    EXPECT_STREQ(word, "k");
    EXPECT_EQ(mutable_cursor, mutable_text + 1);
    EXPECT_STREQ(mutable_text, "k=v"); // the source is not cut
    tarvik_free_tag(word, "test", 0);
}

TEST_F(CtypeTest, TokenizerCopiesCarryTheirFunctionTag)
{
    const char *cursor = "x";
    char *word = tarvik_get_word_sep_alloc_c(0, nullptr, &cursor);
    const char *tag = nullptr; // the walk runs under the heap lock: no allocation inside
    tarvik_get_alloc_list(
        1,
        [](const tarvik_heap_block_t *block, void *context) {
            *static_cast<const char **>(context) = block->m_tag;
            return 1;
        },
        &tag);
    EXPECT_STREQ(tag, "tarvik_get_word_sep_alloc_c");
    tarvik_free_tag(word, "test", 0);
}

TEST_F(CtypeTest, TokenizerNullArguments)
{
    EXPECT_EQ(tarvik_get_word_sep(1, ":", nullptr), nullptr);
    char *null_cursor = nullptr;
    EXPECT_EQ(tarvik_get_word_sep(1, ":", &null_cursor), nullptr);
    EXPECT_EQ(tarvik_get_word_sep_alloc(1, ":", nullptr), nullptr);
    EXPECT_EQ(tarvik_get_word_sep_alloc(1, ":", &null_cursor), nullptr);
    EXPECT_EQ(tarvik_get_word_sep_alloc_c(1, ":", nullptr), nullptr);
    const char *null_const = nullptr;
    EXPECT_EQ(tarvik_get_word_sep_alloc_c(1, ":", &null_const), nullptr);
}

} // namespace
