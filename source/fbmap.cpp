// Window maps: colour interfaces and their conversion, the tree of windows, and the
// recomposition of a dirty rectangle of the screen from every visible window.
#include "fbmap.h"

#include "console.h"
#include "detail/common.hpp"
#include "detail/fbmap.hpp"
#include "format.h"
#include "heap.h"
#include "lock.h"

#include <cstring>

using tarvik::detail::FbmapLock;

namespace {

constexpr uint32_t WHITE = 0xFFFFFFFFu;
constexpr uint32_t BLACK = 0xFF000000u;
constexpr uint32_t ARGB = TARVIK_COLOR_INTERFACE_ARGB8888;

tarvik_lock_t s_lock = {
    TARVIK_LOCK_FLAG_DEFAULT | TARVIK_LOCK_FLAG_RECURSIVE, -1, 0, 0, 0, 0, 0, 0};

// ---- colour interfaces ---------------------------------------------------------------------

uint32_t kind_of(uint32_t code, int byte) { return (code >> (8 * byte + 4)) & 0xFu; }
uint32_t width_of(uint32_t code, int byte) { return (code >> (8 * byte)) & 0xFu; }

bool is_palette(uint32_t code)
{
    for (int byte = 0; byte < 4; ++byte) {
        const uint32_t kind = kind_of(code, byte);
        if (width_of(code, byte) != 0 &&
            (kind == TARVIK_COLOR_KIND_PALETTE || kind == TARVIK_COLOR_KIND_PALETTE_INDEX)) {
            return true;
        }
    }
    return false;
}

bool is_yuv(uint32_t code)
{
    for (int byte = 0; byte < 4; ++byte) {
        const uint32_t kind = kind_of(code, byte);
        if (width_of(code, byte) != 0 && kind >= TARVIK_COLOR_KIND_Y &&
            kind <= TARVIK_COLOR_KIND_V) {
            return true;
        }
    }
    return false;
}

uint32_t low_mask(uint32_t bits) { return bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1u; }

// An 8-bit channel from a field of the given width, and back.
uint32_t widen(uint32_t field, uint32_t width)
{
    if (width == 1) {
        return field != 0 ? 0xFFu : 0u;
    }
    return width >= 8 ? field >> (width - 8) : field << (8 - width);
}
uint32_t narrow(uint32_t channel, uint32_t width)
{
    return width >= 8 ? channel << (width - 8) : channel >> (8 - width);
}

// The palette: 16 VGA colours, a 6x6x6 colour cube, then 24 greys (a formula, no table).
uint32_t palette_rgb(uint32_t index)
{
    index &= 0xFFu;
    if (index < 16) {
        if (index == 7) {
            return 0xC0C0C0u;
        }
        if (index == 8) {
            return 0x808080u;
        }
        const uint32_t level = index >= 8 ? 0xFFu : 0x80u;
        return ((index & 1) != 0 ? level << 16 : 0) | ((index & 2) != 0 ? level << 8 : 0) |
               ((index & 4) != 0 ? level : 0);
    }
    if (index < 232) {
        const uint32_t cube = index - 16;
        return (cube / 36 * 51) << 16 | (cube / 6 % 6 * 51) << 8 | (cube % 6 * 51);
    }
    const uint32_t grey = 8 + (index - 232) * 10;
    return grey << 16 | grey << 8 | grey;
}

uint32_t distance(uint32_t rgb, uint32_t other)
{
    uint32_t sum = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        const int delta =
            static_cast<int>((rgb >> shift) & 0xFFu) - static_cast<int>((other >> shift) & 0xFFu);
        sum += static_cast<uint32_t>(delta * delta);
    }
    return sum;
}

// Nearest palette entry below limit: the cube and the grey ramp directly for 256 entries,
// a search of the first entries otherwise.
uint32_t palette_index(uint32_t rgb, uint32_t limit)
{
    if (limit < 256) {
        uint32_t best = 0;
        for (uint32_t index = 1; index < limit; ++index) {
            if (distance(rgb, palette_rgb(index)) < distance(rgb, palette_rgb(best))) {
                best = index;
            }
        }
        return best;
    }
    const uint32_t r = ((rgb >> 16) & 0xFFu) + 25, g = ((rgb >> 8) & 0xFFu) + 25,
                   b = (rgb & 0xFFu) + 25;
    const uint32_t cube = 16 + r / 51 * 36 + g / 51 * 6 + b / 51;
    const uint32_t grey = (((rgb >> 16) & 0xFFu) + ((rgb >> 8) & 0xFFu) + (rgb & 0xFFu)) / 3;
    const uint32_t ramp = grey < 8 ? 232 : (grey >= 238 ? 255 : 232 + (grey - 3) / 10);
    uint32_t best =
        distance(rgb, palette_rgb(ramp)) < distance(rgb, palette_rgb(cube)) ? ramp : cube;
    for (uint32_t index = 0; index < 16; ++index) {
        if (distance(rgb, palette_rgb(index)) < distance(rgb, palette_rgb(best))) {
            best = index;
        }
    }
    return best;
}

int32_t clamp8(int32_t value) { return value < 0 ? 0 : (value > 255 ? 255 : value); }

struct Channels {
    uint32_t a, c0, c1, c2; // c0..c2: red, green, blue, or Y, U, V
    bool yuv;
};

Channels decode(uint32_t code, uint32_t value)
{
    Channels out = {0xFFu, 0, 0, 0, is_yuv(code)};
    if (is_palette(code)) {
        const uint32_t rgb =
            palette_rgb(value & low_mask(tarvik_color_interface_to_bits_per_pixel(code)));
        out.c0 = rgb >> 16;
        out.c1 = (rgb >> 8) & 0xFFu;
        out.c2 = rgb & 0xFFu;
        return out;
    }
    uint32_t offset = 0;
    for (int byte = 0; byte < 4; ++byte) {
        const uint32_t width = width_of(code, byte);
        const uint32_t channel = widen((value >> offset) & low_mask(width), width);
        offset += width;
        switch (kind_of(code, byte)) {
        case TARVIK_COLOR_KIND_ALPHA:
            out.a = width != 0 ? channel : 0xFFu;
            break;
        case TARVIK_COLOR_KIND_GREY:
            out.c0 = out.c1 = out.c2 = channel;
            break;
        case TARVIK_COLOR_KIND_RED:
        case TARVIK_COLOR_KIND_Y:
            out.c0 = channel;
            break;
        case TARVIK_COLOR_KIND_GREEN:
        case TARVIK_COLOR_KIND_U:
            out.c1 = channel;
            break;
        case TARVIK_COLOR_KIND_BLUE:
        case TARVIK_COLOR_KIND_V:
            out.c2 = channel;
            break;
        default:
            break;
        }
    }
    return out;
}

// JFIF equations in 16.16 fixed point.
void rgb_to_yuv(Channels *c)
{
    const int32_t r = static_cast<int32_t>(c->c0), g = static_cast<int32_t>(c->c1),
                  b = static_cast<int32_t>(c->c2);
    const int32_t y = ((19595 * r) >> 16) + ((38470 * g) >> 16) + ((7471 * b) >> 16);
    const int32_t u = (b >> 1) + 128 - ((21709 * g) >> 16) - ((11059 * r) >> 16);
    const int32_t v = (r >> 1) - ((27439 * g) >> 16) - ((5329 * b) >> 16) + 128;
    c->c0 = static_cast<uint32_t>(clamp8(y));
    c->c1 = static_cast<uint32_t>(clamp8(u));
    c->c2 = static_cast<uint32_t>(clamp8(v));
}

