// Bitmap font: glyphs of chosen code points against GNU Unifont's published bitmaps (ASCII,
// placeholder for everything not covered, compatibility jamo, composed syllables), the
// buffer contract (null buffer, null size pointers, nothing written past 32 bytes), the
// ASCII override, every syllable distinct, and, where the font package is installed, every
// covered glyph against unifont.hex pixel for pixel.
#include "tarvik_test.hpp"

#include "bitmap_font.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

class BitmapFontTest : public TarvikTest {};

const char UNIFONT_HEX[] = "/usr/share/unifont/unifont.hex";
const char PLACEHOLDER[] = "0000007E665A5A7A76767E76767E0000"; // U+FFFD of the font

std::string hex_of(const unsigned char *glyph, int width, int height)
{
    std::string text;
    char digits[3];
    for (int i = 0; i < width / 8 * height; ++i) {
        snprintf(digits, sizeof(digits), "%02X", glyph[i]);
        text += digits;
    }
    return text;
}

unsigned nibble(char digit)
{
    return digit <= '9' ? static_cast<unsigned>(digit - '0')
                        : static_cast<unsigned>(digit - 'A' + 10);
}

std::string glyph_hex(unsigned code_point, int *width, int *height,
                      const void *font_override = nullptr)
{
    unsigned char glyph[TARVIK_BITMAP_FONT_GLYPH_BYTES];
    memset(glyph, 0xA5, sizeof(glyph));
    EXPECT_EQ(tarvik_get_bitmap_font(width, height, glyph, font_override, code_point), glyph);
    return hex_of(glyph, *width, *height);
}

TEST_F(BitmapFontTest, GlyphsMatchTheFont)
{
    struct Row {
        unsigned m_code_point;
        int m_width;
        const char *m_hex; // as unifont.hex has it
    } rows[] = {
        {0x41, 8, "0000000018242442427E424242420000"},
        {0x20, 8, "00000000000000000000000000000000"},
        {0x7E, 8, "00000031494600000000000000000000"},
        // Control codes, DEL, Latin-1 and everything else outside the font: the placeholder.
        {0x00, 8, PLACEHOLDER},
        {0x0A, 8, PLACEHOLDER},
        {0x1F, 8, PLACEHOLDER},
        {0x7F, 8, PLACEHOLDER},
        {0x80, 8, PLACEHOLDER},
        {0xE9, 8, PLACEHOLDER},
        {0xFF, 8, PLACEHOLDER},
        {0x3130, 8, PLACEHOLDER},
        {0x3164, 8, PLACEHOLDER},
        {0xABFF, 8, PLACEHOLDER},
        {0xD7A4, 8, PLACEHOLDER},
        {0x10000, 8, PLACEHOLDER},
        {0xFFFFFFFFu, 8, PLACEHOLDER},
        // Compatibility jamo, first consonant, last consonant, first and last vowel.
        {0x3131, 16, "00000000000020081FFC08080008000800080008000800080008000000000000"},
        {0x314E, 16, "000000000000040003C040083FFC100003C0042008100810042003C000000000"},
        {0x314F, 16, "004000300010001000100012001F001000100010001000100010001000100000"},
        {0x3163, 16, "0040003000100010001000100010001000100010001000100010001000100000"},
        // Composed syllables: first and last, with and without finals, vertical, horizontal
        // and compound vowels, double initials.
        {0xAC00, 16, "00000000001000101F9000900090009E01100110021004101810001000100000"},
        {0xAC01, 16, "000000083E0802080208040E080830080008000007F800080008000800080000"},
        {0xD7A3, 16, "000008087F081C082208220822081C080008000000800FF803E0041003E00000"},
        {0xD55C, 16, "000008087F081C082208220E22081C080008000808000800080008000FF80000"},
        {0xAE00, 16, "000000001FF0001000100010001000007FFC00001FF000101FF010001FF00000"},
        {0xB98E, 16, "00001FF000101FF010001FF0000000007FFC000000001FF0044004401FF00000"},
        {0xC6CC, 16, "000000081F08208840484048404820881F0800087FE8040804F8040804080000"},
        {0xB620, 16, "000000001EF0108010801EF0010001007FFC00001FF01010101010101FF00000"},
        {0xCB10, 16, "0000000800087B8808880888190815082288CC48040804087FE8000800080000"},
    };
    for (const Row &row : rows) {
        int width = -1;
        int height = -1;
        EXPECT_EQ(glyph_hex(row.m_code_point, &width, &height), row.m_hex)
            << std::hex << row.m_code_point;
        EXPECT_EQ(width, row.m_width) << std::hex << row.m_code_point;
        EXPECT_EQ(height, 16) << std::hex << row.m_code_point;
    }
}

