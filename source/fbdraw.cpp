// Drawing into window maps. Every entry takes the global window-map lock and draws through a
// painter that clips each span to the map and grows the dirty rectangle once at the end, so
// that no coordinate, size, radius or scale reaches outside the map's own buffer.
#include "fbdraw.h"

#include "bitmap_font.h"
#include "format.h"
#include "utf8.h"

#include "detail/common.hpp"
#include "detail/fbmap.hpp"

#include <cstring>

namespace {

using tarvik::detail::FbmapLock;

// ---- per-depth spans: every primitive is made of runs of one colour along a row ----

using SpanFunction = void (*)(uint8_t *row, int32_t x, int32_t length, uint32_t color);

template <unsigned Bytes> void fill_span(uint8_t *row, int32_t x, int32_t length, uint32_t color)
{
    uint8_t *at = row + static_cast<size_t>(x) * Bytes;
    if constexpr (Bytes == 1) {
        memset(at, static_cast<int>(color & 0xFFu), static_cast<size_t>(length));
    } else {
        // Pixels are stored in the machine's byte order, the lowest channel first at 24 bits.
        uint8_t pixel[4];
        if constexpr (Bytes == 3) {
            pixel[0] = static_cast<uint8_t>(color);
            pixel[1] = static_cast<uint8_t>(color >> 8);
            pixel[2] = static_cast<uint8_t>(color >> 16);
        } else if constexpr (Bytes == 2) {
            uint16_t value = static_cast<uint16_t>(color);
            memcpy(pixel, &value, 2);
        } else {
            memcpy(pixel, &color, 4);
        }
        for (int32_t i = 0; i < length; ++i, at += Bytes) {
            memcpy(at, pixel, Bytes);
        }
    }
}

struct DrawHooks {
    SpanFunction m_span;
};
constexpr DrawHooks HOOKS[] = {{fill_span<1>}, {fill_span<2>}, {fill_span<3>}, {fill_span<4>}};

// The part of a colour value that a pixel of the map stores.
uint32_t pixel_value(const tarvik_fbmap_t *map, uint32_t color)
{
    return map->m_bits_per_pixel >= 32 ? color : color & ((1u << map->m_bits_per_pixel) - 1u);
}

int64_t clamp64(int64_t value, int64_t low, int64_t high)
{
    return value < low ? low : (value > high ? high : value);
}

int32_t saturate(int64_t value)
{
    return static_cast<int32_t>(clamp64(value, INT32_MIN, INT32_MAX));
}

// Writes clipped spans of one colour into a map and remembers the box they covered; the
// dirty rectangle grows by that box when the painter goes.
class Painter {
  public:
    Painter(tarvik_fbmap_t *map, uint32_t color) : m_map(map), m_color(color)
    {
        if (!tarvik::detail::fbmap_ok(map) || !tarvik::detail::fbmap_hooks(map)) {
            m_map = nullptr;
            return;
        }
        uint32_t bytes = map->m_bits_per_pixel / 8;
        if (map->m_draw_hooks == nullptr) {
            map->m_draw_hooks = const_cast<DrawHooks *>(&HOOKS[bytes - 1]);
        }
        m_span = static_cast<const DrawHooks *>(map->m_draw_hooks)->m_span;
        m_width = static_cast<int64_t>(map->m_resx > INT32_MAX ? INT32_MAX : map->m_resx);
        m_height = static_cast<int64_t>(map->m_resy > INT32_MAX ? INT32_MAX : map->m_resy);
    }
    ~Painter()
    {
        if (m_right > m_left) {
            tarvik::detail::grow_dirty(m_map, saturate(m_left), saturate(m_top),
                                       saturate(m_right - m_left), saturate(m_bottom - m_top));
        }
    }
    Painter(const Painter &) = delete;
    Painter &operator=(const Painter &) = delete;

    bool ok() const { return m_map != nullptr; }
    bool drawn() const { return m_right > m_left; }
    int result() const { return drawn() ? 0 : -1; }
    int64_t width() const { return m_width; }
    int64_t height() const { return m_height; }
    tarvik_fbmap_t *map() const { return m_map; }
    void set_color(uint32_t color) { m_color = color; }

    // The run of length pixels from (x, y) rightward, clipped to the map.
    void span(int64_t x, int64_t y, int64_t length)
    {
        int64_t left = x < 0 ? 0 : x;
        int64_t right = x + length > m_width ? m_width : x + length;
        if (y < 0 || y >= m_height || left >= right) {
            return;
        }
        uint8_t *row =
            static_cast<uint8_t *>(m_map->m_map) + static_cast<size_t>(y) * m_map->m_line_length;
        m_span(row, static_cast<int32_t>(left), static_cast<int32_t>(right - left), m_color);
        if (m_right <= m_left) {
            m_left = left, m_right = right, m_top = y, m_bottom = y + 1;
            return;
        }
        m_left = left < m_left ? left : m_left;
        m_right = right > m_right ? right : m_right;
        m_top = y < m_top ? y : m_top;
        m_bottom = y + 1 > m_bottom ? y + 1 : m_bottom;
    }
    void pixel(int64_t x, int64_t y) { span(x, y, 1); }
    // The box rows clipped to the map (only the rows that can show are visited).
    void box(int64_t x, int64_t y, int64_t width, int64_t height)
    {
        int64_t bottom = clamp64(y + height, 0, m_height);
        for (int64_t row = clamp64(y, 0, m_height); row < bottom; ++row) {
            span(x, row, width);
        }
    }
    bool inside(int64_t x, int64_t y) const
    {
        return x >= 0 && y >= 0 && x < m_width && y < m_height;
    }

