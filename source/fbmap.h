/* Framebuffer window maps: colour interfaces, a tree of windows over a device's screen memory
 * (the master), translucency (chroma key, window alpha, pixel alpha) and the recomposition of
 * a dirty rectangle of the screen from every visible window. */
#ifndef TARVIK_FBMAP_H
#define TARVIK_FBMAP_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Colour interface codes: one byte per channel, most significant first; high nibble the kind,
 * low nibble the width in bits. The last byte's channel holds the lowest bits of a pixel. */
#define TARVIK_COLOR_INTERFACE_ARGB8888 0x18485868u /* 32 bpp default, blending format */
#define TARVIK_COLOR_INTERFACE_dRGB8888 0x08485868u
#define TARVIK_COLOR_INTERFACE_dRGB0888 0x00485868u /* 24 bpp default */
#define TARVIK_COLOR_INTERFACE_dRGB0565 0x00455665u /* 16 bpp default */
#define TARVIK_COLOR_INTERFACE_dRGB0233 0x00425363u
#define TARVIK_COLOR_INTERFACE_ABGR8888 0x18685848u
#define TARVIK_COLOR_INTERFACE_dBGR8888 0x08685848u
#define TARVIK_COLOR_INTERFACE_dBGR0888 0x00685848u
#define TARVIK_COLOR_INTERFACE_dddp0008 0x000000F8u /* 8 bpp default (palette) */
#define TARVIK_COLOR_INTERFACE_PPPP1111 0x21212121u /* 4 bpp default */
#define TARVIK_COLOR_INTERFACE_ddPP0011 0x00002121u /* 2 bpp default */
#define TARVIK_COLOR_INTERFACE_dddg0001 0x00000031u /* 1 bpp default */

/* Channel kinds (high nibble of a channel byte). */
#define TARVIK_COLOR_KIND_NONE 0x0u
#define TARVIK_COLOR_KIND_ALPHA 0x1u
#define TARVIK_COLOR_KIND_PALETTE_INDEX 0x2u
#define TARVIK_COLOR_KIND_GREY 0x3u
#define TARVIK_COLOR_KIND_RED 0x4u
#define TARVIK_COLOR_KIND_GREEN 0x5u
#define TARVIK_COLOR_KIND_BLUE 0x6u
#define TARVIK_COLOR_KIND_Y 0x7u
#define TARVIK_COLOR_KIND_U 0x8u
#define TARVIK_COLOR_KIND_V 0x9u
#define TARVIK_COLOR_KIND_PALETTE 0xFu

/* Map flags. */
#define TARVIK_FBMAP_FLAG_ALLOCATED 0x1u       /* record from tarvik_new_fbmap(_v) */
#define TARVIK_FBMAP_FLAG_KEEP_SHOWN 0x2u      /* destruction does not hide the window */
#define TARVIK_FBMAP_FLAG_OWN_MAP 0x10u        /* the map owns its pixel buffer */
#define TARVIK_FBMAP_FLAG_MASTER_LINUXFB 0x20u /* master over a device's screen memory */
#define TARVIK_FBMAP_FLAG_MASTER_OTHER 0x40u   /* master over another kind of device */
#define TARVIK_FBMAP_FLAG_MASTER 0x60u
#define TARVIK_FBMAP_FLAG_INITIALISED 0x80u
#define TARVIK_FBMAP_FLAG_HIDDEN 0x100u
#define TARVIK_FBMAP_FLAG_BOTTOM 0x200u /* placed last among its siblings */
#define TARVIK_FBMAP_FLAG_SIBLING                                                                  \
    0x400u /* sibling of the given parent: above it (below with BOTTOM) */
