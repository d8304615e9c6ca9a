// The composition scene of the window-map benchmarks: a 1280x720 ARGB8888 screen, an opaque
// background and three overlapping translucent windows (window alpha, pixel alpha, pixel
// alpha with a chroma key), recomposed whole.
#pragma once

#include "fbmap.h"

#include <cstdint>

namespace fbmap_bench {

constexpr uint32_t WIDTH = 1280, HEIGHT = 720;
constexpr uint32_t WINDOW_W = 800, WINDOW_H = 450;

inline void fill(tarvik_fbmap_t *map, uint32_t seed)
{
    auto *pixels = static_cast<uint32_t *>(tarvik_fbmap_get_map(map));
    const uint32_t width = tarvik_fbmap_get_resx(map), height = tarvik_fbmap_get_resy(map);
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t alpha = (x * 3 + y + seed * 40) & 0xFFu;
            pixels[y * width + x] = alpha << 24 | ((x + seed * 70) & 0xFFu) << 16 |
                                    ((y * 2) & 0xFFu) << 8 | ((x ^ y) & 0xFFu);
        }
    }
}

struct Scene {
    tarvik_fbmap_t *master;
    tarvik_fbmap_t *background;
    tarvik_fbmap_t *windows[3];
};

inline Scene make_scene()
{
    Scene scene{};
    scene.master =
        tarvik_new_fbmap(nullptr, TARVIK_FBMAP_FLAG_OWN_MAP, TARVIK_COLOR_INTERFACE_ARGB8888, 0, 0,
                         WIDTH, HEIGHT, 0, "_master");
    scene.background =
        tarvik_new_fbmap(scene.master, TARVIK_FBMAP_FLAG_OWN_MAP, 0, 0, 0, 0, 0, 1, "background");
    fill(scene.background, 0);
    for (uint32_t index = 0; index < 3; ++index) {
        tarvik_fbmap_t *window = tarvik_new_fbmap(
            scene.master, TARVIK_FBMAP_FLAG_OWN_MAP | TARVIK_FBMAP_FLAG_HIDDEN, 0,
            static_cast<int32_t>(index * 240), static_cast<int32_t>(index * 135), WINDOW_W,
            WINDOW_H, static_cast<int32_t>(index + 2), "window%u", index);
        fill(window, index + 1);
        if (index == 0) {
            tarvik_fbmap_set_alpha_window(window, 160);
            tarvik_fbmap_use_alpha_window(window, 1);
        } else {
            tarvik_fbmap_use_alpha_pixel(window, 1);
        }
        if (index == 2) {
            tarvik_fbmap_set_ccolor(window, 0);
            tarvik_fbmap_use_ccolor(window, 1);
        }
        tarvik_fbmap_show(window);
        scene.windows[index] = window;
    }
    return scene;
}

// One full-screen recomposition.
inline void recompose(const Scene &scene)
{
    tarvik_fbmap_add_dirty(scene.background, 0, 0, WIDTH, HEIGHT);
    tarvik_fbmap_update(scene.background);
}

} // namespace fbmap_bench
