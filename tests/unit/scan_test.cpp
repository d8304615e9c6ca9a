// Number scanner, string front ends, fixed point and the scanf subset.
#include "tarvik_test.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

namespace {

class ScanTest : public TarvikTest {};

struct NumberRow {
    const char *m_text;
    int m_base;
    intmax_t m_value;
    size_t m_end; // offset of the first character not consumed
};

TEST_F(ScanTest, NumberRows)
{
    const NumberRow rows[] = {
        // automatic base: "0x" is hexadecimal, a leading zero stays decimal
        {"0x1F", 0, 31, 4},
        {"0X1f", -1, 31, 4},
        {"010", 0, 10, 3},
        {"0", 0, 0, 1},
        {"0x", 0, 0, 2},
        {"0xg", 0, 0, 2},
        {"08", 0, 8, 2},
        {" -12", 0, -12, 4},
        {"\t\n+7", 0, 7, 4},
        {"-0x10", 0, 16, 5}, // the minus is ignored outside base 10
        {"12abc", 0, 12, 2},
        {"", 0, 0, 0},
        {"   ", 0, 0, 3},
        {"-", 0, 0, 1},
        {"x", 0, 0, 0},
        // given bases
        {"-ff", 16, 255, 3},
        {"FF", 16, 255, 2},
        {"0x1F", 16, 0, 1}, // no prefix handling once the base is given
        {"-12", 10, -12, 3},
        {"1010", 2, 10, 4},
        {"1012", 2, 5, 3},
        {"-777", 8, 511, 4},
        {"789", 8, 7, 1},
        {"zz", 36, 0, 0}, // only 0-9 and a-f are digits
        {"ff", 10, 0, 0},
        // 64-bit wrap-around, no saturation
        {"9223372036854775807", 10, INTMAX_MAX, 19},
        {"9223372036854775808", 10, INTMAX_MIN, 19},
        {"-9223372036854775808", 10, INTMAX_MIN, 20},
        {"18446744073709551615", 10, -1, 20},
        {"18446744073709551616", 10, 0, 20},
        {"0xffffffffffffffff", 0, -1, 18},
        {"0x10000000000000001", 0, 1, 19},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.m_text) + " base " + std::to_string(row.m_base));
        EXPECT_EQ(tarvik_atointmax(row.m_text, row.m_base), row.m_value);
        char *end = nullptr;
        EXPECT_EQ(tarvik_strtointmax(row.m_text, &end, row.m_base), row.m_value);
        EXPECT_EQ(static_cast<size_t>(end - row.m_text), row.m_end);
    }
}

TEST_F(ScanTest, NarrowFrontEnds)
{
    EXPECT_EQ(tarvik_atoi("  -42x"), -42);
    EXPECT_EQ(tarvik_atoi("0x10"), 0); // atoi is decimal: the "x" stops it
    EXPECT_EQ(tarvik_atox("0x10", 0), 16);
    EXPECT_EQ(tarvik_atox("4294967297", 10), 1); // truncated to int like a cast
    char *end = nullptr;
    const char *text = "123 rest";
    EXPECT_EQ(tarvik_strtol(text, &end, 10), 123L);
    EXPECT_EQ(end, text + 3);
    EXPECT_EQ(tarvik_strtol(text, nullptr, 10), 123L);
}

TEST_F(ScanTest, NullStrings)
{
    EXPECT_EQ(tarvik_atointmax(nullptr, 0), 0);
    EXPECT_EQ(tarvik_atoi(nullptr), 0);
    EXPECT_EQ(tarvik_atox(nullptr, 16), 0);
    EXPECT_EQ(tarvik_atof(nullptr), 0.0);
    char *end = reinterpret_cast<char *>(1);
    EXPECT_EQ(tarvik_strtointmax(nullptr, &end, 0), 0);
    EXPECT_EQ(end, nullptr);
    EXPECT_EQ(tarvik_strtol(nullptr, nullptr, 0), 0);
    end = reinterpret_cast<char *>(1);
    EXPECT_EQ(tarvik_atofixed(nullptr, 2, &end), 0);
    EXPECT_EQ(end, nullptr);
}

