// Wildcard matcher and pattern lists, checked against rows, a literal recursive reading
// of the rules and the C library's fnmatch.
#include "tarvik_test.hpp"

#include <fnmatch.h>

#include <random>
#include <string>

namespace {

class PatternTest : public TarvikTest {};

// The rules read literally (exponential on hostile patterns; for small inputs only).
bool reference_match(const char *pattern, const char *text)
{
    if (*pattern == '\0') {
        return *text == '\0';
    }
    if (*pattern == '*') {
        for (const char *at = text;; ++at) {
            if (reference_match(pattern + 1, at)) {
                return true;
            }
            if (*at == '\0') {
                return false;
            }
        }
    }
    if (*pattern == '?') {
        return *text != '\0' && reference_match(pattern + 1, text + 1);
    }
    if (*pattern == '\\') {
        ++pattern;
        if (*pattern == '\0') {
            return reference_match(pattern, text);
        }
    }
    return *text == *pattern && reference_match(pattern + 1, text + 1);
}

struct Row {
    const char *m_pattern;
    const char *m_text;
    int m_expected;
};

TEST_F(PatternTest, SinglePatternRows)
{
    const Row rows[] = {
        {"", "", 0},
        {"", "a", -1},
        {"a", "", -1},
        {"abc", "abc", 0},
        {"abc", "abd", -1},
        {"abc", "ab", -1},
        {"ab", "abc", -1},
        {"*", "", 0},
        {"*", "anything", 0},
        {"**", "", 0},
        {"?", "", -1},
        {"?", "x", 0},
        {"?", "xy", -1},
        {"??", "xy", 0},
        {"a*", "a", 0},
        {"a*", "ab", 0},
        {"a*", "ba", -1},
        {"*a", "ba", 0},
        {"*a", "ab", -1},
        {"a*b", "ab", 0},
        {"a*b", "axxxb", 0},
        {"a*b", "axxxbc", -1},
        {"a*b*c", "abbbcbc", 0},
        {"*.so", "libx.so", 0},
        {"*.so.*", "libx.so.1", 0},
        {"*.so", "libx.sox", -1},
        {"*.so.*", "libx.sox", -1},
        {"a\\*b", "a*b", 0},
        {"a\\*b", "axb", -1},
        {"a\\*b", "ab", -1},
        {"a\\?", "a?", 0},
        {"a\\?", "ab", -1},
        {"\\\\", "\\", 0},
        {"a\\b", "ab", 0}, // an escaped ordinary character is itself
        {"a\\", "a", 0},   // a trailing escape is ignored
        {"a\\", "a\\", -1},
        {"\\", "", 0},
        {"*\\", "xyz", 0},
        {"?*?", "a", -1},
        {"?*?", "ab", 0},
        {"*?*?*", "ab", 0},
        {"*a*a*a*a*a*b", "aaaaaaaaaaaab", 0},
        {"*a*a*a*a*a*b", "aaaaaaaaaaaaa", -1},
        {"[ab]", "[ab]", 0}, // brackets are ordinary characters
        {"[ab]", "a", -1},
        {"ETH*", "eth0", -1},
        {"\xE9*", "\xE9t\xE9", 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik_check_pattern(row.m_pattern, row.m_text), row.m_expected)
            << row.m_pattern << " ~ " << row.m_text;
        EXPECT_EQ(reference_match(row.m_pattern, row.m_text) ? 0 : -1, row.m_expected)
            << "reference: " << row.m_pattern << " ~ " << row.m_text;
    }
}

TEST_F(PatternTest, CaseInsensitive)
{
    const Row rows[] = {
        {"ETH*", "eth0", 0}, {"eth*", "ETH0", 0},  {"a\\B", "Ab", 0},
        {"?X", "yx", 0},     {"\xC9", "\xE9", -1}, // only ASCII letters fold
        {"abc", "abd", -1},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik_check_case_pattern(row.m_pattern, row.m_text), row.m_expected)
            << row.m_pattern << " ~ " << row.m_text;
    }
}

TEST_F(PatternTest, NullArguments)
{
    EXPECT_EQ(tarvik_check_pattern("", nullptr), 0);
    EXPECT_EQ(tarvik_check_pattern("*", nullptr), 0);
    EXPECT_EQ(tarvik_check_pattern("?", nullptr), -1);
    EXPECT_EQ(tarvik_check_pattern(nullptr, "x"), -1);
    EXPECT_EQ(tarvik_check_pattern(nullptr, nullptr), -1);
    EXPECT_EQ(tarvik_check_case_pattern(nullptr, nullptr), -1);
    EXPECT_EQ(tarvik_check_case_pattern("*", nullptr), 0);
    EXPECT_EQ(tarvik_check_pattern_list(nullptr, "|", "x"), -1);
    EXPECT_EQ(tarvik_check_case_pattern_list(nullptr, nullptr, nullptr), -1);
    // Without separators the whole list is one pattern.
    EXPECT_EQ(tarvik_check_pattern_list("a|b", nullptr, "a|b"), 0);
    EXPECT_EQ(tarvik_check_pattern_list("a|b", nullptr, "a"), -1);
}