  private:
    tarvik_fbmap_t *m_map;
    uint32_t m_color;
    SpanFunction m_span = nullptr;
    int64_t m_width = 0;
    int64_t m_height = 0;
    int64_t m_left = 0;
    int64_t m_right = 0;
    int64_t m_top = 0;
    int64_t m_bottom = 0;
};

// ---- line ----

// Pixel i of a segment (0 .. major length) lies i steps along the longer axis and
// round-half-up(i × minor / major) steps along the other: the pixels of a Bresenham walk whose
// error term starts at half a step. The walk visits only the steps inside the map, so far-away
// end points cost nothing; products stay below 2^64 for 32-bit end points.
struct Segment {
    int64_t m_major_start, m_minor_start;
    uint64_t m_major, m_minor;
    int64_t m_major_step, m_minor_step;
    bool m_steep;

    uint64_t offset(uint64_t i) const { return (i * m_minor + m_major / 2) / m_major; }
    // The first step in [low, high + 1] whose minor offset is at least target.
    uint64_t first_at_least(uint64_t low, uint64_t high, uint64_t target) const
    {
        uint64_t end = high + 1;
        while (low < end) {
            uint64_t middle = low + (end - low) / 2;
            if (offset(middle) >= target) {
                end = middle;
            } else {
                low = middle + 1;
            }
        }
        return low;
    }
};

// The steps [low, high] whose coordinate start + step × i lies in [0, limit); false when none.
bool steps_inside(int64_t start, int64_t step, uint64_t count, int64_t limit, int64_t *low,
                  int64_t *high)
{
    int64_t first = step > 0 ? -start : start - (limit - 1);
    int64_t last = step > 0 ? limit - 1 - start : start;
    *low = first < 0 ? 0 : first;
    *high = last > static_cast<int64_t>(count) ? static_cast<int64_t>(count) : last;
    return *low <= *high;
}

void draw_segment(Painter &painter, int64_t x1, int64_t y1, int64_t x2, int64_t y2)
{
    int64_t dx = x2 > x1 ? x2 - x1 : x1 - x2;
    int64_t dy = y2 > y1 ? y2 - y1 : y1 - y2;
    Segment s{};
    s.m_steep = dy > dx;
    s.m_major_start = s.m_steep ? y1 : x1;
    s.m_minor_start = s.m_steep ? x1 : y1;
    s.m_major = static_cast<uint64_t>(s.m_steep ? dy : dx);
    s.m_minor = static_cast<uint64_t>(s.m_steep ? dx : dy);
    s.m_major_step = (s.m_steep ? y2 >= y1 : x2 >= x1) ? 1 : -1;
    s.m_minor_step = (s.m_steep ? x2 >= x1 : y2 >= y1) ? 1 : -1;
    if (s.m_major == 0) {
        painter.pixel(x1, y1);
        return;
    }
    int64_t major_limit = s.m_steep ? painter.height() : painter.width();
    int64_t minor_limit = s.m_steep ? painter.width() : painter.height();
    int64_t low = 0;
    int64_t high = 0;
    int64_t minor_low = 0;
    int64_t minor_high = 0;
    if (!steps_inside(s.m_major_start, s.m_major_step, s.m_major, major_limit, &low, &high) ||
        !steps_inside(s.m_minor_start, s.m_minor_step, s.m_minor, minor_limit, &minor_low,
                      &minor_high)) {
        return;
    }
    uint64_t first = s.first_at_least(static_cast<uint64_t>(low), static_cast<uint64_t>(high),
                                      static_cast<uint64_t>(minor_low));
    uint64_t end =
        s.first_at_least(first, static_cast<uint64_t>(high), static_cast<uint64_t>(minor_high) + 1);
    uint64_t numerator = first * s.m_minor + s.m_major / 2;
    uint64_t minor = numerator / s.m_major;
    uint64_t remainder = numerator % s.m_major;
    for (uint64_t i = first; i < end; ++i) {
        int64_t major = s.m_major_start + s.m_major_step * static_cast<int64_t>(i);
        int64_t across = s.m_minor_start + s.m_minor_step * static_cast<int64_t>(minor);
        painter.pixel(s.m_steep ? across : major, s.m_steep ? major : across);
        remainder += s.m_minor;
        if (remainder >= s.m_major) {
            remainder -= s.m_major;
            ++minor;
        }
    }
}

// ---- circle ----

// The midpoint walk over one octant; each step draws the eight mirrored points, or the four
// spans between them.
void draw_circle(Painter &painter, int64_t cx, int64_t cy, int64_t radius, bool fill)
{
    int64_t a = 0;
    int64_t b = radius;
    int64_t d = 1 - radius;
    while (a <= b) {
        if (fill) {
            painter.span(cx - b, cy + a, 2 * b + 1);
            painter.span(cx - b, cy - a, 2 * b + 1);
            painter.span(cx - a, cy + b, 2 * a + 1);
            painter.span(cx - a, cy - b, 2 * a + 1);
        } else {
            const int64_t points[8][2] = {{a, b}, {-a, b}, {a, -b}, {-a, -b},
                                          {b, a}, {-b, a}, {b, -a}, {-b, -a}};
            for (const auto &point : points) {
                painter.pixel(cx + point[0], cy + point[1]);
            }
        }
        a += 1;
        if (d >= 0) {
            b -= 1;
            d += 2 * (a + 1 - b);
        } else {
            d += 2 * a + 1;
        }
    }
}

// ---- flood fill ----

// A run of a row still to look at: x from left to right on row y, reached from row y - dy.
struct FillSpan {
    int32_t m_left;
    int32_t m_right;
    int32_t m_y;
    int32_t m_dy;
};

// An explicit stack of runs instead of recursion: entries are pushed only after a run has
// been filled, so the stack never holds more than a few entries per filled run, and it lives
// on the tagged heap beyond its first block.
class FillStack {
  public:
    ~FillStack()
    {
        if (m_entries != m_local) {
            tarvik_free_tag(m_entries, TARVIK_TAG);
        }
    }
    bool push(int64_t left, int64_t right, int64_t y, int32_t dy, int64_t height)
    {
        if (y < 0 || y >= height || left > right) {
            return true;
        }
        if (m_count == m_capacity && !grow()) {
            return false;
        }
        m_entries[m_count++] = {static_cast<int32_t>(left), static_cast<int32_t>(right),
                                static_cast<int32_t>(y), dy};
        return true;
    }
    bool pop(FillSpan *span)
    {
        if (m_count == 0) {
            return false;
        }
        *span = m_entries[--m_count];
        return true;
    }