TEST_F(ScanTest, LimitCountsSignPrefixAndDigits)
{
    std::string ones(4097, '1');
    const char *cursor = ones.c_str();
    intmax_t value = 0;
    EXPECT_EQ(tarvik_scan_atointmax(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, &value, 10),
              4096u);
    EXPECT_EQ(cursor, ones.c_str() + 4096);
    EXPECT_STREQ(cursor, "1");

    const struct {
        const char *m_text;
        size_t m_limit;
        int m_base;
        intmax_t m_value;
        size_t m_consumed;
    } rows[] = {
        {"12345", 3, 10, 123, 3}, {"-12345", 3, 10, -12, 3}, {"0x1F", 1, 0, 0, 1},
        {"0x1F", 2, 0, 0, 2},     {"0x1F", 3, 0, 1, 3},      {"1234", 0, 10, 0, 0},
        {"ff00", 2, 16, 255, 2},  {"  12", 3, 10, 1, 1}, // white space shares the limit
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.m_text);
        const char *at = row.m_text;
        intmax_t result = -99;
        EXPECT_EQ(tarvik_scan_atointmax_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &at,
                                              row.m_limit, &result, row.m_base),
                  row.m_consumed);
        EXPECT_EQ(result, row.m_value);
    }
}

TEST_F(ScanTest, WidthVariantsTruncateLikeCasts)
{
    const char *text = "0x1122334455667788";
    const char *cursor = text;
    long long wide = 0;
    EXPECT_EQ(tarvik_scan_atollx(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, &wide, 0),
              18u);
    EXPECT_EQ(wide, 0x1122334455667788LL);
    cursor = text;
    long narrow = 0;
    tarvik_scan_atolx(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, &narrow, 0);
    EXPECT_EQ(narrow, static_cast<long>(0x1122334455667788LL));
    cursor = text;
    int small = 0;
    tarvik_scan_atox(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, &small, 0);
    EXPECT_EQ(small, 0x55667788);
    cursor = text;
    EXPECT_EQ(
        tarvik_scan_atox_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, 4, &small, 0),
        4u);
    EXPECT_EQ(small, 0x11);
    cursor = text;
    EXPECT_EQ(
        tarvik_scan_atolx_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, 6, &narrow, 0),
        6u);
    EXPECT_EQ(narrow, 0x1122);
    cursor = text;
    EXPECT_EQ(
        tarvik_scan_atollx_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, 3, &wide, 0),
        3u);
    EXPECT_EQ(wide, 1);
    // A null result only scans.
    cursor = "77 x";
    EXPECT_EQ(tarvik_scan_atox(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, nullptr, 10),
              2u);
    EXPECT_STREQ(cursor, " x");
}

TEST_F(ScanTest, ScannerNullSources)
{
    intmax_t value = 5;
    EXPECT_EQ(tarvik_scan_atointmax(nullptr, tarvik_scan_pop_mem, nullptr, &value, 0), 0u);
    EXPECT_EQ(value, 0);
    EXPECT_EQ(tarvik_scan_skip_space(nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(tarvik_scan_peek_mem(nullptr), 0);
    EXPECT_EQ(tarvik_scan_pop_mem(nullptr), 0);
    const char *null_cursor = nullptr;
    EXPECT_EQ(tarvik_scan_peek_mem(&null_cursor), 0);
    EXPECT_EQ(tarvik_scan_pop_mem(&null_cursor), 0);
    // Reading from an exhausted source is harmless.
    const char *cursor = "";
    EXPECT_EQ(tarvik_scan_atointmax(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, &value, 0),
              0u);
    char output[4] = "xyz";
    EXPECT_EQ(tarvik_scan_until_space_limit(nullptr, nullptr, nullptr, output, 3), 0u);
    EXPECT_STREQ(output, "");
}

TEST_F(ScanTest, SkipAndUntil)
{
    const char *cursor = " \t word next";
    EXPECT_EQ(tarvik_scan_skip_space_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, 1),
              1u);
    EXPECT_EQ(tarvik_scan_skip_space(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor), 2u);
    char word[8];
    EXPECT_EQ(
        tarvik_scan_until_space_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, word, 7),
        4u);
    EXPECT_STREQ(word, "word");
    EXPECT_STREQ(cursor, " next");
    tarvik_scan_skip_space(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor);
    EXPECT_EQ(
        tarvik_scan_until_space_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor, word, 2),
        2u);
    EXPECT_STREQ(word, "ne");
    EXPECT_EQ(tarvik_scan_until_space_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor,
                                            nullptr, 100),
              2u);
    EXPECT_STREQ(cursor, "");

    uint8_t table[256] = {};
    table[static_cast<unsigned char>(':')] = 1;
    table[static_cast<unsigned char>(';')] = 1;
    cursor = "key:value";
    char key[16];
    EXPECT_EQ(tarvik_scan_until_xtable_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor,
                                             key, 15, table, 1),
              3u);
    EXPECT_STREQ(key, "key");
    EXPECT_STREQ(cursor, ":value");
    // The table value to stop at is the caller's: here every unmarked character stops.
    EXPECT_EQ(tarvik_scan_until_xtable_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor,
                                             key, 15, table, 0),
              1u);
    EXPECT_STREQ(key, ":");
    cursor = "a\xE9:";
    EXPECT_EQ(tarvik_scan_until_xtable_limit(tarvik_scan_peek_mem, tarvik_scan_pop_mem, &cursor,
                                             key, 15, table, 1),
              2u);
    EXPECT_STREQ(key, "a\xE9");
}

