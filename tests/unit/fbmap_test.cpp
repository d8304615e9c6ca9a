// Window maps: colour interfaces and conversion against references computed here, the
// splitting of pieces, composition of translucent windows in every stacking order against a
// painter's reference, dirty rectangles, clipping of box copies, refused sizes, and the
// virtual framebuffer behind a framebuffer context.
#include "tarvik_test.hpp"

#include "capture.hpp"
#include "detail/fbdev.hpp"
#include "detail/fbmap.hpp"

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class FbmapTest : public TarvikTest {};

constexpr uint32_t ARGB = TARVIK_COLOR_INTERFACE_ARGB8888;
constexpr uint32_t RGB565 = TARVIK_COLOR_INTERFACE_dRGB0565;
constexpr uint32_t RGB888 = TARVIK_COLOR_INTERFACE_dRGB0888;
constexpr uint32_t PALETTE = TARVIK_COLOR_INTERFACE_dddp0008;
constexpr uint32_t YUV888 = 0x00788898u; // Y, U, V of 8 bits

// ---- colour interfaces ---------------------------------------------------------------------

TEST_F(FbmapTest, InterfaceNamesAndDepths)
{
    const struct {
        uint32_t code;
        const char *name;
        uint32_t bits;
    } rows[] = {
        {0x18485868u, "ARGB8888", 32}, {0x08485868u, "dRGB8888", 32}, {0x00485868u, "dRGB0888", 24},
        {0x00455665u, "dRGB0565", 16}, {0x00425363u, "dRGB0233", 8},  {0x18685848u, "ABGR8888", 32},
        {0x08685848u, "dBGR8888", 32}, {0x00685848u, "dBGR0888", 24}, {0x000000F8u, "dddp0008", 8},
        {0x21212121u, "PPPP1111", 4},  {0x00002121u, "ddPP0011", 2},  {0x00000031u, "dddg0001", 1},
        {0xA0B0C0D0u, "xxxx0000", 0},  {0x78889800u, "Yuvd8880", 24},
    };
    for (const auto &row : rows) {
        char name[9];
        memset(name, '#', sizeof(name));
        EXPECT_STREQ(tarvik_color_interface_name(name, row.code), row.name) << std::hex << row.code;
        EXPECT_EQ(tarvik_color_interface_to_bits_per_pixel(row.code), row.bits) << row.name;
    }
    const uint32_t defaults[][2] = {{32, 0x18485868u}, {24, 0x00485868u}, {16, 0x00455665u},
                                    {8, 0x000000F8u},  {4, 0x21212121u},  {2, 0x00002121u},
                                    {1, 0x00000031u},  {12, 0},           {0, 0}};
    for (const auto &row : defaults) {
        EXPECT_EQ(tarvik_bits_per_pixel_to_color_interface(row[0]), row[1]) << row[0];
    }
    EXPECT_EQ(tarvik_color_interface_name(nullptr, ARGB), nullptr);
}

// A reference of the 8-bit channel path, written from the definition of the codes: each
// channel extracted by its width, shifted up to 8 bits, missing alpha 255, packed back by the
// target's widths. RGB interfaces only.
uint32_t reference_convert(uint32_t to, uint32_t from, uint32_t value)
{
    uint32_t channel[16] = {};
    channel[1] = 255;
    uint32_t offset = 0;
    for (int byte = 0; byte < 4; ++byte) {
        const uint32_t width = (from >> (8 * byte)) & 0xF, kind = (from >> (8 * byte + 4)) & 0xF;
        const uint32_t field = (value >> offset) & ((1u << width) - 1);
        if (width != 0) {
            channel[kind] = field << (8 - width);
        }
        offset += width;
    }
    uint32_t out = 0;
    offset = 0;
    for (int byte = 0; byte < 4; ++byte) {
        const uint32_t width = (to >> (8 * byte)) & 0xF, kind = (to >> (8 * byte + 4)) & 0xF;
        out |= (kind == 0 ? 0 : channel[kind] >> (8 - width)) << offset;
        offset += width;
    }
    return out;
}

TEST_F(FbmapTest, ConversionAgreesWithTheChannelReference)
{
    const uint32_t codes[] = {0x18485868u, 0x08485868u, 0x00485868u, 0x00455665u,
                              0x00425363u, 0x18685848u, 0x08685848u, 0x00685848u};
    std::mt19937 random(22);
    for (uint32_t to : codes) {
        for (uint32_t from : codes) {
            const uint32_t mask = tarvik_color_interface_to_bits_per_pixel(from) == 32
                                      ? 0xFFFFFFFFu
                                      : (1u << tarvik_color_interface_to_bits_per_pixel(from)) - 1;
            for (int round = 0; round < 200; ++round) {
                const uint32_t value = random() & mask;
                // Equal interfaces give the value as it is.
                const uint32_t want = to == from ? value : reference_convert(to, from, value);
                ASSERT_EQ(tarvik_convert_color(to, from, value), want)
                    << std::hex << "to " << to << " from " << from << " value " << value;
            }
        }
    }
    // The direct formulas of the common pairs, by hand.
    EXPECT_EQ(tarvik_convert_color(ARGB, RGB565, 0xF800u), 0xFFF80000u);
    EXPECT_EQ(tarvik_convert_color(ARGB, RGB565, 0x07E0u), 0xFF00FC00u);
    EXPECT_EQ(tarvik_convert_color(RGB565, ARGB, 0x80FF8040u), 0xFC08u);
    EXPECT_EQ(tarvik_convert_color(TARVIK_COLOR_INTERFACE_dRGB0233, ARGB, 0xFFC0E0E0u), 0xFFu);
    EXPECT_EQ(tarvik_convert_color(TARVIK_COLOR_INTERFACE_ABGR8888, ARGB, 0x80112233u),
              0x80332211u);
    EXPECT_EQ(tarvik_convert_color(ARGB, RGB888, 0x123456u), 0xFF123456u);
    EXPECT_EQ(tarvik_convert_color(RGB888, ARGB, 0x7F123456u), 0x123456u);
}

