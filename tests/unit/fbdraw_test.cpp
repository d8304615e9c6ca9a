// Drawing: every primitive against a reference rasterisation computed here (unclipped, with
// out-of-map pixels dropped) at each supported depth, clipping of far coordinates, the flood
// fill against a breadth-first search, text against a glyph-by-glyph reference, the rotation
// table against libm, patterns, box copies and the dirty rectangle.
#include "tarvik_test.hpp"

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint32_t INTERFACES[] = {TARVIK_COLOR_INTERFACE_dddp0008, TARVIK_COLOR_INTERFACE_dRGB0565,
                                   TARVIK_COLOR_INTERFACE_dRGB0888,
                                   TARVIK_COLOR_INTERFACE_ARGB8888};

// The pixels the test expects, in the map's own layout (little-endian pixel values), and the
// box of every pixel it set.
struct Canvas {
    int32_t m_width, m_height, m_bytes, m_line;
    std::vector<uint8_t> m_pixels;
    int64_t m_left = INT64_MAX, m_top = INT64_MAX, m_right = INT64_MIN, m_bottom = INT64_MIN;

    Canvas(const tarvik_fbmap_t *map)
        : m_width(map->m_resx), m_height(map->m_resy), m_bytes(map->m_bits_per_pixel / 8),
          m_line(map->m_line_length),
          m_pixels(static_cast<const uint8_t *>(map->m_map),
                   static_cast<const uint8_t *>(map->m_map) + map->m_map_size)
    {
    }
    bool inside(int64_t x, int64_t y) const
    {
        return x >= 0 && y >= 0 && x < m_width && y < m_height;
    }
    void put(int64_t x, int64_t y, uint32_t value)
    {
        if (!inside(x, y)) {
            return;
        }
        for (int i = 0; i < m_bytes; ++i) {
            m_pixels[y * m_line + x * m_bytes + i] = static_cast<uint8_t>(value >> (8 * i));
        }
        m_left = std::min(m_left, x), m_right = std::max(m_right, x + 1);
        m_top = std::min(m_top, y), m_bottom = std::max(m_bottom, y + 1);
    }
    uint32_t get(int64_t x, int64_t y) const
    {
        uint32_t value = 0;
        for (int i = 0; i < m_bytes; ++i) {
            value |= uint32_t{m_pixels[y * m_line + x * m_bytes + i]} << (8 * i);
        }
        return value;
    }
    void box(int64_t x, int64_t y, int64_t w, int64_t h, uint32_t value)
    {
        for (int64_t j = std::max<int64_t>(y, 0); j < std::min<int64_t>(y + h, m_height); ++j) {
            for (int64_t i = std::max<int64_t>(x, 0); i < std::min<int64_t>(x + w, m_width); ++i) {
                put(i, j, value);
            }
        }
    }
    // Bresenham with the error term starting at half a step (ties round away from the start).
    void line(int64_t x1, int64_t y1, int64_t x2, int64_t y2, uint32_t value)
    {
        int64_t dx = std::llabs(x2 - x1), dy = std::llabs(y2 - y1);
        int64_t sx = x2 >= x1 ? 1 : -1, sy = y2 >= y1 ? 1 : -1;
        bool steep = dy > dx;
        int64_t major = steep ? dy : dx, minor = steep ? dx : dy;
        int64_t decision = 2 * minor - major;
        int64_t x = x1, y = y1;
        for (int64_t i = 0; i <= major; ++i) {
            put(x, y, value);
            if (major != 0 && decision >= 0) {
                (steep ? x : y) += steep ? sx : sy;
                decision -= 2 * major;
            }
            decision += 2 * minor;
            (steep ? y : x) += steep ? sy : sx;
        }
    }
    // The midpoint circle exactly as its recurrence reads.
    void circle(int64_t cx, int64_t cy, int64_t r, bool fill, uint32_t value)
    {
        int64_t a = 0, b = r, d = 1 - r;
        while (a <= b) {
            if (fill) {
                for (int64_t i = -b; i <= b; ++i) {
                    put(cx + i, cy + a, value), put(cx + i, cy - a, value);
                }
                for (int64_t i = -a; i <= a; ++i) {
                    put(cx + i, cy + b, value), put(cx + i, cy - b, value);
                }
            } else {
                for (int64_t s : {-1, 1}) {
                    for (int64_t t : {-1, 1}) {
                        put(cx + s * a, cy + t * b, value), put(cx + s * b, cy + t * a, value);
                    }
                }
            }
            a += 1;
            if (d >= 0) {
                b -= 1, d += 2 * (a + 1 - b);
            } else {
                d += 2 * a + 1;
            }
        }
    }
    // Four-neighbour fill by breadth-first search.
    void fill(int64_t x, int64_t y, uint32_t value)
    {
        uint32_t target = get(x, y);
        if (target == value) {
            return;
        }
        std::vector<std::pair<int64_t, int64_t>> queue{{x, y}};
        put(x, y, value);
        for (size_t i = 0; i < queue.size(); ++i) {
            auto [px, py] = queue[i];
            for (auto [nx, ny] :
                 {std::pair{px - 1, py}, {px + 1, py}, {px, py - 1}, {px, py + 1}}) {
                if (inside(nx, ny) && get(nx, ny) == target) {
                    put(nx, ny, value);
                    queue.push_back({nx, ny});
                }
            }
        }
    }
};