void yuv_to_rgb(Channels *c)
{
    const int32_t y = static_cast<int32_t>(c->c0), u = static_cast<int32_t>(c->c1) - 128,
                  v = static_cast<int32_t>(c->c2) - 128;
    c->c0 = static_cast<uint32_t>(clamp8(y + 91881 * v / 65536));
    c->c1 = static_cast<uint32_t>(clamp8(y - 22554 * u / 65536 - 46802 * v / 65536));
    c->c2 = static_cast<uint32_t>(clamp8(y + 116130 * u / 65536));
}

uint32_t encode(uint32_t code, const Channels &c)
{
    if (is_palette(code)) {
        const uint32_t bits = tarvik_color_interface_to_bits_per_pixel(code);
        return palette_index(c.c0 << 16 | c.c1 << 8 | c.c2, bits >= 8 ? 256 : 1u << bits);
    }
    uint32_t value = 0;
    uint32_t offset = 0;
    for (int byte = 0; byte < 4; ++byte) {
        const uint32_t width = width_of(code, byte);
        uint32_t channel = 0;
        switch (kind_of(code, byte)) {
        case TARVIK_COLOR_KIND_ALPHA:
            channel = c.a;
            break;
        case TARVIK_COLOR_KIND_GREY:
            channel = (c.c0 * 19595 + c.c1 * 38470 + c.c2 * 7471) >> 16;
            break;
        case TARVIK_COLOR_KIND_RED:
        case TARVIK_COLOR_KIND_Y:
            channel = c.c0;
            break;
        case TARVIK_COLOR_KIND_GREEN:
        case TARVIK_COLOR_KIND_U:
            channel = c.c1;
            break;
        case TARVIK_COLOR_KIND_BLUE:
        case TARVIK_COLOR_KIND_V:
            channel = c.c2;
            break;
        default:
            break;
        }
        value |= (narrow(channel, width) & low_mask(width)) << offset;
        offset += width;
    }
    return value;
}

bool is_rgb32(uint32_t code)
{
    return code == ARGB || code == TARVIK_COLOR_INTERFACE_dRGB8888 ||
           code == TARVIK_COLOR_INTERFACE_dRGB0888;
}
bool is_bgr32(uint32_t code)
{
    return code == TARVIK_COLOR_INTERFACE_ABGR8888 || code == TARVIK_COLOR_INTERFACE_dBGR8888 ||
           code == TARVIK_COLOR_INTERFACE_dBGR0888;
}
uint32_t swap_red_blue(uint32_t value)
{
    return (value & 0xFF00FF00u) | ((value >> 16) & 0xFFu) | ((value & 0xFFu) << 16);
}

// ---- pixels per depth ----------------------------------------------------------------------

uint8_t *address_of(const tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    return static_cast<uint8_t *>(map->m_map) + static_cast<size_t>(y) * map->m_line_length +
           static_cast<size_t>(x) * (map->m_bits_per_pixel >> 3);
}

uint32_t get8(const tarvik_fbmap_t *map, int32_t x, int32_t y) { return *address_of(map, x, y); }
void put8(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t color)
{
    *address_of(map, x, y) = static_cast<uint8_t>(color);
}
uint32_t get16(const tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    uint16_t value;
    memcpy(&value, address_of(map, x, y), sizeof(value));
    return value;
}
void put16(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t color)
{
    const uint16_t value = static_cast<uint16_t>(color);
    memcpy(address_of(map, x, y), &value, sizeof(value));
}
// 24-bit pixels are stored least significant byte first, as the device reads them.
uint32_t get24(const tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    const uint8_t *p = address_of(map, x, y);
    return p[0] | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}
void put24(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t color)
{
    uint8_t *p = address_of(map, x, y);
    p[0] = static_cast<uint8_t>(color);
    p[1] = static_cast<uint8_t>(color >> 8);
    p[2] = static_cast<uint8_t>(color >> 16);
}
uint32_t get32(const tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    uint32_t value;
    memcpy(&value, address_of(map, x, y), sizeof(value));
    return value;
}
void put32(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t color)
{
    memcpy(address_of(map, x, y), &color, sizeof(color));
}

// One colour channel pair (red and blue, or alpha-less green) of a blend: the weighted mean
// (a s + (255 - a) d) / 255 rounded down, two 8-bit lanes at once (t / 255 = (t + 1 + t / 256)
// / 256 for t up to 255 x 255).
inline uint32_t blend_lanes(uint32_t s, uint32_t d, uint32_t a)
{
    uint32_t t = s * a + d * (255u - a);
    t += 0x00010001u + ((t >> 8) & 0x00FF00FFu);
    return (t >> 8) & 0x00FF00FFu;
}

// d with s laid over it by alpha a, ARGB8888; out_alpha is the alpha byte of the result.
inline uint32_t blend_argb(uint32_t s, uint32_t d, uint32_t a, uint32_t out_alpha)
{
    return out_alpha << 24 | blend_lanes(s & 0x00FF00FFu, d & 0x00FF00FFu, a) |
           blend_lanes((s >> 8) & 0xFFu, (d >> 8) & 0xFFu, a) << 8;
}

// The row loops of the common case, ARGB8888 over ARGB8888, one per kind of alpha and key:
// without branches in the loop, so that a compiler may run several pixels at once.
template <bool PerPixel, bool Key>
void blend_row(uint32_t *to, const uint32_t *from, int32_t count, uint32_t ccolor, uint32_t alpha,
               uint32_t force_alpha)
{
    for (int32_t index = 0; index < count; ++index) {
        const uint32_t s = from[index], d = to[index];
        const uint32_t a = PerPixel ? s >> 24 : alpha;
        const uint32_t out = blend_argb(s, d, a, a | force_alpha);
        to[index] = Key && s == ccolor ? d : out;
    }
}

void blend_row_argb(uint32_t *to, const uint32_t *from, int32_t count, uint32_t flags,
                    uint32_t ccolor, uint32_t alpha)
{
    // With the alpha transfer off, the alpha byte of the result is 255 (a | 255).
    const uint32_t force = (flags & TARVIK_FBMAP_FLAG_NO_ALPHA_TRANSFER) != 0 ? 0xFFu : 0u;
    alpha &= 0xFFu;
    if ((flags & TARVIK_FBMAP_FLAG_ALPHA_PIXEL) != 0) {
        if ((flags & TARVIK_FBMAP_FLAG_CCOLOR) != 0) {
            blend_row<true, true>(to, from, count, ccolor, alpha, force);
        } else {
            blend_row<true, false>(to, from, count, ccolor, alpha, force);
        }
    } else if ((flags & TARVIK_FBMAP_FLAG_CCOLOR) != 0) {
        blend_row<false, true>(to, from, count, ccolor, alpha, force);
    } else {
        blend_row<false, false>(to, from, count, ccolor, alpha, force);
    }
}

int copy_box_any(tarvik_fbmap_t *to, int32_t to_x, int32_t to_y, const tarvik_fbmap_t *from,
                 int32_t from_x, int32_t from_y, int32_t width, int32_t height, uint32_t flags);

bool choose(tarvik_fbmap_t *map)
{
    switch (map->m_bits_per_pixel) {
    case 8:
        map->m_get_pixel = get8;
        map->m_put_pixel = put8;
        break;
    case 16:
        map->m_get_pixel = get16;
        map->m_put_pixel = put16;
        break;
    case 24:
        map->m_get_pixel = get24;
        map->m_put_pixel = put24;
        break;
    case 32:
        map->m_get_pixel = get32;
        map->m_put_pixel = put32;
        break;
    default:
        return false;
    }
    map->m_copy_box = copy_box_any;
    return true;
}