TEST_F(FbmapTest, RoundTripsThroughTheBlendingFormat)
{
    // Every pixel value of the small interfaces comes back unchanged through ARGB8888.
    const uint32_t codes[] = {RGB565, TARVIK_COLOR_INTERFACE_dRGB0233, RGB888,
                              TARVIK_COLOR_INTERFACE_dBGR0888};
    for (uint32_t code : codes) {
        const uint32_t bits = tarvik_color_interface_to_bits_per_pixel(code);
        const uint32_t step = bits > 16 ? 4099 : 1;
        for (uint32_t value = 0; value < (1u << bits); value += step) {
            ASSERT_EQ(tarvik_convert_color(code, ARGB, tarvik_convert_color(ARGB, code, value)),
                      value)
                << std::hex << code << " " << value;
        }
    }
    // Palette interfaces: the colour of an entry maps to an entry of the same colour.
    const uint32_t palettes[] = {PALETTE, TARVIK_COLOR_INTERFACE_PPPP1111,
                                 TARVIK_COLOR_INTERFACE_ddPP0011};
    for (uint32_t code : palettes) {
        const uint32_t count = 1u << tarvik_color_interface_to_bits_per_pixel(code);
        for (uint32_t index = 0; index < count; ++index) {
            const uint32_t colour = tarvik_convert_color(ARGB, code, index);
            ASSERT_EQ(colour, tarvik_fbmap_palette_color(index));
            ASSERT_EQ(tarvik_convert_color(ARGB, code, tarvik_convert_color(code, ARGB, colour)),
                      colour)
                << std::hex << code << " " << index;
        }
    }
    // A few fixed entries of the palette formula, and the nearest entry of a colour.
    EXPECT_EQ(tarvik_fbmap_palette_color(16), 0xFF000000u);
    EXPECT_EQ(tarvik_fbmap_palette_color(196), 0xFFFF0000u);
    EXPECT_EQ(tarvik_fbmap_palette_color(231), 0xFFFFFFFFu);
    EXPECT_EQ(tarvik_fbmap_palette_color(9), 0xFFFF0000u);
    EXPECT_EQ(tarvik_convert_color(ARGB, PALETTE, tarvik_convert_color(PALETTE, ARGB, 0xFF0A0B0Cu)),
              0xFF080808u);
    // One-bit grey: 1 is white.
    EXPECT_EQ(tarvik_convert_color(ARGB, TARVIK_COLOR_INTERFACE_dddg0001, 1), 0xFFFFFFFFu);
    EXPECT_EQ(tarvik_convert_color(ARGB, TARVIK_COLOR_INTERFACE_dddg0001, 0), 0xFF000000u);
    EXPECT_EQ(tarvik_convert_color(TARVIK_COLOR_INTERFACE_dddg0001, ARGB, 0xFFFFFFFFu), 1u);
}

TEST_F(FbmapTest, YuvByTheFixedPointEquations)
{
    const struct {
        uint32_t rgb;
        int y, u, v;
    } rows[] = {
        {0x000000u, 0, 128, 128}, {0xFFFFFFu, 254, 128, 128}, {0xFF0000u, 76, 85, 255},
        {0x00FF00u, 149, 44, 22}, {0x0000FFu, 29, 255, 108},
    };
    for (const auto &row : rows) {
        const int r = static_cast<int>(row.rgb >> 16), g = static_cast<int>((row.rgb >> 8) & 0xFF),
                  b = static_cast<int>(row.rgb & 0xFF);
        // The equations, each product shifted on its own.
        const int y = ((19595 * r) >> 16) + ((38470 * g) >> 16) + ((7471 * b) >> 16);
        const int u =
            std::clamp((b >> 1) + 128 - ((21709 * g) >> 16) - ((11059 * r) >> 16), 0, 255);
        const int v = std::clamp((r >> 1) - ((27439 * g) >> 16) - ((5329 * b) >> 16) + 128, 0, 255);
        EXPECT_EQ(y, row.y);
        const uint32_t yuv = tarvik_convert_color(YUV888, RGB888, row.rgb);
        EXPECT_EQ(yuv, static_cast<uint32_t>(y << 16 | u << 8 | v)) << std::hex << row.rgb;
        // Back to RGB within the rounding of both directions.
        const uint32_t back = tarvik_convert_color(RGB888, YUV888, yuv);
        for (int shift = 0; shift <= 16; shift += 8) {
            EXPECT_NEAR(static_cast<int>((back >> shift) & 0xFF),
                        static_cast<int>((row.rgb >> shift) & 0xFF), 4)
                << std::hex << row.rgb;
        }
    }
}

// ---- pieces --------------------------------------------------------------------------------

TEST_F(FbmapTest, SplittingAPieceTilesIt)
{
    const tarvik_fbmap_rect_t window = {10, 10, 20, 10};
    const tarvik_fbmap_rect_t pieces[] = {
        {0, 0, 50, 40},  {10, 10, 20, 10}, {15, 12, 5, 3}, {0, 12, 12, 3}, {25, 0, 30, 15},
        {5, 15, 10, 30}, {29, 19, 5, 5},   {30, 10, 5, 5}, {0, 0, 10, 10}, {12, 20, 3, 3},
        {-5, -5, 0, 9},  {11, 11, -3, 4},  {12, 5, 2, 60},
    };
    for (const auto &piece : pieces) {
        tarvik_fbmap_rect_t overlap, outside[4];
        const int count = tarvik_sep_overlap_window(&overlap, outside, &piece, &window);
        // Every pixel of the piece is in exactly one part, the overlap exactly where the
        // window is.
        std::vector<int> seen(80 * 80, 0);
        auto mark = [&](const tarvik_fbmap_rect_t &rect, int weight) {
            for (int y = rect.m_y; y < rect.m_y + rect.m_height; ++y) {
                for (int x = rect.m_x; x < rect.m_x + rect.m_width; ++x) {
                    seen[(y + 10) * 80 + x + 10] += weight;
                }
            }
        };
        if (count >= 0) {
            mark(overlap, 100);
            for (int index = 0; index < count; ++index) {
                EXPECT_GT(outside[index].m_width, 0);
                EXPECT_GT(outside[index].m_height, 0);
                mark(outside[index], 1);
            }
        }
        bool any_overlap = false;
        for (int y = -10; y < 70; ++y) {
            for (int x = -10; x < 70; ++x) {
                const bool in_piece = x >= piece.m_x && x < piece.m_x + piece.m_width &&
                                      y >= piece.m_y && y < piece.m_y + piece.m_height;
                const bool in_window = x >= window.m_x && x < window.m_x + window.m_width &&
                                       y >= window.m_y && y < window.m_y + window.m_height;
                any_overlap |= in_piece && in_window;
                const int expected = !in_piece || count < 0 ? 0 : (in_window ? 100 : 1);
                ASSERT_EQ(seen[(y + 10) * 80 + x + 10], expected)
                    << "piece " << piece.m_x << "," << piece.m_y << " " << piece.m_width << "x"
                    << piece.m_height << " at " << x << "," << y;
            }
        }
        EXPECT_EQ(count >= 0, any_overlap);
    }
}

