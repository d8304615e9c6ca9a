// Base64: the examples of the encoder's contract, the decoder's group and garbage rules,
// limits that leave the handle untouched, and random data in random pieces against coreutils
// base64 in both directions, wrapped and not.
#include "tarvik_test.hpp"

#include "peer.hpp"

#include <string>

namespace {

class Base64Test : public TarvikTest {};

struct Options {
    uint32_t m_wrap = 0;
    bool m_extension = false;
    bool m_ignore = false;
    bool m_url_safe = false;
};

// Pushes data in random pieces (longest 0: one piece), then the end, taking the output after
// every push as a caller streaming to a file would.
std::string code(bool encode, const std::string &data, const Options &options,
                 std::mt19937 *random = nullptr, size_t longest = 0)
{
    tarvik_base64_t *handle = tarvik_open_base64();
    EXPECT_NE(handle, nullptr);
    handle->m_wrap = options.m_wrap;
    handle->m_wrap_extension = options.m_extension;
    handle->m_ignore_garbage = options.m_ignore;
    handle->m_url_safe = options.m_url_safe;
    std::string out;
    auto push = [&](const char *piece, size_t length) {
        EXPECT_EQ(encode ? tarvik_push_encode_base64(handle, piece, length)
                         : tarvik_push_decode_base64(handle, piece, length),
                  0);
        size_t size = 0;
        char *text = tarvik_get_base64(handle, &size);
        EXPECT_NE(text, nullptr);
        EXPECT_EQ(strlen(text), encode ? size : strlen(text)); // encoded text holds no NUL
        out.append(text, size);
        tarvik_free_tag(text, "test", 0);
    };
    if (random != nullptr && longest > 0) {
        push_in_pieces(*random, data, longest, [&](const char *p, size_t n) {
            if (n > 0) {
                push(p, n);
            }
        });
    } else if (!data.empty()) {
        push(data.data(), data.size());
    }
    push(nullptr, 0);
    tarvik_close_base64(handle);
    return out;
}

std::string encode(const std::string &data, const Options &options = {})
{
    return code(true, data, options);
}

std::string decode(const std::string &data, const Options &options = {})
{
    return code(false, data, options);
}

TEST_F(Base64Test, EncoderContract)
{
    EXPECT_EQ(encode("abc"), "YWJj");
    Options two_extended;
    two_extended.m_wrap = 2;
    two_extended.m_extension = true;
    EXPECT_EQ(encode("abc", two_extended), "YW\\\nJj\\\n");
    Options four;
    four.m_wrap = 4;
    EXPECT_EQ(encode("abc", four), "YWJj\n"); // a full last line: one break, not two
    EXPECT_EQ(encode("abcd", four), "YWJj\nZA==\n");
    EXPECT_EQ(encode("", four), "\n"); // wrapping always ends with a break
    EXPECT_EQ(encode(""), "");
    EXPECT_EQ(encode("a"), "YQ==");
    EXPECT_EQ(encode("ab"), "YWI=");
    Options url;
    url.m_url_safe = true;
    EXPECT_EQ(encode("\xfb\xff\xbf"), "+/+/");
    EXPECT_EQ(encode("\xfb\xff\xbf", url), "-_-_");
    // Fewer than three bytes wait for more input until the end.
    tarvik_base64_t *handle = tarvik_open_base64();
    EXPECT_EQ(tarvik_push_encode_base64(handle, "ab", 2), 0);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_output), 0u);
    EXPECT_EQ(tarvik_push_encode_base64(handle, "c", 1), 0);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_output), 4u);
    EXPECT_EQ(tarvik_push_encode_base64(handle, nullptr, 0), 0);
    EXPECT_EQ(tarvik_push_encode_base64(handle, "d", 1), -1); // nothing follows the end
    EXPECT_EQ(tarvik_push_encode_base64(handle, nullptr, 0), 0);
    tarvik_close_base64(handle);
}

TEST_F(Base64Test, DecoderContract)
{
    Options ignore;
    ignore.m_ignore = true;
    const struct {
        const char *m_text;
        bool m_ignore;
        std::string m_expected;
    } rows[] = {
        {"YWJj", false, "abc"},
        {"YW\nJj", false, "abc"},
        {"Y\r\nW\rJ\nj\n", false, "abc"},
        {"YW Jj", false, "a"}, // the blank ends decoding after what was collected
        {"YW Jj", true, "abc"},
        {"YW\tJj\x80!", true, "abc"},
        {"YQ==", false, "a"},
        {"YWI=", false, "ab"},
        {"=AAA", false, ""}, // a group led by the pad gives nothing
        {"YQ==YWJj", false, "aabc"},
        {"YWI", false, "ab"}, // an unpadded last group still gives its bytes
        {"Y", false, ""},
        {"-_8=", false, ""}, // the URL-safe characters are not read
        {"+/+/", false, "\xfb\xff\xbf"},
    };
    for (const auto &row : rows) {
        Options options;
        options.m_ignore = row.m_ignore;
        EXPECT_EQ(decode(row.m_text, options), row.m_expected) << row.m_text;
    }
    // Once decoding has ended, later input is ignored.
    tarvik_base64_t *handle = tarvik_open_base64();
    EXPECT_EQ(tarvik_push_decode_base64(handle, "YWJj YWJj", 9), 0);
    EXPECT_EQ(handle->m_final, 1);
    EXPECT_EQ(tarvik_push_decode_base64(handle, "YWJj", 4), 0);
    size_t size = 0;
    char *text = tarvik_get_base64(handle, &size);
    EXPECT_EQ(std::string(text, size), "abc");
    tarvik_free_tag(text, "test", 0);
    tarvik_close_base64(handle);
}