TEST_F(ScanTest, FloatingPoint)
{
    const struct {
        const char *m_text;
        double m_value;
    } rows[] = {
        {"0", 0.0},
        {"1.5", 1.5},
        {"-2.25", -2.25},
        {"+.5", 0.5},
        {"  3.", 3.0},
        {"1e3", 1000.0},
        {"1E-3", 0.001},
        {"-1.5e+2", -150.0},
        {"2e", 2.0},
        {"2e+", 2.0},
        {"abc", 0.0},
        {".", 0.0},
        {"0.1", 0.1},
        {"123456.789", 123456.789},
        {"1e400", HUGE_VAL},
        {"1e-400", 0.0},
        {"12345678901234567890123", 12345678901234567890123.0},
        {"0.000000000000000000000000001", 1e-27},
    };
    for (const auto &row : rows) {
        EXPECT_DOUBLE_EQ(tarvik_atof(row.m_text), row.m_value) << row.m_text;
    }
}

TEST_F(ScanTest, IntegerPower)
{
    EXPECT_EQ(tarvik_ipow(10, 0), 1);
    EXPECT_EQ(tarvik_ipow(0, 0), 1);
    EXPECT_EQ(tarvik_ipow(10, 18), 1000000000000000000LL);
    EXPECT_EQ(tarvik_ipow(-2, 3), -8);
    EXPECT_EQ(tarvik_ipow(2, 63), INT64_MIN);
    EXPECT_EQ(tarvik_ipow(2, 64), 0); // wraps
    EXPECT_EQ(tarvik_ipow(3, 5), 243);
}

TEST_F(ScanTest, FixedPoint)
{
    const struct {
        const char *m_text;
        unsigned int m_decimals;
        int64_t m_value;
        size_t m_end;
    } rows[] = {
        {"1.5", 2, 150, 3},   {"1.25", 1, 12, 4},
        {"-0.5", 3, -500, 4}, {"12", 2, 1200, 2},
        {"  7.", 1, 70, 4},   {"+3.14159", 4, 31415, 8},
        {".05", 2, 5, 3},     {"x", 2, 0, 0},
        {"5.5", 0, 5, 3},     {"-12.345x", 6, -12345000, 7},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.m_text);
        char *end = nullptr;
        EXPECT_EQ(tarvik_atofixed(row.m_text, row.m_decimals, &end), row.m_value);
        EXPECT_EQ(static_cast<size_t>(end - row.m_text), row.m_end);
        EXPECT_EQ(tarvik_atofixed(row.m_text, row.m_decimals, nullptr), row.m_value);
    }
}

