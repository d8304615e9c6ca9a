// cpuusage: the usage of one CPU, of the aggregate line or of every CPU, from two readings of
// the tick counters an interval apart, with a spinner between readings (or, with --fbdev, a
// bar and the percentage of the selected line in a framebuffer window); runs on an event base
// until an exit signal or the keys ESC or q (a toggles every CPU, p the progress view).
#include "applet.hpp"
#include "applets.h"
#include "fbapplet.hpp"

#include "console.h"
#include "cpu_ticks.h"
#include "ctx.h"
#include "event.h"
#include "fbdraw.h"
#include "format.h"
#include "terminal.h"

namespace {

enum : size_t { HELP, EVENT_DEBUG, INTERVAL, CPU, ALL, PROGRESS, FBDEV };
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"event_debug|event-debug", vexa::Takes::NOTHING,
     "\t--event-debug                    : enable event debug mode\n"},
    {"i|interval|d|delay", vexa::Takes::VALUE,
     "\t-i|-d|--interval|--delay=<msec>  : check interval\n"},
    {"c|cpu", vexa::Takes::VALUE, "\t-c|--cpu=<index>                 : CPU index\n"},
    {"a|all", vexa::Takes::NOTHING, "\t-a|--all                         : all cpu\n"},
    {"p|progress", vexa::Takes::NOTHING, "\t-p|--progress                    : progress view\n"},
    {"fbdev", vexa::Takes::NOTHING, nullptr},
};
constexpr vexa::Usage USAGE = vexa::usage_of("usage: %s [<options>]\noptions:\n", OPTIONS, "\n");

constexpr long long DEFAULT_INTERVAL = 1000;
constexpr int SPINNER_INTERVAL = 100;
constexpr const char *SPINNER[] = {"-", "\\", "|", "/"};
constexpr const char *VALUE_NAMES[] = {"user",   "nice", "system",  "idle",
                                       "iowait", "irq",  "softirq", "stolen"};
constexpr size_t VALUE_COUNT = 8;
constexpr size_t IDLE = 3;
constexpr uint64_t WHOLE = 10000; // hundredths of a percent
constexpr char ESC = 0x1b;

// The events live as long as the base: freeing the base unassigns those still added. Two
// tick lists take turns: each reading refills the older one in place.
struct Monitor {
    tarvik_event_base_t *m_base;
    tarvik_event_t m_signals[vexa::EXIT_SIGNAL_COUNT];
    tarvik_event_t m_spinner;
    tarvik_event_t m_timer;
    tarvik_event_t m_keys;
    int m_vt;
    tarvik_cpu_ticks_t *m_previous;
    tarvik_cpu_ticks_t *m_current;
    int32_t m_cpu;
    uint32_t m_frame;
    bool m_all;
    bool m_progress;
    tarvik_fbmap_t *m_window; // the framebuffer view, null without --fbdev
};

// The framebuffer view: a window at the bottom left of the screen with a bar of the usage
// and its value in percent above the ticks of the interval.
constexpr uint32_t VIEW_WIDTH = 400;
constexpr uint32_t VIEW_HEIGHT = 56;
constexpr int32_t VIEW_MARGIN = 16;
constexpr uint32_t ARGB = TARVIK_COLOR_INTERFACE_ARGB8888;

tarvik_fbmap_t *new_view(tarvik_fbmap_t *master)
{
    uint32_t resx = tarvik_fbmap_get_resx(master);
    uint32_t resy = tarvik_fbmap_get_resy(master);
    uint32_t width = resx < VIEW_WIDTH + 2 * VIEW_MARGIN ? resx : VIEW_WIDTH;
    uint32_t height = resy < VIEW_HEIGHT + 2 * VIEW_MARGIN ? resy : VIEW_HEIGHT;
    int32_t x = width == VIEW_WIDTH ? VIEW_MARGIN : 0;
    int32_t y = static_cast<int32_t>(resy - height) - (height == VIEW_HEIGHT ? VIEW_MARGIN : 0);
    return tarvik_new_fbmap(master, TARVIK_FBMAP_FLAG_OWN_MAP, 0, x, y, width, height, 0,
                            "cpuusage");
}