#define TARVIK_FBMAP_FLAG_BRUSH_FCOLOR 0x1000u
#define TARVIK_FBMAP_FLAG_BRUSH_BCOLOR 0x2000u
#define TARVIK_FBMAP_FLAG_BRUSH_OCOLOR 0x4000u
#define TARVIK_FBMAP_FLAG_CCOLOR 0x8000u             /* chroma key on */
#define TARVIK_FBMAP_FLAG_ALPHA_WINDOW 0x10000u      /* window alpha on */
#define TARVIK_FBMAP_FLAG_ALPHA_PIXEL 0x20000u       /* per-pixel alpha on */
#define TARVIK_FBMAP_FLAG_NO_ALPHA_TRANSFER 0x40000u /* blended pixels get alpha 255 */
#define TARVIK_FBMAP_FLAG_TRANSLUCENT 0x38000u
#define TARVIK_FBMAP_FLAG_DEBUG 0x80000000u

/* A rectangle in pixels. */
typedef struct tarvik_fbmap_rect_s {
    int32_t m_x;
    int32_t m_y;
    int32_t m_width;
    int32_t m_height;
} tarvik_fbmap_rect_t;

typedef struct tarvik_fbmap_s tarvik_fbmap_t;

/* Pushes the master's dirty rectangle to the device; 0 or -1. */
typedef int (*tarvik_fbmap_transfer_t)(tarvik_fbmap_t *master);
/* Copies a width x height box from (from_x, from_y) of from to (to_x, to_y) of to, clipped
 * to both maps, with the translucency of the flags (TARVIK_FBMAP_FLAG_CCOLOR, ALPHA_WINDOW,
 * ALPHA_PIXEL, NO_ALPHA_TRANSFER) taken from from's ccolor and alpha; 0, or -1 when nothing
 * of the box lies in both maps. */
typedef int (*tarvik_fbmap_copy_box_t)(tarvik_fbmap_t *to, int32_t to_x, int32_t to_y,
                                       const tarvik_fbmap_t *from, int32_t from_x, int32_t from_y,
                                       int32_t width, int32_t height, uint32_t flags);
/* Raw pixel value at (x, y), which the caller has checked lies in the map. */
typedef uint32_t (*tarvik_fbmap_get_pixel_t)(const tarvik_fbmap_t *map, int32_t x, int32_t y);
/* Stores the raw pixel value at (x, y), which the caller has checked lies in the map. */
typedef void (*tarvik_fbmap_put_pixel_t)(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t color);

/* A window map. Fields are read through the getters (under the global lock). */
struct tarvik_fbmap_s {
    tarvik_fbmap_t *m_prev; /* siblings */
    tarvik_fbmap_t *m_next;
    tarvik_fbmap_t *m_parent;   /* null for a master */
    tarvik_fbmap_t *m_children; /* first child = top-most */
    uint32_t m_flags;
    int32_t m_id; /* -1 after destruction */
    char *m_name;
    uint32_t m_map_size; /* line_length x resy */
    void *m_map;         /* own buffer, or the device's screen memory */
    uint32_t m_color_interface;
    uint32_t m_resx;
    uint32_t m_resy;
    uint32_t m_line_length;
    uint32_t m_bits_per_pixel;
    int32_t m_x; /* position in the parent */
    int32_t m_y;
    void *m_composite_map; /* master only: scratch of blended pieces */
    void *m_device;        /* the device's context record, inherited by children */
    uint32_t m_ccolor;     /* chroma key (raw pixel value) */
    uint32_t m_alpha;      /* window alpha 0..255 */
    /* brush */
    uint32_t m_fcolor;
    uint32_t m_bcolor;
    uint32_t m_ocolor;
    int32_t m_x_scale_num;
    int32_t m_x_scale_den;
    int32_t m_y_scale_num;
    int32_t m_y_scale_den;
    int32_t m_x_interval;
    int32_t m_y_interval;
    int32_t m_angle;
    int32_t m_origin_x;
    int32_t m_origin_y;
    int32_t m_cursor_x;
    int32_t m_cursor_y;
    tarvik_fbmap_rect_t m_dirty; /* local; for a master the area to transfer */
    tarvik_fbmap_transfer_t m_transfer;
    /* per-depth hooks, chosen by bits per pixel on first use */
    tarvik_fbmap_copy_box_t m_copy_box;
    tarvik_fbmap_get_pixel_t m_get_pixel;
    tarvik_fbmap_put_pixel_t m_put_pixel;
    void *m_draw_hooks; /* the drawing module's per-depth table, null until first use */
};

