// Quoted-printable: the encoder's escapes (every byte outside "!".."~" and "=" itself, no soft
// breaks, nothing before the end), the decoder's literal pass-through rules across push
// boundaries, limits, and random data round trips checked by Python's quopri.
#include "tarvik_test.hpp"

#include "peer.hpp"

#include <string>

namespace {

class QuotedPrintableTest : public TarvikTest {};

// Pushes the pieces (then the end), taking the output after every push.
std::string code(bool encode, const std::vector<std::string> &pieces)
{
    tarvik_quoted_printable_t *handle = tarvik_open_quoted_printable();
    EXPECT_NE(handle, nullptr);
    std::string out;
    auto push = [&](const char *data, size_t size) {
        EXPECT_EQ(encode ? tarvik_push_encode_quoted_printable(handle, data, size)
                         : tarvik_push_decode_quoted_printable(handle, data, size),
                  0);
        size_t length = 0;
        char *text = tarvik_get_quoted_printable(handle, &length);
        EXPECT_NE(text, nullptr);
        out.append(text, length);
        tarvik_free_tag(text, "test", 0);
    };
    for (const std::string &piece : pieces) {
        if (!piece.empty()) { // an empty push is the end of input
            push(piece.data(), piece.size());
        }
    }
    push(nullptr, 0);
    tarvik_close_quoted_printable(handle);
    return out;
}

TEST_F(QuotedPrintableTest, EncoderEscapesAndWaitsForTheEnd)
{
    EXPECT_EQ(code(true, {"a b=\n"}), "a=20b=3D=0A");
    EXPECT_EQ(code(true, {std::string("\0\t\r~!\x7f\xff", 7)}), "=00=09=0D~!=7F=FF");
    EXPECT_EQ(code(true, {}), "");
    tarvik_quoted_printable_t *handle = tarvik_open_quoted_printable();
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, "x y", 3), 0);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_output), 0u); // only queued so far
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, nullptr, 0), 0);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_output), 5u);
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, "z", 1), -1); // after the end
    tarvik_close_quoted_printable(handle);
}

TEST_F(QuotedPrintableTest, DecoderRules)
{
    const struct {
        std::vector<std::string> m_pieces;
        std::string m_expected;
    } rows[] = {
        {{"a=20b=3D=0A"}, "a b=\n"},
        {{"=41=42"}, "AB"},
        {{"=4a=4A"}, "=4aJ"},   // lower-case digits are not an escape
        {{"=G1"}, "=G1"},       // "=" and the examined character go through
        {{"=4G"}, "=4G"},       // "=", a digit and the character that is not one
        {{"==41"}, "==41"},     // the second "=" was examined with the first
        {{"=\r\nx"}, "=\r\nx"}, // no soft line breaks
        {{"x="}, "x="},         // a lone "=" at the end stays literal
        {{"x=4"}, "x=4"},
        {{"="}, "="},
        {{"=", "41"}, "A"}, // an escape split across pushes
        {{"=4", "1"}, "A"},
        {{"=", "4", "1="}, "A="},
        {{"a", "", "=", "", "4", "2b"}, "aBb"},
        {{"=4", "g"}, "=4g"},
    };
    for (const auto &row : rows) {
        std::string joined;
        for (const std::string &piece : row.m_pieces) {
            joined += piece + "|";
        }
        EXPECT_EQ(code(false, row.m_pieces), row.m_expected) << joined;
    }
}

TEST_F(QuotedPrintableTest, LimitsRefuseWithoutConsuming)
{
    tarvik_quoted_printable_t *handle = tarvik_open_quoted_printable();
    handle->m_max_input = 4;
    handle->m_max_output = 8;
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, "abc", 3), 0);
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, "de", 2), -1); // 5 queued > 4
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, " ", 1), 0);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_input), 4u);
    handle->m_max_output = 5; // "abc=20" is 6
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, nullptr, 0), -1);
    EXPECT_EQ(handle->m_final, 0);
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_input), 4u);
    handle->m_max_output = 6;
    EXPECT_EQ(tarvik_push_encode_quoted_printable(handle, nullptr, 0), 0);
    size_t size = 0;
    char *text = tarvik_get_quoted_printable(handle, &size);
    EXPECT_EQ(std::string(text, size), "abc=20");
    tarvik_free_tag(text, "test", 0);
    tarvik_close_quoted_printable(handle);

    handle = tarvik_open_quoted_printable();
    handle->m_max_output = 2;
    EXPECT_EQ(tarvik_push_decode_quoted_printable(handle, "abc", 3), -1);
    EXPECT_EQ(tarvik_push_decode_quoted_printable(handle, "a=4", 3), 0); // "=4" held back
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_input), 2u);
    EXPECT_EQ(tarvik_push_decode_quoted_printable(handle, "1b", 2), -1); // "A" + "b" = 3
    EXPECT_EQ(tarvik_get_buffer_size(handle->m_input), 2u);
    EXPECT_EQ(tarvik_push_decode_quoted_printable(handle, "1", 1), 0);
    text = tarvik_get_quoted_printable(handle, &size);
    EXPECT_EQ(std::string(text, size), "aA");
    tarvik_free_tag(text, "test", 0);
    tarvik_close_quoted_printable(handle);
}

TEST_F(QuotedPrintableTest, OneShotAndNullArguments)
{
    size_t size = 0;
    char *text = tarvik_encode_quoted_printable("a=b", 3, &size);
    EXPECT_STREQ(text, "a=3Db");
    EXPECT_EQ(size, 5u);
    tarvik_free_tag(text, "test", 0);
    text = tarvik_decode_quoted_printable("a=3Db=", 6, &size);
    EXPECT_STREQ(text, "a=b=");
    tarvik_free_tag(text, "test", 0);
    EXPECT_EQ(tarvik_push_encode_quoted_printable(nullptr, "a", 1), -1);
    EXPECT_EQ(tarvik_push_decode_quoted_printable(nullptr, "a", 1), -1);
    EXPECT_EQ(tarvik_get_quoted_printable(nullptr, &size), nullptr);
    EXPECT_EQ(tarvik_close_quoted_printable(nullptr), 0);
}

TEST_F(QuotedPrintableTest, RandomRoundTripsInPieces)
{
    std::mt19937 random(2045);
    const bool python = peer_available("/usr/bin/python3 -c 'import quopri; print(1)'");
    for (int n = 0; n < 40; ++n) {
        const std::string data = random_bytes(random, random() % 3000);
        std::vector<std::string> pieces;
        push_in_pieces(random, data, 1 + random() % 50,
                       [&](const char *p, size_t length) { pieces.emplace_back(p, length); });
        const std::string encoded = code(true, pieces);
        for (char c : encoded) {
            ASSERT_TRUE(c >= 0x21 && c <= 0x7E) << static_cast<int>(c);
        }
        pieces.clear();
        push_in_pieces(random, encoded, 1 + random() % 5,
                       [&](const char *p, size_t length) { pieces.emplace_back(p, length); });
        EXPECT_EQ(code(false, pieces), data);
        if (python && n % 8 == 0) {
            ScratchFile file(encoded);
            EXPECT_EQ(run_peer("/usr/bin/python3 -c 'import quopri, sys; "
                               "sys.stdout.buffer.write(quopri.decodestring(open(sys.argv[1], "
                               "\"rb\").read()))' " +
                               file.path()),
                      data);
        }
    }
}

} // namespace
