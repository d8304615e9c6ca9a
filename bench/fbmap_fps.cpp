// Frames per second of the full-screen recomposition of the window-map benchmark scene, as a
// plain program that runs on the device or under qemu-mipsel: fbmap_fps [frames] (1..1000).
#include "fbmap_scene.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>

int main(int argc, char **argv)
{
    const long frames = argc > 1 ? strtol(argv[1], nullptr, 10) : 20;
    if (frames < 1 || frames > 1000) {
        fprintf(stderr, "usage: fbmap_fps [frames 1..1000]\n");
        return 2;
    }
    fbmap_bench::Scene scene = fbmap_bench::make_scene();
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long frame = 0; frame < frames; ++frame) {
        fbmap_bench::recompose(scene);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds =
        static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    printf("%ld frames of %ux%u in %.3f s: %.1f frames per second\n", frames, fbmap_bench::WIDTH,
           fbmap_bench::HEIGHT, seconds, frames / seconds);
    tarvik_free_fbmap(scene.master);
    return 0;
}
