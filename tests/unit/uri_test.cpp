// Locator splitting, option lists and percent coding, as rows of input and expected parts.
#include "tarvik_test.hpp"

#include <random>
#include <string>

namespace {

class UriTest : public TarvikTest {};

// Expected parts; nullptr means the part must be absent.
struct UriRow {
    const char *m_text;
    const char *m_protocol;
    const char *m_type;
    const char *m_sub_type;
    const char *m_username;
    const char *m_password;
    const char *m_host;
    const char *m_port_string;
    int m_port;
    const char *m_path;
    const char *m_only_path;
    const char *m_decoded_path;
    const char *m_alt_path;
    const char *m_option_text;
};

std::string shown(const char *text)
{
    return text != nullptr ? "\"" + std::string(text) + "\"" : "null";
}

#define EXPECT_PART(row, field)                                                                    \
    EXPECT_EQ(shown(uri->field), shown(row.field)) << #field << " of " << row.m_text

TEST_F(UriTest, SplitRows)
{
    const UriRow rows[] = {
        {"svc@passive://user:pw@host:2121/dir/file?x=1&y=2", "svc@passive", "svc", "passive",
         "user", "pw", "host", "2121", 2121, "/dir/file?x=1&y=2", "/dir/file", "/dir/file",
         "user:pw@host:2121/dir/file?x=1&y=2", "x=1&y=2"},
        {"ftp://user:@host/path", "ftp", "ftp", nullptr, "user", "", "host", nullptr, 0, "/path",
         "/path", "/path", "user:@host/path", nullptr},
        {"ftp://anonymous@host", "ftp", "ftp", nullptr, "anonymous", nullptr, "host", nullptr, 0,
         nullptr, nullptr, "/", "anonymous@host", nullptr},
        {"host:1234", nullptr, nullptr, nullptr, nullptr, nullptr, "host", "1234", 1234, nullptr,
         nullptr, "/", "host:1234", nullptr},
        {"rtsp://[2001:db8::1]:554/a?b=c", "rtsp", "rtsp", nullptr, nullptr, nullptr, "2001:db8::1",
         "554", 554, "/a?b=c", "/a", "/a", "[2001:db8::1]:554/a?b=c", "b=c"},
        {"rtsp://[2001:db8::1]/a", "rtsp", "rtsp", nullptr, nullptr, nullptr, "2001:db8::1",
         nullptr, 0, "/a", "/a", "/a", "[2001:db8::1]/a", nullptr},
        // An unbracketed address ending in a decimal group gives that group as the port.
        {"udp://2001:db8::1:554", "udp", "udp", nullptr, nullptr, nullptr, "2001:db8::1", "554",
         554, nullptr, nullptr, "/", "2001:db8::1:554", nullptr},
        {"tcp://::1", "tcp", "tcp", nullptr, nullptr, nullptr, ":", "1", 1, nullptr, nullptr, "/",
         "::1", nullptr},
        {"tcp://[]:80", "tcp", "tcp", nullptr, nullptr, nullptr, "", "80", 80, nullptr, nullptr,
         "/", "[]:80", nullptr},
        // An unterminated literal keeps its bracket; "44.1" is not a decimal port.
        {"ftp://[::44.1", "ftp", "ftp", nullptr, nullptr, nullptr, "[::44.1", nullptr, 0, nullptr,
         nullptr, "/", "[::44.1", nullptr},
        {"//[::44.1", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, "//[::44.1",
         "//[::44.1", "//[::44.1", "//[::44.1", nullptr},
        {"file:///etc/passwd", "file", "file", nullptr, nullptr, nullptr, nullptr, nullptr, 0,
         "/etc/passwd", "/etc/passwd", "/etc/passwd", "/etc/passwd", nullptr},
        // The last "@" ends the user part; the first ":" ends the user name.
        {"ftp://a@b:c:d@h:-5/", "ftp", "ftp", nullptr, "a@b", "c:d", "h", "-5", 0, "/", "/", "/",
         "a@b:c:d@h:-5/", nullptr},
        {"ftp://h:99999999999/", "ftp", "ftp", nullptr, nullptr, nullptr, "h", "99999999999", 0,
         "/", "/", "/", "h:99999999999/", nullptr},
        {"ftp://h/a%20b/c?", "ftp", "ftp", nullptr, nullptr, nullptr, "h", nullptr, 0, "/a%20b/c?",
         "/a%20b/c", "/a b/c", "h/a%20b/c?", ""},
        {"", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr,
         "/", "", nullptr},
        {"://", "", "", nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr, nullptr, "/", "",
         nullptr},
        {"a:b://c", "a:b", "a:b", nullptr, nullptr, nullptr, "c", nullptr, 0, nullptr, nullptr, "/",
         "c", nullptr},
        // A "?" before any "/" belongs to the authority.
        {"http://h?x=1", "http", "http", nullptr, nullptr, nullptr, "h?x=1", nullptr, 0, nullptr,
         nullptr, "/", "h?x=1", nullptr},
    };
    for (const UriRow &row : rows) {
        tarvik_uri_t *uri = tarvik_open_uri(row.m_text);
        ASSERT_NE(uri, nullptr) << row.m_text;
        EXPECT_STREQ(uri->m_uri, row.m_text);
        EXPECT_PART(row, m_protocol);
        EXPECT_PART(row, m_type);
        EXPECT_PART(row, m_sub_type);
        EXPECT_PART(row, m_username);
        EXPECT_PART(row, m_password);
        EXPECT_PART(row, m_host);
        EXPECT_PART(row, m_port_string);
        EXPECT_EQ(uri->m_port, row.m_port) << row.m_text;
        EXPECT_PART(row, m_path);
        EXPECT_PART(row, m_only_path);
        EXPECT_PART(row, m_decoded_path);
        EXPECT_PART(row, m_alt_path);
        EXPECT_PART(row, m_option_text);
        tarvik_close_uri(uri);
    }
    EXPECT_EQ(tarvik_open_uri(nullptr), nullptr);
    EXPECT_EQ(tarvik_close_uri(nullptr), nullptr);
}

TEST_F(UriTest, OptionsOfALocator)
{
    tarvik_uri_t *uri = tarvik_open_uri("ftp://h/f?x=1& Mode=pas%76&flag&=&&y=a=b&z=%41+%42");
    ASSERT_NE(uri, nullptr);
    const char *expected[][3] = {{"x", "1", "1"},     {"Mode", "pas%76", "pasv"},
                                 {"flag", "", ""},    {"", "", ""},
                                 {"y", "a=b", "a=b"}, {"z", "%41+%42", "A+B"}};
    size_t count = 0;
    for (tarvik_uri_option_t *option = uri->m_option; option != nullptr;
         option = option->m_next, ++count) {
        ASSERT_LT(count, 6u);
        EXPECT_STREQ(option->m_name, expected[count][0]);
        EXPECT_STREQ(option->m_value, expected[count][1]);
        EXPECT_STREQ(option->m_decoded_value, expected[count][2]);
    }
    EXPECT_EQ(count, 6u);
    EXPECT_STREQ(tarvik_get_uri_option_value(uri->m_option, "m*"), "pasv"); // case ignored
    EXPECT_STREQ(tarvik_get_uri_option_raw_value(uri->m_option, "q|MODE"), "pas%76");
    EXPECT_STREQ(tarvik_get_uri_option_value(uri->m_option, "flag"), "");
    EXPECT_EQ(tarvik_get_uri_option_value(uri->m_option, "missing"), nullptr);
    EXPECT_EQ(tarvik_search_uri_option_node(uri->m_option, nullptr), nullptr);
    tarvik_close_uri(uri);
}

TEST_F(UriTest, OptionListsAppendAndDecodeWithPlus)
{
    tarvik_uri_option_t *list = tarvik_parse_uri_option(nullptr, "a=1+2", TARVIK_PERCENT_PLUS);
    list = tarvik_parse_uri_option(list, "b%3d=x%2By", TARVIK_PERCENT_PLUS);
    list = tarvik_parse_uri_option(list, nullptr, 0);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->m_next, nullptr);
    EXPECT_EQ(list->m_next->m_next, nullptr);
    EXPECT_STREQ(list->m_decoded_value, "1 2");
    EXPECT_STREQ(list->m_next->m_option, "b%3d=x%2By");
    EXPECT_STREQ(list->m_next->m_decoded_name, "b=");
    // The decoded name is what patterns are matched against.
    EXPECT_STREQ(tarvik_get_uri_option_value(list, "B="), "x+y");

