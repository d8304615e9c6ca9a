// The framebuffer pattern applets: fbruler (a ruler window over the whole screen), fbcolorbar
// (colour bars on the screen itself) and fbclock (the time in a window, redrawn at intervals
// until an exit signal or a given number of redraws). Windows are left on the screen when the
// applet ends, as the patterns are meant to stay for the eye or a camera.
#include "applet.hpp"
#include "applets.h"
#include "fbapplet.hpp"

#include "console.h"
#include "ctx.h"
#include "event.h"
#include "fbdraw.h"
#include "format.h"

#include <cstdlib>
#include <ctime>

namespace {

using vexa::color_option;
constexpr const char *DEVICE_HELP = vexa::FRAMEBUFFER_DEVICE_HELP;
constexpr uint32_t ARGB = TARVIK_COLOR_INTERFACE_ARGB8888;

// A child window of the screen, drawn on and shown, that stays on the screen when it goes.
tarvik_fbmap_t *new_window(tarvik_fbmap_t *master, const char *name, int32_t x, int32_t y,
                           uint32_t width, uint32_t height)
{
    tarvik_fbmap_t *window =
        tarvik_new_fbmap(master, TARVIK_FBMAP_FLAG_OWN_MAP | TARVIK_FBMAP_FLAG_KEEP_SHOWN, 0, x, y,
                         width, height, 0, "%s", name);
    if (window == nullptr) {
        tarvik_error_printf("%s: no memory for the window\n", name);
    }
    return window;
}

// ---- fbruler ----

enum : size_t { RULER_DEVICE, RULER_COLOR, RULER_BACKGROUND, RULER_INTERVAL };
constexpr vexa::Option RULER_OPTIONS[] = {
    {"dev|fbdev", vexa::Takes::VALUE, DEVICE_HELP},
    {"color", vexa::Takes::VALUE,
     "\t    --color=<value>              : ARGB8888 colour (default 0xFFFFFFFF)\n"},
    {"background", vexa::Takes::VALUE,
     "\t    --background=<value>         : ARGB8888 background (default 0xFF000000)\n"},
    {"i|interval", vexa::Takes::VALUE,
     "\t-i, --interval=<pixels>          : tick interval (default 10)\n"},
};
constexpr vexa::Usage RULER_USAGE =
    vexa::usage_of("usage: %s [<options>]\noptions:\n", RULER_OPTIONS, "\n");

// ---- fbcolorbar ----

enum : size_t { BAR_DEVICE, BAR_EXTENDED };
constexpr vexa::Option BAR_OPTIONS[] = {
    {"dev|fbdev", vexa::Takes::VALUE, DEVICE_HELP},
    {"ex|ext|extension", vexa::Takes::NOTHING,
     "\t    --ex, --ext, --extension     : extended pattern (three rows)\n"},
};
constexpr vexa::Usage BAR_USAGE =
    vexa::usage_of("usage: %s [<options>]\noptions:\n", BAR_OPTIONS, "\n");

// ---- fbclock ----

enum : size_t { CLOCK_DEVICE, CLOCK_INTERVAL, CLOCK_COUNT };
constexpr vexa::Option CLOCK_OPTIONS[] = {
    {"dev|fbdev", vexa::Takes::VALUE, DEVICE_HELP},
    {"i|interval", vexa::Takes::VALUE,
     "\t-i, --interval=<msec>            : redraw interval (default 1000)\n"},
    {"n|count", vexa::Takes::VALUE,
     "\t-n, --count=<n>                  : redraws before ending (default 0: until stopped)\n"},
};
constexpr vexa::Usage CLOCK_USAGE =
    vexa::usage_of("usage: %s [<options>]\noptions:\n", CLOCK_OPTIONS, "\n");

// The clock window: the date above the time, half the screen wide.
constexpr uint32_t CLOCK_COLUMNS = 8; // "HH:MM:SS"

struct Clock {
    tarvik_event_base_t *m_base;
    tarvik_event_t m_signals[vexa::EXIT_SIGNAL_COUNT];
    tarvik_event_t m_timer;
    tarvik_fbmap_t *m_window;
    long long m_count; // redraws left; 0 for no limit
};

void draw_clock(tarvik_fbmap_t *window)
{
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    tarvik_fbmap_draw_clear(window, tarvik_fbmap_convert_color(window, ARGB, 0xFF000020u));
    int32_t scale = static_cast<int32_t>(tarvik_fbmap_get_resx(window) / (CLOCK_COLUMNS * 8));
    scale = scale < 1 ? 1 : scale;
    tarvik_fbmap_use_brush_color(window, 1, 0, 0);
    tarvik_fbmap_set_brush_xy_scale(window, scale, 2, scale, 2);
    tarvik_fbmap_set_brush_xy(window, 0, 0);
    tarvik_fbmap_draw_printf(window, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                             local.tm_mday);
    tarvik_fbmap_set_brush_xy_scale(window, scale, 1, scale, 1);
    tarvik_fbmap_set_brush_xy(window, 0, 8 * scale + 4);
    tarvik_fbmap_draw_printf(window, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    tarvik_fbmap_update(window);
}

int32_t on_clock(tarvik_event_t *, int, uint32_t what, void *context)
{
    auto *clock = static_cast<Clock *>(context);
    if ((what & def_tarvik_event_timeout) == 0) {
        return 0;
    }
    if (tarvik_fbmap_is_closed(clock->m_window) != 0) {
        tarvik_event_base_exit_loop(clock->m_base, 0);
        return 0;
    }
    draw_clock(clock->m_window);
    if (clock->m_count > 0 && --clock->m_count == 0) {
        tarvik_event_base_exit_loop(clock->m_base, 0);
    }
    return 0;
}

int run_clock(Clock *clock, int interval)
{
    draw_clock(clock->m_window);
    if (clock->m_count > 0 && --clock->m_count == 0) {
        return 0;
    }
    bool ok = vexa::watch_exit_signals(clock->m_base, clock->m_signals) &&
              tarvik_assign_event(clock->m_base, &clock->m_timer, -1, def_tarvik_event_persist,
                                  on_clock, clock) == 0 &&
              tarvik_add_event(&clock->m_timer, interval) == 0 &&
              vexa::run_event_loop(clock->m_base);
    return ok ? 0 : 1;
}

} // namespace

int tarvik_multicall_fbruler_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, RULER_USAGE);
    uint32_t color = 0;
    uint32_t background = 0;
    long long interval = 0;
    if (!arguments.ok() || !color_option(arguments, RULER_COLOR, 0xFFFFFFFFu, &color) ||
        !color_option(arguments, RULER_BACKGROUND, 0xFF000000u, &background) ||
        !arguments.number(RULER_INTERVAL, 2, 10000, 10, &interval)) {
        return 1;
    }
    tarvik_fbmap_t *master = nullptr;
    int ctx = vexa::open_framebuffer("fbruler", arguments.value(RULER_DEVICE), 0, &master);
    if (ctx < 0) {
        return 1;
    }
    tarvik_fbmap_t *window = new_window(master, "fbruler", 0, 0, 0, 0);
    int status = 1;
    if (window != nullptr) {
        tarvik_fbmap_draw_clear(window, tarvik_fbmap_convert_color(window, ARGB, background));
        tarvik_fbmap_draw_ruler(window, tarvik_fbmap_convert_color(window, ARGB, color), 0, 0,
                                static_cast<int32_t>(tarvik_fbmap_get_resx(window)),
                                static_cast<int32_t>(tarvik_fbmap_get_resy(window)),
                                static_cast<int32_t>(interval));
        status = tarvik_fbmap_update(window) == 0 ? 0 : 1;
        tarvik_free_fbmap(window);
    }
    tarvik_destroy_ctx(ctx);
    return status;
}

