// Check-file lines: the GNU text and binary forms, the BSD tag form, escaped names, and the
// lines that are none of these.
#include "tarvik_test.hpp"

#include <string>

namespace {

class DigestCheckTest : public TarvikTest {};

constexpr const char *HASH = "d41d8cd98f00b204e9800998ecf8427e";

struct Split {
    int result;
    std::string hash;
    std::string name;
};

Split split(const std::string &line, const char *tag = "MD5", size_t digits = 32)
{
    char hash[65] = "";
    char *name = nullptr;
    Split out{tarvik_parse_digest_check_line(line.c_str(), tag, digits, hash, &name), hash, ""};
    if (name != nullptr) {
        out.name = name;
        tarvik_free_tag(name, "test", 0);
    }
    return out;
}

TEST_F(DigestCheckTest, AcceptedForms)
{
    const std::string hash = HASH;
    const struct {
        std::string line;
        std::string name;
    } rows[] = {
        {hash + "  file", "file"},
        {hash + " *file", "file"},
        {hash + "  two  spaces ", "two  spaces "},
        {hash + "  *star", "*star"},
        {hash + " **star", "*star"},
        {"MD5 (file) = " + hash, "file"},
        {"MD5 (a) = b) = " + hash, "a) = b"},
        {"MD5 ( ) = " + hash, " "},
        {"\\" + hash + "  new\\nline\\\\back\\rreturn", "new\nline\\back\rreturn"},
        {"\\MD5 (x\\\\y) = " + hash, "x\\y"},
        {hash + "  not\\nescaped", "not\\nescaped"},
        {"D41D8CD98F00B204E9800998ECF8427E  upper", "upper"},
    };
    for (const auto &row : rows) {
        Split result = split(row.line);
        EXPECT_EQ(result.result, 0) << row.line;
        EXPECT_EQ(result.name, row.name) << row.line;
        EXPECT_EQ(result.hash.size(), 32u) << row.line;
    }
    Split sha = split("SHA256 (f) = " + std::string(64, 'a'), "SHA256", 64);
    EXPECT_EQ(sha.result, 0);
    EXPECT_EQ(sha.hash, std::string(64, 'a'));
}

TEST_F(DigestCheckTest, RefusedLines)
{
    const std::string hash = HASH;
    for (const std::string &line :
         {std::string(), hash, hash + " ", hash + "  ", hash + " file", hash + "\tfile",
          hash.substr(1) + "  file", hash + "0  file", "g" + hash.substr(1) + "  file",
          "MD5 (file) = " + hash.substr(1), "MD5 (file) =" + hash, "SHA1 (file) = " + hash,
          "MD5 () = " + hash, "md5 (file) = " + hash, " " + hash + "  file", std::string("\\")}) {
        EXPECT_EQ(split(line).result, -1) << line;
    }
    char out[65];
    char *name = nullptr;
    EXPECT_EQ(tarvik_parse_digest_check_line(nullptr, "MD5", 32, out, &name), -1);
    EXPECT_EQ(tarvik_parse_digest_check_line("x", nullptr, 32, out, &name), -1);
    EXPECT_EQ(name, nullptr);
}

} // namespace