// Clips a box copy to both maps, moving both origins alike; false when nothing is left.
bool clip_copy(const tarvik_fbmap_t *to, int32_t *to_x, int32_t *to_y, const tarvik_fbmap_t *from,
               int32_t *from_x, int32_t *from_y, int32_t *width, int32_t *height)
{
    int32_t x = *from_x, y = *from_y;
    if (!tarvik::detail::clip_box(&x, &y, width, height, from->m_resx, from->m_resy)) {
        return false;
    }
    int64_t tx = static_cast<int64_t>(*to_x) + (x - *from_x);
    int64_t ty = static_cast<int64_t>(*to_y) + (y - *from_y);
    if (tx < INT32_MIN || tx > INT32_MAX || ty < INT32_MIN || ty > INT32_MAX) {
        return false;
    }
    int32_t cx = static_cast<int32_t>(tx), cy = static_cast<int32_t>(ty);
    if (!tarvik::detail::clip_box(&cx, &cy, width, height, to->m_resx, to->m_resy)) {
        return false;
    }
    *from_x = x + (cx - static_cast<int32_t>(tx));
    *from_y = y + (cy - static_cast<int32_t>(ty));
    *to_x = cx;
    *to_y = cy;
    return true;
}

int copy_box_any(tarvik_fbmap_t *to, int32_t to_x, int32_t to_y, const tarvik_fbmap_t *from,
                 int32_t from_x, int32_t from_y, int32_t width, int32_t height, uint32_t flags)
{
    if (!clip_copy(to, &to_x, &to_y, from, &from_x, &from_y, &width, &height) ||
        from->m_get_pixel == nullptr) {
        return -1;
    }
    const uint32_t to_code = to->m_color_interface, from_code = from->m_color_interface;
    const bool alpha =
        (flags & (TARVIK_FBMAP_FLAG_ALPHA_WINDOW | TARVIK_FBMAP_FLAG_ALPHA_PIXEL)) != 0;
    const bool key = (flags & TARVIK_FBMAP_FLAG_CCOLOR) != 0;
    const bool keep_alpha = (flags & TARVIK_FBMAP_FLAG_NO_ALPHA_TRANSFER) == 0;
    for (int32_t row = 0; row < height; ++row) {
        if (!alpha && !key && to_code == from_code) {
            memmove(address_of(to, to_x, to_y + row), address_of(from, from_x, from_y + row),
                    static_cast<size_t>(width) * (to->m_bits_per_pixel >> 3));
            continue;
        }
        if (alpha && to_code == ARGB && from_code == ARGB) {
            uint32_t *line = reinterpret_cast<uint32_t *>(address_of(to, to_x, to_y + row));
            const auto *source =
                reinterpret_cast<const uint32_t *>(address_of(from, from_x, from_y + row));
            blend_row_argb(line, source, width, flags, from->m_ccolor, from->m_alpha);
            continue;
        }
        for (int32_t column = 0; column < width; ++column) {
            const uint32_t s = from->m_get_pixel(from, from_x + column, from_y + row);
            if (key && s == from->m_ccolor) {
                continue;
            }
            uint32_t value;
            if (alpha) {
                const uint32_t s_argb = tarvik_convert_color(ARGB, from_code, s);
                const uint32_t d_argb = tarvik_convert_color(
                    ARGB, to_code, to->m_get_pixel(to, to_x + column, to_y + row));
                const uint32_t a = (flags & TARVIK_FBMAP_FLAG_ALPHA_PIXEL) != 0
                                       ? s_argb >> 24
                                       : (from->m_alpha & 0xFFu);
                value = tarvik_convert_color(to_code, ARGB,
                                             blend_argb(s_argb, d_argb, a, keep_alpha ? a : 0xFFu));
            } else {
                value = tarvik_convert_color(to_code, from_code, s);
            }
            to->m_put_pixel(to, to_x + column, to_y + row, value);
        }
    }
    return 0;
}

// ---- the tree ------------------------------------------------------------------------------

using Siblings = tarvik::detail::DoublyLinked<tarvik_fbmap_t>;

Siblings siblings_of(tarvik_fbmap_t *parent) { return Siblings(&parent->m_children, nullptr); }

tarvik_fbmap_t *root_of(tarvik_fbmap_t *map)
{
    while (map->m_parent != nullptr) {
        map = map->m_parent;
    }
    return map;
}

bool shown(const tarvik_fbmap_t *map)
{
    for (; map != nullptr; map = map->m_parent) {
        if ((map->m_flags & TARVIK_FBMAP_FLAG_HIDDEN) != 0) {
            return false;
        }
    }
    return true;
}

// A rectangle of the window mapped to the master: shifted by each position on the way up and
// clipped to each parent; offset_out receives the window's absolute position.
tarvik_fbmap_rect_t absolute_of(const tarvik_fbmap_t *map, tarvik_fbmap_rect_t rect,
                                int64_t *offset_x, int64_t *offset_y)
{
    int64_t ox = 0, oy = 0;
    if (!tarvik::detail::clip_box(&rect.m_x, &rect.m_y, &rect.m_width, &rect.m_height, map->m_resx,
                                  map->m_resy)) {
        rect = {0, 0, 0, 0};
    }
    for (const tarvik_fbmap_t *at = map; at->m_parent != nullptr; at = at->m_parent) {
        ox += at->m_x;
        oy += at->m_y;
        const int64_t x = static_cast<int64_t>(rect.m_x) + at->m_x;
        const int64_t y = static_cast<int64_t>(rect.m_y) + at->m_y;
        if (rect.m_width == 0 || x < INT32_MIN || x > INT32_MAX || y < INT32_MIN || y > INT32_MAX) {
            rect = {0, 0, 0, 0};
            continue;
        }
        rect.m_x = static_cast<int32_t>(x);
        rect.m_y = static_cast<int32_t>(y);
        if (!tarvik::detail::clip_box(&rect.m_x, &rect.m_y, &rect.m_width, &rect.m_height,
                                      at->m_parent->m_resx, at->m_parent->m_resy)) {
            rect = {0, 0, 0, 0};
        }
    }
    if (offset_x != nullptr) {
        *offset_x = ox;
        *offset_y = oy;
    }
    return rect;
}

tarvik_fbmap_rect_t whole(const tarvik_fbmap_t *map)
{
    return {0, 0, static_cast<int32_t>(map->m_resx), static_cast<int32_t>(map->m_resy)};
}

// ---- the redraw ----------------------------------------------------------------------------

constexpr uint32_t PIECE_BLENDED = 0x1u;
constexpr uint32_t PIECE_UNDER_ALPHA = 0x2u; // pending: an alpha-blended piece lies above it
constexpr uint32_t PIECE_VACATED = 0x4u;     // pending: area a window has just left
constexpr uint32_t PIECE_CLEAR = 0x8u;       // recorded for the master: clear to black

struct Piece {
    Piece *m_prev;
    Piece *m_next;
    uint32_t m_flags;
    tarvik_fbmap_t *m_owner;
    tarvik_fbmap_rect_t m_rect;
};

using Pieces = tarvik::detail::DoublyLinked<Piece>;

struct Redraw {
    tarvik_fbmap_t *m_master;
    const tarvik_fbmap_t *m_target; // the window being redrawn
    Piece *m_pending;
    Piece *m_done; // from the deepest piece to the top-most
    bool m_passed_target;
    bool m_failed;
};

