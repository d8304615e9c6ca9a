// MD5, SHA-1 and SHA-256: published vectors, random inputs in random pieces against coreutils,
// the non-destructive MD5 digest, the file and stream feeders and their failures.
#include "tarvik_test.hpp"

#include "peer.hpp"

#include <cstring>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

class DigestTest : public TarvikTest {};

// One algorithm seen through a uniform face, so every check runs over all three.
struct Algorithm {
    const char *m_name;
    const char *m_peer;
    size_t m_size;
    // Digest of data pushed through push_pieces; returns the hex string and raw bytes.
    std::function<std::string(
        const std::function<void(std::function<void(const void *, size_t)>)> &,
        std::vector<uint8_t> *)>
        m_digest;
    std::function<int(const char *path, std::string *hex)> m_push_file;
    std::function<int(const char *path, std::string *hex)> m_simple;
};

template <typename Context, Context *(*Init)(Context *),
          void (*Push)(Context *, const void *, size_t),
          const char *(*Digest)(Context *, uint8_t *), int (*PushFile)(Context *, const char *),
          int (*Simple)(const char *, Context *)>
Algorithm make_algorithm(const char *name, const char *peer, size_t size)
{
    Algorithm algorithm;
    algorithm.m_name = name;
    algorithm.m_peer = peer;
    algorithm.m_size = size;
    algorithm.m_digest = [size](const auto &feed, std::vector<uint8_t> *raw) {
        Context context;
        Init(&context);
        feed([&](const void *data, size_t length) { Push(&context, data, length); });
        std::vector<uint8_t> bytes(size);
        std::string hex = Digest(&context, bytes.data());
        if (raw != nullptr) {
            *raw = bytes;
        }
        return hex;
    };
    algorithm.m_push_file = [](const char *path, std::string *hex) {
        Context context;
        Init(&context);
        const int result = PushFile(&context, path);
        *hex = Digest(&context, nullptr);
        return result;
    };
    algorithm.m_simple = [](const char *path, std::string *hex) {
        Context context;
        memset(&context, 0xA5, sizeof(context)); // the call must initialise it
        const int result = Simple(path, &context);
        *hex = Digest(&context, nullptr);
        return result;
    };
    return algorithm;
}

std::vector<Algorithm> algorithms()
{
    return {
        make_algorithm<tarvik_md5_t, tarvik_init_md5, tarvik_md5_push, tarvik_md5_digest,
                       tarvik_md5_push_file, tarvik_simple_md5>("md5", "md5sum", 16),
        make_algorithm<tarvik_sha1_t, tarvik_init_sha1, tarvik_sha1_push, tarvik_sha1_digest,
                       tarvik_sha1_push_file, tarvik_simple_sha1>("sha1", "sha1sum", 20),
        make_algorithm<tarvik_sha256_t, tarvik_init_sha256, tarvik_sha256_push,
                       tarvik_sha256_digest, tarvik_sha256_push_file, tarvik_simple_sha256>(
            "sha256", "sha256sum", 32),
    };
}

std::string digest_of(const Algorithm &algorithm, const std::string &data)
{
    return algorithm.m_digest([&](auto push) { push(data.data(), data.size()); }, nullptr);
}

