// Window maps: full-screen recomposition of 1280x720 ARGB8888 from an opaque background and
// three overlapping translucent windows, against pixman (Debian libpixman-1-dev) doing the
// same work (a copy of the background and three OVER compositions); and the blend loop of
// one 800x450 window alone against one pixman OVER composition.
#include <benchmark/benchmark.h>

#include <pixman.h>

#include "fbmap_scene.hpp"

#include <vector>

namespace {

using namespace fbmap_bench;

void BM_RecomposeScreen(benchmark::State &state)
{
    Scene scene = make_scene();
    for (auto _ : state) {
        recompose(scene);
        benchmark::DoNotOptimize(tarvik_fbmap_get_map(scene.master));
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    tarvik_free_fbmap(scene.master);
}
BENCHMARK(BM_RecomposeScreen)->Unit(benchmark::kMillisecond);

pixman_image_t *image_of(tarvik_fbmap_t *map)
{
    return pixman_image_create_bits(PIXMAN_a8r8g8b8, static_cast<int>(tarvik_fbmap_get_resx(map)),
                                    static_cast<int>(tarvik_fbmap_get_resy(map)),
                                    static_cast<uint32_t *>(tarvik_fbmap_get_map(map)),
                                    static_cast<int>(tarvik_fbmap_get_line_length(map)));
}

void BM_RecomposeScreenPixman(benchmark::State &state)
{
    Scene scene = make_scene();
    pixman_image_t *screen = image_of(scene.master);
    pixman_image_t *background = image_of(scene.background);
    pixman_image_t *windows[3];
    for (int index = 0; index < 3; ++index) {
        windows[index] = image_of(scene.windows[index]);
    }
    // The window alpha of the first window as a solid mask.
    pixman_color_t alpha = {0, 0, 0, 160 * 257};
    pixman_image_t *mask = pixman_image_create_solid_fill(&alpha);
    for (auto _ : state) {
        pixman_image_composite32(PIXMAN_OP_SRC, background, nullptr, screen, 0, 0, 0, 0, 0, 0,
                                 WIDTH, HEIGHT);
        for (int index = 0; index < 3; ++index) {
            pixman_image_composite32(PIXMAN_OP_OVER, windows[index], index == 0 ? mask : nullptr,
                                     screen, 0, 0, 0, 0, index * 240, index * 135, WINDOW_W,
                                     WINDOW_H);
        }
        benchmark::DoNotOptimize(tarvik_fbmap_get_map(scene.master));
    }
    state.counters["fps"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    pixman_image_unref(mask);
    for (pixman_image_t *window : windows) {
        pixman_image_unref(window);
    }
    pixman_image_unref(background);
    pixman_image_unref(screen);
    tarvik_free_fbmap(scene.master);
}
BENCHMARK(BM_RecomposeScreenPixman)->Unit(benchmark::kMillisecond);

// The blend loop alone: one pixel-alpha window over the background, its area redrawn.
void BM_BlendWindow(benchmark::State &state)
{
    Scene scene = make_scene();
    tarvik_fbmap_hide(scene.windows[0]);
    tarvik_fbmap_hide(scene.windows[2]);
    tarvik_fbmap_t *window = scene.windows[1];
    tarvik_fbmap_move(window, 0, 0);
    // The background under the window is copied too: measured alone and subtracted below.
    for (auto _ : state) {
        tarvik_fbmap_add_dirty(window, 0, 0, WINDOW_W, WINDOW_H);
        tarvik_fbmap_update(window);
    }
    state.counters["Mpixel/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * WINDOW_W * WINDOW_H / 1e6,
                           benchmark::Counter::kIsRate);
    tarvik_free_fbmap(scene.master);
}
BENCHMARK(BM_BlendWindow)->Unit(benchmark::kMicrosecond);

void BM_BlendWindowPixman(benchmark::State &state)
{
    Scene scene = make_scene();
    pixman_image_t *screen = image_of(scene.master);
    pixman_image_t *background = image_of(scene.background);
    pixman_image_t *window = image_of(scene.windows[1]);
    for (auto _ : state) {
        pixman_image_composite32(PIXMAN_OP_SRC, background, nullptr, screen, 0, 0, 0, 0, 0, 0,
                                 WINDOW_W, WINDOW_H);
        pixman_image_composite32(PIXMAN_OP_OVER, window, nullptr, screen, 0, 0, 0, 0, 0, 0,
                                 WINDOW_W, WINDOW_H);
    }
    state.counters["Mpixel/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * WINDOW_W * WINDOW_H / 1e6,
                           benchmark::Counter::kIsRate);
    pixman_image_unref(window);
    pixman_image_unref(background);
    pixman_image_unref(screen);
    tarvik_free_fbmap(scene.master);
}
BENCHMARK(BM_BlendWindowPixman)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