Piece *new_piece(Redraw *redraw, uint32_t flags, const tarvik_fbmap_rect_t &rect)
{
    auto *piece = static_cast<Piece *>(tarvik_alloc_tag(sizeof(Piece), TARVIK_TAG));
    if (piece == nullptr) {
        if (!redraw->m_failed) {
            tarvik_assert_fail_tag(__FILE__, __func__, __LINE__,
                                   "not enough memory ! __tarvik_fbmap_new_rectangle_node_internal "
                                   "failed !");
        }
        redraw->m_failed = true;
        return nullptr;
    }
    *piece = {nullptr, nullptr, flags, nullptr, rect};
    return piece;
}

void free_pieces(Piece *piece) { tarvik::detail::free_chain_tag<Piece>(piece, TARVIK_TAG); }

bool is_descendant(const tarvik_fbmap_t *map, const tarvik_fbmap_t *ancestor)
{
    for (; map != nullptr; map = map->m_parent) {
        if (map == ancestor) {
            return true;
        }
    }
    return false;
}

// Splits every pending piece by one window's absolute area.
void visit_window(Redraw *redraw, tarvik_fbmap_t *window)
{
    const tarvik_fbmap_rect_t area = absolute_of(window, whole(window), nullptr, nullptr);
    if (area.m_width <= 0 || area.m_height <= 0 ||
        (window->m_map == nullptr && window->m_parent != nullptr)) {
        return; // a window without pixels shows nothing
    }
    const uint32_t translucent = window->m_flags & TARVIK_FBMAP_FLAG_TRANSLUCENT;
    const bool alpha =
        (translucent & (TARVIK_FBMAP_FLAG_ALPHA_WINDOW | TARVIK_FBMAP_FLAG_ALPHA_PIXEL)) != 0;
    const bool above = !redraw->m_passed_target && !is_descendant(window, redraw->m_target);
    Pieces pending(&redraw->m_pending, nullptr);
    Pieces done(&redraw->m_done, nullptr);
    for (Piece *piece = redraw->m_pending, *next = nullptr; piece != nullptr; piece = next) {
        next = piece->m_next;
        tarvik_fbmap_rect_t overlap, outside[4];
        const int count = tarvik_sep_overlap_window(&overlap, outside, &piece->m_rect, &area);
        if (count < 0) {
            continue;
        }
        // The parts outside the window stay pending, carrying what lies above them.
        for (int index = 0; index < count; ++index) {
            Piece *rest = new_piece(redraw, piece->m_flags, outside[index]);
            if (rest == nullptr) {
                return;
            }
            pending.insert_before(piece, rest);
        }
        piece->m_rect = overlap;
        if (translucent != 0) {
            Piece *blended = new_piece(redraw, PIECE_BLENDED, overlap);
            if (blended == nullptr) {
                return;
            }
            blended->m_owner = window;
            done.push_front(blended);
            if (alpha) {
                piece->m_flags |= PIECE_UNDER_ALPHA;
            }
            continue;
        }
        pending.remove(piece);
        // An opaque window above the target already shows on the screen; it is drawn again
        // only when a blended piece over it is drawn again too.
        if (above && (piece->m_flags & PIECE_UNDER_ALPHA) == 0) {
            tarvik_free_tag(piece, TARVIK_TAG);
            continue;
        }
        piece->m_owner = window;
        piece->m_flags = window->m_parent == nullptr &&
                                 (piece->m_flags & (PIECE_UNDER_ALPHA | PIECE_VACATED)) != 0
                             ? PIECE_CLEAR
                             : 0;
        done.push_front(piece);
    }
}

// Windows from the top: children before their parent, siblings first to last.
void visit_tree(Redraw *redraw, tarvik_fbmap_t *window)
{
    for (tarvik_fbmap_t *child = window->m_children;
         child != nullptr && redraw->m_pending != nullptr && !redraw->m_failed;
         child = child->m_next) {
        if ((child->m_flags & TARVIK_FBMAP_FLAG_HIDDEN) == 0) {
            visit_tree(redraw, child);
        } else if (is_descendant(redraw->m_target, child)) {
            redraw->m_passed_target = true;
        }
    }
    if (window == redraw->m_target) {
        redraw->m_passed_target = true;
    }
    if (redraw->m_pending != nullptr && !redraw->m_failed) {
        visit_window(redraw, window);
    }
}

bool ensure_composite(tarvik_fbmap_t *master)
{
    if (master->m_composite_map != nullptr) {
        return true;
    }
    if (master->m_color_interface == 0) {
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__,
                               "master-fbmap's color-interface not defined !");
        return false;
    }
    // One row of ARGB8888 pixels: blended pieces are composed a row at a time.
    master->m_composite_map =
        tarvik_alloc_tag(static_cast<size_t>(master->m_resx) * 4u, TARVIK_TAG);
    if (master->m_composite_map == nullptr) {
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__,
                               "not enough memory ! (for composite_map)");
        return false;
    }
    if ((master->m_flags & TARVIK_FBMAP_FLAG_DEBUG) != 0) {
        tarvik_printf("fbmap: [DEBUG] composite map allocated.\n");
    }
    return true;
}

// A blended piece: the master's pixels beneath are composed in the composite row (unless
// they already are ARGB8888) and the window's pixels laid over them.
void draw_blended(tarvik_fbmap_t *master, const Piece &piece, int64_t ox, int64_t oy)
{
    const tarvik_fbmap_t *owner = piece.m_owner;
    const uint32_t flags =
        owner->m_flags & (TARVIK_FBMAP_FLAG_TRANSLUCENT | TARVIK_FBMAP_FLAG_NO_ALPHA_TRANSFER);
    const int32_t fx = static_cast<int32_t>(piece.m_rect.m_x - ox);
    const int32_t fy = static_cast<int32_t>(piece.m_rect.m_y - oy);
    if (master->m_color_interface == ARGB || !ensure_composite(master)) {
        tarvik::detail::copy_box(master, piece.m_rect.m_x, piece.m_rect.m_y, owner, fx, fy,
                                 piece.m_rect.m_width, piece.m_rect.m_height, flags);
        return;
    }
    tarvik_fbmap_t row = {};
    row.m_map = master->m_composite_map;
    row.m_color_interface = ARGB;
    row.m_bits_per_pixel = 32;
    row.m_resx = static_cast<uint32_t>(piece.m_rect.m_width);
    row.m_resy = 1;
    row.m_line_length = row.m_resx * 4;
    choose(&row);
    for (int32_t y = 0; y < piece.m_rect.m_height; ++y) {
        copy_box_any(&row, 0, 0, master, piece.m_rect.m_x, piece.m_rect.m_y + y,
                     piece.m_rect.m_width, 1, 0);
        tarvik::detail::copy_box(&row, 0, 0, owner, fx, fy + y, piece.m_rect.m_width, 1, flags);
        copy_box_any(master, piece.m_rect.m_x, piece.m_rect.m_y + y, &row, 0, 0,
                     piece.m_rect.m_width, 1, 0);
    }
}

void clear_piece(tarvik_fbmap_t *master, const tarvik_fbmap_rect_t &rect)
{
    const uint32_t black = tarvik_convert_color(master->m_color_interface, ARGB, BLACK);
    for (int32_t y = 0; y < rect.m_height; ++y) {
        for (int32_t x = 0; x < rect.m_width; ++x) {
            master->m_put_pixel(master, rect.m_x + x, rect.m_y + y, black);
        }
    }
}