class FbdrawTest : public TarvikTest {
  protected:
    tarvik_fbmap_t *make(uint32_t interface, uint32_t w = 37, uint32_t h = 23)
    {
        tarvik_fbmap_t *map =
            tarvik_new_fbmap(nullptr, TARVIK_FBMAP_FLAG_OWN_MAP, interface, 0, 0, w, h, 0, "test");
        EXPECT_NE(map, nullptr);
        m_maps.push_back(map);
        return map;
    }
    void TearDown() override
    {
        for (tarvik_fbmap_t *map : m_maps) {
            tarvik_free_fbmap(map);
        }
        TarvikTest::TearDown();
    }
    // A recognisable colour per depth.
    static uint32_t color(const tarvik_fbmap_t *map, uint32_t seed = 0)
    {
        uint32_t value = 0xA5C3E1u ^ (seed * 0x9E3779B9u);
        return map->m_bits_per_pixel == 32 ? value : value & ((1u << map->m_bits_per_pixel) - 1);
    }
    static void expect_same(const tarvik_fbmap_t *map, const Canvas &expected, const char *what)
    {
        ASSERT_EQ(0, memcmp(map->m_map, expected.m_pixels.data(), map->m_map_size))
            << what << " at " << map->m_bits_per_pixel << " bits per pixel";
    }
    static void clear_dirty(tarvik_fbmap_t *map) { map->m_dirty = {0, 0, 0, 0}; }
    // The dirty rectangle covers exactly the pixels the reference set.
    static void expect_dirty(const tarvik_fbmap_t *map, const Canvas &expected, const char *what)
    {
        if (expected.m_right < expected.m_left) {
            EXPECT_EQ(0, map->m_dirty.m_width * map->m_dirty.m_height) << what;
            return;
        }
        EXPECT_EQ(expected.m_left, map->m_dirty.m_x) << what;
        EXPECT_EQ(expected.m_top, map->m_dirty.m_y) << what;
        EXPECT_EQ(expected.m_right - expected.m_left, map->m_dirty.m_width) << what;
        EXPECT_EQ(expected.m_bottom - expected.m_top, map->m_dirty.m_height) << what;
    }

    std::vector<tarvik_fbmap_t *> m_maps;
};

TEST_F(FbdrawTest, RotationTableAndQuadrantsAgreeWithLibm)
{
    for (int32_t d = 0; d <= 90; ++d) {
        EXPECT_EQ(static_cast<int32_t>(std::sin(d * M_PI / 180.0) * 65536.0), tarvik_sin_16fp(d))
            << d;
    }
    // Every angle, negative and beyond a turn included, within one unit of libm, with the
    // quadrant's sign and the cosine being the sine a quarter turn on.
    for (int32_t angle : {INT32_MIN, INT32_MIN + 1, -721, -360, -1, 0, 359, 360, 3601, INT32_MAX}) {
        int32_t d = ((angle % 360) + 360) % 360;
        EXPECT_EQ(tarvik_sin_16fp(d), tarvik_sin_16fp(angle)) << angle;
        EXPECT_EQ(tarvik_cos_16fp(d), tarvik_cos_16fp(angle)) << angle;
    }
    for (int32_t d = -400; d <= 400; ++d) {
        double radians = d * M_PI / 180.0;
        EXPECT_NEAR(std::sin(radians) * 65536.0, tarvik_sin_16fp(d), 1.001) << d;
        EXPECT_NEAR(std::cos(radians) * 65536.0, tarvik_cos_16fp(d), 1.001) << d;
        EXPECT_EQ(tarvik_sin_16fp(d + 90), tarvik_cos_16fp(d)) << d;
    }
    // The rotation: 64-bit products, quotients truncated toward zero.
    const int32_t points[][2] = {{100, 0}, {0, 100}, {-37, 81}, {46341, -46341}, {INT32_MAX, 1}};
    for (const auto &point : points) {
        for (int32_t angle : {0, 30, 45, 90, 135, 180, 269, 300, -45}) {
            int32_t x = point[0], y = point[1];
            ASSERT_EQ(0, tarvik_rotate(&x, &y, angle));
            int64_t s = tarvik_sin_16fp(angle), c = tarvik_cos_16fp(angle);
            int64_t ex = (point[0] * c - point[1] * s) / 65536;
            int64_t ey = (point[0] * s + point[1] * c) / 65536;
            EXPECT_EQ(std::clamp<int64_t>(ex, INT32_MIN, INT32_MAX), x) << angle;
            EXPECT_EQ(std::clamp<int64_t>(ey, INT32_MIN, INT32_MAX), y) << angle;
        }
    }
    int32_t x = 1;
    EXPECT_EQ(-1, tarvik_rotate(&x, nullptr, 10));
}

