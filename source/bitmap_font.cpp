// The built-in bitmap font. Placeholder until the generated tables land: every code point
// gives the same 8x16 box glyph.
#include "bitmap_font.h"

#include <cstring>

TARVIK_API unsigned char *tarvik_get_bitmap_font(int *width_out, int *height_out,
                                                 unsigned char *glyph_buffer,
                                                 const void *font_override, unsigned int code_point)
{
    (void)font_override;
    (void)code_point;
    if (glyph_buffer == nullptr) {
        return nullptr;
    }
    memset(glyph_buffer, 0, TARVIK_BITMAP_FONT_GLYPH_BYTES);
    for (int row = 2; row < 14; ++row) {
        glyph_buffer[row] = (row == 2 || row == 13) ? 0x7E : 0x42;
    }
    if (width_out != nullptr) {
        *width_out = 8;
    }
    if (height_out != nullptr) {
        *height_out = 16;
    }
    return glyph_buffer;
}