  private:
    bool grow()
    {
        size_t capacity = m_capacity * 2;
        auto *entries =
            static_cast<FillSpan *>(tarvik_alloc_tag(capacity * sizeof(FillSpan), TARVIK_TAG));
        if (entries == nullptr) {
            return false;
        }
        memcpy(entries, m_entries, m_count * sizeof(FillSpan));
        if (m_entries != m_local) {
            tarvik_free_tag(m_entries, TARVIK_TAG);
        }
        m_entries = entries;
        m_capacity = capacity;
        return true;
    }

    FillSpan m_local[64];
    FillSpan *m_entries = m_local;
    size_t m_count = 0;
    size_t m_capacity = 64;
};

// Scan-line fill of the four-connected area of the seed's colour. Each popped run is widened
// to the left, filled, and the runs it reaches on the next row (and, past its ends, on the
// row it came from) are pushed.
bool flood_fill(Painter &painter, uint32_t color, int32_t x, int32_t y)
{
    tarvik_fbmap_t *map = painter.map();
    uint32_t target = tarvik::detail::get_pixel(map, x, y);
    // Only the bits a pixel holds count: a wider value would never equal what it wrote, and
    // the filled area would be found again and again.
    color = pixel_value(map, color);
    if (target == color) {
        return true;
    }
    int64_t height = painter.height();
    auto inside = [&](int64_t px, int64_t py) {
        return painter.inside(px, py) &&
               tarvik::detail::get_pixel(map, static_cast<int32_t>(px), static_cast<int32_t>(py)) ==
                   target;
    };
    FillStack stack;
    bool ok = stack.push(x, x, y, 1, height) && stack.push(x, x, y - 1, -1, height);
    FillSpan run{};
    while (ok && stack.pop(&run)) {
        int64_t left = run.m_left;
        int64_t right = run.m_right;
        int64_t cursor = left;
        if (inside(cursor, run.m_y)) {
            while (inside(cursor - 1, run.m_y)) {
                --cursor;
            }
            painter.span(cursor, run.m_y, left - cursor);
            ok = stack.push(cursor, left - 1, run.m_y - run.m_dy, -run.m_dy, height);
        }
        while (ok && left <= right) {
            int64_t start = left;
            while (inside(left, run.m_y)) {
                ++left;
            }
            painter.span(start, run.m_y, left - start);
            if (left > cursor) {
                ok = stack.push(cursor, left - 1, run.m_y + run.m_dy, run.m_dy, height) &&
                     (left - 1 <= right ||
                      stack.push(right + 1, left - 1, run.m_y - run.m_dy, -run.m_dy, height));
            }
            for (++left; left < right && !inside(left, run.m_y); ++left) {
            }
            cursor = left;
        }
    }
    return ok;
}

// ---- text ----

// The scale factor of the brush as it stands in the record, or 1/1 when it is not one the
// setters accept (a C caller may have written the fields directly).
struct Scale {
    int64_t m_num;
    int64_t m_den;
    // Values are held within 2^32 first so that the product stays within 64 bits.
    int64_t operator()(int64_t value) const
    {
        return clamp64(value, -LIMIT, LIMIT) * m_num / m_den;
    }
    static constexpr int64_t LIMIT = (int64_t{1} << 32) - 1;
};

bool scale_ok(int32_t num, int32_t den)
{
    return den >= 1 && num >= 1 && num <= static_cast<int64_t>(TARVIK_FBMAP_MAX_BRUSH_SCALE) * den;
}

Scale scale_of(int32_t num, int32_t den)
{
    return scale_ok(num, den) ? Scale{num, den} : Scale{1, 1};
}

uint32_t normal_angle(int32_t angle)
{
    int32_t rest = angle % 360;
    return static_cast<uint32_t>(rest < 0 ? rest + 360 : rest);
}

// sin(d) × 65536 truncated toward zero, for d = 0 .. 90 degrees.
constexpr uint32_t SINE[91] = {
    0,     1143,  2287,  3429,  4571,  5711,  6850,  7986,  9120,  10252, 11380, 12504, 13625,
    14742, 15854, 16961, 18064, 19160, 20251, 21336, 22414, 23486, 24550, 25606, 26655, 27696,
    28729, 29752, 30767, 31772, 32767, 33753, 34728, 35693, 36647, 37589, 38521, 39440, 40347,
    41243, 42125, 42995, 43852, 44695, 45525, 46340, 47142, 47929, 48702, 49460, 50203, 50931,
    51643, 52339, 53019, 53683, 54331, 54963, 55577, 56175, 56755, 57319, 57864, 58393, 58903,
    59395, 59870, 60326, 60763, 61183, 61583, 61965, 62328, 62672, 62997, 63302, 63589, 63856,
    64103, 64331, 64540, 64729, 64898, 65047, 65176, 65286, 65376, 65446, 65496, 65526, 65536};

int32_t sine(uint32_t d)
{
    if (d <= 90) {
        return static_cast<int32_t>(SINE[d]);
    }
    if (d <= 180) {
        return static_cast<int32_t>(SINE[180 - d]);
    }
    return -static_cast<int32_t>(SINE[d <= 270 ? d - 180 : 360 - d]);
}

int32_t cosine(uint32_t d) { return sine(d <= 270 ? (450 - d) % 360 : d - 270); }

// Rotation with 64-bit products, both quotients truncated toward zero.
void rotate(int64_t *x, int64_t *y, uint32_t angle)
{
    int64_t s = sine(angle);
    int64_t c = cosine(angle);
    int64_t rx = (*x * c - *y * s) / 65536;
    int64_t ry = (*x * s + *y * c) / 65536;
    *x = rx;
    *y = ry;
}

// What a glyph pass needs of the brush, read once per text.
struct Brush {
    int64_t m_origin_x;
    int64_t m_origin_y;
    Scale m_x_scale;
    Scale m_y_scale;
    uint32_t m_angle;
};

// Text-space points beyond this distance from the origin cannot reach a map (they only come
// from cursors moved far away): such runs are skipped rather than walked.
constexpr int64_t FAR = int64_t{1} << 31;

// A run of count glyph cells from text position (u, v) and rows rows: one box, or with an
// angle one rotated line per pixel row of the scaled run.
void draw_run(Painter &painter, const Brush &brush, int64_t u, int64_t v, int64_t count,
              int64_t rows)
{
    int64_t left = brush.m_x_scale(u);
    int64_t right = brush.m_x_scale(u + count);
    int64_t top = brush.m_y_scale(v);
    int64_t bottom = brush.m_y_scale(v + rows);
    if (right <= left || bottom <= top) {
        return;
    }
    if (brush.m_angle == 0) {
        painter.box(brush.m_origin_x + left, brush.m_origin_y + top, right - left, bottom - top);
        return;
    }
    if (left < -FAR || right > FAR || top < -FAR || bottom > FAR) {
        return;
    }
    for (int64_t row = top; row < bottom; ++row) {
        int64_t x1 = left;
        int64_t y1 = row;
        int64_t x2 = right - 1;
        int64_t y2 = row;
        rotate(&x1, &y1, brush.m_angle);
        rotate(&x2, &y2, brush.m_angle);
        draw_segment(painter, brush.m_origin_x + x1, brush.m_origin_y + y1, brush.m_origin_x + x2,
                     brush.m_origin_y + y2);
    }
}

// The glyph's set bits, run by run along each row, at text position (u, v).
void draw_glyph(Painter &painter, const Brush &brush, const unsigned char *glyph, int width,
                int height, int64_t u, int64_t v)
{
    int row_bytes = (width + 7) / 8;
    for (int row = 0; row < height; ++row) {
        const unsigned char *bits = glyph + row * row_bytes;
        for (int column = 0; column < width;) {
            auto set = [&](int c) { return c < width && (bits[c / 8] & (0x80u >> (c % 8))) != 0; };
            if (!set(column)) {
                ++column;
                continue;
            }
            int start = column;
            while (set(column)) {
                ++column;
            }
            draw_run(painter, brush, u + start, v + row, column - start, 1);
        }
    }
}

// The eight outline passes: (1, 1) plus one step toward each neighbour.
constexpr int8_t OUTLINE_STEPS[8][2] = {{1, 0},  {1, 1},   {0, 1},  {-1, 1},
                                        {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};

int puts_nolock(tarvik_fbmap_t *map, const char *text)
{
    Painter painter(map, map != nullptr ? map->m_fcolor : 0);
    if (!painter.ok() || text == nullptr) {
        return -1;
    }
    Brush brush{map->m_origin_x, map->m_origin_y, scale_of(map->m_x_scale_num, map->m_x_scale_den),
                scale_of(map->m_y_scale_num, map->m_y_scale_den), normal_angle(map->m_angle)};
    uint32_t flags = map->m_flags;
    bool outline = (flags & TARVIK_FBMAP_FLAG_BRUSH_OCOLOR) != 0;
    int64_t o = outline ? 2 : 0;
    int64_t x_interval = map->m_x_interval;
    int64_t y_interval = map->m_y_interval;
    int64_t cursor_x = map->m_cursor_x;
    int64_t cursor_y = map->m_cursor_y;
    size_t size = strlen(text);
    int count = 0;
    for (size_t at = 0; at < size; ++count) {
        uint32_t code = 0;
        size_t bytes = tarvik_utf8_character_decode(text + at, size - at, &code);
        if (bytes == 0) {
            bytes = 1; // a byte that starts no character shows the placeholder glyph
            code = 0xFFFD;
        }
        at += bytes;
        if (code == '\n' || code == '\r') {
            cursor_x = 0;
            cursor_y += code == '\n' ? 16 + y_interval + o : 0;
            continue;
        }
        if (code == '\b') {
            cursor_x -= 8 + x_interval + o;
            continue;
        }
        unsigned char glyph[TARVIK_BITMAP_FONT_GLYPH_BYTES];
        int width = 8;
        int height = 16;
        tarvik_get_bitmap_font(&width, &height, glyph, nullptr, code);
        // A glyph that would reach beyond the right edge wraps, unless it already starts the
        // line (one that ends on the last column fits).
        if (cursor_x != 0 && brush.m_origin_x + brush.m_x_scale(cursor_x + x_interval + width + o) >
                                 painter.width()) {
            cursor_x = 0;
            cursor_y += y_interval + height + o;
        }
        if ((flags & TARVIK_FBMAP_FLAG_BRUSH_BCOLOR) != 0) {
            painter.set_color(map->m_bcolor);
            draw_run(painter, brush, cursor_x, cursor_y, width, height);
        }
        if (outline) {
            painter.set_color(map->m_ocolor);
            for (const auto &step : OUTLINE_STEPS) {
                draw_glyph(painter, brush, glyph, width, height, cursor_x + 1 + step[0],
                           cursor_y + 1 + step[1]);
            }
        }
        if ((flags & TARVIK_FBMAP_FLAG_BRUSH_FCOLOR) != 0) {
            painter.set_color(map->m_fcolor);
            draw_glyph(painter, brush, glyph, width, height, cursor_x + o / 2, cursor_y + o / 2);
        }
        cursor_x += x_interval + width + o;
        // Cursors stay within 32 bits however far a long text or a huge interval takes them.
        cursor_x = clamp64(cursor_x, INT32_MIN, INT32_MAX);
        cursor_y = clamp64(cursor_y, INT32_MIN, INT32_MAX);
    }
    map->m_cursor_x = saturate(cursor_x);
    map->m_cursor_y = saturate(cursor_y);
    return count;
}

// ---- brush setters ----

template <typename Change> int change_brush(tarvik_fbmap_t *map, Change change)
{
    FbmapLock lock;
    if (!tarvik::detail::fbmap_ok(map)) {
        return -1;
    }
    return change(map) ? 0 : -1;
}

// One or two fields of a map set under the lock when the values are acceptable.
template <typename T>
int set_fields(tarvik_fbmap_t *map, T tarvik_fbmap_t::*first, T first_value,
               T tarvik_fbmap_t::*second = nullptr, T second_value = 0, bool acceptable = true)
{
    FbmapLock lock;
    if (!tarvik::detail::fbmap_ok(map) || !acceptable) {
        return -1;
    }
    map->*first = first_value;
    if (second != nullptr) {
        map->*second = second_value;
    }
    return 0;
}

uint32_t switch_flag(uint32_t flags, uint32_t flag, int on)
{
    return on ? flags | flag : flags & ~flag;
}

// ---- patterns ----

constexpr uint32_t BAR_TOP[7] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                 0xFF00FF, 0xFF0000, 0x0000FF};
constexpr uint32_t BAR_MIDDLE[7] = {0x0000FF, 0x000000, 0xFF7F3F, 0x000000,
                                    0x007FFF, 0x000000, 0xFFFFFF};
constexpr uint32_t BAR_BOTTOM[6] = {0x00007F, 0xFFFFFF, 0x0000FF, 0x000000, 0x000000, 0x000000};

// The frame of a box (its whole area when it is too thin to have an inside).
void draw_outline(Painter &painter, int64_t x, int64_t y, int64_t width, int64_t height)
{
    if (width <= 2 || height <= 2) {
        painter.box(x, y, width, height);
        return;
    }
    painter.span(x, y, width);
    painter.span(x, y + height - 1, width);
    painter.box(x, y + 1, 1, height - 2);
    painter.box(x + width - 1, y + 1, 1, height - 2);
}

// Text at (x, y) in the painter's colour, upright and unscaled, whatever the brush holds.
void draw_label(Painter &painter, int64_t x, int64_t y, const char *text)
{
    const Brush brush{x, y, Scale{1, 1}, Scale{1, 1}, 0};
    for (int64_t u = 0; *text != '\0'; ++text) {
        unsigned char glyph[TARVIK_BITMAP_FONT_GLYPH_BYTES];
        int width = 8;
        int height = 16;
        tarvik_get_bitmap_font(&width, &height, glyph, nullptr, static_cast<unsigned char>(*text));
        draw_glyph(painter, brush, glyph, width, height, u, 0);
        u += width;
    }
}

// The first tick at or right of 0 for ticks every step from start.
int64_t first_tick(int64_t start, int64_t step)
{
    return start < 0 ? (-start + step - 1) / step : 0;
}

// Ticks every step along the top edge (down the left edge when vertical) of a ruler of the
// given length, longer every fifth, numbered every tenth; only ticks that can show are visited.
void draw_ticks(Painter &painter, int64_t x, int64_t y, int64_t length, int64_t step, bool vertical)
{
    int64_t start = vertical ? y : x;
    int64_t end = start + length;
    end = end < (vertical ? painter.height() : painter.width())
              ? end
              : (vertical ? painter.height() : painter.width());
    for (int64_t i = first_tick(start, step), at = start + i * step; at < end; ++i, at += step) {
        int64_t tick = i % 10 == 0 ? 12 : (i % 5 == 0 ? 8 : 4);
        painter.box(vertical ? x : at, vertical ? at : y, vertical ? tick : 1, vertical ? 1 : tick);
        if (i % 10 == 0 && i != 0) {
            char number[16];
            tarvik_snprintf(number, sizeof(number), "%3d", static_cast<int>(at - start));
            draw_label(painter, vertical ? x + 14 : at + 2, vertical ? at + 2 : y + 12, number);
        }
    }
}

// One row of count bars across width (the last takes the remainder).
void draw_bar_row(Painter &painter, const uint32_t *colors, int count, uint32_t alpha, int64_t x,
                  int64_t y, int64_t width, int64_t height)
{
    int64_t each = width / count;
    for (int i = 0; i < count; ++i) {
        painter.set_color(tarvik_fbmap_convert_color(painter.map(), TARVIK_COLOR_INTERFACE_ARGB8888,
                                                     (alpha << 24) | colors[i]));
        painter.box(x + each * i, y, i + 1 == count ? width - each * i : each, height);
    }
}

// Copies the box of from into to, each target pixel taking the nearest source pixel.
int scale_box(tarvik_fbmap_t *from, int64_t x, int64_t y, int64_t width, int64_t height,
              tarvik_fbmap_t *to, int64_t to_x, int64_t to_y, int64_t to_width, int64_t to_height)
{
    FbmapLock lock;
    Painter painter(to, 0);
    if (!painter.ok() || !tarvik::detail::fbmap_ok(from) || !tarvik::detail::fbmap_hooks(from) ||
        width <= 0 || height <= 0 || to_width <= 0 || to_height <= 0) {
        return -1;
    }
    int64_t top = clamp64(to_y, 0, painter.height());
    int64_t bottom = clamp64(to_y + to_height, 0, painter.height());
    int64_t left = clamp64(to_x, 0, painter.width());
    int64_t right = clamp64(to_x + to_width, 0, painter.width());
    for (int64_t row = top; row < bottom; ++row) {
        int64_t source_y = y + (row - to_y) * height / to_height;
        for (int64_t column = left; column < right; ++column) {
            int64_t source_x = x + (column - to_x) * width / to_width;
            if (source_x < 0 || source_y < 0 || source_x >= from->m_resx ||
                source_y >= from->m_resy) {
                continue;
            }
            uint32_t value = tarvik::detail::get_pixel(from, static_cast<int32_t>(source_x),
                                                       static_cast<int32_t>(source_y));
            painter.set_color(
                tarvik_convert_color(to->m_color_interface, from->m_color_interface, value));
            painter.pixel(column, row);
        }
    }
    return painter.result();
}

int copy_box(tarvik_fbmap_t *from, int32_t x, int32_t y, int32_t width, int32_t height,
             tarvik_fbmap_t *to, int32_t to_x, int32_t to_y)
{
    FbmapLock lock;
    if (!tarvik::detail::fbmap_ok(from) || !tarvik::detail::fbmap_ok(to) ||
        !tarvik::detail::fbmap_hooks(from) || !tarvik::detail::fbmap_hooks(to) || width <= 0 ||
        height <= 0) {
        return -1;
    }
    if (tarvik::detail::copy_box(to, to_x, to_y, from, x, y, width, height, 0) != 0) {
        return -1;
    }
    tarvik::detail::grow_dirty(to, to_x, to_y, width, height);
    return 0;
}

} // namespace

