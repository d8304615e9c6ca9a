// Fuzzes the drawing calls with random arguments on a small map whose pixels sit between guard
// bytes: after every call the guards must be intact, the dirty rectangle inside the map, and
// the heap as it was once the maps are gone.
#include "tarvik.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t GUARD = 64;
constexpr uint8_t GUARD_BYTE = 0xA7;
constexpr int MAX_CALLS = 48;

void require(bool condition)
{
    if (!condition) {
        abort();
    }
}

class Input {
  public:
    Input(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}
    bool more() const { return m_at < m_size; }
    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    // Mostly small values around the map, sometimes the ends of the 32-bit range.
    int32_t value()
    {
        uint8_t kind = byte();
        if (kind < 0xE0) {
            return static_cast<int8_t>(byte()) + (kind & 0x1F) - 16;
        }
        uint32_t raw = 0;
        for (int i = 0; i < 4; ++i) {
            raw = raw << 8 | byte();
        }
        return static_cast<int32_t>(raw);
    }
    uint32_t color() { return static_cast<uint32_t>(value()); }

  private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_at = 0;
};

// A map over pixels that sit between two guard areas of the caller's block.
struct GuardedMap {
    tarvik_fbmap_t m_map;
    std::vector<uint8_t> m_block;

    GuardedMap(uint32_t interface, uint32_t width, uint32_t height)
    {
        require(tarvik_init_fbmap(&m_map, nullptr, 0, interface, 0, 0, width, height, 1, "fuzz") !=
                nullptr);
        m_block.assign(GUARD + m_map.m_map_size + GUARD, GUARD_BYTE);
        memset(m_block.data() + GUARD, 0, m_map.m_map_size);
        m_map.m_map = m_block.data() + GUARD;
    }
    ~GuardedMap()
    {
        m_map.m_map = nullptr;
        tarvik_destroy_fbmap(&m_map);
    }
    void check() const
    {
        for (size_t i = 0; i < GUARD; ++i) {
            require(m_block[i] == GUARD_BYTE);
            require(m_block[GUARD + m_map.m_map_size + i] == GUARD_BYTE);
        }
        const tarvik_fbmap_rect_t &dirty = m_map.m_dirty;
        if (dirty.m_width > 0 && dirty.m_height > 0) {
            require(dirty.m_x >= 0 && dirty.m_y >= 0);
            require(static_cast<int64_t>(dirty.m_x) + dirty.m_width <= m_map.m_resx);
            require(static_cast<int64_t>(dirty.m_y) + dirty.m_height <= m_map.m_resy);
        }
    }
};

constexpr uint32_t INTERFACES[] = {TARVIK_COLOR_INTERFACE_dddp0008, TARVIK_COLOR_INTERFACE_dRGB0565,
                                   TARVIK_COLOR_INTERFACE_dRGB0888,
                                   TARVIK_COLOR_INTERFACE_ARGB8888};

void call(Input &in, tarvik_fbmap_t *map, tarvik_fbmap_t *other)
{
    uint32_t c = in.color();
    int32_t a = in.value(), b = in.value(), d = in.value(), e = in.value();
    switch (in.byte() % 24) {
    case 0:
        tarvik_fbmap_draw_pixel(map, c, a, b);
        break;
    case 1:
        tarvik_fbmap_draw_hline(map, c, a, b, d);
        break;
    case 2:
        tarvik_fbmap_draw_vline(map, c, a, b, d);
        break;
    case 3:
        tarvik_fbmap_draw_box(map, c, a, b, d, e, in.byte() & 1);
        break;
    case 4:
        tarvik_fbmap_draw_line(map, c, a, b, d, e);
        break;
    case 5:
        tarvik_fbmap_draw_circle(map, c, a, b, d, in.byte() & 1);
        break;
    case 6:
        tarvik_fbmap_draw_fill(map, c, a, b);
        break;
    case 7:
        tarvik_fbmap_draw_clear(map, c);
        break;
    case 8: {
        char text[24];
        size_t length = in.byte() % sizeof(text);
        for (size_t i = 0; i < length; ++i) {
            text[i] = static_cast<char>(in.byte());
        }
        text[length] = '\0';
        tarvik_fbmap_draw_puts(map, text);
        break;
    }
    case 9:
        tarvik_fbmap_set_brush_xy_scale(map, a, b, d, e);
        break;
    case 10:
        tarvik_fbmap_set_brush_xy_interval(map, a, b);
        break;
    case 11:
        tarvik_fbmap_set_brush_angle(map, a);
        break;
    case 12:
        tarvik_fbmap_set_brush_xy(map, a, b);
        break;
    case 13:
        tarvik_fbmap_set_brush_xy_delta(map, a, b);
        break;
    case 14:
        tarvik_fbmap_set_brush_color(map, c, static_cast<uint32_t>(a), static_cast<uint32_t>(b));
        break;
    case 15:
        tarvik_fbmap_use_brush_color(map, a & 1, b & 1, d & 1);
        break;
    case 16:
        tarvik_fbmap_draw_color_bar(map, a & 1, c, b, d, e, in.value());
        break;
    case 17:
        tarvik_fbmap_draw_ruler(map, c, a, b, d, e, in.value());
        break;
    case 18:
        tarvik_fbmap_set_box(map, a, b, d, e, other, in.value(), in.value());
        break;
    case 19:
        tarvik_fbmap_get_box(map, a, b, d, e, other, in.value(), in.value());
        break;
    case 20:
        tarvik_fbmap_set_scale_box(map, a, b, d, e, other, in.value(), in.value(), in.value(),
                                   in.value());
        break;
    case 21:
        tarvik_fbmap_get_scale_box(map, a, b, d, e, other, in.value(), in.value(), in.value(),
                                   in.value());
        break;
    case 22: {
        uint32_t pixel = 0;
        int result = tarvik_fbmap_get_pixel(map, a, b, &pixel);
        require(result == (a >= 0 && b >= 0 && static_cast<uint32_t>(a) < map->m_resx &&
                                   static_cast<uint32_t>(b) < map->m_resy
                               ? 0
                               : -1));
        break;
    }
    default: {
        int32_t x = a, y = b;
        tarvik_rotate(&x, &y, d);
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t count = 0;
    size_t bytes = 0;
    tarvik_get_alloc_info(&count, &bytes, nullptr);
    {
        Input in(data, size);
        uint8_t shape = in.byte();
        GuardedMap map(INTERFACES[shape % 4], 1 + in.byte() % 40, 1 + in.byte() % 30);
        GuardedMap other(INTERFACES[(shape >> 2) % 4], 1 + in.byte() % 20, 1 + in.byte() % 20);
        for (int calls = 0; in.more() && calls < MAX_CALLS; ++calls) {
            call(in, &map.m_map, &other.m_map);
            map.check();
            other.check();
        }
    }
    size_t count_after = 0;
    size_t bytes_after = 0;
    tarvik_get_alloc_info(&count_after, &bytes_after, nullptr);
    require(count_after == count && bytes_after == bytes);
    return 0;
}
