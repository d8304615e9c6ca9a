// The built-in bitmap font: 8x16 ASCII from a table, 16x16 Hangul compatibility jamo, and
// syllables composed by OR-ing an initial, a medial and a final piece chosen by class tables.
// The data lives in bitmap_font_tables.cpp (generated); this file only decodes it.
#include "bitmap_font.h"

#include "detail/bitmap_font.hpp"

#include <cstring>

using namespace tarvik::detail;

namespace {

constexpr unsigned HANGUL_FIRST = 0xAC00;
constexpr unsigned HANGUL_COUNT = FONT_INITIALS * FONT_MEDIALS * FONT_FINALS;
constexpr unsigned NARROW_BYTES = 16;
constexpr unsigned WIDE_BYTES = 32;

// ORs a piece of the pool into a 16x16 glyph (two bytes per row).
void or_piece(uint8_t *glyph, unsigned entry)
{
    const uint8_t *at = g_font_pool + (entry & ~FONT_PIECE_NARROW);
    const unsigned first = *at >> 4;
    const unsigned last = first + (*at & 15u);
    ++at;
    const unsigned shift = (entry & FONT_PIECE_NARROW) != 0 ? *at++ : 16;
    for (unsigned row = first; row <= last && row < 16; ++row) {
        unsigned bits;
        if (shift == 16) {
            bits = static_cast<unsigned>(at[0]) << 8 | at[1];
            at += 2;
        } else {
            bits = (static_cast<unsigned>(*at++) << 8) >> shift;
        }
        glyph[2 * row] |= static_cast<uint8_t>(bits >> 8);
        glyph[2 * row + 1] |= static_cast<uint8_t>(bits);
    }
}

void compose_syllable(uint8_t *glyph, unsigned index)
{
    const unsigned initial = index / (FONT_MEDIALS * FONT_FINALS);
    const unsigned medial = index / FONT_FINALS % FONT_MEDIALS;
    const unsigned final = index % FONT_FINALS;
    const unsigned present = final != 0 ? 1 : 0;
    or_piece(glyph,
             g_font_initial_pieces[g_font_initial_class[medial * 2 + present] * FONT_INITIALS +
                                   initial]);
    or_piece(glyph, g_font_medial_pieces[present * FONT_MEDIALS + medial]);
    if (final != 0) {
        or_piece(glyph,
                 g_font_final_pieces[g_font_final_class[medial] * (FONT_FINALS - 1) + final - 1]);
    }
}

// Returns the byte count of the glyph written (16 for 8x16, 32 for 16x16).
unsigned write_glyph(uint8_t *glyph, const uint8_t *ascii_override, unsigned code_point)
{
    memset(glyph, 0, WIDE_BYTES);
    if (code_point < 0x80 && ascii_override != nullptr) {
        memcpy(glyph, ascii_override + code_point * NARROW_BYTES, NARROW_BYTES);
        return NARROW_BYTES;
    }
    if (code_point >= FONT_ASCII_FIRST && code_point <= FONT_ASCII_LAST) {
        memcpy(glyph, g_font_ascii + (code_point - FONT_ASCII_FIRST) * NARROW_BYTES, NARROW_BYTES);
        return NARROW_BYTES;
    }
    if (code_point >= FONT_COMPAT_FIRST && code_point <= FONT_COMPAT_LAST) {
        or_piece(glyph, g_font_compat_pieces[code_point - FONT_COMPAT_FIRST]);
        return WIDE_BYTES;
    }
    if (code_point >= HANGUL_FIRST && code_point - HANGUL_FIRST < HANGUL_COUNT) {
        compose_syllable(glyph, code_point - HANGUL_FIRST);
        return WIDE_BYTES;
    }
    memcpy(glyph, g_font_placeholder, NARROW_BYTES);
    return NARROW_BYTES;
}

} // namespace

TARVIK_API unsigned char *tarvik_get_bitmap_font(int *width_out, int *height_out,
                                                 unsigned char *glyph_buffer,
                                                 const void *font_override, unsigned int code_point)
{
    if (glyph_buffer == nullptr) {
        return nullptr;
    }
    const unsigned bytes =
        write_glyph(glyph_buffer, static_cast<const uint8_t *>(font_override), code_point);
    if (width_out != nullptr) {
        *width_out = bytes == WIDE_BYTES ? 16 : 8;
    }
    if (height_out != nullptr) {
        *height_out = 16;
    }
    return glyph_buffer;
}