void draw_pieces(Redraw *redraw)
{
    tarvik_fbmap_t *master = redraw->m_master;
    for (const Piece *piece = redraw->m_done; piece != nullptr; piece = piece->m_next) {
        const tarvik_fbmap_rect_t &rect = piece->m_rect;
        if (piece->m_owner == master) {
            if ((piece->m_flags & PIECE_CLEAR) == 0) {
                continue; // the master's own pixels are the screen
            }
            clear_piece(master, rect);
        } else if (!tarvik::detail::fbmap_hooks(piece->m_owner)) {
            continue;
        } else if ((piece->m_flags & PIECE_BLENDED) != 0) {
            int64_t ox, oy;
            absolute_of(piece->m_owner, whole(piece->m_owner), &ox, &oy);
            draw_blended(master, *piece, ox, oy);
        } else {
            int64_t ox, oy;
            absolute_of(piece->m_owner, whole(piece->m_owner), &ox, &oy);
            tarvik::detail::copy_box(
                master, rect.m_x, rect.m_y, piece->m_owner, static_cast<int32_t>(rect.m_x - ox),
                static_cast<int32_t>(rect.m_y - oy), rect.m_width, rect.m_height, 0);
        }
        tarvik::detail::grow_dirty(master, rect.m_x, rect.m_y, rect.m_width, rect.m_height);
    }
}

// Recomposes a rectangle of the window (local coordinates) on the master; with vacated, the
// area a window has left, where nothing but the master lies beneath it is cleared.
int redraw_rect(tarvik_fbmap_t *window, const tarvik_fbmap_rect_t &rect, bool vacated,
                const tarvik_fbmap_rect_t *absolute)
{
    Redraw redraw = {root_of(window), window, nullptr, nullptr, false, false};
    const tarvik_fbmap_rect_t area =
        absolute != nullptr ? *absolute : absolute_of(window, rect, nullptr, nullptr);
    if (area.m_width <= 0 || area.m_height <= 0 || !tarvik::detail::fbmap_hooks(redraw.m_master)) {
        return 0;
    }
    redraw.m_pending = new_piece(&redraw, vacated ? PIECE_VACATED : 0, area);
    if (redraw.m_pending == nullptr) {
        return -1;
    }
    visit_tree(&redraw, redraw.m_master);
    if (!redraw.m_failed) {
        draw_pieces(&redraw);
    }
    free_pieces(redraw.m_pending);
    free_pieces(redraw.m_done);
    return redraw.m_failed ? -1 : 0;
}

int transfer_master(tarvik_fbmap_t *master)
{
    int result = 0;
    if (master->m_transfer != nullptr) {
        result = master->m_transfer(master);
    }
    master->m_dirty = {0, 0, 0, 0};
    return result;
}

int default_transfer(tarvik_fbmap_t *master)
{
    switch (master->m_bits_per_pixel) {
    case 8:
    case 16:
    case 24:
    case 32:
        return 0; // the master is the mapped screen memory
    default:
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "not supported");
        return -1;
    }
}

// Redraws the window's whole area (when the screen shows it) and transfers; vacated for a
// window that has just been hidden.
int redraw_whole(tarvik_fbmap_t *map, bool vacated = false)
{
    if (map->m_parent == nullptr) {
        return transfer_master(map);
    }
    if (!shown(map->m_parent)) {
        return 0;
    }
    const int result = redraw_rect(map, whole(map), vacated, nullptr);
    map->m_dirty = {0, 0, 0, 0};
    const int transferred = transfer_master(root_of(map));
    return result != 0 ? result : transferred;
}

int set_flag(tarvik_fbmap_t *map, uint32_t flag, int on)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    map->m_flags = on != 0 ? map->m_flags | flag : map->m_flags & ~flag;
    return (map->m_flags & TARVIK_FBMAP_FLAG_HIDDEN) != 0 ? 0 : redraw_whole(map);
}

int set_field(tarvik_fbmap_t *map, uint32_t tarvik_fbmap_t::*field, uint32_t value)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    map->*field = value;
    return (map->m_flags & TARVIK_FBMAP_FLAG_HIDDEN) != 0 ? 0 : redraw_whole(map);
}

template <typename T> T get_field(tarvik_fbmap_t *map, T tarvik_fbmap_t::*field)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return 0;
    }
    FbmapLock lock;
    return map->*field;
}

void free_buffer(void **buffer)
{
    if (*buffer != nullptr) {
        tarvik_free_tag(*buffer, TARVIK_TAG);
        *buffer = nullptr;
    }
}

void keep_shown(tarvik_fbmap_t *list)
{
    for (; list != nullptr; list = list->m_next) {
        list->m_flags |= TARVIK_FBMAP_FLAG_KEEP_SHOWN;
        keep_shown(list->m_children);
    }
}

void link_map(tarvik_fbmap_t *map, tarvik_fbmap_t *parent)
{
    if ((map->m_flags & TARVIK_FBMAP_FLAG_SIBLING) != 0 && parent->m_parent == nullptr) {
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__,
                               "s_parent_fbmap->m_parent != ((tarvik_fbmap_t *)0)");
    } else if ((map->m_flags & TARVIK_FBMAP_FLAG_SIBLING) != 0) {
        tarvik_fbmap_t *sibling = parent;
        map->m_parent = sibling->m_parent;
        Siblings list = siblings_of(sibling->m_parent);
        if ((map->m_flags & TARVIK_FBMAP_FLAG_BOTTOM) != 0) {
            list.insert_after(sibling, map);
        } else {
            list.insert_before(sibling, map);
        }
        return;
    }
    map->m_parent = parent;
    Siblings list = siblings_of(parent);
    if ((map->m_flags & TARVIK_FBMAP_FLAG_BOTTOM) != 0) {
        list.push_back(map);
    } else {
        list.push_front(map);
    }
}

} // namespace

namespace tarvik::detail {

void lock_fbmaps() { tarvik_lock_tag(&s_lock, TARVIK_TAG); }
void unlock_fbmaps() { tarvik_unlock_tag(&s_lock, TARVIK_TAG); }

bool fbmap_ok(const tarvik_fbmap_t *map)
{
    if (map == nullptr) {
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "s_fbmap is null !");
        return false;
    }
    return true;
}

bool fbmap_hooks(tarvik_fbmap_t *map)
{
    if (map->m_get_pixel != nullptr) {
        return true;
    }
    if (map->m_map == nullptr || !choose(map)) {
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "not supported");
        return false;
    }
    return true;
}

bool clip_box(int32_t *x, int32_t *y, int32_t *width, int32_t *height, uint32_t limit_x,
              uint32_t limit_y)
{
    if (*width <= 0 || *height <= 0) {
        return false;
    }
    int64_t left = *x, top = *y;
    int64_t right = left + *width, bottom = top + *height;
    left = left < 0 ? 0 : left;
    top = top < 0 ? 0 : top;
    right = right > static_cast<int64_t>(limit_x) ? limit_x : right;
    bottom = bottom > static_cast<int64_t>(limit_y) ? limit_y : bottom;
    if (left >= right || top >= bottom) {
        return false;
    }
    *x = static_cast<int32_t>(left);
    *y = static_cast<int32_t>(top);
    *width = static_cast<int32_t>(right - left);
    *height = static_cast<int32_t>(bottom - top);
    return true;
}

