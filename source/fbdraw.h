/* Drawing into window maps: the brush, pixel, lines, boxes, circles, flood fill, clear, text
 * from the built-in bitmap font, test patterns, box copies between maps and the fixed-point
 * rotation. Every call takes the global window-map lock, writes only inside the map's own
 * buffer, grows its dirty rectangle and leaves the screen to tarvik_fbmap_update. */
#ifndef TARVIK_FBDRAW_H
#define TARVIK_FBDRAW_H

#include "tarvik_abi.h"
#include "fbmap.h"

TARVIK_BEGIN_DECLS

/* Largest brush scale factor (numerator over denominator) and circle radius drawn. */
#define TARVIK_FBMAP_MAX_BRUSH_SCALE 64
#define TARVIK_FBMAP_MAX_RADIUS 65535

/* Brush colours (values of the map's colour interface); 0, or -1 for a null map. */
TARVIK_API int tarvik_fbmap_set_brush_color(tarvik_fbmap_t *map, uint32_t fcolor, uint32_t bcolor,
                                            uint32_t ocolor);
TARVIK_API int tarvik_fbmap_set_brush_fcolor(tarvik_fbmap_t *map, uint32_t color);
TARVIK_API int tarvik_fbmap_set_brush_bcolor(tarvik_fbmap_t *map, uint32_t color);
TARVIK_API int tarvik_fbmap_set_brush_ocolor(tarvik_fbmap_t *map, uint32_t color);
/* Switches foreground, background and outline on (non-zero) or off; 0, or -1 for null. */
TARVIK_API int tarvik_fbmap_use_brush_color(tarvik_fbmap_t *map, int fcolor_on, int bcolor_on,
                                            int ocolor_on);
TARVIK_API int tarvik_fbmap_use_brush_fcolor(tarvik_fbmap_t *map, int on);
TARVIK_API int tarvik_fbmap_use_brush_bcolor(tarvik_fbmap_t *map, int on);
TARVIK_API int tarvik_fbmap_use_brush_ocolor(tarvik_fbmap_t *map, int on);
/* Glyph scale num/den per axis; -1 for null, a denominator or numerator below 1, or a factor
 * above TARVIK_FBMAP_MAX_BRUSH_SCALE (the brush is then left as it was). */
TARVIK_API int tarvik_fbmap_set_brush_xy_scale(tarvik_fbmap_t *map, int32_t x_num, int32_t x_den,
                                               int32_t y_num, int32_t y_den);
TARVIK_API int tarvik_fbmap_set_brush_x_scale(tarvik_fbmap_t *map, int32_t num, int32_t den);
TARVIK_API int tarvik_fbmap_set_brush_y_scale(tarvik_fbmap_t *map, int32_t num, int32_t den);
/* Extra pixels between characters and between lines; 0, or -1 for null. */
TARVIK_API int tarvik_fbmap_set_brush_xy_interval(tarvik_fbmap_t *map, int32_t x, int32_t y);
TARVIK_API int tarvik_fbmap_set_brush_x_interval(tarvik_fbmap_t *map, int32_t x);
TARVIK_API int tarvik_fbmap_set_brush_y_interval(tarvik_fbmap_t *map, int32_t y);
/* Rotation of glyphs in whole degrees about the text origin; 0, or -1 for null. */
TARVIK_API int tarvik_fbmap_set_brush_angle(tarvik_fbmap_t *map, int32_t angle);
/* Text origin; the cursor goes back to it (the x or y form resets that axis); 0 or -1. */
TARVIK_API int tarvik_fbmap_set_brush_xy(tarvik_fbmap_t *map, int32_t x, int32_t y);
TARVIK_API int tarvik_fbmap_set_brush_x(tarvik_fbmap_t *map, int32_t x);
TARVIK_API int tarvik_fbmap_set_brush_y(tarvik_fbmap_t *map, int32_t y);
/* Moves the text cursor by the deltas; 0, or -1 for null. */
TARVIK_API int tarvik_fbmap_set_brush_xy_delta(tarvik_fbmap_t *map, int32_t dx, int32_t dy);
TARVIK_API int tarvik_fbmap_set_brush_x_delta(tarvik_fbmap_t *map, int32_t dx);
TARVIK_API int tarvik_fbmap_set_brush_y_delta(tarvik_fbmap_t *map, int32_t dy);