std::string upper(std::string text)
{
    for (char &c : text) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

TEST_F(DigestTest, PublishedVectorsInUpperCase)
{
    const std::string million(1000000, 'a');
    const char *two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::map<std::string, std::vector<std::pair<std::string, std::string>>> expected = {
        {"md5",
         {{"", "D41D8CD98F00B204E9800998ECF8427E"},
          {"abc", "900150983CD24FB0D6963F7D28E17F72"},
          {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
          {million, "7707D6AE4E027C70EEA2A935C2296F21"}}},
        {"sha1",
         {{"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709"},
          {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D"},
          {two_blocks, "84983E441C3BD26EBAAE4AA1F95129E5E54670F1"},
          {million, "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F"}}},
        {"sha256",
         {{"", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
          {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
          {two_blocks, "248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1"},
          {million, "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"}}},
    };
    for (const Algorithm &algorithm : algorithms()) {
        for (const auto &vector : expected.at(algorithm.m_name)) {
            // Plain references: clang 14 cannot capture a structured binding in a lambda.
            const auto &text = vector.first;
            const auto &hex = vector.second;
            std::vector<uint8_t> raw;
            const std::string got =
                algorithm.m_digest([&](auto push) { push(text.data(), text.size()); }, &raw);
            EXPECT_EQ(got, hex) << algorithm.m_name << " of " << text.size() << " bytes";
            EXPECT_EQ(to_hex(raw.data(), raw.size(), true), hex) << algorithm.m_name;
        }
    }
}

// Lengths around the padding edges (55/56/63/64 modulo 64) and a few large ones, pushed in
// random pieces, compared with coreutils over the same bytes in files.
TEST_F(DigestTest, RandomPiecesMatchCoreutils)
{
    if (!peer_available("echo | md5sum")) {
        GTEST_SKIP() << "coreutils cannot run here";
    }
    std::mt19937 random(20240514);
    std::vector<size_t> lengths = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 1000};
    for (int n = 0; n < 24; ++n) {
        lengths.push_back(random() % (n < 18 ? 3000 : 300000));
    }
    std::vector<std::string> inputs;
    std::vector<std::unique_ptr<ScratchFile>> files;
    std::string names;
    for (size_t length : lengths) {
        inputs.push_back(random_bytes(random, length));
        files.push_back(std::make_unique<ScratchFile>(inputs.back()));
        names += " " + files.back()->path();
    }
    for (const Algorithm &algorithm : algorithms()) {
        std::istringstream peer(run_peer(std::string(algorithm.m_peer) + names));
        for (size_t n = 0; n < inputs.size(); ++n) {
            std::string expected;
            std::string name;
            peer >> expected >> name;
            const size_t longest = 1 + random() % 200;
            const std::string got = algorithm.m_digest(
                [&](auto push) {
                    push_in_pieces(random, inputs[n], longest,
                                   [&](const char *piece, size_t length) { push(piece, length); });
                },
                nullptr);
            EXPECT_EQ(got, upper(expected)) << algorithm.m_name << " of " << inputs[n].size()
                                            << " bytes, pieces up to " << longest;
        }
    }
}

// An MD5 digest leaves the context as it was: pushing on gives the digest of everything.
TEST_F(DigestTest, Md5DigestIsTakenOnACopy)
{
    std::mt19937 random(7);
    const std::string data = random_bytes(random, 5000);
    tarvik_md5_t context;
    tarvik_init_md5(&context);
    size_t at = 0;
    while (at < data.size()) {
        const size_t length = std::min<size_t>(random() % 150, data.size() - at);
        tarvik_md5_push(&context, data.data() + at, length);
        at += length;
        tarvik_md5_t before;
        memcpy(&before, &context, sizeof(before));
        const std::string intermediate = tarvik_md5_digest(&context, nullptr);
        EXPECT_EQ(memcmp(&before, &context, offsetof(tarvik_md5_t, m_hex)), 0);
        EXPECT_EQ(intermediate, digest_of(algorithms()[0], data.substr(0, at))) << at;
    }
    EXPECT_EQ(context.m_count, data.size());
    EXPECT_EQ(context.m_bits, data.size() * 8u);
}

TEST_F(DigestTest, FileAndStreamFeeders)
{
    std::mt19937 random(99);
    const std::string data = random_bytes(random, 3 * 32768 + 77); // several reads and a tail
    ScratchFile file(data);
    ScratchFile empty;
    for (const Algorithm &algorithm : algorithms()) {
        std::string hex;
        EXPECT_EQ(algorithm.m_push_file(file.c_str(), &hex), 0);
        EXPECT_EQ(hex, digest_of(algorithm, data)) << algorithm.m_name;
        EXPECT_EQ(algorithm.m_simple(file.c_str(), &hex), 0);
        EXPECT_EQ(hex, digest_of(algorithm, data)) << algorithm.m_name;
        EXPECT_EQ(algorithm.m_simple(empty.c_str(), &hex), 0);
        EXPECT_EQ(hex, digest_of(algorithm, "")) << algorithm.m_name;
        // A missing file, and a directory whose reads fail, are not digests of anything.
        EXPECT_EQ(algorithm.m_push_file("/nonexistent/vexa", &hex), -1) << algorithm.m_name;
        EXPECT_EQ(algorithm.m_simple("/nonexistent/vexa", &hex), -1) << algorithm.m_name;
        EXPECT_EQ(algorithm.m_push_file("/tmp", &hex), -1) << algorithm.m_name;
        EXPECT_EQ(algorithm.m_simple("/tmp", &hex), -1) << algorithm.m_name;
    }
}

TEST_F(DigestTest, HeapContextsAndNullArguments)
{
    uint8_t out[32] = {};
    tarvik_md5_t *md5 = tarvik_open_md5();
    ASSERT_NE(md5, nullptr);
    tarvik_md5_push(md5, "abc", 3);
    tarvik_md5_push(md5, nullptr, 5);
    tarvik_md5_push(md5, "xyz", 0);
    EXPECT_EQ(tarvik_close_md5(md5, out), 0);
    EXPECT_EQ(to_hex(out, 16, true), "900150983CD24FB0D6963F7D28E17F72");

    tarvik_sha1_t *sha1 = tarvik_open_sha1();
    ASSERT_NE(sha1, nullptr);
    tarvik_sha1_push(sha1, "abc", 3);
    EXPECT_EQ(tarvik_close_sha1(sha1, out), 0);
    EXPECT_EQ(to_hex(out, 20, true), "A9993E364706816ABA3E25717850C26C9CD0D89D");

    tarvik_sha256_t *sha256 = tarvik_open_sha256();
    ASSERT_NE(sha256, nullptr);
    tarvik_sha256_push(sha256, "abc", 3);
    EXPECT_EQ(tarvik_close_sha256(sha256, nullptr), 0); // out may be null

    EXPECT_EQ(tarvik_close_md5(nullptr, out), 0);
    EXPECT_EQ(tarvik_close_sha1(nullptr, out), 0);
    EXPECT_EQ(tarvik_close_sha256(nullptr, out), 0);
    EXPECT_EQ(tarvik_md5_digest(nullptr, out), nullptr);
    EXPECT_EQ(tarvik_sha1_digest(nullptr, out), nullptr);
    EXPECT_EQ(tarvik_sha256_digest(nullptr, out), nullptr);
    EXPECT_EQ(tarvik_init_md5(nullptr), nullptr);
    EXPECT_EQ(tarvik_md5_push_file(nullptr, "/etc/hostname"), -1);
    EXPECT_EQ(tarvik_simple_sha256("/etc/hostname", nullptr), -1);
    tarvik_sha1_push(nullptr, "abc", 3); // ignored
}

} // namespace