// ---- brush ----

TARVIK_API int tarvik_fbmap_set_brush_color(tarvik_fbmap_t *map, uint32_t fcolor, uint32_t bcolor,
                                            uint32_t ocolor)
{
    return change_brush(map, [=](tarvik_fbmap_t *m) {
        m->m_fcolor = fcolor, m->m_bcolor = bcolor, m->m_ocolor = ocolor;
        return true;
    });
}

TARVIK_API int tarvik_fbmap_set_brush_fcolor(tarvik_fbmap_t *map, uint32_t color)
{
    return set_fields(map, &tarvik_fbmap_t::m_fcolor, color);
}

TARVIK_API int tarvik_fbmap_set_brush_bcolor(tarvik_fbmap_t *map, uint32_t color)
{
    return set_fields(map, &tarvik_fbmap_t::m_bcolor, color);
}

TARVIK_API int tarvik_fbmap_set_brush_ocolor(tarvik_fbmap_t *map, uint32_t color)
{
    return set_fields(map, &tarvik_fbmap_t::m_ocolor, color);
}

TARVIK_API int tarvik_fbmap_use_brush_color(tarvik_fbmap_t *map, int fcolor_on, int bcolor_on,
                                            int ocolor_on)
{
    return change_brush(map, [=](tarvik_fbmap_t *m) {
        uint32_t flags = switch_flag(m->m_flags, TARVIK_FBMAP_FLAG_BRUSH_FCOLOR, fcolor_on);
        flags = switch_flag(flags, TARVIK_FBMAP_FLAG_BRUSH_BCOLOR, bcolor_on);
        m->m_flags = switch_flag(flags, TARVIK_FBMAP_FLAG_BRUSH_OCOLOR, ocolor_on);
        return true;
    });
}