/* Primitives: 0, or -1 for a null map, an unsupported depth, non-positive sizes or a shape
 * with nothing inside the map (what lies outside is clipped away). */
TARVIK_API int tarvik_fbmap_draw_pixel(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y);
TARVIK_API int tarvik_fbmap_draw_hline(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                       int32_t length);
TARVIK_API int tarvik_fbmap_draw_vline(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                       int32_t length);
/* Outline when fill is 0, filled otherwise. */
TARVIK_API int tarvik_fbmap_draw_box(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                     int32_t width, int32_t height, int fill);
TARVIK_API int tarvik_fbmap_draw_line(tarvik_fbmap_t *map, uint32_t color, int32_t x1, int32_t y1,
                                      int32_t x2, int32_t y2);
/* Outline when fill is 0, a disc otherwise; radius 0 is the centre pixel, a radius above
 * TARVIK_FBMAP_MAX_RADIUS is refused. */
TARVIK_API int tarvik_fbmap_draw_circle(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                        int32_t radius, int fill);
/* Four-neighbour flood fill from (x, y); -1 outside the map or without memory for its spans. */
TARVIK_API int tarvik_fbmap_draw_fill(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y);
TARVIK_API int tarvik_fbmap_draw_clear(tarvik_fbmap_t *map, uint32_t color);

/* Draws UTF-8 text with the brush at its cursor; the number of characters processed, or -1. */
TARVIK_API int tarvik_fbmap_draw_puts(tarvik_fbmap_t *map, const char *text);
TARVIK_API int tarvik_fbmap_draw_vprintf(tarvik_fbmap_t *map, const char *format,
                                         va_list arguments);
TARVIK_API int tarvik_fbmap_draw_printf(tarvik_fbmap_t *map, const char *format, ...)
    TARVIK_PRINTF(2, 3);

/* Ruler pattern in the box: frame, ticks every interval pixels (0: 10) numbered every ten
 * ticks, and a crosshair at the centre; 0 or -1. */
TARVIK_API int tarvik_fbmap_draw_ruler(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                       int32_t width, int32_t height, int32_t interval);
/* Colour bars (ARGB8888 colours with the alpha byte alpha) in the box; -1 for empty sizes. */
TARVIK_API int tarvik_fbmap_draw_color_bar(tarvik_fbmap_t *map, int extended, uint32_t alpha,
                                           int32_t x, int32_t y, int32_t width, int32_t height);

/* Copies the box (x, y, width, height) of map to (to_x, to_y) of to, colours converted;
 * 0, or -1 when nothing of it lies in both maps. */
TARVIK_API int tarvik_fbmap_get_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                    int32_t height, tarvik_fbmap_t *to, int32_t to_x, int32_t to_y);
/* Copies the box of from at (from_x, from_y) into the box (x, y, width, height) of map. */
TARVIK_API int tarvik_fbmap_set_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                    int32_t height, tarvik_fbmap_t *from, int32_t from_x,
                                    int32_t from_y);
/* Scaled copies (nearest pixel) of the box of map to the box (to_x, to_y, to_width,
 * to_height) of to, and into the box of map from a box of from; 0 or -1. */
TARVIK_API int tarvik_fbmap_get_scale_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                          int32_t height, tarvik_fbmap_t *to, int32_t to_x,
                                          int32_t to_y, int32_t to_width, int32_t to_height);
TARVIK_API int tarvik_fbmap_set_scale_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                          int32_t height, tarvik_fbmap_t *from, int32_t from_x,
                                          int32_t from_y, int32_t from_width, int32_t from_height);
/* The raw pixel value at (x, y) into color_out; 0, or -1 outside the map or for null. */
TARVIK_API int tarvik_fbmap_get_pixel(tarvik_fbmap_t *map, int32_t x, int32_t y,
                                      uint32_t *color_out);

/* Sine and cosine of whole degrees (any value) in 16.16 fixed point. */
TARVIK_API int32_t tarvik_sin_16fp(int32_t angle);
TARVIK_API int32_t tarvik_cos_16fp(int32_t angle);
/* Rotates the point (x, y) about the origin by angle degrees; 0, or -1 for null pointers. */
TARVIK_API int tarvik_rotate(int32_t *x, int32_t *y, int32_t angle);

TARVIK_END_DECLS

#endif