// ---- composition ---------------------------------------------------------------------------

constexpr int32_t SCREEN_W = 48, SCREEN_H = 32;

uint32_t blend_reference(uint32_t s, uint32_t d, uint32_t a, bool transfer)
{
    uint32_t out = (transfer ? a : 255u) << 24;
    for (int shift = 0; shift <= 16; shift += 8) {
        const uint32_t sc = (s >> shift) & 0xFF, dc = (d >> shift) & 0xFF;
        out |= ((a * sc + (255 - a) * dc) / 255) << shift;
    }
    return out;
}

enum Mode { OPAQUE, WINDOW_ALPHA, PIXEL_ALPHA, CHROMA_KEY, KEY_AND_ALPHA };

struct WindowSpec {
    uint32_t code;
    int32_t x, y, w, h;
    Mode mode;
};

// A window's pixel at (x, y): a pattern that differs per window, with alpha varying and a
// band of key-coloured pixels.
uint32_t pattern(int index, int32_t x, int32_t y)
{
    if ((x + y) % 5 == 0) {
        return 0x00FF00FFu; // the key colour of ARGB8888 windows
    }
    const uint32_t alpha = static_cast<uint32_t>((x * 37 + y * 11 + index * 50) % 256);
    return alpha << 24 | static_cast<uint32_t>((index * 80 + x * 5) & 0xFF) << 16 |
           static_cast<uint32_t>((y * 7) & 0xFF) << 8 |
           static_cast<uint32_t>((index * 40 + 30) & 0xFF);
}

struct Screen {
    tarvik_fbmap_t *master;
    std::vector<tarvik_fbmap_t *> windows; // in creation order
};

void fill_window(tarvik_fbmap_t *map, int index)
{
    tarvik::detail::fbmap_hooks(map);
    for (int32_t y = 0; y < static_cast<int32_t>(map->m_resy); ++y) {
        for (int32_t x = 0; x < static_cast<int32_t>(map->m_resx); ++x) {
            tarvik::detail::put_pixel(
                map, x, y,
                tarvik_convert_color(map->m_color_interface, ARGB, pattern(index, x, y)) |
                    (map->m_color_interface == ARGB ? 0 : 0));
        }
    }
}

void apply_mode(tarvik_fbmap_t *map, Mode mode)
{
    const uint32_t key = tarvik_convert_color(map->m_color_interface, ARGB, 0x00FF00FFu);
    switch (mode) {
    case WINDOW_ALPHA:
        map->m_flags |= TARVIK_FBMAP_FLAG_ALPHA_WINDOW;
        map->m_alpha = 128;
        break;
    case PIXEL_ALPHA:
        map->m_flags |= TARVIK_FBMAP_FLAG_ALPHA_PIXEL;
        break;
    case CHROMA_KEY:
        map->m_flags |= TARVIK_FBMAP_FLAG_CCOLOR;
        map->m_ccolor = key;
        break;
    case KEY_AND_ALPHA:
        map->m_flags |= TARVIK_FBMAP_FLAG_CCOLOR | TARVIK_FBMAP_FLAG_ALPHA_WINDOW;
        map->m_ccolor = key;
        map->m_alpha = 77;
        break;
    default:
        break;
    }
}

// The painter's reference: from the bottom window to the top one, each visible pixel laid
// over what is beneath, in the master's interface after every step.
std::vector<uint32_t> paint_reference(const Screen &screen, const std::vector<uint32_t> &base)
{
    tarvik_fbmap_t *master = screen.master;
    std::vector<uint32_t> out = base;
    std::vector<tarvik_fbmap_t *> order;
    for (tarvik_fbmap_t *child = master->m_children; child != nullptr; child = child->m_next) {
        order.insert(order.begin(), child); // bottom first
    }
    for (tarvik_fbmap_t *window : order) {
        if ((window->m_flags & TARVIK_FBMAP_FLAG_HIDDEN) != 0) {
            continue;
        }
        tarvik::detail::fbmap_hooks(window);
        for (int32_t y = 0; y < static_cast<int32_t>(window->m_resy); ++y) {
            for (int32_t x = 0; x < static_cast<int32_t>(window->m_resx); ++x) {
                const int32_t sx = window->m_x + x, sy = window->m_y + y;
                if (sx < 0 || sy < 0 || sx >= SCREEN_W || sy >= SCREEN_H) {
                    continue;
                }
                const uint32_t raw = tarvik::detail::get_pixel(window, x, y);
                uint32_t &d = out[static_cast<size_t>(sy * SCREEN_W + sx)];
                if ((window->m_flags & TARVIK_FBMAP_FLAG_CCOLOR) != 0 && raw == window->m_ccolor) {
                    continue;
                }
                const uint32_t s = tarvik_convert_color(ARGB, window->m_color_interface, raw);
                if ((window->m_flags &
                     (TARVIK_FBMAP_FLAG_ALPHA_WINDOW | TARVIK_FBMAP_FLAG_ALPHA_PIXEL)) != 0) {
                    const uint32_t a = (window->m_flags & TARVIK_FBMAP_FLAG_ALPHA_PIXEL) != 0
                                           ? s >> 24
                                           : window->m_alpha;
                    const uint32_t below = tarvik_convert_color(ARGB, master->m_color_interface, d);
                    d = tarvik_convert_color(
                        master->m_color_interface, ARGB,
                        blend_reference(s, below, a,
                                        (window->m_flags & TARVIK_FBMAP_FLAG_NO_ALPHA_TRANSFER) ==
                                            0));
                } else {
                    d = tarvik_convert_color(master->m_color_interface, ARGB, s);
                }
            }
        }
    }
    return out;
}

