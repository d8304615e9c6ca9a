// ATA identity texts: kinds from word 0, the three strings trimmed and joined with "_", cut to
// the caller's sizes; the ioctl refuses what is no block device without opening it.
#include "tarvik_test.hpp"

#include "detail/ata.hpp"

#include <cstring>
#include <string>

namespace {

class AtaTest : public TarvikTest {};

struct Texts {
    std::string type, model, serial, firmware;
};

Texts texts_of(uint16_t word0, const char *model, const char *serial, const char *firmware,
               size_t size = 64)
{
    uint8_t block[512] = {};
    memcpy(block, &word0, 2);
    memcpy(block + 54, model, strnlen(model, 40));
    memcpy(block + 20, serial, strnlen(serial, 20));
    memcpy(block + 46, firmware, strnlen(firmware, 8));
    char type[64], m[64], s[64], f[64];
    tarvik::detail::ata_identity_texts(block, type, size, m, size, s, size, f, size);
    return {type, m, s, f};
}

TEST_F(AtaTest, KindComesFromTheHighByteOfTheFirstWord)
{
    const struct {
        uint16_t word;
        const char *kind;
    } rows[] = {
        {0x0040, "disk"},    {0x7f00, "disk"},    {0x8580, "cd"},
        {0x8000, "cd"},      {0x8100, "tape"},    {0x8700, "optical"},
        {0x8300, "generic"}, {0xff00, "generic"}, {0xe500, "cd"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(texts_of(row.word, "", "", "").type, row.kind) << std::hex << row.word;
    }
}

TEST_F(AtaTest, TextsAreTrimmedAndInnerRunsJoined)
{
    Texts texts =
        texts_of(0x0040, "  WDC  WD10EZEX-00WN4A0      \t", "    WD-WCC6Y1234567", "01.01A01");
    EXPECT_EQ(texts.model, "WDC_WD10EZEX-00WN4A0");
    EXPECT_EQ(texts.serial, "WD-WCC6Y1234567");
    EXPECT_EQ(texts.firmware, "01.01A01");
    // Fields run to their full width, with no terminator of their own.
    texts = texts_of(0x0040, "0123456789012345678901234567890123456789", "ABCDEFGHIJKLMNOPQRST",
                     "12345678");
    EXPECT_EQ(texts.model, "0123456789012345678901234567890123456789");
    EXPECT_EQ(texts.serial, "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(texts.firmware, "12345678");
    EXPECT_EQ(texts_of(0x0040, "a\x01\x7f b", "", "").model, "a??_b");
    EXPECT_EQ(texts_of(0x0040, "", "", "").model, "");
}

TEST_F(AtaTest, TextsAreCutToTheCallersSizes)
{
    Texts texts = texts_of(0x8100, "Model Name Here", "SERIAL", "FW", 5);
    EXPECT_EQ(texts.type, "tape");
    EXPECT_EQ(texts.model, "Mode");
    EXPECT_EQ(texts.serial, "SERI");
    uint8_t block[512] = {};
    tarvik::detail::ata_identity_texts(block, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0);
}

TEST_F(AtaTest, OnlyBlockDevicesAreAsked)
{
    char type[16] = "unchanged";
    for (const char *path : {"/nonexistent", "/dev/null", "/etc/passwd", "/"}) {
        EXPECT_EQ(tarvik_get_ata_identity_string(path, type, sizeof(type), nullptr, 0, nullptr, 0,
                                                 nullptr, 0),
                  -1)
            << path;
    }
    EXPECT_EQ(tarvik_get_ata_identity_string(nullptr, type, sizeof(type), nullptr, 0, nullptr, 0,
                                             nullptr, 0),
              -1);
    EXPECT_STREQ(type, "unchanged");
}

} // namespace