TEST_F(ScanTest, ScanfMacAddress)
{
    unsigned int mac[6] = {};
    EXPECT_EQ(tarvik_sscanf("00:1a:2B:fe:09:80", "%02x:%02x:%02x:%02x:%02x:%02x", &mac[0], &mac[1],
                            &mac[2], &mac[3], &mac[4], &mac[5]),
              6);
    const unsigned int expected[6] = {0x00, 0x1A, 0x2B, 0xFE, 0x09, 0x80};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(mac[i], expected[i]) << i;
    }
    // The width keeps run-together digits apart.
    EXPECT_EQ(tarvik_sscanf("001a2b", "%02x%02x%02x", &mac[0], &mac[1], &mac[2]), 3);
    EXPECT_EQ(mac[1], 0x1Au);
    // A short address assigns what it can.
    mac[2] = 77;
    EXPECT_EQ(tarvik_sscanf("00:1a", "%02x:%02x:%02x", &mac[0], &mac[1], &mac[2]), 2);
    EXPECT_EQ(mac[2], 77u);
    EXPECT_EQ(tarvik_sscanf("00-1a", "%02x:%02x", &mac[0], &mac[1]), 1);
}

TEST_F(ScanTest, ScanfIntegers)
{
    int d = 0;
    long ld = 0;
    long long lld = 0;
    unsigned int u = 0;
    unsigned long lu = 0;
    unsigned long long llu = 0;
    int i = 0;
    EXPECT_EQ(tarvik_sscanf("-5 -6 -7 8 9 10 0x11", "%d %ld %lld %u %lu %llu %i", &d, &ld, &lld, &u,
                            &lu, &llu, &i),
              7);
    EXPECT_EQ(d, -5);
    EXPECT_EQ(ld, -6L);
    EXPECT_EQ(lld, -7LL);
    EXPECT_EQ(u, 8u);
    EXPECT_EQ(lu, 9ul);
    EXPECT_EQ(llu, 10ull);
    EXPECT_EQ(i, 17);

    EXPECT_EQ(tarvik_sscanf("18446744073709551615", "%llu", &llu), 1);
    EXPECT_EQ(llu, ULLONG_MAX);
    EXPECT_EQ(tarvik_sscanf("-1", "%u", &u), 1);
    EXPECT_EQ(u, UINT_MAX);
    EXPECT_EQ(tarvik_sscanf("12345", "%3d%d", &d, &i), 2);
    EXPECT_EQ(d, 123);
    EXPECT_EQ(i, 45);
    EXPECT_EQ(tarvik_sscanf("0x1f", "%x", &u), 1);
    EXPECT_EQ(u, 0u); // "%x" reads hexadecimal digits only
    EXPECT_EQ(tarvik_sscanf("1f", "%X", &u), 1);
    EXPECT_EQ(u, 0x1Fu);
    EXPECT_EQ(tarvik_sscanf("017", "%o", &u), 1);
    EXPECT_EQ(u, 15u);

    short h = 0;
    signed char hh = 0;
    size_t z = 0;
    intmax_t j = 0;
    EXPECT_EQ(tarvik_sscanf("70000 300 42 -9", "%hd %hhd %zu %jd", &h, &hh, &z, &j), 4);
    EXPECT_EQ(h, static_cast<short>(70000));
    EXPECT_EQ(hh, static_cast<signed char>(300));
    EXPECT_EQ(z, 42u);
    EXPECT_EQ(j, -9);
}

TEST_F(ScanTest, ScanfStringsAndCharacters)
{
    char word[16] = {};
    char second[16] = {};
    EXPECT_EQ(tarvik_sscanf("  eth0:  up", "%s %s", word, second), 2);
    EXPECT_STREQ(word, "eth0:");
    EXPECT_STREQ(second, "up");
    EXPECT_EQ(tarvik_sscanf("abcdefgh", "%3s%s", word, second), 2);
    EXPECT_STREQ(word, "abc");
    EXPECT_STREQ(second, "defgh");

    char c[4] = {};
    EXPECT_EQ(tarvik_sscanf(" xy", "%c%c", &c[0], &c[1]), 2);
    EXPECT_EQ(c[0], ' '); // "%c" does not skip white space
    EXPECT_EQ(c[1], 'x');
    EXPECT_EQ(tarvik_sscanf("abc", "%3c", c), 1);
    EXPECT_EQ(std::string(c, 3), "abc");
    EXPECT_EQ(tarvik_sscanf("ab", "%3c", c), 0);
}