TEST_F(PatternTest, ListRows)
{
    const struct {
        const char *m_list;
        const char *m_separators;
        const char *m_text;
        int m_expected;
    } rows[] = {
        {"*.so|*.so.*", "|", "libx.so", 0},
        {"*.so|*.so.*", "|", "libx.so.1", 0},
        {"*.so|*.so.*", "|", "libx.sox", -1},
        {"bond*|eth*|en*|wlan*|ra*|*", "|", "lo", 0},
        {"bond*|eth*|en*", "|", "lo", -1},
        {"", "|", "", -1}, // an empty list matches nothing, not even the empty text
        {"", "|", nullptr, -1},
        {"a||b", "|", "", 0}, // an empty piece matches only the empty text
        {"a||b", "|", "c", -1},
        {"a|", "|", "", 0},
        {"|a", "|", nullptr, 0},
        {"|", "|", "x", -1},
        {"a,b;c", ",;", "c", 0},
        {"a,b;c", ",;", "b;c", -1},
        {"a\\|b", "|", "a|b", -1}, // splitting comes before escapes: pieces "a\" and "b"
        {"a\\|b", "|", "a", 0},
        {"x*", "", "x|y", 0},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(tarvik_check_pattern_list(row.m_list, row.m_separators, row.m_text),
                  row.m_expected)
            << row.m_list << " ~ " << (row.m_text != nullptr ? row.m_text : "(null)");
    }
    EXPECT_EQ(tarvik_check_case_pattern_list("lo|eth*", "|", "ETH0"), 0);
    EXPECT_EQ(tarvik_check_pattern_list("lo|eth*", "|", "ETH0"), -1);
    EXPECT_EQ(tarvik_check_case_pattern_list("", "|", ""), -1);
}

TEST_F(PatternTest, HostilePatternsStayLinear)
{
    // The literal definition explores an exponential number of star placements here.
    std::string text(20000, 'a');
    std::string pattern;
    for (int i = 0; i < 30; ++i) {
        pattern += "*a";
    }
    pattern += "*b";
    EXPECT_EQ(tarvik_check_pattern(pattern.c_str(), text.c_str()), -1);
    text += 'b';
    EXPECT_EQ(tarvik_check_pattern(pattern.c_str(), text.c_str()), 0);
    EXPECT_EQ(tarvik_check_case_pattern_list(("x|" + pattern).c_str(), "|", text.c_str()), 0);
    std::string questions(500, '?');
    std::string short_text = text.substr(text.size() - 3000);
    EXPECT_EQ(tarvik_check_pattern(("*" + questions + "b").c_str(), short_text.c_str()), 0);
    EXPECT_EQ(tarvik_check_pattern(("*" + questions + "c").c_str(), short_text.c_str()), -1);
}

// Random patterns over a small alphabet so that stars and literals interact often.
std::string random_string(std::mt19937 &random, const char *alphabet, size_t max_length)
{
    std::uniform_int_distribution<size_t> length(0, max_length);
    std::uniform_int_distribution<size_t> pick(0, strlen(alphabet) - 1);
    std::string s;
    for (size_t n = length(random); n > 0; --n) {
        s += alphabet[pick(random)];
    }
    return s;
}

TEST_F(PatternTest, AgreesWithFnmatchAndTheDefinition)
{
    std::mt19937 random(12345);
    for (int i = 0; i < 200000; ++i) {
        std::string pattern = random_string(random, "ab*?\\", 8);
        std::string text = random_string(random, "ab*?\\", 10);
        int ours = tarvik_check_pattern(pattern.c_str(), text.c_str());
        ASSERT_EQ(ours, reference_match(pattern.c_str(), text.c_str()) ? 0 : -1)
            << pattern << " ~ " << text;
        // fnmatch leaves a trailing backslash undefined; everything else must agree.
        size_t trailing = 0;
        for (auto it = pattern.rbegin(); it != pattern.rend() && *it == '\\'; ++it) {
            ++trailing;
        }
        if (trailing % 2 == 0) {
            int system = fnmatch(pattern.c_str(), text.c_str(), 0) == 0 ? 0 : -1;
            ASSERT_EQ(ours, system) << pattern << " ~ " << text;
        }
    }
}

TEST_F(PatternTest, CaseInsensitiveEqualsMatchingLoweredInputs)
{
    std::mt19937 random(777);
    for (int i = 0; i < 50000; ++i) {
        std::string pattern = random_string(random, "aAbB*?\\", 8);
        std::string text = random_string(random, "aAbB", 10);
        std::string lowered_pattern = pattern;
        std::string lowered_text = text;
        tarvik_strlower(lowered_pattern.data());
        tarvik_strlower(lowered_text.data());
        ASSERT_EQ(tarvik_check_case_pattern(pattern.c_str(), text.c_str()),
                  tarvik_check_pattern(lowered_pattern.c_str(), lowered_text.c_str()))
            << pattern << " ~ " << text;
    }
}

} // namespace
