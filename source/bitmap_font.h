/* The built-in bitmap font: 8x16 ASCII glyphs and 16x16 Hangul, syllables composed from jamo. */
#ifndef TARVIK_BITMAP_FONT_H
#define TARVIK_BITMAP_FONT_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Bytes a glyph buffer handed to tarvik_get_bitmap_font must hold (the largest glyph). */
#define TARVIK_BITMAP_FONT_GLYPH_BYTES 32

/* Writes the glyph of code_point into glyph_buffer (at least 32 bytes: rows of width/8 bytes,
 * most significant bit leftmost), stores its width and height (8x16 or 16x16) through the
 * non-null pointers and returns glyph_buffer; font_override, when not null, points to 128
 * glyphs of 16 bytes that replace the built-in ASCII table; code points the font does not cover
 * give the 8x16 placeholder; a null glyph_buffer returns null. */
TARVIK_API unsigned char *tarvik_get_bitmap_font(int *width_out, int *height_out,
                                                 unsigned char *glyph_buffer,
                                                 const void *font_override,
                                                 unsigned int code_point);

TARVIK_END_DECLS

#endif