    tarvik_uri_option_t *single = tarvik_new_uri_option("k=v", 0);
    ASSERT_NE(single, nullptr);
    EXPECT_STREQ(single->m_name, "k");
    EXPECT_EQ(tarvik_new_uri_option(nullptr, 0), nullptr);
    tarvik_free_uri_option(single);
    EXPECT_EQ(tarvik_free_uri_option(list), nullptr);
}

struct DecodeRow {
    const char *m_text;
    uint32_t m_flags;
    std::string m_decoded; // every decoded byte, NUL bytes included
};

TEST_F(UriTest, PercentDecodingRows)
{
    const DecodeRow rows[] = {
        {"a%20b", 0, "a b"},
        {"%41%4a%4A", 0, "AJJ"},
        {"%", 0, std::string(1, '\0')},
        {"%4", 0, "\x04"},
        {"%4g", 0, "\x04g"},
        {"%zz", 0, std::string("\0zz", 3)},
        {"a%00b", 0, std::string("a\0b", 3)},
        {"%%41", 0, std::string("\0A", 2)},
        {"%ff%FF", 0, "\xff\xff"},
        {"a+b", 0, "a+b"},
        {"a+b%2B", TARVIK_PERCENT_PLUS, "a b+"},
        {"", 0, ""},
    };
    for (const DecodeRow &row : rows) {
        size_t length = 99;
        char *decoded = tarvik_decode_percent_string_length(row.m_text, row.m_flags, &length);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(std::string(decoded, length), row.m_decoded) << row.m_text;
        EXPECT_EQ(decoded[length], '\0');
        tarvik_free_tag(decoded, "test", 0);
        // The plain forms end at the first decoded NUL.
        char *plain = tarvik_decode_percent_string_ex(row.m_text, row.m_flags);
        ASSERT_NE(plain, nullptr);
        EXPECT_EQ(std::string(plain), row.m_decoded.substr(0, row.m_decoded.find('\0')));
        tarvik_free_tag(plain, "test", 0);
    }
    EXPECT_EQ(tarvik_decode_percent_string(nullptr), nullptr);
    size_t length = 7;
    EXPECT_EQ(tarvik_decode_percent_string_length(nullptr, 0, &length), nullptr);
    EXPECT_EQ(length, 0u);
}