TEST_F(Base64Test, LimitsRefuseWithoutConsuming)
{
    tarvik_base64_t *handle = tarvik_open_base64();
    handle->m_max_output = 12;
    handle->m_wrap = 3;
    EXPECT_EQ(tarvik_push_encode_base64(handle, "ab", 2), 0);   // held back, nothing out
    EXPECT_EQ(tarvik_push_encode_base64(handle, "cdef", 4), 0); // "YWJ\njZG\nVm"
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_output), 10u);
    // "Z\n2hp" would make 15 bytes: refused, and nothing changes.
    const uint32_t column = handle->m_column;
    EXPECT_EQ(column, 2u);
    EXPECT_EQ(tarvik_push_encode_base64(handle, "ghi", 3), -1);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_output), 10u);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_input), 0u);
    EXPECT_EQ(handle->m_column, column);
    size_t size = 0;
    char *text = tarvik_get_base64(handle, &size);
    EXPECT_EQ(std::string(text, size), "YWJ\njZG\nVm");
    tarvik_free_tag(text, "test", 0);
    EXPECT_EQ(tarvik_push_encode_base64(handle, "ghi", 3), 0); // room again
    EXPECT_EQ(tarvik_push_encode_base64(handle, nullptr, 0), 0);
    text = tarvik_get_base64(handle, &size);
    EXPECT_EQ(std::string(text, size), "Z\n2hp\n");
    tarvik_free_tag(text, "test", 0);
    tarvik_close_base64(handle);

    // The input limit bounds what is held back between pushes.
    handle = tarvik_open_base64();
    handle->m_max_input = 1;
    EXPECT_EQ(tarvik_push_encode_base64(handle, "ab", 2), -1);
    EXPECT_EQ(tarvik_push_encode_base64(handle, "a", 1), 0);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_input), 1u);
    tarvik_close_base64(handle);

    handle = tarvik_open_base64();
    handle->m_max_output = 2;
    EXPECT_EQ(tarvik_push_decode_base64(handle, "YWJj", 4), -1); // three bytes out
    EXPECT_EQ(tarvik_push_decode_base64(handle, "YW", 2), 0);    // held back
    EXPECT_EQ(tarvik_push_decode_base64(handle, nullptr, 0), 0); // one byte
    text = tarvik_get_base64(handle, &size);
    EXPECT_EQ(std::string(text, size), "a");
    tarvik_free_tag(text, "test", 0);
    tarvik_close_base64(handle);
}

TEST_F(Base64Test, OneShotAndNullArguments)
{
    size_t size = 99;
    char *text = tarvik_encode_base64("hello", 5, &size);
    EXPECT_STREQ(text, "aGVsbG8=");
    EXPECT_EQ(size, 8u);
    tarvik_free_tag(text, "test", 0);
    text = tarvik_decode_base64("aGVsbG8=", 8, &size);
    EXPECT_STREQ(text, "hello");
    EXPECT_EQ(size, 5u);
    tarvik_free_tag(text, "test", 0);
    text = tarvik_encode_base64(nullptr, 0, &size);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(size, 0u);
    tarvik_free_tag(text, "test", 0);

    EXPECT_EQ(tarvik_push_encode_base64(nullptr, "a", 1), -1);
    EXPECT_EQ(tarvik_push_decode_base64(nullptr, "a", 1), -1);
    EXPECT_EQ(tarvik_get_base64(nullptr, &size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(tarvik_close_base64(nullptr), 0);
    tarvik_base64_t *handle = tarvik_open_base64();
    EXPECT_EQ(tarvik_push_encode_base64(handle, nullptr, 3), -1);
    tarvik_close_base64(handle);
}

// Our encoding equals coreutils' for the same width (coreutils writes nothing for empty
// input, we write the closing break), and each side decodes the other's output.
TEST_F(Base64Test, RandomPiecesMatchCoreutils)
{
    if (!peer_available("echo | base64")) {
        GTEST_SKIP() << "coreutils cannot run here";
    }
    std::mt19937 random(4648);
    const uint32_t widths[] = {0, 1, 4, 5, 74, 76};
    for (int n = 0; n < 36; ++n) {
        const std::string data = random_bytes(random, 1 + random() % (n < 30 ? 2000 : 200000));
        Options options;
        options.m_wrap = widths[n % 6];
        ScratchFile input(data);
        const std::string expected =
            run_peer("base64 -w " + std::to_string(options.m_wrap) + " " + input.path());
        const std::string ours = code(true, data, options, &random, 1 + random() % 100);
        EXPECT_EQ(ours, expected) << data.size() << " bytes, width " << options.m_wrap;
        EXPECT_EQ(code(false, expected, {}, &random, 1 + random() % 100), data);
        ScratchFile encoded(ours);
        EXPECT_EQ(run_peer("base64 -d " + encoded.path()), data);
    }
}

} // namespace