std::vector<uint32_t> read_screen(tarvik_fbmap_t *master)
{
    tarvik::detail::fbmap_hooks(master);
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < SCREEN_H; ++y) {
        for (int32_t x = 0; x < SCREEN_W; ++x) {
            out.push_back(tarvik::detail::get_pixel(master, x, y));
        }
    }
    return out;
}

// The first differing pixel, for the failure message.
std::string first_difference(const std::vector<uint32_t> &got, const std::vector<uint32_t> &want)
{
    for (size_t index = 0; index < got.size(); ++index) {
        if (got[index] != want[index]) {
            char text[96];
            snprintf(text, sizeof(text), "at %zu,%zu got %08X want %08X", index % SCREEN_W,
                     index / SCREEN_W, got[index], want[index]);
            return text;
        }
    }
    return "";
}

// A master over its own buffer, filled with opaque black, and an opaque background window.
Screen make_screen(uint32_t master_code)
{
    Screen screen;
    screen.master = tarvik_new_fbmap(nullptr, TARVIK_FBMAP_FLAG_OWN_MAP, master_code, 0, 0,
                                     SCREEN_W, SCREEN_H, 0, "_master");
    tarvik::detail::fbmap_hooks(screen.master);
    const uint32_t black = tarvik_convert_color(master_code, ARGB, 0xFF000000u);
    for (int32_t y = 0; y < SCREEN_H; ++y) {
        for (int32_t x = 0; x < SCREEN_W; ++x) {
            tarvik::detail::put_pixel(screen.master, x, y, black);
        }
    }
    return screen;
}

std::vector<uint32_t> black_screen(uint32_t code)
{
    return std::vector<uint32_t>(SCREEN_W * SCREEN_H,
                                 tarvik_convert_color(code, ARGB, 0xFF000000u));
}

TEST_F(FbmapTest, CompositionInEveryStackingOrder)
{
    const WindowSpec base_specs[] = {
        {ARGB, 4, 3, 24, 16, OPAQUE},
        {RGB565, 14, 8, 22, 14, OPAQUE},
        {RGB888, -6, 12, 30, 30, OPAQUE},
    };
    const Mode modes[][3] = {
        {OPAQUE, OPAQUE, OPAQUE},
        {WINDOW_ALPHA, PIXEL_ALPHA, OPAQUE},
        {PIXEL_ALPHA, CHROMA_KEY, WINDOW_ALPHA},
        {CHROMA_KEY, WINDOW_ALPHA, KEY_AND_ALPHA},
        {KEY_AND_ALPHA, KEY_AND_ALPHA, PIXEL_ALPHA},
    };
    const uint32_t masters[] = {ARGB, RGB565, PALETTE};
    for (uint32_t master_code : masters) {
        for (const auto &mode : modes) {
            int order[] = {0, 1, 2};
            do {
                Screen screen = make_screen(master_code);
                // An opaque background covering the screen, then the windows from the bottom.
                tarvik_fbmap_t *background = tarvik_new_fbmap(
                    screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, RGB888, 0, 0, 0, 0, 9, "background");
                fill_window(background, 3);
                tarvik_fbmap_show(background);
                for (int index : order) {
                    const WindowSpec &spec = base_specs[index];
                    tarvik_fbmap_t *window = tarvik_new_fbmap(
                        screen.master, TARVIK_FBMAP_FLAG_OWN_MAP | TARVIK_FBMAP_FLAG_HIDDEN,
                        spec.code, spec.x, spec.y, static_cast<uint32_t>(spec.w),
                        static_cast<uint32_t>(spec.h), index, "w%d", index);
                    ASSERT_NE(window, nullptr);
                    fill_window(window, index);
                    apply_mode(window, mode[index]);
                    screen.windows.push_back(window);
                }
                for (tarvik_fbmap_t *window : screen.windows) {
                    ASSERT_EQ(tarvik_fbmap_show(window), 0);
                }
                const std::string label =
                    "master " + std::to_string(master_code) + " order " + std::to_string(order[0]) +
                    std::to_string(order[1]) + std::to_string(order[2]) + " modes " +
                    std::to_string(mode[0]) + std::to_string(mode[1]) + std::to_string(mode[2]);
                const std::vector<uint32_t> want =
                    paint_reference(screen, black_screen(master_code));
                std::vector<uint32_t> got = read_screen(screen.master);
                ASSERT_EQ(got, want) << label << " " << first_difference(got, want);
                // Updating any window again (its whole area dirty) changes nothing.
                for (tarvik_fbmap_t *window : screen.windows) {
                    tarvik_fbmap_add_dirty(window, 0, 0, 1000, 1000);
                    ASSERT_EQ(tarvik_fbmap_update(window), 0);
                }
                got = read_screen(screen.master);
                ASSERT_EQ(got, want) << label << " after updates " << first_difference(got, want);
                // Hiding the middle window and showing it again restores the screen.
                tarvik_fbmap_hide(screen.windows[1]);
                const std::vector<uint32_t> shown = want;
                got = read_screen(screen.master);
                const std::vector<uint32_t> hidden_want =
                    paint_reference(screen, black_screen(master_code));
                ASSERT_EQ(got, hidden_want)
                    << label << " hidden " << first_difference(got, hidden_want);
                tarvik_fbmap_show(screen.windows[1]);
                got = read_screen(screen.master);
                ASSERT_EQ(got, shown) << label << " shown again " << first_difference(got, shown);
                // Moving the top window partly outside the screen.
                tarvik_fbmap_t *top = screen.master->m_children;
                ASSERT_EQ(tarvik_fbmap_move(top, SCREEN_W - 7, -5), 0);
                got = read_screen(screen.master);
                const std::vector<uint32_t> moved =
                    paint_reference(screen, black_screen(master_code));
                ASSERT_EQ(got, moved) << label << " moved " << first_difference(got, moved);
                tarvik_free_fbmap(screen.master);
            } while (std::next_permutation(order, order + 3));
        }
    }
}