void grow_dirty(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width, int32_t height)
{
    if ((map->m_flags & TARVIK_FBMAP_FLAG_HIDDEN) != 0 ||
        !clip_box(&x, &y, &width, &height, map->m_resx, map->m_resy)) {
        return;
    }
    tarvik_fbmap_rect_t &dirty = map->m_dirty;
    if (dirty.m_width <= 0 || dirty.m_height <= 0) {
        dirty = {x, y, width, height};
        return;
    }
    const int32_t right =
        dirty.m_x + dirty.m_width > x + width ? dirty.m_x + dirty.m_width : x + width;
    const int32_t bottom =
        dirty.m_y + dirty.m_height > y + height ? dirty.m_y + dirty.m_height : y + height;
    dirty.m_x = dirty.m_x < x ? dirty.m_x : x;
    dirty.m_y = dirty.m_y < y ? dirty.m_y : y;
    dirty.m_width = right - dirty.m_x;
    dirty.m_height = bottom - dirty.m_y;
}

int copy_box(tarvik_fbmap_t *to, int32_t to_x, int32_t to_y, const tarvik_fbmap_t *from,
             int32_t from_x, int32_t from_y, int32_t width, int32_t height, uint32_t flags)
{
    if (!fbmap_hooks(to) || !fbmap_hooks(const_cast<tarvik_fbmap_t *>(from))) {
        return -1;
    }
    return to->m_copy_box(to, to_x, to_y, from, from_x, from_y, width, height, flags);
}

bool area_fits(uint32_t line_length, uint32_t resy)
{
    return static_cast<uint64_t>(line_length) * resy <= UINT32_MAX;
}

tarvik_fbmap_t *new_master_fbmap(const FbmapScreen &screen)
{
    if (!area_fits(screen.m_line_length, screen.m_resy) ||
        static_cast<uint64_t>(screen.m_line_length) * screen.m_resy > screen.m_map_size ||
        static_cast<uint64_t>(screen.m_resx) * screen.m_bits_per_pixel / 8 > screen.m_line_length) {
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "screen geometry refused");
        return nullptr;
    }
    FbmapLock lock;
    tarvik_fbmap_t *master = tarvik_new_fbmap(nullptr, 0, screen.m_color_interface, 0, 0,
                                              screen.m_resx, screen.m_resy, 0, "_master");
    if (master == nullptr) {
        return nullptr;
    }
    master->m_flags |=
        TARVIK_FBMAP_FLAG_MASTER_LINUXFB | (screen.m_debug ? TARVIK_FBMAP_FLAG_DEBUG : 0u);
    master->m_map = screen.m_map;
    master->m_line_length = screen.m_line_length;
    master->m_map_size = screen.m_line_length * screen.m_resy;
    master->m_bits_per_pixel = screen.m_bits_per_pixel;
    master->m_device = screen.m_device;
    return master;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API uint32_t tarvik_color_interface_to_bits_per_pixel(uint32_t color_interface)
{
    uint32_t bits = 0;
    for (int byte = 0; byte < 4; ++byte) {
        bits += width_of(color_interface, byte);
    }
    return bits;
}

TARVIK_API uint32_t tarvik_bits_per_pixel_to_color_interface(uint32_t bits_per_pixel)
{
    switch (bits_per_pixel) {
    case 32:
        return TARVIK_COLOR_INTERFACE_ARGB8888;
    case 24:
        return TARVIK_COLOR_INTERFACE_dRGB0888;
    case 16:
        return TARVIK_COLOR_INTERFACE_dRGB0565;
    case 8:
        return TARVIK_COLOR_INTERFACE_dddp0008;
    case 4:
        return TARVIK_COLOR_INTERFACE_PPPP1111;
    case 2:
        return TARVIK_COLOR_INTERFACE_ddPP0011;
    case 1:
        return TARVIK_COLOR_INTERFACE_dddg0001;
    default:
        return 0;
    }
}

TARVIK_API char *tarvik_color_interface_name(char *buffer, uint32_t color_interface)
{
    if (buffer == nullptr) {
        return nullptr;
    }
    static const char KINDS[] = "dAPgRGBYuvxxxxxp";
    static const char DIGITS[] = "0123456789ABCDEF";
    for (int byte = 0; byte < 4; ++byte) {
        buffer[byte] = KINDS[kind_of(color_interface, 3 - byte)];
        buffer[4 + byte] = DIGITS[width_of(color_interface, 3 - byte)];
    }
    buffer[8] = '\0';
    return buffer;
}

TARVIK_API uint32_t tarvik_convert_color(uint32_t to_interface, uint32_t from_interface,
                                         uint32_t value)
{
    if (to_interface == from_interface) {
        return value;
    }
    const bool from_rgb32 = is_rgb32(from_interface), to_rgb32 = is_rgb32(to_interface);
    const bool from_bgr32 = is_bgr32(from_interface), to_bgr32 = is_bgr32(to_interface);
    if ((from_rgb32 || from_bgr32) && (to_rgb32 || to_bgr32)) {
        // Drop the alpha byte or set it to 0xFF; swap red and blue between the orders.
        const uint32_t rgb = from_bgr32 != to_bgr32 ? swap_red_blue(value) : value;
        if (kind_of(to_interface, 3) != TARVIK_COLOR_KIND_ALPHA) {
            return rgb & 0x00FFFFFFu;
        }
        return kind_of(from_interface, 3) == TARVIK_COLOR_KIND_ALPHA ? rgb : (rgb | 0xFF000000u);
    }
    if (from_interface == TARVIK_COLOR_INTERFACE_dRGB0565 && to_rgb32) {
        const uint32_t rgb = (value & 0xF800u) << 8 | (value & 0x07E0u) << 5 | (value & 0x1Fu) << 3;
        return to_interface == ARGB ? (rgb | 0xFF000000u) : rgb;
    }
    if (from_rgb32 && to_interface == TARVIK_COLOR_INTERFACE_dRGB0565) {
        return (value >> 8 & 0xF800u) | (value >> 5 & 0x07E0u) | (value >> 3 & 0x1Fu);
    }
    if (from_rgb32 && to_interface == TARVIK_COLOR_INTERFACE_dRGB0233) {
        return (value >> 16 & 0xC0u) | (value >> 10 & 0x38u) | (value >> 5 & 0x07u);
    }
    Channels channels = decode(from_interface, value);
    const bool to_yuv = is_yuv(to_interface);
    if (channels.yuv && !to_yuv) {
        yuv_to_rgb(&channels);
    } else if (!channels.yuv && to_yuv) {
        rgb_to_yuv(&channels);
    }
    return encode(to_interface, channels);
}

TARVIK_API uint32_t tarvik_fbmap_convert_color(tarvik_fbmap_t *map, uint32_t from_interface,
                                               uint32_t value)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return 0;
    }
    return tarvik_convert_color(tarvik_fbmap_get_color_interface(map), from_interface, value);
}

TARVIK_API uint32_t tarvik_fbmap_palette_color(uint32_t index)
{
    return 0xFF000000u | palette_rgb(index);
}