void draw_view(tarvik_fbmap_t *window, unsigned long usage, unsigned long dt)
{
    auto color = [window](uint32_t argb) { return tarvik_fbmap_convert_color(window, ARGB, argb); };
    int32_t width = static_cast<int32_t>(tarvik_fbmap_get_resx(window));
    tarvik_fbmap_draw_clear(window, color(0xFF202020u));
    tarvik_fbmap_draw_box(window, color(0xFF808080u), 4, 4, width - 8, 20, 0);
    int32_t filled = static_cast<int32_t>((width - 12) * static_cast<uint64_t>(usage) / WHOLE);
    if (filled > 0) {
        tarvik_fbmap_draw_box(window, color(usage > 8000 ? 0xFFFF4040u : 0xFF40C040u), 6, 6, filled,
                              16, 1);
    }
    tarvik_fbmap_set_brush_fcolor(window, color(0xFFFFFFFFu));
    tarvik_fbmap_use_brush_color(window, 1, 0, 0);
    tarvik_fbmap_set_brush_xy(window, 6, 30);
    tarvik_fbmap_draw_printf(window, "cpu %3lu.%02lu%%  tps=%lu", usage / 100, usage % 100, dt);
    tarvik_fbmap_update(window);
}

const tarvik_cpu_ticks_t *find(const tarvik_cpu_ticks_t *list, int32_t id)
{
    for (; list != nullptr && list->m_id != id; list = list->m_next) {
    }
    return list;
}

// Counters are 32 bits wide and wrap: differences are taken modulo 2^32.
void print_usage(const Monitor &monitor, const tarvik_cpu_ticks_t *now,
                 const tarvik_cpu_ticks_t *before)
{
    uint32_t dt = now->m_total - before->m_total;
    if (dt == 0) {
        return;
    }
    unsigned long pct[VALUE_COUNT];
    for (size_t i = 0; i < VALUE_COUNT; ++i) {
        uint64_t delta = static_cast<uint32_t>(now->m_values[i] - before->m_values[i]);
        pct[i] = static_cast<unsigned long>(delta * WHOLE / dt);
    }
    unsigned long usage = pct[IDLE] < WHOLE ? static_cast<unsigned long>(WHOLE) - pct[IDLE] : 0;
    if (monitor.m_window != nullptr && now->m_id == monitor.m_cpu) {
        draw_view(monitor.m_window, usage, static_cast<unsigned long>(dt));
    }
    if (monitor.m_progress && now->m_id == -1) {
        char label[32];
        tarvik_snprintf(label, sizeof(label), " tps=%lu", static_cast<unsigned long>(dt));
        tarvik_progress_bar(usage, WHOLE, nullptr, label, nullptr);
        tarvik_puts("\n");
        return;
    }
    tarvik_puts("\r");
    if (now->m_id != -1) {
        tarvik_printf("%s[%2d]", monitor.m_all ? "\t" : "", now->m_id);
    }
    tarvik_printf("\e[1;33m%3lu.%02lu\e[0m%% (", usage / 100, usage % 100);
    for (size_t i = 0; i < VALUE_COUNT; ++i) {
        tarvik_printf("%s%s=\e[1;35m%3lu.%02lu\e[0m%%", i == 0 ? "" : ", ", VALUE_NAMES[i],
                      pct[i] / 100, pct[i] % 100);
    }
    tarvik_printf(") tps=\e[1;32m%lu\e[0m\n", static_cast<unsigned long>(dt));
}

int32_t on_tick(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) == 0) {
        return 0;
    }
    auto *monitor = static_cast<Monitor *>(context);
    tarvik_cpu_ticks_t *fresh = tarvik_open_cpu_ticks(monitor->m_previous);
    if (fresh == nullptr) {
        return 0; // the next interval tries again
    }
    monitor->m_previous = monitor->m_current;
    monitor->m_current = fresh;
    for (const tarvik_cpu_ticks_t *now = fresh; now != nullptr; now = now->m_next) {
        const tarvik_cpu_ticks_t *before = find(monitor->m_previous, now->m_id);
        if (before != nullptr && (monitor->m_all || now->m_id == monitor->m_cpu)) {
            print_usage(*monitor, now, before);
        }
    }
    tarvik_puts(nullptr);
    return 0;
}

int32_t on_spinner(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) != 0) {
        auto *monitor = static_cast<Monitor *>(context);
        tarvik_printf("\r%s", SPINNER[monitor->m_frame++ % 4]);
        tarvik_puts(nullptr);
    }
    return 0;
}