TEST_F(FbmapTest, TreePlacementAndDefaults)
{
    Screen screen = make_screen(ARGB);
    tarvik_fbmap_t *a =
        tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, 0, 0, 0, 0, 0, 1, "a");
    ASSERT_NE(a, nullptr);
    // Defaults from the parent, first in the children list.
    EXPECT_EQ(tarvik_fbmap_get_resx(a), static_cast<uint32_t>(SCREEN_W));
    EXPECT_EQ(tarvik_fbmap_get_resy(a), static_cast<uint32_t>(SCREEN_H));
    EXPECT_EQ(tarvik_fbmap_get_color_interface(a), ARGB);
    EXPECT_EQ(tarvik_fbmap_get_line_length(a), static_cast<uint32_t>(SCREEN_W * 4));
    EXPECT_EQ(tarvik_fbmap_get_map_size(a), static_cast<uint32_t>(SCREEN_W * 4 * SCREEN_H));
    EXPECT_EQ(a->m_fcolor, 0xFFFFFFFFu);
    EXPECT_EQ(a->m_bcolor, 0xFF000000u);
    tarvik_fbmap_t *b =
        tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, RGB565, 1, 2, 3, 4, 2, "b");
    tarvik_fbmap_t *c = tarvik_new_fbmap(
        screen.master, TARVIK_FBMAP_FLAG_OWN_MAP | TARVIK_FBMAP_FLAG_BOTTOM, 0, 0, 0, 5, 5, 3, "c");
    tarvik_fbmap_t *d = tarvik_new_fbmap(a, TARVIK_FBMAP_FLAG_OWN_MAP | TARVIK_FBMAP_FLAG_SIBLING,
                                         0, 0, 0, 5, 5, 4, "d");
    tarvik_fbmap_t *e = tarvik_new_fbmap(
        a, TARVIK_FBMAP_FLAG_OWN_MAP | TARVIK_FBMAP_FLAG_SIBLING | TARVIK_FBMAP_FLAG_BOTTOM, 0, 0,
        0, 5, 5, 5, "e");
    EXPECT_EQ(b->m_fcolor, 0xFFFFu);
    // Order from the top: b, d (above a), a, e (below a), c (bottom).
    std::string order;
    for (tarvik_fbmap_t *child = screen.master->m_children; child != nullptr;
         child = child->m_next) {
        order += child->m_name;
        if (child->m_next != nullptr) {
            EXPECT_EQ(child->m_next->m_prev, child);
        }
    }
    EXPECT_EQ(order, "bdaec");
    EXPECT_EQ(c->m_next, nullptr);
    EXPECT_EQ(tarvik_fbmap_search(screen.master->m_children, 5, nullptr), e);
    EXPECT_EQ(tarvik_fbmap_search(screen.master->m_children, 5, "e"), e);
    EXPECT_EQ(tarvik_fbmap_search(screen.master->m_children, 5, "x"), nullptr);
    EXPECT_EQ(tarvik_fbmap_search(d, 2, nullptr), nullptr);
    // A sibling of a map without parent becomes its child, after the assertion report.
    const std::string report = capture_stderr([&] {
        tarvik_fbmap_t *f =
            tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_SIBLING, 0, 0, 0, 1, 1, 6, nullptr);
        EXPECT_EQ(f->m_parent, screen.master);
        EXPECT_EQ(f->m_name, nullptr);
    });
    EXPECT_NE(report.find("s_parent_fbmap->m_parent != ((tarvik_fbmap_t *)0)"), std::string::npos)
        << report;
    // Destroying a child unlinks it; destroying the master destroys every child.
    tarvik_fbmap_t own = {};
    ASSERT_EQ(tarvik_init_fbmap(&own, b, TARVIK_FBMAP_FLAG_OWN_MAP, 0, 0, 0, 0, 0, 7, "own%d", 7),
              &own);
    EXPECT_STREQ(own.m_name, "own7");
    EXPECT_EQ(tarvik_fbmap_is_closed(&own), 0);
    EXPECT_EQ(tarvik_free_fbmap(&own), 0);
    EXPECT_EQ(tarvik_fbmap_is_closed(&own), 1);
    EXPECT_EQ(own.m_id, -1);
    EXPECT_EQ(b->m_children, nullptr);
    EXPECT_EQ(tarvik_fbmap_is_visible(d), 1);
    tarvik_fbmap_hide(screen.master);
    EXPECT_EQ(tarvik_fbmap_is_visible(d), 0);
    EXPECT_EQ(tarvik_free_fbmap(screen.master), 0);
}

TEST_F(FbmapTest, NullMapsAreReported)
{
    const std::string report = capture_stderr([] {
        EXPECT_EQ(tarvik_fbmap_update(nullptr), -1);
        EXPECT_EQ(tarvik_fbmap_hide(nullptr), -1);
        EXPECT_EQ(tarvik_fbmap_use_ccolor(nullptr, 1), -1);
        EXPECT_EQ(tarvik_fbmap_get_map(nullptr), nullptr);
        EXPECT_EQ(tarvik_free_fbmap(nullptr), -1);
    });
    EXPECT_EQ(count_lines_with(report, "s_fbmap is null !"), 5u) << report;
}

