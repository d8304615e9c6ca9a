// C++-only parts of the window maps shared with the drawing module and the framebuffer
// context: the global window-map lock, the dirty rectangle, per-depth pixel access and box
// copies, and the master map over a device's screen memory.
#pragma once

#include "../fbmap.h"

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

// The one recursive lock of every window-map operation of the process (waited for without
// time limit; nested use by the holder is allowed).
void lock_fbmaps();
void unlock_fbmaps();

class FbmapLock {
  public:
    FbmapLock() { lock_fbmaps(); }
    ~FbmapLock() { unlock_fbmaps(); }
    FbmapLock(const FbmapLock &) = delete;
    FbmapLock &operator=(const FbmapLock &) = delete;
};

// Reports "s_fbmap is null !" for a null map; true when the map is usable.
bool fbmap_ok(const tarvik_fbmap_t *map);

// Chooses the per-depth hooks (8, 16, 24 and 32 bits per pixel) on first use; false after
// reporting "not supported" for any other depth or a map without pixels.
bool fbmap_hooks(tarvik_fbmap_t *map);

// Clips the box to 0..limit_x, 0..limit_y; false when nothing is left (negative sizes and
// sums beyond 32 bits included).
bool clip_box(int32_t *x, int32_t *y, int32_t *width, int32_t *height, uint32_t limit_x,
              uint32_t limit_y);

// Grows the map's dirty rectangle to include the box, clipped to the map; a hidden window's
// rectangle is left as it is.
void grow_dirty(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width, int32_t height);

// Pixel access through the hooks; the caller has chosen them and checked the coordinates.
inline uint32_t get_pixel(const tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    return map->m_get_pixel(map, x, y);
}
inline void put_pixel(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t color)
{
    map->m_put_pixel(map, x, y, color);
}

// Copies a box between maps through the destination's hook (clipped to both maps, colours
// converted, translucency of flags applied); 0, or -1 when nothing was copied.
int copy_box(tarvik_fbmap_t *to, int32_t to_x, int32_t to_y, const tarvik_fbmap_t *from,
             int32_t from_x, int32_t from_y, int32_t width, int32_t height, uint32_t flags);

// True when line_length x resy fits in 32 bits (and so does the buffer's size).
bool area_fits(uint32_t line_length, uint32_t resy);

// Geometry of a device's screen for its master map.
struct FbmapScreen {
    void *m_device; // the context record
    void *m_map;    // mapped screen memory
    uint32_t m_map_size;
    uint32_t m_line_length;
    uint32_t m_resx;
    uint32_t m_resy;
    uint32_t m_bits_per_pixel;
    uint32_t m_color_interface;
    bool m_debug;
};

// The master map "_master" over the screen memory; null (reported) when it cannot be made.
tarvik_fbmap_t *new_master_fbmap(const FbmapScreen &screen);

} // namespace tarvik::detail