// Pixels, lines along the axes and boxes, inside, across every edge and far outside; sizes of
// zero or below draw nothing.
TEST_F(FbdrawTest, PixelsLinesAndBoxesMatchTheReferenceWithClipping)
{
    struct Row {
        int32_t x, y, w, h;
    };
    const Row rows[] = {{3, 4, 10, 6},
                        {-5, -5, 12, 9},
                        {30, 18, 20, 20},
                        {0, 0, 37, 23},
                        {-100, 10, 500, 1},
                        {10, -100, 1, 500},
                        {36, 22, 1, 1},
                        {37, 5, 3, 3},
                        {5, 23, 3, 3},
                        {4, 4, 0, 5},
                        {4, 4, 5, -3},
                        {4, 4, 2, 2},
                        {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX},
                        {INT32_MAX - 1, 2, INT32_MAX, 4}};
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface);
        for (const Row &row : rows) {
            for (int kind = 0; kind < 5; ++kind) {
                uint32_t value = color(map, kind + static_cast<uint32_t>(row.x));
                Canvas expected(map);
                clear_dirty(map);
                int result = 0;
                int64_t x = row.x, y = row.y, w = row.w, h = row.h;
                if (kind == 0) {
                    result = tarvik_fbmap_draw_pixel(map, value, row.x, row.y);
                    expected.put(x, y, value);
                } else if (kind == 1) {
                    result = tarvik_fbmap_draw_hline(map, value, row.x, row.y, row.w);
                    expected.box(x, y, w > 0 ? w : 0, 1, value);
                } else if (kind == 2) {
                    result = tarvik_fbmap_draw_vline(map, value, row.x, row.y, row.h);
                    expected.box(x, y, 1, h > 0 ? h : 0, value);
                } else if (kind == 3) {
                    result = tarvik_fbmap_draw_box(map, value, row.x, row.y, row.w, row.h, 1);
                    expected.box(x, y, w > 0 && h > 0 ? w : 0, h, value);
                } else if (w > 0 && h > 0) {
                    result = tarvik_fbmap_draw_box(map, value, row.x, row.y, row.w, row.h, 0);
                    expected.box(x, y, w, 1, value), expected.box(x, y + h - 1, w, 1, value);
                    expected.box(x, y, 1, h, value), expected.box(x + w - 1, y, 1, h, value);
                } else {
                    result = tarvik_fbmap_draw_box(map, value, row.x, row.y, row.w, row.h, 0);
                }
                std::string what = "kind " + std::to_string(kind) + " box " +
                                   std::to_string(row.x) + "," + std::to_string(row.y) + " " +
                                   std::to_string(row.w) + "x" + std::to_string(row.h);
                expect_same(map, expected, what.c_str());
                expect_dirty(map, expected, what.c_str());
                EXPECT_EQ(expected.m_right < expected.m_left ? -1 : 0, result) << what;
            }
        }
    }
}

TEST_F(FbdrawTest, LinesMatchBresenhamAcrossAndBeyondTheMap)
{
    std::mt19937 random(22);
    std::uniform_int_distribution<int32_t> coordinate(-45, 80);
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface);
        for (int i = 0; i < 400; ++i) {
            int32_t x1 = coordinate(random), y1 = coordinate(random);
            int32_t x2 = i % 7 == 0 ? x1 : coordinate(random), y2 = coordinate(random);
            uint32_t value = color(map, i);
            Canvas expected(map);
            clear_dirty(map);
            int result = tarvik_fbmap_draw_line(map, value, x1, y1, x2, y2);
            expected.line(x1, y1, x2, y2, value);
            std::string what = "line " + std::to_string(x1) + "," + std::to_string(y1) + " to " +
                               std::to_string(x2) + "," + std::to_string(y2);
            expect_same(map, expected, what.c_str());
            expect_dirty(map, expected, what.c_str());
            EXPECT_EQ(expected.m_right < expected.m_left ? -1 : 0, result) << what;
        }
    }
    // End points at the limits of 32 bits: the diagonal through the origin, and lines that
    // only cross a corner, drawn without walking billions of steps.
    tarvik_fbmap_t *map = make(TARVIK_COLOR_INTERFACE_ARGB8888);
    tarvik_fbmap_draw_clear(map, 0);
    ASSERT_EQ(0, tarvik_fbmap_draw_line(map, 7, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX));
    Canvas diagonal(map);
    int count = 0;
    for (int y = 0; y < 23; ++y) {
        for (int x = 0; x < 37; ++x) {
            count += diagonal.get(x, y) == 7 ? 1 : 0;
            if (diagonal.get(x, y) == 7) {
                EXPECT_EQ(x, y);
            }
        }
    }
    EXPECT_EQ(23, count);
    EXPECT_EQ(-1, tarvik_fbmap_draw_line(map, 9, INT32_MIN, 0, INT32_MIN + 5, INT32_MAX));
    EXPECT_EQ(-1, tarvik_fbmap_draw_line(map, 9, -1, -1, -1, -1));
}