namespace {
int use_brush_flag(tarvik_fbmap_t *map, uint32_t flag, int on)
{
    return change_brush(map, [=](tarvik_fbmap_t *m) {
        m->m_flags = switch_flag(m->m_flags, flag, on);
        return true;
    });
}
} // namespace

TARVIK_API int tarvik_fbmap_use_brush_fcolor(tarvik_fbmap_t *map, int on)
{
    return use_brush_flag(map, TARVIK_FBMAP_FLAG_BRUSH_FCOLOR, on);
}

TARVIK_API int tarvik_fbmap_use_brush_bcolor(tarvik_fbmap_t *map, int on)
{
    return use_brush_flag(map, TARVIK_FBMAP_FLAG_BRUSH_BCOLOR, on);
}

TARVIK_API int tarvik_fbmap_use_brush_ocolor(tarvik_fbmap_t *map, int on)
{
    return use_brush_flag(map, TARVIK_FBMAP_FLAG_BRUSH_OCOLOR, on);
}

TARVIK_API int tarvik_fbmap_set_brush_xy_scale(tarvik_fbmap_t *map, int32_t x_num, int32_t x_den,
                                               int32_t y_num, int32_t y_den)
{
    return change_brush(map, [=](tarvik_fbmap_t *m) {
        if (!scale_ok(x_num, x_den) || !scale_ok(y_num, y_den)) {
            return false;
        }
        m->m_x_scale_num = x_num, m->m_x_scale_den = x_den;
        m->m_y_scale_num = y_num, m->m_y_scale_den = y_den;
        return true;
    });
}