/* Initialises the caller's record; the record, or null (name or buffer allocation failed). */
TARVIK_API tarvik_fbmap_t *tarvik_init_fbmap(tarvik_fbmap_t *map, tarvik_fbmap_t *parent,
                                             uint32_t flags, uint32_t color_interface, int32_t x,
                                             int32_t y, uint32_t resx, uint32_t resy, int32_t id,
                                             const char *name_format, ...) TARVIK_PRINTF(10, 11);
/* As tarvik_init_fbmap with a va_list; the record, or null. */
TARVIK_API tarvik_fbmap_t *tarvik_init_fbmap_v(tarvik_fbmap_t *map, tarvik_fbmap_t *parent,
                                               uint32_t flags, uint32_t color_interface, int32_t x,
                                               int32_t y, uint32_t resx, uint32_t resy, int32_t id,
                                               const char *name_format, va_list arguments);
/* Allocates and initialises a map (freed by tarvik_free_fbmap); null on failure. */
TARVIK_API tarvik_fbmap_t *tarvik_new_fbmap(tarvik_fbmap_t *parent, uint32_t flags,
                                            uint32_t color_interface, int32_t x, int32_t y,
                                            uint32_t resx, uint32_t resy, int32_t id,
                                            const char *name_format, ...) TARVIK_PRINTF(9, 10);
/* As tarvik_new_fbmap with a va_list; null on failure. */
TARVIK_API tarvik_fbmap_t *tarvik_new_fbmap_v(tarvik_fbmap_t *parent, uint32_t flags,
                                              uint32_t color_interface, int32_t x, int32_t y,
                                              uint32_t resx, uint32_t resy, int32_t id,
                                              const char *name_format, va_list arguments);
/* Destroys the map and its children (hidden first unless KEEP_SHOWN); 0, or -1 for null. */
TARVIK_API int tarvik_destroy_fbmap(tarvik_fbmap_t *map);
/* Destroys the map and frees an allocated record; 0, or -1 for null. */
TARVIK_API int tarvik_free_fbmap(tarvik_fbmap_t *map);

/* Getters (under the global lock): 0 (or null) for a null map. */
TARVIK_API int32_t tarvik_fbmap_get_x(tarvik_fbmap_t *map);
TARVIK_API int32_t tarvik_fbmap_get_y(tarvik_fbmap_t *map);
TARVIK_API uint32_t tarvik_fbmap_get_resx(tarvik_fbmap_t *map);
TARVIK_API uint32_t tarvik_fbmap_get_resy(tarvik_fbmap_t *map);
TARVIK_API uint32_t tarvik_fbmap_get_line_length(tarvik_fbmap_t *map);
TARVIK_API uint32_t tarvik_fbmap_get_bits_per_pixel(tarvik_fbmap_t *map);
TARVIK_API uint32_t tarvik_fbmap_get_color_interface(tarvik_fbmap_t *map);
TARVIK_API uint32_t tarvik_fbmap_get_map_size(tarvik_fbmap_t *map);
/* The pixel buffer (owned by the map); null for a null map. */
TARVIK_API void *tarvik_fbmap_get_map(tarvik_fbmap_t *map);
/* 1 when the map is null or not initialised (destroyed), else 0. */
TARVIK_API int tarvik_fbmap_is_closed(tarvik_fbmap_t *map);
/* 1 when the map and every parent are shown, else 0. */
TARVIK_API int tarvik_fbmap_is_visible(tarvik_fbmap_t *map);

