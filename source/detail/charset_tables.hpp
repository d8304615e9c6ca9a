// The generated code page 949 and Shift-JIS tables (charset_tables.cpp, written by
// scripts/gen-charset-tables, whose header describes the layout), read by charset.cpp.
#pragma once

#include <cstdint>

namespace tarvik::detail {

// Per first byte 0x80..0xFF: (offset << 16) | (first second byte << 8) | count, where
// scalars[offset + i] belongs to second byte first + i (0: not mapped).
extern const uint32_t g_cp949_rows[128];
extern const uint16_t g_cp949_scalars[];
extern const uint32_t g_shiftjis_rows[128];
extern const uint16_t g_shiftjis_scalars[];

// Code page 949 Hangul syllables, as offsets from U+AC00 of the n-th member code (rows
// B0..C8) and of the n-th extension code, in groups of HANGUL_GROUP: the group's first
// offset, plus a step per code (a byte for members; for extension codes a nibble, beyond
// the code's place in its group, nibble n % 8 of word n / 8).
constexpr unsigned HANGUL_GROUP = 8;
extern const uint16_t g_cp949_hangul_member_bases[];
extern const uint8_t g_cp949_hangul_member_steps[];
extern const uint16_t g_cp949_hangul_other_bases[];
extern const uint32_t g_cp949_hangul_other_steps[];

} // namespace tarvik::detail