TEST_F(FbmapTest, TranslucentWindowsOverNothingDoNotAccumulate)
{
    // A window alpha window directly over the master: what lies beneath it is black, however
    // often it is updated; the alpha of the result follows the alpha transfer switch.
    for (int transfer = 0; transfer < 2; ++transfer) {
        Screen screen = make_screen(ARGB);
        tarvik_fbmap_t *window =
            tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, ARGB, 2, 2, 10, 10, 1, "t");
        fill_window(window, 1);
        tarvik_fbmap_set_alpha_window(window, 128);
        tarvik_fbmap_use_alpha_transfer(window, transfer);
        tarvik_fbmap_use_alpha_window(window, 1);
        const std::vector<uint32_t> once = read_screen(screen.master);
        for (int round = 0; round < 3; ++round) {
            tarvik_fbmap_add_dirty(window, 0, 0, 10, 10);
            tarvik_fbmap_update(window);
        }
        EXPECT_EQ(read_screen(screen.master), once);
        EXPECT_EQ(once, paint_reference(screen, black_screen(ARGB)));
        EXPECT_EQ(once[static_cast<size_t>(3 * SCREEN_W + 3)] >> 24, transfer != 0 ? 128u : 255u);
        tarvik_free_fbmap(screen.master);
    }
    // An opaque window between a translucent one and the window being updated is drawn again
    // beneath the translucent one, which is laid over it once.
    Screen screen = make_screen(ARGB);
    tarvik_fbmap_t *bottom =
        tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, RGB888, 0, 0, 0, 0, 1, "r");
    tarvik_fbmap_t *middle =
        tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, RGB565, 5, 5, 20, 20, 2, "o");
    tarvik_fbmap_t *top =
        tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, ARGB, 8, 8, 30, 20, 3, "t");
    fill_window(bottom, 0);
    fill_window(middle, 1);
    fill_window(top, 2);
    apply_mode(top, WINDOW_ALPHA);
    tarvik_fbmap_show(bottom);
    tarvik_fbmap_show(middle);
    tarvik_fbmap_show(top);
    const std::vector<uint32_t> want = paint_reference(screen, black_screen(ARGB));
    EXPECT_EQ(read_screen(screen.master), want);
    for (int round = 0; round < 3; ++round) {
        tarvik_fbmap_add_dirty(bottom, 0, 0, SCREEN_W, SCREEN_H);
        tarvik_fbmap_update(bottom);
    }
    const std::vector<uint32_t> got = read_screen(screen.master);
    EXPECT_EQ(got, want) << first_difference(got, want);
    // A window moved away leaves black where nothing else is, not its old pixels.
    tarvik_fbmap_hide(bottom);
    tarvik_fbmap_move(middle, 30, 20);
    const std::vector<uint32_t> moved = read_screen(screen.master);
    const std::vector<uint32_t> moved_want = paint_reference(screen, black_screen(ARGB));
    EXPECT_EQ(moved, moved_want) << first_difference(moved, moved_want);
    tarvik_free_fbmap(screen.master);
}

TEST_F(FbmapTest, DirtyUpdatesTouchOnlyTheirArea)
{
    Screen screen = make_screen(ARGB);
    tarvik_fbmap_t *window =
        tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, RGB565, 3, 4, 30, 20, 1, "w");
    fill_window(window, 1);
    tarvik_fbmap_show(window);
    EXPECT_EQ(window->m_dirty.m_width, 0);
    // Sentinels on the screen under the window: only the dirty area is recomposed.
    const uint32_t sentinel = 0x12345678u;
    for (int32_t y = 0; y < SCREEN_H; ++y) {
        for (int32_t x = 0; x < SCREEN_W; ++x) {
            tarvik::detail::put_pixel(screen.master, x, y, sentinel);
        }
    }
    tarvik_fbmap_add_dirty(window, 5, 6, 2, 3);
    tarvik_fbmap_add_dirty(window, 9, 7, 1, 1);
    EXPECT_EQ(window->m_dirty.m_x, 5);
    EXPECT_EQ(window->m_dirty.m_y, 6);
    EXPECT_EQ(window->m_dirty.m_width, 5);
    EXPECT_EQ(window->m_dirty.m_height, 3);
    EXPECT_EQ(tarvik_fbmap_update(window), 0);
    EXPECT_EQ(window->m_dirty.m_width, 0);
    for (int32_t y = 0; y < SCREEN_H; ++y) {
        for (int32_t x = 0; x < SCREEN_W; ++x) {
            const bool inside = x >= 3 + 5 && x < 3 + 10 && y >= 4 + 6 && y < 4 + 9;
            const uint32_t got = tarvik::detail::get_pixel(screen.master, x, y);
            if (inside) {
                EXPECT_EQ(got, tarvik_convert_color(
                                   ARGB, RGB565, tarvik::detail::get_pixel(window, x - 3, y - 4)))
                    << x << "," << y;
            } else {
                EXPECT_EQ(got, sentinel) << x << "," << y;
            }
        }
    }
    // A hidden window's dirty rectangle does not grow, and its update draws nothing.
    tarvik_fbmap_hide(window);
    tarvik_fbmap_add_dirty(window, 0, 0, 4, 4);
    EXPECT_EQ(window->m_dirty.m_width, 0);
    // Boxes outside the map leave the rectangle as it is.
    tarvik_fbmap_show(window);
    tarvik_fbmap_add_dirty(window, -10, -10, 5, 5);
    tarvik_fbmap_add_dirty(window, 2, 2, -3, 5);
    tarvik_fbmap_add_dirty(window, INT32_MAX, 0, INT32_MAX, 1);
    EXPECT_EQ(window->m_dirty.m_width, 0);
    tarvik_fbmap_add_dirty(window, -10, -10, 12, 11);
    EXPECT_EQ(window->m_dirty.m_x, 0);
    EXPECT_EQ(window->m_dirty.m_width, 2);
    EXPECT_EQ(window->m_dirty.m_height, 1);
    tarvik_free_fbmap(screen.master);
}