TEST_F(ScanTest, ScanfSuppressionLiteralsAndCounts)
{
    int a = 0;
    int b = 0;
    char name[16] = {};
    // A /proc/stat style line: skip the label, keep two fields.
    EXPECT_EQ(tarvik_sscanf("cpu0 100 200 300", "%*s %*d %d %d", &a, &b), 2);
    EXPECT_EQ(a, 200);
    EXPECT_EQ(b, 300);
    EXPECT_EQ(tarvik_sscanf("50%", "%d%%", &a), 1);
    EXPECT_EQ(tarvik_sscanf("Pid:\t1234\n", "Pid: %d", &a), 1);
    EXPECT_EQ(a, 1234);
    EXPECT_EQ(tarvik_sscanf("VmRSS:  12 kB", "%15s %d kB", name, &a), 2);
    EXPECT_STREQ(name, "VmRSS:");
    EXPECT_EQ(a, 12);

    int consumed = 0;
    EXPECT_EQ(tarvik_sscanf("12 abc", "%d %n", &a, &consumed), 1);
    EXPECT_EQ(consumed, 3);
}

TEST_F(ScanTest, ScanfFailures)
{
    int a = 11;
    int b = 22;
    EXPECT_EQ(tarvik_sscanf("", "%d", &a), -1);
    EXPECT_EQ(tarvik_sscanf("   ", "%d", &a), -1);
    EXPECT_EQ(tarvik_sscanf("", "x%d", &a), -1);
    EXPECT_EQ(tarvik_sscanf("abc", "%d", &a), 0);
    EXPECT_EQ(tarvik_sscanf("-", "%d", &a), 0);
    EXPECT_EQ(tarvik_sscanf("y1", "x%d", &a), 0);
    EXPECT_EQ(a, 11);
    EXPECT_EQ(tarvik_sscanf("5", "%d %d", &a, &b), 1); // ended after the first field
    EXPECT_EQ(a, 5);
    EXPECT_EQ(b, 22);
    EXPECT_EQ(tarvik_sscanf("5 x", "%d %d", &a, &b), 1);
    EXPECT_EQ(tarvik_sscanf("5", "%*d %d", &b), 0);         // a field was converted: not -1
    EXPECT_EQ(tarvik_sscanf("1 2", "%d %y %d", &a, &b), 1); // unknown directive stops
    EXPECT_EQ(tarvik_sscanf("7", "%", &a), 0);
    EXPECT_EQ(tarvik_sscanf("7", "", &a), 0);
    EXPECT_EQ(tarvik_sscanf(nullptr, "%d", &a), -1);
    EXPECT_EQ(tarvik_sscanf("7", nullptr), -1);
}

TEST_F(ScanTest, ContextScanfReadsAStream)
{
    // A source other than memory: a counter of pops over a fixed text.
    struct Stream {
        const char *m_text;
        size_t m_at;
        size_t m_pops;
    } stream{"10.0.0.1 42", 0, 0};
    auto peek = [](void *context) -> int {
        auto *s = static_cast<Stream *>(context);
        return static_cast<unsigned char>(s->m_text[s->m_at]);
    };
    auto pop = [](void *context) -> int {
        auto *s = static_cast<Stream *>(context);
        if (s->m_text[s->m_at] != '\0') {
            ++s->m_at;
        }
        ++s->m_pops;
        return 0;
    };
    unsigned int ip[4] = {};
    int port = 0;
    EXPECT_EQ(tarvik_context_scanf(peek, pop, &stream, "%u.%u.%u.%u %d", &ip[0], &ip[1], &ip[2],
                                   &ip[3], &port),
              5);
    EXPECT_EQ(ip[0], 10u);
    EXPECT_EQ(ip[3], 1u);
    EXPECT_EQ(port, 42);
    EXPECT_EQ(stream.m_pops, 11u); // never pops past the end
    EXPECT_EQ(tarvik_context_scanf(nullptr, pop, &stream, "%d", &port), -1);
}

} // namespace