/* Translucency: each sets the field or flag and redraws the window; 0, or -1 for null. */
TARVIK_API int tarvik_fbmap_use_ccolor(tarvik_fbmap_t *map, int on);
TARVIK_API int tarvik_fbmap_set_ccolor(tarvik_fbmap_t *map, uint32_t color);
TARVIK_API int tarvik_fbmap_use_alpha_window(tarvik_fbmap_t *map, int on);
TARVIK_API int tarvik_fbmap_set_alpha_window(tarvik_fbmap_t *map, uint32_t alpha);
TARVIK_API int tarvik_fbmap_use_alpha_pixel(tarvik_fbmap_t *map, int on);
TARVIK_API int tarvik_fbmap_use_alpha_transfer(tarvik_fbmap_t *map, int on);

/* Grows the map's dirty rectangle by the box (clipped to the map); 0, or -1 for null. */
TARVIK_API int tarvik_fbmap_add_dirty(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                      int32_t height);
/* Recomposes the window's dirty rectangle on the screen and transfers; 0 or -1. */
TARVIK_API int tarvik_fbmap_update(tarvik_fbmap_t *map);
/* Hides the window and redraws what lies beneath; 0 or -1. */
TARVIK_API int tarvik_fbmap_hide(tarvik_fbmap_t *map);
/* Shows the window and redraws it; 0 or -1. */
TARVIK_API int tarvik_fbmap_show(tarvik_fbmap_t *map);
/* Moves the window within its parent; 0 or -1. */
TARVIK_API int tarvik_fbmap_move(tarvik_fbmap_t *map, int32_t x, int32_t y);
/* Moves and resizes the window (a new zeroed buffer for a new size); 0 or -1. */
TARVIK_API int tarvik_fbmap_resize(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t resx,
                                   uint32_t resy);
/* Pushes the master's dirty rectangle to the device and empties it; 0 or -1. */
TARVIK_API int tarvik_fbmap_transfer(tarvik_fbmap_t *master);
/* First sibling from list onward with this id (and name, when not null); null when none. */
TARVIK_API tarvik_fbmap_t *tarvik_fbmap_search(tarvik_fbmap_t *list, int32_t id, const char *name);

/* Splits piece by window: the overlap goes to overlap and the parts of piece outside window
 * (up to four) to outside; their count, or -1 (nothing written) when they do not overlap. */
TARVIK_API int tarvik_sep_overlap_window(tarvik_fbmap_rect_t *overlap, tarvik_fbmap_rect_t *outside,
                                         const tarvik_fbmap_rect_t *piece,
                                         const tarvik_fbmap_rect_t *window);

/* Bits per pixel of a colour interface (sum of its widths). */
TARVIK_API uint32_t tarvik_color_interface_to_bits_per_pixel(uint32_t color_interface);
/* The default interface for 32, 24, 16, 8, 4, 2 or 1 bits per pixel, else 0. */
TARVIK_API uint32_t tarvik_bits_per_pixel_to_color_interface(uint32_t bits_per_pixel);
/* Writes the 8-character name and terminator into buffer (9 bytes); buffer, or null for null. */
TARVIK_API char *tarvik_color_interface_name(char *buffer, uint32_t color_interface);
/* The colour value converted from one interface to another. */
TARVIK_API uint32_t tarvik_convert_color(uint32_t to_interface, uint32_t from_interface,
                                         uint32_t value);
/* The value converted from from_interface to the map's interface; 0 for a null map. */
TARVIK_API uint32_t tarvik_fbmap_convert_color(tarvik_fbmap_t *map, uint32_t from_interface,
                                               uint32_t value);
/* Entry index of the built-in 256-colour palette as ARGB8888 (alpha 0xFF). */
TARVIK_API uint32_t tarvik_fbmap_palette_color(uint32_t index);

TARVIK_END_DECLS

#endif