TEST_F(BitmapFontTest, BufferContract)
{
    int width = -1;
    int height = -1;
    EXPECT_EQ(tarvik_get_bitmap_font(&width, &height, nullptr, nullptr, 'A'), nullptr);
    EXPECT_EQ(width, -1);
    EXPECT_EQ(height, -1);

    // Null size pointers are allowed; nothing is written beyond the 32 bytes of the glyph.
    for (unsigned code_point : {0x41u, 0x3131u, 0xAC00u, 0xD7A3u, 0xFFFDu}) {
        unsigned char buffer[TARVIK_BITMAP_FONT_GLYPH_BYTES + 8];
        memset(buffer, 0xA5, sizeof(buffer));
        EXPECT_EQ(tarvik_get_bitmap_font(nullptr, nullptr, buffer, nullptr, code_point), buffer);
        for (size_t i = TARVIK_BITMAP_FONT_GLYPH_BYTES; i < sizeof(buffer); ++i) {
            EXPECT_EQ(buffer[i], 0xA5) << std::hex << code_point << " byte " << i;
        }
    }
}

TEST_F(BitmapFontTest, OverrideReplacesAsciiOnly)
{
    std::vector<unsigned char> table(128 * 16);
    for (size_t i = 0; i < table.size(); ++i) {
        table[i] = static_cast<unsigned char>(i * 7 + 3);
    }
    for (unsigned code_point : {0x00u, 0x0Au, 0x41u, 0x7Fu}) {
        int width = 0;
        int height = 0;
        std::string expected = hex_of(&table[code_point * 16], 8, 16);
        EXPECT_EQ(glyph_hex(code_point, &width, &height, table.data()), expected);
        EXPECT_EQ(width, 8);
    }
    // Outside ASCII the built-in font answers as without an override.
    for (unsigned code_point : {0x80u, 0x3131u, 0xAC00u, 0xD7A4u}) {
        int width = 0;
        int height = 0;
        int plain_width = 0;
        int plain_height = 0;
        EXPECT_EQ(glyph_hex(code_point, &width, &height, table.data()),
                  glyph_hex(code_point, &plain_width, &plain_height));
        EXPECT_EQ(width, plain_width);
    }
}

TEST_F(BitmapFontTest, EverySyllableIsDistinct)
{
    // A wrong class or piece index would give two syllables the same glyph (or an empty one).
    std::set<std::string> seen;
    for (unsigned code_point = 0xAC00; code_point <= 0xD7A3; ++code_point) {
        int width = 0;
        int height = 0;
        std::string hex = glyph_hex(code_point, &width, &height);
        ASSERT_EQ(width, 16);
        EXPECT_NE(hex, std::string(64, '0')) << std::hex << code_point;
        EXPECT_TRUE(seen.insert(hex).second) << std::hex << code_point;
    }
}

TEST_F(BitmapFontTest, AgreesWithUnifontPixelForPixel)
{
    FILE *file = fopen(UNIFONT_HEX, "r");
    if (file == nullptr) {
        GTEST_SKIP() << UNIFONT_HEX << " not installed (package unifont)";
    }
    char line[160];
    unsigned compared = 0;
    unsigned differing_pixels = 0;
    while (fgets(line, sizeof(line), file) != nullptr) {
        unsigned code_point = 0;
        char digits[100] = {};
        if (sscanf(line, "%x:%99[0-9A-F]", &code_point, digits) != 2) {
            continue;
        }
        const bool covered = (code_point >= 0x20 && code_point <= 0x7E) ||
                             (code_point >= 0x3131 && code_point <= 0x3163) ||
                             (code_point >= 0xAC00 && code_point <= 0xD7A3);
        if (!covered) {
            continue;
        }
        int width = 0;
        int height = 0;
        std::string ours = glyph_hex(code_point, &width, &height);
        std::string theirs = digits;
        ASSERT_EQ(ours.size(), theirs.size()) << std::hex << code_point;
        for (size_t i = 0; i < ours.size(); ++i) {
            differing_pixels += __builtin_popcount(nibble(ours[i]) ^ nibble(theirs[i]));
        }
        EXPECT_EQ(ours, theirs) << std::hex << code_point;
        ++compared;
    }
    fclose(file);
    EXPECT_EQ(compared, 95u + 51u + 11172u);
    EXPECT_EQ(differing_pixels, 0u);
}

} // namespace