// One read is what one key press gave: ESC alone ends, as does q. A longer read that starts
// with ESC is a function key and is ignored; a terminal that hung up ends the run.
int32_t on_key(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_read) == 0) {
        return 0;
    }
    auto *monitor = static_cast<Monitor *>(context);
    int count = 0;
    const char *keys = tarvik_get_vt(monitor->m_vt, &count, 0);
    bool quit = keys == nullptr || (count == 1 && keys[0] == ESC);
    for (int i = 0; !quit && keys[0] != ESC && i < count; ++i) {
        quit = keys[i] == 'q';
        monitor->m_all = keys[i] == 'a' ? !monitor->m_all : monitor->m_all;
        monitor->m_progress = keys[i] == 'p' ? !monitor->m_progress : monitor->m_progress;
    }
    if (quit) {
        tarvik_event_base_exit_loop(monitor->m_base, 0);
    }
    return 0;
}

bool add_timer(Monitor *monitor, tarvik_event_t *event, tarvik_event_handler_t handler, int ms)
{
    return tarvik_assign_event(monitor->m_base, event, -1, def_tarvik_event_persist, handler,
                               monitor) == 0 &&
           tarvik_add_event(event, ms) == 0;
}

// The loop runs until an exit signal, a quit key or a failure of select other than an
// interruption by a signal.
int run_monitor(Monitor *monitor, int interval)
{
    bool ok = vexa::watch_exit_signals(monitor->m_base, monitor->m_signals);
    // The spinner shows that a text view is alive; the framebuffer view shows it itself.
    ok = ok && (monitor->m_window != nullptr ||
                add_timer(monitor, &monitor->m_spinner, on_spinner, SPINNER_INTERVAL));
    ok = ok && add_timer(monitor, &monitor->m_timer, on_tick, interval);
    monitor->m_vt = ok ? tarvik_open_vt() : -1;
    if (monitor->m_vt >= 0) {
        ok = tarvik_assign_event(monitor->m_base, &monitor->m_keys, tarvik_get_vt_fd(monitor->m_vt),
                                 def_tarvik_event_read | def_tarvik_event_persist, on_key,
                                 monitor) == 0 &&
             tarvik_add_event(&monitor->m_keys, -1) == 0;
    }
    ok = ok && vexa::run_event_loop(monitor->m_base);
    return ok ? 0 : 1;
}

} // namespace

int tarvik_multicall_cpuusage_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    long long interval = 0;
    long long cpu = -1;
    if (arguments.has(HELP) ||
        !arguments.number(INTERVAL, 1, INT32_MAX, DEFAULT_INTERVAL, &interval) ||
        !arguments.number(CPU, -1, INT32_MAX, -1, &cpu)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    if (arguments.has(EVENT_DEBUG)) {
        tarvik_event_debug_mode(1);
    }
    Monitor monitor{};
    monitor.m_vt = -1;
    monitor.m_cpu = static_cast<int32_t>(cpu);
    monitor.m_all = arguments.has(ALL);
    monitor.m_progress = arguments.has(PROGRESS);
    int ctx = -1;
    if (arguments.has(FBDEV)) {
        tarvik_fbmap_t *master = nullptr;
        ctx = vexa::open_framebuffer("cpuusage", nullptr, 0, &master);
        monitor.m_window = ctx >= 0 ? new_view(master) : nullptr;
        if (monitor.m_window == nullptr) {
            tarvik_destroy_ctx(ctx);
            return 1;
        }
    }
    monitor.m_base = tarvik_new_event_base();
    int status = 1;
    if (monitor.m_base != nullptr) {
        monitor.m_current = tarvik_open_cpu_ticks(nullptr);
        status = run_monitor(&monitor, static_cast<int>(interval));
    }
    tarvik_free_event_base(monitor.m_base);
    if (monitor.m_window != nullptr) {
        tarvik_free_fbmap(monitor.m_window);
    }
    if (ctx >= 0) {
        tarvik_destroy_ctx(ctx);
    }
    tarvik_close_vt(monitor.m_vt);
    tarvik_close_cpu_ticks(monitor.m_previous);
    tarvik_close_cpu_ticks(monitor.m_current);
    tarvik_printf("\rEnd of cpuusage.\n");
    return status;
}