TEST_F(FbdrawTest, CirclesFollowTheMidpointRecurrenceAndClip)
{
    const int32_t centres[][2] = {{18, 11}, {0, 0}, {36, 22}, {-10, 11}, {50, 30}, {18, -40}};
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface);
        for (const auto &centre : centres) {
            for (int32_t radius : {0, 1, 2, 3, 5, 8, 11, 17, 30, 45}) {
                for (int fill : {0, 1}) {
                    uint32_t value = color(map, radius * 2 + fill);
                    Canvas expected(map);
                    clear_dirty(map);
                    int result =
                        tarvik_fbmap_draw_circle(map, value, centre[0], centre[1], radius, fill);
                    expected.circle(centre[0], centre[1], radius, fill != 0, value);
                    std::string what = "circle " + std::to_string(centre[0]) + "," +
                                       std::to_string(centre[1]) + " r" + std::to_string(radius) +
                                       (fill ? " filled" : "");
                    expect_same(map, expected, what.c_str());
                    expect_dirty(map, expected, what.c_str());
                    EXPECT_EQ(expected.m_right < expected.m_left ? -1 : 0, result) << what;
                }
            }
        }
        // Huge and negative radii write nothing.
        Canvas before(map);
        EXPECT_EQ(-1, tarvik_fbmap_draw_circle(map, 1, 5, 5, INT32_MAX, 1));
        EXPECT_EQ(-1, tarvik_fbmap_draw_circle(map, 1, 5, 5, -3, 0));
        EXPECT_EQ(-1, tarvik_fbmap_draw_circle(map, 1, INT32_MIN, INT32_MIN, 100, 1));
        expect_same(map, before, "refused circles");
    }
}

TEST_F(FbdrawTest, FloodFillMatchesBreadthFirstSearch)
{
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface, 61, 43);
        std::mt19937 random(7);
        for (int round = 0; round < 25; ++round) {
            tarvik_fbmap_draw_clear(map, 0);
            // Walls of random lines, boxes and circles in two colours.
            for (int i = 0; i < 12; ++i) {
                uint32_t wall = 1 + random() % 2;
                int32_t a = random() % 61, b = random() % 43, c = random() % 61, d = random() % 43;
                switch (i % 3) {
                case 0:
                    tarvik_fbmap_draw_line(map, wall, a, b, c, d);
                    break;
                case 1:
                    tarvik_fbmap_draw_box(map, wall, a, b, c / 2 + 1, d / 2 + 1, 0);
                    break;
                default:
                    tarvik_fbmap_draw_circle(map, wall, a, b, c % 15, 0);
                }
            }
            int32_t x = random() % 61, y = random() % 43;
            Canvas expected(map);
            clear_dirty(map);
            uint32_t value = 3 + round % 2;
            ASSERT_EQ(0, tarvik_fbmap_draw_fill(map, value, x, y));
            expected.fill(x, y, value);
            expect_same(map, expected, ("fill round " + std::to_string(round)).c_str());
            expect_dirty(map, expected, "fill");
        }
        // A box outline touching the left edge: filling inside stays inside (no wrap into the
        // row above through the left edge).
        tarvik_fbmap_draw_clear(map, 0);
        tarvik_fbmap_draw_box(map, 1, 0, 5, 10, 10, 0);
        Canvas expected(map);
        ASSERT_EQ(0, tarvik_fbmap_draw_fill(map, 2, 3, 8));
        expected.fill(3, 8, 2);
        expect_same(map, expected, "fill inside a box at the left edge");
        EXPECT_EQ(0u, expected.get(60, 4));
        // A colour wider than the pixel: the fill stops where the stored bits match, once.
        tarvik_fbmap_draw_clear(map, 0);
        Canvas wide(map);
        ASSERT_EQ(0, tarvik_fbmap_draw_fill(map, 0xFFFFFF00u | 0x21u, 5, 5));
        uint32_t bits = map->m_bits_per_pixel;
        wide.fill(5, 5, bits == 32 ? 0xFFFFFF21u : 0xFFFFFF21u & ((1u << bits) - 1));
        expect_same(map, wide, "fill with a colour wider than the pixel");
        // Outside the map, and the same colour as the seed.
        EXPECT_EQ(-1, tarvik_fbmap_draw_fill(map, 2, -1, 0));
        EXPECT_EQ(-1, tarvik_fbmap_draw_fill(map, 2, 0, 43));
        Canvas same(map);
        EXPECT_EQ(0, tarvik_fbmap_draw_fill(map, 0xFFFFFF21u, 3, 8));
        expect_same(map, same, "fill with the seed's colour");
    }
}

// A serpentine of one-pixel corridors over a full-size screen: the fill walks every corridor
// with a span stack on the heap, however long the path.
TEST_F(FbdrawTest, FloodFillOfALongSerpentine)
{
    tarvik_fbmap_t *map = make(TARVIK_COLOR_INTERFACE_ARGB8888, 640, 360);
    tarvik_fbmap_draw_clear(map, 0);
    for (int32_t x = 1; x < 640; x += 2) {
        // Walls alternate their gap at the top and the bottom.
        tarvik_fbmap_draw_vline(map, 1, x, x % 4 == 1 ? 1 : 0, 359);
    }
    Canvas expected(map);
    ASSERT_EQ(0, tarvik_fbmap_draw_fill(map, 5, 0, 0));
    expected.fill(0, 0, 5);
    expect_same(map, expected, "serpentine");
    EXPECT_EQ(5u, expected.get(638, 200));
}

TEST_F(FbdrawTest, ClearAndPixelReads)
{
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface);
        uint32_t value = color(map, 3);
        clear_dirty(map);
        ASSERT_EQ(0, tarvik_fbmap_draw_clear(map, value));
        Canvas expected(map);
        for (int y = 0; y < 23; ++y) {
            for (int x = 0; x < 37; ++x) {
                ASSERT_EQ(value, expected.get(x, y));
            }
        }
        EXPECT_EQ(37, map->m_dirty.m_width);
        EXPECT_EQ(23, map->m_dirty.m_height);
        tarvik_fbmap_draw_pixel(map, color(map, 9), 36, 22);
        uint32_t read = 0;
        EXPECT_EQ(0, tarvik_fbmap_get_pixel(map, 36, 22, &read));
        EXPECT_EQ(color(map, 9), read);
        EXPECT_EQ(-1, tarvik_fbmap_get_pixel(map, 37, 0, &read));
        EXPECT_EQ(-1, tarvik_fbmap_get_pixel(map, 0, -1, &read));
    }
}