TARVIK_API int tarvik_fbmap_set_brush_x_scale(tarvik_fbmap_t *map, int32_t num, int32_t den)
{
    return set_fields(map, &tarvik_fbmap_t::m_x_scale_num, num, &tarvik_fbmap_t::m_x_scale_den, den,
                      scale_ok(num, den));
}

TARVIK_API int tarvik_fbmap_set_brush_y_scale(tarvik_fbmap_t *map, int32_t num, int32_t den)
{
    return set_fields(map, &tarvik_fbmap_t::m_y_scale_num, num, &tarvik_fbmap_t::m_y_scale_den, den,
                      scale_ok(num, den));
}

TARVIK_API int tarvik_fbmap_set_brush_xy_interval(tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    return set_fields(map, &tarvik_fbmap_t::m_x_interval, x, &tarvik_fbmap_t::m_y_interval, y);
}

TARVIK_API int tarvik_fbmap_set_brush_x_interval(tarvik_fbmap_t *map, int32_t x)
{
    return set_fields(map, &tarvik_fbmap_t::m_x_interval, x);
}

TARVIK_API int tarvik_fbmap_set_brush_y_interval(tarvik_fbmap_t *map, int32_t y)
{
    return set_fields(map, &tarvik_fbmap_t::m_y_interval, y);
}