// ---- sizes and clipping --------------------------------------------------------------------

TEST_F(FbmapTest, AreasBeyondThirtyTwoBitsAreRefused)
{
    const struct {
        uint32_t code, resx, resy;
        bool accepted;
    } rows[] = {
        {ARGB, 65536, 16383, true},    {ARGB, 65536, 16384, false},
        {ARGB, 0x3FFFFFFFu, 1, true},  {ARGB, 0x3FFFFFFFu, 2, false},
        {RGB565, 65536, 32767, true},  {RGB565, 65536, 32768, false},
        {ARGB, 0xFFFFFFFFu, 1, false}, {PALETTE, 0x80000000u, 1, false},
    };
    for (const auto &row : rows) {
        tarvik_fbmap_t map;
        std::string report = capture_stderr([&] {
            // Without an own buffer nothing is allocated: only the size is checked.
            tarvik_fbmap_t *result =
                tarvik_init_fbmap(&map, nullptr, 0, row.code, 0, 0, row.resx, row.resy, 1, nullptr);
            EXPECT_EQ(result != nullptr, row.accepted) << row.resx << "x" << row.resy;
            if (result != nullptr) {
                EXPECT_EQ(static_cast<uint64_t>(map.m_map_size),
                          static_cast<uint64_t>(map.m_line_length) * row.resy);
                tarvik_destroy_fbmap(&map);
            }
        });
        EXPECT_EQ(report.empty(), row.accepted) << report;
    }
    // A resize to such an area fails and leaves the window as it was.
    Screen screen = make_screen(ARGB);
    tarvik_fbmap_t *window =
        tarvik_new_fbmap(screen.master, TARVIK_FBMAP_FLAG_OWN_MAP, ARGB, 1, 1, 4, 4, 1, "w");
    void *buffer = window->m_map;
    capture_stderr([&] { EXPECT_EQ(tarvik_fbmap_resize(window, 0, 0, 65536, 16384), -1); });
    EXPECT_EQ(window->m_map, buffer);
    EXPECT_EQ(window->m_resx, 4u);
    EXPECT_EQ(tarvik_fbmap_resize(window, 2, 3, 6, 5), 0);
    EXPECT_EQ(window->m_map_size, 6u * 4 * 5);
    EXPECT_EQ(tarvik_fbmap_get_x(window), 2);
    EXPECT_EQ(tarvik_fbmap_get_y(window), 3);
    tarvik_free_fbmap(screen.master);
}

// Maps over buffers with guard bytes on both sides.
struct Guarded {
    std::vector<uint8_t> bytes;
    tarvik_fbmap_t map;
    static constexpr size_t GUARD = 64;
    Guarded(uint32_t code, uint32_t resx, uint32_t resy)
    {
        tarvik_init_fbmap(&map, nullptr, 0, code, 0, 0, resx, resy, 0, nullptr);
        bytes.assign(map.m_map_size + 2 * GUARD, 0xA5);
        map.m_map = bytes.data() + GUARD;
    }
    ~Guarded() { tarvik_destroy_fbmap(&map); }
    bool guards_intact() const
    {
        for (size_t index = 0; index < GUARD; ++index) {
            if (bytes[index] != 0xA5 || bytes[bytes.size() - 1 - index] != 0xA5) {
                return false;
            }
        }
        return true;
    }
};

TEST_F(FbmapTest, BoxCopiesClipToBothMaps)
{
    const int32_t big = INT32_MAX, small = INT32_MIN;
    const struct {
        int32_t tx, ty, fx, fy, w, h;
    } rows[] = {
        {0, 0, 0, 0, 10, 8},
        {3, 2, 0, 0, 10, 8},
        {-4, -3, 0, 0, 10, 8},
        {0, 0, -4, -3, 10, 8},
        {5, 5, 3, 2, 100, 100},
        {-2, 4, 6, -1, 7, 3},
        {9, 7, 0, 0, 5, 5},
        {0, 0, 11, 0, 5, 5},
        {0, 0, 0, 0, -5, 5},
        {0, 0, 0, 0, 5, 0},
        {big, 0, 0, 0, big, 1},
        {small, small, 0, 0, big, big},
        {0, 0, small, small, big, big},
        {big - 2, 0, 0, 0, 4, 4},
        {2, 2, big, big, big, big},
    };
    const uint32_t codes[] = {ARGB, RGB888, RGB565, PALETTE};
    for (uint32_t to_code : codes) {
        for (uint32_t from_code : codes) {
            for (const auto &row : rows) {
                Guarded to(to_code, 10, 8), from(from_code, 11, 9);
                tarvik::detail::fbmap_hooks(&to.map);
                tarvik::detail::fbmap_hooks(&from.map);
                for (int32_t y = 0; y < 9; ++y) {
                    for (int32_t x = 0; x < 11; ++x) {
                        tarvik::detail::put_pixel(
                            &from.map, x, y,
                            tarvik_convert_color(from_code, ARGB, pattern(1, x, y) | 0xFF000000u));
                    }
                }
                std::vector<uint32_t> before;
                for (int32_t y = 0; y < 8; ++y) {
                    for (int32_t x = 0; x < 10; ++x) {
                        before.push_back(tarvik::detail::get_pixel(&to.map, x, y));
                    }
                }
                tarvik::detail::copy_box(&to.map, row.tx, row.ty, &from.map, row.fx, row.fy, row.w,
                                         row.h, 0);
                ASSERT_TRUE(to.guards_intact() && from.guards_intact());
                for (int32_t y = 0; y < 8; ++y) {
                    for (int32_t x = 0; x < 10; ++x) {
                        const int64_t dx = int64_t{x} - row.tx, dy = int64_t{y} - row.ty;
                        const int64_t sx = dx + row.fx, sy = dy + row.fy;
                        const bool copied = dx >= 0 && dy >= 0 && dx < row.w && dy < row.h &&
                                            sx >= 0 && sy >= 0 && sx < 11 && sy < 9;
                        const uint32_t want =
                            copied ? tarvik_convert_color(to_code, from_code,
                                                          tarvik::detail::get_pixel(
                                                              &from.map, static_cast<int32_t>(sx),
                                                              static_cast<int32_t>(sy)))
                                   : before[static_cast<size_t>(y * 10 + x)];
                        ASSERT_EQ(tarvik::detail::get_pixel(&to.map, x, y), want)
                            << x << "," << y << " box " << row.tx << "," << row.ty << " from "
                            << row.fx << "," << row.fy << " " << row.w << "x" << row.h;
                    }
                }
            }
        }
    }
}