// A hidden window's buffer takes the drawing but its dirty rectangle stays as it was; shown
// again, the screen shows what was drawn meanwhile.
TEST_F(FbdrawTest, DrawingIntoAHiddenWindowLeavesItsDirtyRectangle)
{
    tarvik_fbmap_t *screen = make(TARVIK_COLOR_INTERFACE_ARGB8888, 40, 30);
    tarvik_fbmap_t *child =
        tarvik_new_fbmap(screen, TARVIK_FBMAP_FLAG_OWN_MAP, 0, 5, 6, 10, 10, 1, "child");
    ASSERT_NE(child, nullptr); // freed with the screen
    ASSERT_EQ(0, tarvik_fbmap_hide(child));
    child->m_dirty = {1, 2, 3, 4};
    ASSERT_EQ(0, tarvik_fbmap_draw_box(child, 0xFF123456u, 0, 0, 10, 10, 1));
    ASSERT_EQ(0, tarvik_fbmap_draw_line(child, 0xFF654321u, 0, 0, 9, 9));
    EXPECT_EQ(1, child->m_dirty.m_x);
    EXPECT_EQ(2, child->m_dirty.m_y);
    EXPECT_EQ(3, child->m_dirty.m_width);
    EXPECT_EQ(4, child->m_dirty.m_height);
    uint32_t pixel = 0;
    ASSERT_EQ(0, tarvik_fbmap_get_pixel(child, 3, 4, &pixel));
    EXPECT_EQ(0xFF123456u, pixel);
    ASSERT_EQ(0, tarvik_fbmap_get_pixel(screen, 8, 10, &pixel));
    EXPECT_NE(0xFF123456u, pixel); // the screen shows what lies beneath the hidden window
    ASSERT_EQ(0, tarvik_fbmap_show(child));
    ASSERT_EQ(0, tarvik_fbmap_get_pixel(screen, 8, 10, &pixel));
    EXPECT_EQ(0xFF123456u, pixel);
    ASSERT_EQ(0, tarvik_fbmap_get_pixel(screen, 9, 10, &pixel));
    EXPECT_EQ(0xFF654321u, pixel);
}

TEST_F(FbdrawTest, NullMapsAndUnsupportedDepthsAreRefused)
{
    uint32_t read = 0;
    EXPECT_EQ(-1, tarvik_fbmap_draw_pixel(nullptr, 1, 0, 0));
    EXPECT_EQ(-1, tarvik_fbmap_draw_line(nullptr, 1, 0, 0, 1, 1));
    EXPECT_EQ(-1, tarvik_fbmap_draw_circle(nullptr, 1, 0, 0, 1, 0));
    EXPECT_EQ(-1, tarvik_fbmap_draw_fill(nullptr, 1, 0, 0));
    EXPECT_EQ(-1, tarvik_fbmap_draw_clear(nullptr, 1));
    EXPECT_EQ(-1, tarvik_fbmap_draw_puts(nullptr, "x"));
    EXPECT_EQ(-1, tarvik_fbmap_draw_color_bar(nullptr, 0, 255, 0, 0, 10, 10));
    EXPECT_EQ(-1, tarvik_fbmap_get_pixel(nullptr, 0, 0, &read));
    EXPECT_EQ(-1, tarvik_fbmap_set_brush_fcolor(nullptr, 1));
    EXPECT_EQ(-1, tarvik_fbmap_set_brush_xy(nullptr, 1, 1));
    tarvik_fbmap_t *map = make(TARVIK_COLOR_INTERFACE_PPPP1111, 16, 4);
    EXPECT_EQ(-1, tarvik_fbmap_draw_pixel(map, 1, 0, 0));
    EXPECT_EQ(-1, tarvik_fbmap_draw_clear(map, 1));
    // Scales: zero or negative parts and factors beyond the limit leave the brush alone.
    tarvik_fbmap_t *good = make(TARVIK_COLOR_INTERFACE_ARGB8888);
    EXPECT_EQ(0, tarvik_fbmap_set_brush_xy_scale(good, 3, 2, 4, 1));
    EXPECT_EQ(-1, tarvik_fbmap_set_brush_xy_scale(good, 1, 0, 1, 1));
    EXPECT_EQ(-1, tarvik_fbmap_set_brush_x_scale(good, -1, 1));
    EXPECT_EQ(-1, tarvik_fbmap_set_brush_y_scale(good, TARVIK_FBMAP_MAX_BRUSH_SCALE + 1, 1));
    EXPECT_EQ(3, good->m_x_scale_num);
    EXPECT_EQ(2, good->m_x_scale_den);
    EXPECT_EQ(4, good->m_y_scale_num);
    EXPECT_EQ(1, good->m_y_scale_den);
}

// ---- text ----

// The test's own rotation (table from libm) and text layout, glyph by glyph.
struct TextReference {
    Canvas &m_canvas;
    int64_t m_ox, m_oy, m_xn, m_xd, m_yn, m_yd, m_angle;

