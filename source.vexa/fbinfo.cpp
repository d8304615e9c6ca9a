// The fbinfo and fbclear applets: the screen's description, and clearing the screen or a box
// of it.
#include "applet.hpp"
#include "applets.h"
#include "fbapplet.hpp"

#include "console.h"
#include "ctx.h"
#include "fbdraw.h"
#include "fbmap.h"

#include <csignal>
#include <cstdlib>
#include <ctime>

namespace {

volatile sig_atomic_t s_stop = 0;

void on_stop(int) { s_stop = 1; }

enum : size_t { INFO_DEVICE };
constexpr vexa::Option INFO_OPTIONS[] = {
    {"dev|fbdev", vexa::Takes::VALUE, vexa::FRAMEBUFFER_DEVICE_HELP},
};
constexpr vexa::Usage INFO_USAGE =
    vexa::usage_of("usage: %s [<options>]\noptions:\n", INFO_OPTIONS, "\n");

enum : size_t { DEVICE, COLOR, FOLLOW, KEEP, BOX_X, BOX_Y, BOX_W, BOX_H };
constexpr vexa::Option CLEAR_OPTIONS[] = {
    {"dev|fbdev", vexa::Takes::VALUE, vexa::FRAMEBUFFER_DEVICE_HELP},
    {"color", vexa::Takes::VALUE,
     "\t    --color=<value>              : ARGB8888 colour (default 0xFF000000)\n"},
    {"follow", vexa::Takes::NOTHING,
     "\t    --follow                     : the colour is a raw pixel value\n"},
    {"keep", vexa::Takes::NOTHING, "\t    --keep                       : repeat every 500 ms\n"},
    {"x", vexa::Takes::VALUE, "\t    --x=<x>                      : left of the box\n"},
    {"y", vexa::Takes::VALUE, "\t    --y=<y>                      : top of the box\n"},
    {"w", vexa::Takes::VALUE, "\t    --w=<width>                  : width of the box\n"},
    {"h", vexa::Takes::VALUE, "\t    --h=<height>                 : height of the box\n"},
};
constexpr vexa::Usage CLEAR_USAGE =
    vexa::usage_of("usage: %s [<options>]\noptions:\n", CLEAR_OPTIONS, "\n");

constexpr long long COORDINATE_LIMIT = 0x7FFFFFFF;

} // namespace

namespace vexa {

int open_framebuffer(const char *applet, const char *device, int debug, tarvik_fbmap_t **master_out)
{
    const int ctx = tarvik_new_ctx();
    if (ctx < 0) {
        tarvik_printf("new_ctx failed ! (fb_handle)\n");
        return -1;
    }
    tarvik_ctx_set_option_int_string(ctx, 1, "debug", debug);
    if (device != nullptr) {
        tarvik_ctx_set_option_string(ctx, 1, "src", device);
    }
    tarvik_ctx_set_option_string(ctx, 1, "class_name", applet);
    tarvik_ctx_set_option_string(ctx, 1, "title_name", applet);
    tarvik_ctx_fbinfo_t info;
    if (tarvik_open_ctx(ctx, TARVIK_CTX_FB_MIME_TYPE) != 0 ||
        tarvik_ctx_get_fbinfo(ctx, &info) != 0 || info.m_master == nullptr) {
        tarvik_printf("tarvik_open_ctx failed ! (\"%s\", fb_handle)\n", TARVIK_CTX_FB_MIME_TYPE);
        tarvik_destroy_ctx(ctx);
        return -1;
    }
    *master_out = static_cast<tarvik_fbmap_t *>(info.m_master);
    return ctx;
}

bool color_option(const Arguments &arguments, size_t option, uint32_t fallback, uint32_t *out)
{
    *out = fallback;
    if (!arguments.has(option)) {
        return true;
    }
    const char *text = arguments.value(option, 1, "");
    char *end = nullptr;
    const unsigned long long value = strtoull(text, &end, 0);
    if (*text == '\0' || *end != '\0' || value > 0xFFFFFFFFull) {
        tarvik_error_printf("%s: not a 32-bit colour: \"%s\"\n", arguments.program_name(), text);
        return false;
    }
    *out = static_cast<uint32_t>(value);
    return true;
}

} // namespace vexa

int tarvik_multicall_fbinfo_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, INFO_USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    tarvik_fbmap_t *master = nullptr;
    const int ctx = vexa::open_framebuffer("fbinfo", arguments.value(INFO_DEVICE), 1, &master);
    if (ctx < 0) {
        return 1;
    }
    tarvik_ctx_fbinfo_t info;
    tarvik_ctx_get_fbinfo(ctx, &info);
    char name[9];
    tarvik_printf("\n");
    tarvik_printf("device name : \"%s\"\n", info.m_device);
    tarvik_printf("fd          : %d\n", static_cast<int>(info.m_fd));
    tarvik_printf("map size    : %lu bytes\n", static_cast<unsigned long>(info.m_map_size));
    tarvik_printf("map ptr     : %p\n", info.m_map);
    tarvik_printf("line length : %lu bytes\n", static_cast<unsigned long>(info.m_line_length));
    tarvik_printf("resolution  : %u x %u %ubpp (color_interface[%08XH]=\"%s\")\n",
                  static_cast<unsigned>(info.m_resx), static_cast<unsigned>(info.m_resy),
                  static_cast<unsigned>(info.m_bits_per_pixel),
                  static_cast<unsigned>(info.m_color_interface),
                  tarvik_color_interface_name(name, info.m_color_interface));
    tarvik_printf("\n");
    tarvik_destroy_ctx(ctx);
    return vexa::output_ok(arguments.program_name()) ? 0 : 1;
}

int tarvik_multicall_fbclear_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, CLEAR_USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    uint32_t color = 0;
    if (!vexa::color_option(arguments, COLOR, 0xFF000000u, &color)) {
        return 1;
    }
    long long box[4];
    for (size_t index = 0; index < 4; ++index) {
        const long long minimum = index < 2 ? -COORDINATE_LIMIT : 0;
        if (!arguments.number(BOX_X + index, minimum, COORDINATE_LIMIT, index < 2 ? 0 : -1,
                              &box[index])) {
            return 1;
        }
    }
    tarvik_fbmap_t *master = nullptr;
    const int ctx = vexa::open_framebuffer("fbclear", arguments.value(DEVICE), 0, &master);
    if (ctx < 0) {
        return 1;
    }
    if (!arguments.has(FOLLOW)) {
        color = tarvik_fbmap_convert_color(master, TARVIK_COLOR_INTERFACE_ARGB8888, color);
    }
    const long long width = box[2] < 0 ? tarvik_fbmap_get_resx(master) : box[2];
    const long long height = box[3] < 0 ? tarvik_fbmap_get_resy(master) : box[3];
    if (arguments.has(KEEP)) {
        signal(SIGINT, on_stop);
        signal(SIGTERM, on_stop);
    }
    do {
        // A box partly off the screen is clipped; one wholly off it draws nothing.
        tarvik_fbmap_draw_box(master, color, static_cast<int32_t>(box[0]),
                              static_cast<int32_t>(box[1]), static_cast<int32_t>(width),
                              static_cast<int32_t>(height), 1);
        tarvik_fbmap_update(master);
        if (arguments.has(KEEP)) {
            const struct timespec step = {0, 500000000L};
            nanosleep(&step, nullptr);
        }
    } while (arguments.has(KEEP) && s_stop == 0 && tarvik_fbmap_is_closed(master) == 0);
    tarvik_destroy_ctx(ctx);
    return 0;
}