int tarvik_multicall_fbcolorbar_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, BAR_USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    tarvik_fbmap_t *master = nullptr;
    int ctx = vexa::open_framebuffer("fbcolorbar", arguments.value(BAR_DEVICE), 0, &master);
    if (ctx < 0) {
        return 1;
    }
    int status =
        tarvik_fbmap_draw_color_bar(master, arguments.has(BAR_EXTENDED) ? 1 : 0, 0xFF, 0, 0,
                                    static_cast<int32_t>(tarvik_fbmap_get_resx(master)),
                                    static_cast<int32_t>(tarvik_fbmap_get_resy(master))) == 0 &&
                tarvik_fbmap_update(master) == 0
            ? 0
            : 1;
    tarvik_destroy_ctx(ctx);
    return status;
}

int tarvik_multicall_fbclock_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, CLOCK_USAGE);
    long long interval = 0;
    long long count = 0;
    if (!arguments.ok() || !arguments.number(CLOCK_INTERVAL, 10, INT32_MAX, 1000, &interval) ||
        !arguments.number(CLOCK_COUNT, 0, INT32_MAX, 0, &count)) {
        return 1;
    }
    tarvik_fbmap_t *master = nullptr;
    int ctx = vexa::open_framebuffer("fbclock", arguments.value(CLOCK_DEVICE), 0, &master);
    if (ctx < 0) {
        return 1;
    }
    uint32_t resx = tarvik_fbmap_get_resx(master);
    uint32_t resy = tarvik_fbmap_get_resy(master);
    uint32_t width = resx / 2 < 64 ? (resx < 64 ? resx : 64) : resx / 2;
    uint32_t scale = width / (CLOCK_COLUMNS * 8);
    uint32_t height = 24 * scale + 4 < resy ? 24 * scale + 4 : resy;
    Clock clock{};
    clock.m_count = count;
    clock.m_window = new_window(master, "fbclock", static_cast<int32_t>((resx - width) / 2),
                                static_cast<int32_t>((resy - height) / 2), width, height);
    clock.m_base = clock.m_window != nullptr ? tarvik_new_event_base() : nullptr;
    int status = clock.m_base != nullptr ? run_clock(&clock, static_cast<int>(interval)) : 1;
    tarvik_free_event_base(clock.m_base);
    tarvik_free_fbmap(clock.m_window);
    tarvik_destroy_ctx(ctx);
    return status;
}