TARVIK_API int tarvik_fbmap_set_brush_angle(tarvik_fbmap_t *map, int32_t angle)
{
    return set_fields(map, &tarvik_fbmap_t::m_angle, angle);
}

TARVIK_API int tarvik_fbmap_set_brush_xy(tarvik_fbmap_t *map, int32_t x, int32_t y)
{
    return change_brush(map, [=](tarvik_fbmap_t *m) {
        m->m_origin_x = x, m->m_origin_y = y, m->m_cursor_x = 0, m->m_cursor_y = 0;
        return true;
    });
}

TARVIK_API int tarvik_fbmap_set_brush_x(tarvik_fbmap_t *map, int32_t x)
{
    return set_fields(map, &tarvik_fbmap_t::m_origin_x, x, &tarvik_fbmap_t::m_cursor_x, 0);
}

TARVIK_API int tarvik_fbmap_set_brush_y(tarvik_fbmap_t *map, int32_t y)
{
    return set_fields(map, &tarvik_fbmap_t::m_origin_y, y, &tarvik_fbmap_t::m_cursor_y, 0);
}

TARVIK_API int tarvik_fbmap_set_brush_xy_delta(tarvik_fbmap_t *map, int32_t dx, int32_t dy)
{
    return change_brush(map, [=](tarvik_fbmap_t *m) {
        m->m_cursor_x = saturate(int64_t{m->m_cursor_x} + dx);
        m->m_cursor_y = saturate(int64_t{m->m_cursor_y} + dy);
        return true;
    });
}

TARVIK_API int tarvik_fbmap_set_brush_x_delta(tarvik_fbmap_t *map, int32_t dx)
{
    return tarvik_fbmap_set_brush_xy_delta(map, dx, 0);
}

TARVIK_API int tarvik_fbmap_set_brush_y_delta(tarvik_fbmap_t *map, int32_t dy)
{
    return tarvik_fbmap_set_brush_xy_delta(map, 0, dy);
}

// ---- primitives ----

TARVIK_API int tarvik_fbmap_draw_pixel(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y)
{
    FbmapLock lock;
    Painter painter(map, color);
    if (!painter.ok()) {
        return -1;
    }
    painter.pixel(x, y);
    return painter.result();
}

TARVIK_API int tarvik_fbmap_draw_hline(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                       int32_t length)
{
    return tarvik_fbmap_draw_box(map, color, x, y, length, 1, 1);
}

TARVIK_API int tarvik_fbmap_draw_vline(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                       int32_t length)
{
    return tarvik_fbmap_draw_box(map, color, x, y, 1, length, 1);
}

TARVIK_API int tarvik_fbmap_draw_box(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                     int32_t width, int32_t height, int fill)
{
    FbmapLock lock;
    Painter painter(map, color);
    if (!painter.ok() || width <= 0 || height <= 0) {
        return -1;
    }
    if (fill != 0) {
        painter.box(x, y, width, height);
    } else {
        draw_outline(painter, x, y, width, height);
    }
    return painter.result();
}

TARVIK_API int tarvik_fbmap_draw_line(tarvik_fbmap_t *map, uint32_t color, int32_t x1, int32_t y1,
                                      int32_t x2, int32_t y2)
{
    FbmapLock lock;
    Painter painter(map, color);
    if (!painter.ok()) {
        return -1;
    }
    draw_segment(painter, x1, y1, x2, y2);
    return painter.result();
}

TARVIK_API int tarvik_fbmap_draw_circle(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                        int32_t radius, int fill)
{
    FbmapLock lock;
    Painter painter(map, color);
    if (!painter.ok() || radius < 0 || radius > TARVIK_FBMAP_MAX_RADIUS) {
        return -1;
    }
    // A circle whose bounding box misses the map has nothing to walk.
    if (int64_t{x} + radius < 0 || int64_t{y} + radius < 0 ||
        int64_t{x} - radius >= painter.width() || int64_t{y} - radius >= painter.height()) {
        return -1;
    }
    draw_circle(painter, x, y, radius, fill != 0);
    return painter.result();
}

