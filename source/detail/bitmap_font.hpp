// The generated font tables (bitmap_font_tables.cpp, written by scripts/gen-font, whose
// header describes the layout), read by bitmap_font.cpp.
#pragma once

#include <cstdint>

namespace tarvik::detail {

constexpr unsigned FONT_ASCII_FIRST = 0x20;
constexpr unsigned FONT_ASCII_LAST = 0x7E;
constexpr unsigned FONT_COMPAT_FIRST = 0x3131;
constexpr unsigned FONT_COMPAT_LAST = 0x3163;
constexpr unsigned FONT_INITIALS = 19;
constexpr unsigned FONT_MEDIALS = 21;
constexpr unsigned FONT_FINALS = 28; // final 0 is "no final"
// A piece is its offset in the pool, with this bit when it is one byte wide per row.
constexpr unsigned FONT_PIECE_NARROW = 0x8000;

// U+0020..U+007E, 16 bytes each, and the placeholder for everything not covered.
extern const uint8_t g_font_ascii[];
extern const uint8_t g_font_placeholder[16];
// Initial class per (medial * 2 + final present), final class per medial.
extern const uint8_t g_font_initial_class[FONT_MEDIALS * 2];
extern const uint8_t g_font_final_class[FONT_MEDIALS];
// Pieces: compatibility jamo by code point, then the composition pieces by class and jamo.
extern const uint16_t g_font_compat_pieces[FONT_COMPAT_LAST - FONT_COMPAT_FIRST + 1];
extern const uint16_t g_font_initial_pieces[];
extern const uint16_t g_font_medial_pieces[2 * FONT_MEDIALS];
extern const uint16_t g_font_final_pieces[];
extern const uint8_t g_font_pool[];

} // namespace tarvik::detail