TARVIK_API tarvik_fbmap_t *tarvik_init_fbmap_v(tarvik_fbmap_t *map, tarvik_fbmap_t *parent,
                                               uint32_t flags, uint32_t color_interface, int32_t x,
                                               int32_t y, uint32_t resx, uint32_t resy, int32_t id,
                                               const char *name_format, va_list arguments)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return nullptr;
    }
    FbmapLock lock;
    char *name = nullptr;
    if (name_format != nullptr) {
        name = tarvik_alloc_vsprintf(name_format, arguments);
        if (name == nullptr) {
            return nullptr;
        }
    }
    memset(map, 0, sizeof(*map));
    map->m_flags = (flags | TARVIK_FBMAP_FLAG_INITIALISED) & ~TARVIK_FBMAP_FLAG_MASTER;
    map->m_id = id;
    map->m_name = name;
    map->m_x = x;
    map->m_y = y;
    map->m_x_scale_num = map->m_x_scale_den = map->m_y_scale_num = map->m_y_scale_den = 1;
    if (parent != nullptr) {
        color_interface = color_interface != 0 ? color_interface : parent->m_color_interface;
        resx = resx != 0 ? resx : parent->m_resx;
        resy = resy != 0 ? resy : parent->m_resy;
        map->m_device = parent->m_device;
    }
    map->m_color_interface = color_interface;
    map->m_resx = resx;
    map->m_resy = resy;
    map->m_bits_per_pixel = tarvik_color_interface_to_bits_per_pixel(color_interface);
    const uint64_t line_length = (static_cast<uint64_t>(map->m_bits_per_pixel) * resx + 7) / 8;
    // A size that does not fit in 32 bits would wrap into a small buffer: refused.
    if (line_length > UINT32_MAX ||
        !tarvik::detail::area_fits(static_cast<uint32_t>(line_length), resy) || resx > INT32_MAX ||
        resy > INT32_MAX) {
        tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "fbmap area too large !");
        free_buffer(reinterpret_cast<void **>(&name));
        map->m_flags = 0;
        return nullptr;
    }
    map->m_line_length = static_cast<uint32_t>(line_length);
    map->m_map_size = map->m_line_length * resy;
    map->m_fcolor = tarvik_convert_color(color_interface, ARGB, WHITE);
    map->m_bcolor = map->m_ocolor = tarvik_convert_color(color_interface, ARGB, BLACK);
    if ((map->m_flags & TARVIK_FBMAP_FLAG_OWN_MAP) != 0 && map->m_map_size != 0) {
        map->m_map = tarvik_alloc_tag(map->m_map_size, TARVIK_TAG);
        if (map->m_map == nullptr) {
            tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "s_fbmap->m_map is null !");
            free_buffer(reinterpret_cast<void **>(&name));
            map->m_flags = 0;
            return nullptr;
        }
        memset(map->m_map, 0, map->m_map_size);
    }
    map->m_transfer = default_transfer;
    if (parent != nullptr) {
        link_map(map, parent);
    }
    return map;
}

TARVIK_API tarvik_fbmap_t *tarvik_init_fbmap(tarvik_fbmap_t *map, tarvik_fbmap_t *parent,
                                             uint32_t flags, uint32_t color_interface, int32_t x,
                                             int32_t y, uint32_t resx, uint32_t resy, int32_t id,
                                             const char *name_format, ...)
{
    va_list arguments;
    va_start(arguments, name_format);
    tarvik_fbmap_t *result = tarvik_init_fbmap_v(map, parent, flags, color_interface, x, y, resx,
                                                 resy, id, name_format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API tarvik_fbmap_t *tarvik_new_fbmap_v(tarvik_fbmap_t *parent, uint32_t flags,
                                              uint32_t color_interface, int32_t x, int32_t y,
                                              uint32_t resx, uint32_t resy, int32_t id,
                                              const char *name_format, va_list arguments)
{
    auto *map = static_cast<tarvik_fbmap_t *>(tarvik_alloc_tag(sizeof(tarvik_fbmap_t), TARVIK_TAG));
    if (map == nullptr) {
        return nullptr;
    }
    if (tarvik_init_fbmap_v(map, parent, flags | TARVIK_FBMAP_FLAG_ALLOCATED, color_interface, x, y,
                            resx, resy, id, name_format, arguments) == nullptr) {
        tarvik_free_tag(map, TARVIK_TAG);
        return nullptr;
    }
    return map;
}

TARVIK_API tarvik_fbmap_t *tarvik_new_fbmap(tarvik_fbmap_t *parent, uint32_t flags,
                                            uint32_t color_interface, int32_t x, int32_t y,
                                            uint32_t resx, uint32_t resy, int32_t id,
                                            const char *name_format, ...)
{
    va_list arguments;
    va_start(arguments, name_format);
    tarvik_fbmap_t *result = tarvik_new_fbmap_v(parent, flags, color_interface, x, y, resx, resy,
                                                id, name_format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_destroy_fbmap(tarvik_fbmap_t *map)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    if ((map->m_flags & TARVIK_FBMAP_FLAG_INITIALISED) == 0) {
        return 0;
    }
    // Closing the screen leaves the picture on it: a master's windows go without hiding.
    if (map->m_parent == nullptr) {
        keep_shown(map->m_children);
    }
    while (map->m_children != nullptr) {
        tarvik_free_fbmap(map->m_children);
    }
    if ((map->m_flags & (TARVIK_FBMAP_FLAG_KEEP_SHOWN | TARVIK_FBMAP_FLAG_HIDDEN)) == 0 &&
        map->m_parent != nullptr) {
        tarvik_fbmap_hide(map);
    }
    if (map->m_parent != nullptr) {
        siblings_of(map->m_parent).remove(map);
        map->m_parent = nullptr;
    }
    free_buffer(&map->m_composite_map);
    if ((map->m_flags & TARVIK_FBMAP_FLAG_OWN_MAP) != 0) {
        free_buffer(&map->m_map);
    }
    map->m_map = nullptr;
    free_buffer(reinterpret_cast<void **>(&map->m_name));
    map->m_flags &= ~(TARVIK_FBMAP_FLAG_INITIALISED | TARVIK_FBMAP_FLAG_OWN_MAP);
    map->m_id = -1;
    return 0;
}

TARVIK_API int tarvik_free_fbmap(tarvik_fbmap_t *map)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    tarvik_destroy_fbmap(map);
    if ((map->m_flags & TARVIK_FBMAP_FLAG_ALLOCATED) != 0) {
        tarvik_free_tag(map, TARVIK_TAG);
    }
    return 0;
}

TARVIK_API int32_t tarvik_fbmap_get_x(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_x);
}
TARVIK_API int32_t tarvik_fbmap_get_y(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_y);
}
TARVIK_API uint32_t tarvik_fbmap_get_resx(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_resx);
}
TARVIK_API uint32_t tarvik_fbmap_get_resy(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_resy);
}
TARVIK_API uint32_t tarvik_fbmap_get_line_length(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_line_length);
}
TARVIK_API uint32_t tarvik_fbmap_get_bits_per_pixel(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_bits_per_pixel);
}
TARVIK_API uint32_t tarvik_fbmap_get_color_interface(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_color_interface);
}
TARVIK_API uint32_t tarvik_fbmap_get_map_size(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_map_size);
}
TARVIK_API void *tarvik_fbmap_get_map(tarvik_fbmap_t *map)
{
    return get_field(map, &tarvik_fbmap_t::m_map);
}

TARVIK_API int tarvik_fbmap_is_closed(tarvik_fbmap_t *map)
{
    return map == nullptr ||
                   (get_field(map, &tarvik_fbmap_t::m_flags) & TARVIK_FBMAP_FLAG_INITIALISED) == 0
               ? 1
               : 0;
}

TARVIK_API int tarvik_fbmap_is_visible(tarvik_fbmap_t *map)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return 0;
    }
    FbmapLock lock;
    return shown(map) ? 1 : 0;
}