// A decoded NUL would silently name a shorter path ("/etc/passwd%00.txt" as /etc/passwd):
// the record refuses such a path, and an option keeps only its raw form.
TEST_F(UriTest, DecodedNulIsRefusedNotCut)
{
    const char *paths[] = {"file:///etc/passwd%00.txt", "ftp://h/a%", "ftp://h/a%zz", "ftp://h/%0"};
    for (const char *text : paths) {
        tarvik_uri_t *uri = tarvik_open_uri(text);
        ASSERT_NE(uri, nullptr);
        EXPECT_EQ(uri->m_decoded_path, nullptr) << text;
        EXPECT_NE(uri->m_only_path, nullptr);
        tarvik_close_uri(uri);
    }
    tarvik_uri_t *uri = tarvik_open_uri("ftp://h/x?src=%2Fetc%00.cfg&n%00=1");
    ASSERT_NE(uri, nullptr);
    ASSERT_NE(uri->m_option, nullptr);
    EXPECT_EQ(uri->m_option->m_decoded_value, nullptr);
    EXPECT_STREQ(tarvik_get_uri_option_value(uri->m_option, "src"), "%2Fetc%00.cfg");
    EXPECT_STREQ(tarvik_get_uri_option_value(uri->m_option, "n%00"), "1");
    tarvik_close_uri(uri);
}

TEST_F(UriTest, PercentEncodingRows)
{
    struct Row {
        const char *m_text;
        uint32_t m_flags;
        const char *m_keep;
        const char *m_encoded;
    } rows[] = {
        {"a b", TARVIK_PERCENT_PLUS, nullptr, "a+b"},
        {"a b", 0, nullptr, "a%20b"},
        {"AZaz09-._~", 0, nullptr, "AZaz09-._~"},
        {"/dir/f?x=1&y", 0, nullptr, "%2Fdir%2Ff%3Fx%3D1%26y"},
        {"/dir/f?x=1&y", 0, "/?=&", "/dir/f?x=1&y"},
        {"+%\x01\xff", 0, nullptr, "%2B%25%01%FF"},
        {"", 0, nullptr, ""},
    };
    for (const Row &row : rows) {
        char *encoded = tarvik_encode_percent_string_ex(row.m_text, row.m_flags, row.m_keep);
        ASSERT_NE(encoded, nullptr);
        EXPECT_STREQ(encoded, row.m_encoded) << row.m_text;
        tarvik_free_tag(encoded, "test", 0);
    }
    char *plain = tarvik_encode_percent_string("a b");
    EXPECT_STREQ(plain, "a%20b");
    tarvik_free_tag(plain, "test", 0);
    EXPECT_EQ(tarvik_encode_percent_string(nullptr), nullptr);
}

// Encoding then decoding gives back every byte string without NUL, with either flag.
TEST_F(UriTest, EncodeDecodeRoundTrip)
{
    std::mt19937 random(13);
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        for (size_t n = random() % 24; n > 0; --n) {
            text += static_cast<char>(1 + random() % 255);
        }
        uint32_t flags = round % 2 == 0 ? 0 : TARVIK_PERCENT_PLUS;
        char *encoded = tarvik_encode_percent_string_ex(text.c_str(), flags, nullptr);
        ASSERT_NE(encoded, nullptr);
        size_t length = 0;
        char *decoded = tarvik_decode_percent_string_length(encoded, flags, &length);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(std::string(decoded, length), text);
        tarvik_free_tag(decoded, "test", 0);
        tarvik_free_tag(encoded, "test", 0);
    }
}

} // namespace