    int64_t sx(int64_t v) const { return v * m_xn / m_xd; }
    int64_t sy(int64_t v) const { return v * m_yn / m_yd; }
    void rotate(int64_t &x, int64_t &y) const
    {
        int64_t d = ((m_angle % 360) + 360) % 360;
        int64_t s = static_cast<int64_t>(std::sin(d * M_PI / 180.0) * 65536.0);
        int64_t c = static_cast<int64_t>(std::cos(d * M_PI / 180.0) * 65536.0);
        // Exact values where libm's rounding lands a hair below them.
        if (d % 90 == 0) {
            s = d == 90 ? 65536 : (d == 270 ? -65536 : 0);
            c = d == 0 ? 65536 : (d == 180 ? -65536 : 0);
        }
        int64_t rx = (x * c - y * s) / 65536, ry = (x * s + y * c) / 65536;
        x = rx, y = ry;
    }
    // A run of cells: a box, or one rotated line per pixel row.
    void run(int64_t u, int64_t v, int64_t count, int64_t rows, uint32_t value)
    {
        int64_t left = sx(u), right = sx(u + count), top = sy(v), bottom = sy(v + rows);
        if (right <= left || bottom <= top) {
            return;
        }
        if (m_angle == 0) {
            m_canvas.box(m_ox + left, m_oy + top, right - left, bottom - top, value);
            return;
        }
        for (int64_t row = top; row < bottom; ++row) {
            int64_t x1 = left, y1 = row, x2 = right - 1, y2 = row;
            rotate(x1, y1), rotate(x2, y2);
            m_canvas.line(m_ox + x1, m_oy + y1, m_ox + x2, m_oy + y2, value);
        }
    }
    void glyph(const unsigned char *bits, int w, int h, int64_t u, int64_t v, uint32_t value)
    {
        for (int r = 0; r < h; ++r) {
            for (int c = 0; c < w;) {
                auto set = [&](int k) {
                    return k < w && (bits[r * (w / 8) + k / 8] & (0x80 >> (k % 8))) != 0;
                };
                if (!set(c)) {
                    ++c;
                    continue;
                }
                int start = c;
                while (set(c)) {
                    ++c;
                }
                run(u + start, v + r, c - start, 1, value);
            }
        }
    }
};

TEST_F(FbdrawTest, TextOfAsciiAndHangulAtScalesAndAngles)
{
    struct Row {
        const char *text;
        int32_t xn, xd, yn, yd, angle;
        bool background, outline;
    };
    const Row rows[] = {
        {"Ag", 1, 1, 1, 1, 0, false, false},
        {"Ag", 2, 1, 2, 1, 0, true, false},
        {"\xea\xb0\x80\xed\x95\x9c", 1, 1, 1, 1, 0, false, false}, // two syllables
        {"\xea\xb0\x80z", 3, 1, 3, 1, 0, false, true},
        {"W\xea\xb0\x80", 4, 1, 4, 1, 0, true, true},
        {"k", 3, 2, 5, 2, 0, false, false},
        {"Ag", 1, 1, 1, 1, 90, false, false},
        {"Ag", 2, 1, 2, 1, 30, false, false},
        {"\xea\xb0\x80", 2, 1, 2, 1, 45, true, false},
        {"x\xed\x95\x9c", 3, 1, 3, 1, 180, false, true},
        {"Q", 4, 1, 4, 1, -90, false, false},
    };
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface, 200, 120);
        for (const Row &row : rows) {
            tarvik_fbmap_draw_clear(map, 0);
            uint32_t fg = color(map, 1), bg = color(map, 2), ol = color(map, 3);
            ASSERT_EQ(0, tarvik_fbmap_set_brush_color(map, fg, bg, ol));
            ASSERT_EQ(0, tarvik_fbmap_use_brush_color(map, 1, row.background, row.outline));
            ASSERT_EQ(0, tarvik_fbmap_set_brush_xy_scale(map, row.xn, row.xd, row.yn, row.yd));
            ASSERT_EQ(0, tarvik_fbmap_set_brush_xy_interval(map, 1, 0));
            ASSERT_EQ(0, tarvik_fbmap_set_brush_angle(map, row.angle));
            ASSERT_EQ(0, tarvik_fbmap_set_brush_xy(map, 40, 50));
            Canvas expected(map);
            TextReference text{expected, 40, 50, row.xn, row.xd, row.yn, row.yd, row.angle};
            int64_t cursor = 0, o = row.outline ? 2 : 0;
            size_t characters = 0;
            for (const char *p = row.text; *p != '\0'; ++characters) {
                uint32_t code = 0;
                p += tarvik_utf8_character_decode(p, strlen(p), &code);
                unsigned char bits[32];
                int w = 0, h = 0;
                tarvik_get_bitmap_font(&w, &h, bits, nullptr, code);
                EXPECT_EQ(code >= 0xAC00 ? 16 : 8, w);
                if (row.background) {
                    text.run(cursor, 0, w, h, bg);
                }
                if (row.outline) {
                    const int steps[8][2] = {{1, 0},  {1, 1},   {0, 1},  {-1, 1},
                                             {-1, 0}, {-1, -1}, {0, -1}, {1, -1}};
                    for (const auto &step : steps) {
                        text.glyph(bits, w, h, cursor + 1 + step[0], 1 + step[1], ol);
                    }
                }
                text.glyph(bits, w, h, cursor + o / 2, o / 2, fg);
                cursor += 1 + w + o;
            }
            EXPECT_EQ(static_cast<int>(characters), tarvik_fbmap_draw_puts(map, row.text));
            std::string what = std::string("text \"") + row.text + "\" scale " +
                               std::to_string(row.xn) + "/" + std::to_string(row.xd) + " angle " +
                               std::to_string(row.angle);
            expect_same(map, expected, what.c_str());
            EXPECT_EQ(cursor, map->m_cursor_x) << what;
        }
    }
}