TARVIK_API int tarvik_fbmap_use_ccolor(tarvik_fbmap_t *map, int on)
{
    return set_flag(map, TARVIK_FBMAP_FLAG_CCOLOR, on);
}
TARVIK_API int tarvik_fbmap_set_ccolor(tarvik_fbmap_t *map, uint32_t color)
{
    return set_field(map, &tarvik_fbmap_t::m_ccolor, color);
}
TARVIK_API int tarvik_fbmap_use_alpha_window(tarvik_fbmap_t *map, int on)
{
    return set_flag(map, TARVIK_FBMAP_FLAG_ALPHA_WINDOW, on);
}
TARVIK_API int tarvik_fbmap_set_alpha_window(tarvik_fbmap_t *map, uint32_t alpha)
{
    return set_field(map, &tarvik_fbmap_t::m_alpha, alpha > 255 ? 255 : alpha);
}
TARVIK_API int tarvik_fbmap_use_alpha_pixel(tarvik_fbmap_t *map, int on)
{
    return set_flag(map, TARVIK_FBMAP_FLAG_ALPHA_PIXEL, on);
}
TARVIK_API int tarvik_fbmap_use_alpha_transfer(tarvik_fbmap_t *map, int on)
{
    return set_flag(map, TARVIK_FBMAP_FLAG_NO_ALPHA_TRANSFER, on == 0);
}

TARVIK_API int tarvik_fbmap_add_dirty(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                      int32_t height)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    tarvik::detail::grow_dirty(map, x, y, width, height);
    return 0;
}

TARVIK_API int tarvik_fbmap_update(tarvik_fbmap_t *map)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    if (map->m_parent == nullptr) {
        return transfer_master(map);
    }
    if (map->m_dirty.m_width <= 0 || map->m_dirty.m_height <= 0 || !shown(map)) {
        return 0;
    }
    const tarvik_fbmap_rect_t dirty = map->m_dirty;
    map->m_dirty = {0, 0, 0, 0};
    const int result = redraw_rect(map, dirty, false, nullptr);
    const int transferred = transfer_master(root_of(map));
    return result != 0 ? result : transferred;
}

TARVIK_API int tarvik_fbmap_hide(tarvik_fbmap_t *map)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    map->m_flags |= TARVIK_FBMAP_FLAG_HIDDEN;
    return redraw_whole(map, true);
}

TARVIK_API int tarvik_fbmap_show(tarvik_fbmap_t *map)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    map->m_flags &= ~TARVIK_FBMAP_FLAG_HIDDEN;
    return redraw_whole(map);
}

TARVIK_API int tarvik_fbmap_resize(tarvik_fbmap_t *map, int32_t x, int32_t y, uint32_t resx,
                                   uint32_t resy)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    if (map->m_parent == nullptr ||
        (x == map->m_x && y == map->m_y && resx == map->m_resx && resy == map->m_resy)) {
        return 0;
    }
    const tarvik_fbmap_rect_t old_area = absolute_of(map, whole(map), nullptr, nullptr);
    if (resx != map->m_resx || resy != map->m_resy) {
        const uint64_t line_length = static_cast<uint64_t>(resx) * (map->m_bits_per_pixel / 8);
        if (map->m_bits_per_pixel % 8 != 0 || line_length > UINT32_MAX ||
            !tarvik::detail::area_fits(static_cast<uint32_t>(line_length), resy) ||
            resx > INT32_MAX || resy > INT32_MAX) {
            tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "fbmap area too large !");
            return -1;
        }
        const uint32_t size = static_cast<uint32_t>(line_length) * resy;
        void *buffer = size != 0 ? tarvik_alloc_tag(size, TARVIK_TAG) : nullptr;
        if (size != 0 && buffer == nullptr) {
            tarvik_assert_fail_tag(__FILE__, __func__, __LINE__,
                                   "not enough memory ! resize failed !");
            return -1;
        }
        if (buffer != nullptr) {
            memset(buffer, 0, size);
        }
        if ((map->m_flags & TARVIK_FBMAP_FLAG_OWN_MAP) != 0) {
            free_buffer(&map->m_map);
        }
        map->m_map = buffer;
        map->m_map_size = size;
        map->m_line_length = static_cast<uint32_t>(line_length);
        map->m_resx = resx;
        map->m_resy = resy;
        map->m_flags |= TARVIK_FBMAP_FLAG_OWN_MAP;
        map->m_dirty = {0, 0, 0, 0};
    }
    map->m_x = x;
    map->m_y = y;
    if (!shown(map)) {
        return 0;
    }
    int result = redraw_rect(map, whole(map), false, nullptr);
    const tarvik_fbmap_rect_t new_area = absolute_of(map, whole(map), nullptr, nullptr);
    tarvik_fbmap_rect_t overlap, outside[4];
    int count = tarvik_sep_overlap_window(&overlap, outside, &old_area, &new_area);
    if (count < 0) {
        outside[0] = old_area;
        count = old_area.m_width > 0 && old_area.m_height > 0 ? 1 : 0;
    }
    for (int index = 0; index < count; ++index) {
        if (redraw_rect(map, whole(map), true, &outside[index]) != 0) {
            result = -1;
        }
    }
    const int transferred = transfer_master(root_of(map));
    return result != 0 ? result : transferred;
}

TARVIK_API int tarvik_fbmap_move(tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    FbmapLock lock;
    return tarvik_fbmap_resize(map, x, y, map->m_resx, map->m_resy);
}

TARVIK_API int tarvik_fbmap_transfer(tarvik_fbmap_t *master)
{
    if (!tarvik::detail::fbmap_ok(master)) {
        return -1;
    }
    FbmapLock lock;
    return transfer_master(root_of(master));
}

TARVIK_API tarvik_fbmap_t *tarvik_fbmap_search(tarvik_fbmap_t *list, int32_t id, const char *name)
{
    FbmapLock lock;
    for (; list != nullptr; list = list->m_next) {
        if (list->m_id == id &&
            (name == nullptr || (list->m_name != nullptr && strcmp(list->m_name, name) == 0))) {
            return list;
        }
    }
    return nullptr;
}

TARVIK_API int tarvik_sep_overlap_window(tarvik_fbmap_rect_t *overlap, tarvik_fbmap_rect_t *outside,
                                         const tarvik_fbmap_rect_t *piece,
                                         const tarvik_fbmap_rect_t *window)
{
    if (overlap == nullptr || outside == nullptr || piece == nullptr || window == nullptr) {
        return -1;
    }
    const int64_t px1 = piece->m_x, py1 = piece->m_y;
    const int64_t px2 = px1 + piece->m_width, py2 = py1 + piece->m_height;
    const int64_t wx1 = window->m_x, wy1 = window->m_y;
    const int64_t wx2 = wx1 + window->m_width, wy2 = wy1 + window->m_height;
    const int64_t x1 = px1 > wx1 ? px1 : wx1, y1 = py1 > wy1 ? py1 : wy1;
    const int64_t x2 = px2 < wx2 ? px2 : wx2, y2 = py2 < wy2 ? py2 : wy2;
    if (piece->m_width <= 0 || piece->m_height <= 0 || x1 >= x2 || y1 >= y2) {
        return -1;
    }
    auto rect = [](int64_t left, int64_t top, int64_t right, int64_t bottom) {
        return tarvik_fbmap_rect_t{static_cast<int32_t>(left), static_cast<int32_t>(top),
                                   static_cast<int32_t>(right - left),
                                   static_cast<int32_t>(bottom - top)};
    };
    *overlap = rect(x1, y1, x2, y2);
    int count = 0;
    if (py1 < y1) { // above: full width
        outside[count++] = rect(px1, py1, px2, y1);
    }
    if (y2 < py2) { // below: full width
        outside[count++] = rect(px1, y2, px2, py2);
    }
    if (px1 < x1) { // left, overlap rows only
        outside[count++] = rect(px1, y1, x1, y2);
    }
    if (x2 < px2) { // right, overlap rows only
        outside[count++] = rect(x2, y1, px2, y2);
    }
    return count;
}

} // extern "C"