TARVIK_API int tarvik_fbmap_draw_fill(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y)
{
    FbmapLock lock;
    Painter painter(map, color);
    if (!painter.ok() || !painter.inside(x, y)) {
        return -1;
    }
    if (!flood_fill(painter, color, x, y)) {
        tarvik_error_printf("%s: [ERROR] \e[1;31mnot enough memory ! (fill spans)\e[0m\n",
                            __func__);
        return -1;
    }
    return 0;
}

TARVIK_API int tarvik_fbmap_draw_clear(tarvik_fbmap_t *map, uint32_t color)
{
    FbmapLock lock;
    Painter painter(map, color);
    if (!painter.ok()) {
        return -1;
    }
    painter.box(0, 0, painter.width(), painter.height());
    return painter.result();
}

// ---- text ----

TARVIK_API int tarvik_fbmap_draw_puts(tarvik_fbmap_t *map, const char *text)
{
    FbmapLock lock;
    return puts_nolock(map, text);
}

TARVIK_API int tarvik_fbmap_draw_vprintf(tarvik_fbmap_t *map, const char *format, va_list arguments)
{
    char *text = format != nullptr ? tarvik_alloc_vsprintf(format, arguments) : nullptr;
    if (text == nullptr) {
        return -1;
    }
    int count = tarvik_fbmap_draw_puts(map, text);
    tarvik_free_tag(text, TARVIK_TAG);
    return count;
}

TARVIK_API int tarvik_fbmap_draw_printf(tarvik_fbmap_t *map, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int count = tarvik_fbmap_draw_vprintf(map, format, arguments);
    va_end(arguments);
    return count;
}

// ---- patterns ----

TARVIK_API int tarvik_fbmap_draw_ruler(tarvik_fbmap_t *map, uint32_t color, int32_t x, int32_t y,
                                       int32_t width, int32_t height, int32_t interval)
{
    FbmapLock lock;
    Painter painter(map, color);
    if (!painter.ok() || width <= 0 || height <= 0) {
        return -1;
    }
    draw_outline(painter, x, y, width, height);
    int64_t step = interval > 0 ? interval : 10;
    draw_ticks(painter, x, y, width, step, false);
    draw_ticks(painter, x, y, height, step, true);
    // The crosshair: three lines each way through the centre, 100 pixels to every side.
    int64_t cx = int64_t{x} + width / 2;
    int64_t cy = int64_t{y} + height / 2;
    for (int64_t d = -1; d <= 1; ++d) {
        painter.span(cx - 100, cy + d, 201);
        painter.box(cx + d, cy - 100, 1, 201);
    }
    return painter.result();
}

TARVIK_API int tarvik_fbmap_draw_color_bar(tarvik_fbmap_t *map, int extended, uint32_t alpha,
                                           int32_t x, int32_t y, int32_t width, int32_t height)
{
    FbmapLock lock;
    Painter painter(map, 0);
    if (!painter.ok() || width <= 0 || height <= 0) {
        return -1;
    }
    alpha &= 0xFFu;
    int64_t top = extended == 1 ? height / 3 * 2 : height;
    draw_bar_row(painter, BAR_TOP, 7, alpha, x, y, width, top);
    if (extended == 1) {
        int64_t middle = height / 6;
        draw_bar_row(painter, BAR_MIDDLE, 7, alpha, x, int64_t{y} + top, width, middle);
        draw_bar_row(painter, BAR_BOTTOM, 6, alpha, x, int64_t{y} + top + middle, width,
                     height - top - middle);
    }
    return painter.result();
}

// ---- box transfers ----

TARVIK_API int tarvik_fbmap_get_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                    int32_t height, tarvik_fbmap_t *to, int32_t to_x, int32_t to_y)
{
    return copy_box(map, x, y, width, height, to, to_x, to_y);
}

TARVIK_API int tarvik_fbmap_set_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                    int32_t height, tarvik_fbmap_t *from, int32_t from_x,
                                    int32_t from_y)
{
    return copy_box(from, from_x, from_y, width, height, map, x, y);
}

TARVIK_API int tarvik_fbmap_get_scale_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                          int32_t height, tarvik_fbmap_t *to, int32_t to_x,
                                          int32_t to_y, int32_t to_width, int32_t to_height)
{
    return scale_box(map, x, y, width, height, to, to_x, to_y, to_width, to_height);
}

TARVIK_API int tarvik_fbmap_set_scale_box(tarvik_fbmap_t *map, int32_t x, int32_t y, int32_t width,
                                          int32_t height, tarvik_fbmap_t *from, int32_t from_x,
                                          int32_t from_y, int32_t from_width, int32_t from_height)
{
    return scale_box(from, from_x, from_y, from_width, from_height, map, x, y, width, height);
}

TARVIK_API int tarvik_fbmap_get_pixel(tarvik_fbmap_t *map, int32_t x, int32_t y,
                                      uint32_t *color_out)
{
    FbmapLock lock;
    Painter painter(map, 0);
    if (!painter.ok() || color_out == nullptr || !painter.inside(x, y)) {
        return -1;
    }
    *color_out = tarvik::detail::get_pixel(map, x, y);
    return 0;
}

// ---- rotation ----

TARVIK_API int32_t tarvik_sin_16fp(int32_t angle) { return sine(normal_angle(angle)); }

TARVIK_API int32_t tarvik_cos_16fp(int32_t angle) { return cosine(normal_angle(angle)); }

TARVIK_API int tarvik_rotate(int32_t *x, int32_t *y, int32_t angle)
{
    if (x == nullptr || y == nullptr) {
        return -1;
    }
    int64_t rx = *x;
    int64_t ry = *y;
    rotate(&rx, &ry, normal_angle(angle));
    *x = saturate(rx);
    *y = saturate(ry);
    return 0;
}