TEST_F(FbdrawTest, TextCursorNewlinesWrapsAndFormats)
{
    tarvik_fbmap_t *map = make(TARVIK_COLOR_INTERFACE_ARGB8888, 100, 120);
    tarvik_fbmap_use_brush_color(map, 1, 0, 0);
    tarvik_fbmap_set_brush_xy(map, 4, 6);
    tarvik_fbmap_set_brush_xy_interval(map, 2, 3);
    // Newline: x back to 0, y down 16 + y_interval; carriage return and backspace.
    EXPECT_EQ(3, tarvik_fbmap_draw_puts(map, "ab\n"));
    EXPECT_EQ(0, map->m_cursor_x);
    EXPECT_EQ(19, map->m_cursor_y);
    EXPECT_EQ(3, tarvik_fbmap_draw_puts(map, "cd\b"));
    EXPECT_EQ(10, map->m_cursor_x);
    EXPECT_EQ(2, tarvik_fbmap_draw_puts(map, "e\r"));
    EXPECT_EQ(0, map->m_cursor_x);
    // With the outline on, a newline moves two more.
    tarvik_fbmap_use_brush_ocolor(map, 1);
    EXPECT_EQ(1, tarvik_fbmap_draw_puts(map, "\n"));
    EXPECT_EQ(19 + 21, map->m_cursor_y);
    tarvik_fbmap_use_brush_ocolor(map, 0);
    // Wrapping at the right edge: ten advances of 10 from x = 4 fit 9 glyphs on a line.
    tarvik_fbmap_set_brush_xy(map, 4, 6);
    EXPECT_EQ(12, tarvik_fbmap_draw_puts(map, "0123456789AB"));
    EXPECT_EQ(19, map->m_cursor_y);
    EXPECT_EQ(3 * 10, map->m_cursor_x);
    // Formatted text and the delta setters.
    tarvik_fbmap_set_brush_xy(map, 0, 0);
    EXPECT_EQ(5, tarvik_fbmap_draw_printf(map, "%3d%s", 7, "ab"));
    EXPECT_EQ(50, map->m_cursor_x);
    tarvik_fbmap_set_brush_xy_delta(map, -5, 7);
    EXPECT_EQ(45, map->m_cursor_x);
    EXPECT_EQ(7, map->m_cursor_y);
    // Far cursors and intervals never overflow nor draw outside.
    tarvik_fbmap_set_brush_xy_interval(map, INT32_MAX, INT32_MAX);
    tarvik_fbmap_set_brush_xy_scale(map, 64, 1, 64, 1);
    tarvik_fbmap_set_brush_angle(map, 33);
    EXPECT_EQ(4, tarvik_fbmap_draw_puts(map, "x\ny\n"));
    EXPECT_EQ(INT32_MAX, map->m_cursor_y);
}

// ---- patterns and copies ----

TEST_F(FbdrawTest, ColorBarsSitWhereTheyShould)
{
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface, 140, 60);
        tarvik_fbmap_draw_clear(map, 0);
        ASSERT_EQ(0, tarvik_fbmap_draw_color_bar(map, 1, 255, 0, 0, 140, 60));
        Canvas bars(map);
        const uint32_t top[] = {0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00,
                                0xFF00FF, 0xFF0000, 0x0000FF};
        const uint32_t middle[] = {0x0000FF, 0, 0xFF7F3F, 0, 0x007FFF, 0, 0xFFFFFF};
        const uint32_t bottom[] = {0x00007F, 0xFFFFFF, 0x0000FF, 0, 0, 0};
        auto expect = [&](uint32_t rgb) {
            return tarvik_convert_color(interface, TARVIK_COLOR_INTERFACE_ARGB8888,
                                        0xFF000000u | rgb);
        };
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(expect(top[i]), bars.get(i * 20 + 10, 20)) << i;
            EXPECT_EQ(expect(top[i]), bars.get(i * 20, 39)) << i;
            EXPECT_EQ(expect(middle[i]), bars.get(i * 20 + 19, 40)) << i;
        }
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(expect(bottom[i]), bars.get(i * 23 + 11, 55)) << i;
        }
        EXPECT_EQ(expect(0), bars.get(139, 59)); // the last bar takes the remainder
        EXPECT_EQ(-1, tarvik_fbmap_draw_color_bar(map, 0, 255, 0, 0, 0, 10));
    }
}