// ---- the virtual framebuffer ---------------------------------------------------------------

TEST_F(FbmapTest, VirtualFramebufferGeometry)
{
    const struct {
        const char *text;
        bool ok;
        const char *path;
        uint32_t w, h, bits;
    } rows[] = {
        {"/tmp/fb:1280x720x32", true, "/tmp/fb", 1280, 720, 32},
        {"a:b:c:2x3x8", true, "a:b:c", 2, 3, 8},
        {"/tmp/fb:1x1x16", true, "/tmp/fb", 1, 1, 16},
        {"/tmp/fb:1x1x24", true, "/tmp/fb", 1, 1, 24},
        {"/tmp/fb:1280x720x12", false, "", 0, 0, 0},
        {"/tmp/fb:0x720x32", false, "", 0, 0, 0},
        {"/tmp/fb:1280x720", false, "", 0, 0, 0},
        {"/tmp/fb:1280x720x32x", false, "", 0, 0, 0},
        {":1280x720x32", false, "", 0, 0, 0},
        {"/tmp/fb", false, "", 0, 0, 0},
        {"/tmp/fb:65535x65535x32", false, "", 0, 0, 0},
        {"/tmp/fb:70000x2x8", false, "", 0, 0, 0},
        {nullptr, false, "", 0, 0, 0},
    };
    for (const auto &row : rows) {
        char path[64] = "";
        uint32_t w = 0, h = 0, bits = 0;
        EXPECT_EQ(
            tarvik::detail::parse_virtual_framebuffer(row.text, path, sizeof(path), &w, &h, &bits),
            row.ok)
            << (row.text ? row.text : "(null)");
        if (row.ok) {
            EXPECT_STREQ(path, row.path);
            EXPECT_EQ(w, row.w);
            EXPECT_EQ(h, row.h);
            EXPECT_EQ(bits, row.bits);
        }
    }
}

TEST_F(FbmapTest, FramebufferContextOverTheVirtualDevice)
{
    char directory[] = "/tmp/fbmap_test.XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string file = std::string(directory) + "/screen";
    const struct {
        uint32_t bits, code;
    } rows[] = {{32, ARGB}, {24, RGB888}, {16, RGB565}, {8, PALETTE}};
    for (const auto &row : rows) {
        const std::string geometry = file + ":40x30x" + std::to_string(row.bits);
        setenv(tarvik::detail::VIRTUAL_FB_VARIABLE, geometry.c_str(), 1);
        const int ctx = tarvik_new_ctx();
        ASSERT_GE(ctx, 0);
        ASSERT_EQ(tarvik_open_ctx(ctx, TARVIK_CTX_FB_MIME_TYPE), 0) << geometry;
        tarvik_ctx_fbinfo_t info;
        ASSERT_EQ(tarvik_ctx_get_fbinfo(ctx, &info), 0);
        EXPECT_STREQ(info.m_device, "virtual framebuffer");
        EXPECT_EQ(info.m_resx, 40u);
        EXPECT_EQ(info.m_resy, 30u);
        EXPECT_EQ(info.m_line_length, 40u * row.bits / 8);
        EXPECT_EQ(info.m_map_size, 40u * 30u * row.bits / 8);
        EXPECT_EQ(info.m_color_interface, row.code) << row.bits;
        auto *master = static_cast<tarvik_fbmap_t *>(info.m_master);
        ASSERT_NE(master, nullptr);
        EXPECT_STREQ(master->m_name, "_master");
        EXPECT_EQ(tarvik_fbmap_get_map(master), info.m_map);
        EXPECT_NE(master->m_flags & TARVIK_FBMAP_FLAG_MASTER, 0u);
        // A window shown on the master reaches the file.
        tarvik_fbmap_t *window =
            tarvik_new_fbmap(master, TARVIK_FBMAP_FLAG_OWN_MAP, ARGB, 10, 5, 4, 3, 1, "w");
        ASSERT_NE(window, nullptr);
        tarvik::detail::fbmap_hooks(window);
        for (int32_t y = 0; y < 3; ++y) {
            for (int32_t x = 0; x < 4; ++x) {
                tarvik::detail::put_pixel(window, x, y, 0xFFFF0000u);
            }
        }
        EXPECT_EQ(tarvik_fbmap_show(window), 0);
        tarvik_destroy_ctx(ctx);
        FILE *screen = fopen(file.c_str(), "rb");
        ASSERT_NE(screen, nullptr);
        std::vector<uint8_t> bytes(40 * 30 * row.bits / 8);
        EXPECT_EQ(fread(bytes.data(), 1, bytes.size(), screen), bytes.size());
        fclose(screen);
        uint32_t pixel = 0;
        memcpy(&pixel, &bytes[(6 * 40 + 12) * row.bits / 8], row.bits / 8);
        EXPECT_EQ(pixel, tarvik_convert_color(row.code, ARGB, 0xFFFF0000u)) << row.bits;
        unlink(file.c_str());
    }
    // A geometry that cannot be served fails the open.
    setenv(tarvik::detail::VIRTUAL_FB_VARIABLE, (file + ":40x30x12").c_str(), 1);
    const int ctx = tarvik_new_ctx();
    EXPECT_EQ(tarvik_open_ctx(ctx, TARVIK_CTX_FB_MIME_TYPE), -1);
    tarvik_destroy_ctx(ctx);
    unsetenv(tarvik::detail::VIRTUAL_FB_VARIABLE);
    rmdir(directory);
}

} // namespace