TEST_F(FbdrawTest, RulerFrameTicksAndCrosshair)
{
    for (uint32_t interface : INTERFACES) {
        tarvik_fbmap_t *map = make(interface, 300, 240);
        tarvik_fbmap_draw_clear(map, 0);
        tarvik_fbmap_set_brush_xy(map, 7, 9);
        tarvik_fbmap_set_brush_xy_scale(map, 3, 1, 2, 1);
        uint32_t value = color(map, 5);
        ASSERT_EQ(0, tarvik_fbmap_draw_ruler(map, value, 0, 0, 300, 240, 10));
        Canvas ruler(map);
        auto lit = [&](int x, int y) { return ruler.get(x, y) == value; };
        // Three lines each way through the centre (150, 120), 100 pixels to every side.
        for (int d = -1; d <= 1; ++d) {
            for (int t = -100; t <= 100; t += 25) {
                EXPECT_TRUE(lit(150 + t, 120 + d)) << t << "," << d;
                EXPECT_TRUE(lit(150 + d, 120 + t)) << t << "," << d;
            }
        }
        EXPECT_FALSE(lit(150 - 101, 120));
        EXPECT_FALSE(lit(150, 120 + 101));
        EXPECT_FALSE(lit(153, 123));
        // The frame, ticks of 4, 8 and 12 pixels every 10, 50 and 100, and numbers.
        EXPECT_TRUE(lit(0, 0) && lit(299, 239) && lit(299, 5) && lit(5, 239));
        EXPECT_TRUE(lit(30, 3) && !lit(30, 4) && lit(50, 7) && !lit(50, 8) && lit(100, 11));
        EXPECT_FALSE(lit(100, 12 + 16 + 1));
        EXPECT_TRUE(lit(3, 30) && !lit(4, 30) && lit(11, 100));
        int number = 0;
        for (int y = 12; y < 28; ++y) {
            for (int x = 102; x < 126; ++x) {
                number += lit(x, y) ? 1 : 0;
            }
        }
        EXPECT_GT(number, 20); // " 100" under the long tick
        // The brush is the caller's: untouched.
        EXPECT_EQ(7, map->m_origin_x);
        EXPECT_EQ(3, map->m_x_scale_num);
        // Far outside and huge: clipped, and only what can show is walked.
        tarvik_fbmap_draw_clear(map, 0);
        EXPECT_EQ(
            -1, tarvik_fbmap_draw_ruler(map, value, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, 1));
        EXPECT_EQ(0, tarvik_fbmap_draw_ruler(map, value, -5, -5, INT32_MAX, INT32_MAX, 1));
        Canvas far(map);
        EXPECT_EQ(value, far.get(95, 6)); // the long tick of 100 reaches into the map
        EXPECT_NE(value, far.get(96, 6)); // a short one does not
        EXPECT_EQ(value, far.get(0, 55)); // the long tick sixty steps down the left edge
        EXPECT_EQ(-1, tarvik_fbmap_draw_ruler(map, value, 400, 0, 10, 10, 0));
        EXPECT_EQ(-1, tarvik_fbmap_draw_ruler(map, value, 0, 0, -5, 10, 0));
    }
}

TEST_F(FbdrawTest, BoxCopiesConvertClipAndScale)
{
    tarvik_fbmap_t *from = make(TARVIK_COLOR_INTERFACE_ARGB8888, 20, 10);
    tarvik_fbmap_t *to = make(TARVIK_COLOR_INTERFACE_dRGB0565, 30, 30);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 20; ++x) {
            tarvik_fbmap_draw_pixel(from, 0xFF000000u | (x * 12u << 16) | (y * 25u << 8), x, y);
        }
    }
    tarvik_fbmap_draw_clear(to, 0);
    clear_dirty(to);
    ASSERT_EQ(0, tarvik_fbmap_get_box(from, 2, 3, 10, 5, to, 25, -2));
    Canvas copied(to);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 30; ++x) {
            bool inside = x >= 25 && y < 3;
            uint32_t expected = inside ? tarvik_convert_color(TARVIK_COLOR_INTERFACE_dRGB0565,
                                                              TARVIK_COLOR_INTERFACE_ARGB8888,
                                                              0xFF000000u | ((x - 23) * 12u << 16) |
                                                                  ((y + 5) * 25u << 8))
                                       : 0;
            ASSERT_EQ(expected, copied.get(x, y)) << x << "," << y;
        }
    }
    EXPECT_EQ(-1, tarvik_fbmap_set_box(to, 40, 40, 5, 5, from, 0, 0));
    // Scaled: twice the size, each target pixel the nearest source pixel.
    tarvik_fbmap_draw_clear(to, 0);
    ASSERT_EQ(0, tarvik_fbmap_set_scale_box(to, 1, 1, 16, 8, from, 4, 2, 8, 4));
    Canvas scaled(to);
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 30; ++x) {
            bool inside = x >= 1 && x < 17 && y >= 1 && y < 9;
            uint32_t source = 0;
            tarvik_fbmap_get_pixel(from, 4 + (x - 1) / 2, 2 + (y - 1) / 2, &source);
            uint32_t expected = inside
                                    ? tarvik_convert_color(TARVIK_COLOR_INTERFACE_dRGB0565,
                                                           TARVIK_COLOR_INTERFACE_ARGB8888, source)
                                    : 0;
            ASSERT_EQ(expected, scaled.get(x, y)) << x << "," << y;
        }
    }
    EXPECT_EQ(-1, tarvik_fbmap_get_scale_box(from, 0, 0, 0, 4, to, 0, 0, 5, 5));
}

} // namespace
