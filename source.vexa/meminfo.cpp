// The memory watchdog: on the console a live line of memory figures; as a daemon the guard
// that ends the largest process when the available memory falls below a limit, logs it, runs
// a command once and, when asked, restarts the device. Everything runs on one event base.
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "date.h"
#include "event.h"
#include "meminfo.h"
#include "process.h"
#include "process_control.h"
#include "reboot.h"
#include "terminal.h"
#include "time.h"

#include "detail/common.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Rows of the option table, in usage order.
enum : size_t { HELP, INTERVAL, DAEMON, PIDFILE, LAUNCHER, REBOOT, SIZE, DELAY, EXEC, LOG, DETAIL };
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"i|interval", vexa::Takes::VALUE, "\t-i|--interval=<msec>             : check interval\n"},
    {"d|daemon", vexa::Takes::NOTHING,
     "\t-d|--daemon                      : daemonize (legacy qxpolice mode)\n"},
    {"p|pidfile", vexa::Takes::VALUE, "\t-p|--pidfile=<pathname>          : pidfile pathname\n"},
    {"launcher", vexa::Takes::NOTHING,
     "\t   --launcher                    : launcher (make immortal process)\n"},
    {"r|reboot|reset|restart", vexa::Takes::NOTHING,
     "\t-r|--reboot                      : reboot when exception\n"},
    {"s|size", vexa::Takes::VALUE,
     "\t-s|--size=<KBytes>               : limited free memory size\n"},
    {"t|delay", vexa::Takes::VALUE,
     "\t-t|--delay=<sec>                 : reboot delay when exception\n"},
    {"e|exec", vexa::Takes::VALUE, "\t-e|--exec=<exec>                 : exec when exception\n"},
    {"l|log|logpath", vexa::Takes::VALUE, "\t-l|--log=<path>                  : log path\n"},
    {"detail", vexa::Takes::NOTHING, "\t   --detail                      : detail\n"},
};
constexpr vexa::Usage USAGE = vexa::usage_of(
    "usage: %s [<options>]\noptions:\n", OPTIONS,
    "\nexamples:\n\t%s -d -p \"/var/run/%s.pid\" --launcher -i 10 -r -s 5120 -t 30000 -e "
    "\"/usr/bin/%s.sh\" -l \"/storage/%s.log\"\n\n");

constexpr int DEFAULT_INTERVAL = 500;
constexpr int MINIMUM_SIZE_KB = 5120;
constexpr int DEFAULT_DELAY = 30;
constexpr int REBOOT_RETRY_MS = 1000;
constexpr int SPINNER_MS = 100;
// After a kill no other process is chosen while the victim still holds its memory, for at
// most this long: SIGKILL frees memory only once the process is gone.
constexpr uint64_t KILL_HOLD_OFF_MS = 5000;
// Victims still holding their memory after that time (stuck in the kernel, stopped under a
// tracer) are passed over from then on, the latest this many.
constexpr int MAX_STUCK = 8;
constexpr size_t TOP_COUNT = 25;
constexpr char ESC = 0x1b;
constexpr size_t NAME_SIZE = 64;

struct Options {
    int m_interval;
    bool m_daemon;
    bool m_launcher;
    bool m_reboot;
    bool m_detail;
    uint64_t m_limit_kb;
    int m_delay;
    const char *m_pidfile;
    const char *m_exec;
    const char *m_log;
};

// The events live as long as the base: freeing the base unassigns those still added.
struct Watchdog {
    Options m_options;
    tarvik_event_base_t *m_base;
    tarvik_event_t m_signals[vexa::EXIT_SIGNAL_COUNT];
    tarvik_event_t m_check;
    tarvik_event_t m_exception;
    tarvik_event_t m_spinner;
    tarvik_event_t m_keys;
    int m_keyboard;
    unsigned m_spin;
    int m_self;
    bool m_pending; // the exception timer was armed once: its command runs at most once
    bool m_detail;
    uint64_t m_previous[TARVIK_MEMINFO_COUNT_EX];
    uint64_t m_max_used;
    int64_t m_cumulative;
    tarvik_ps_t *m_top; // the processes of the last detailed view
    int m_victim;       // the last process ended, while it may still hold its memory
    uint64_t m_victim_stamp;
    int m_stuck[MAX_STUCK];
    int m_stuck_count;
};

Options read_options(const vexa::Arguments &arguments)
{
    Options options{};
    // Missing or unusable numbers take their defaults: a watchdog must start whatever it is
    // given, and an interval of 0 would spin the processor.
    options.m_interval = arguments.integer(INTERVAL, DEFAULT_INTERVAL);
    if (options.m_interval <= 0) {
        options.m_interval = DEFAULT_INTERVAL;
    }
    options.m_daemon = arguments.has(DAEMON);
    options.m_launcher = arguments.has(LAUNCHER);
    options.m_reboot = arguments.has(REBOOT);
    options.m_detail = arguments.has(DETAIL);
    int size = arguments.integer(SIZE, MINIMUM_SIZE_KB);
    options.m_limit_kb = static_cast<uint64_t>(size < MINIMUM_SIZE_KB ? MINIMUM_SIZE_KB : size);
    // The event base takes the delay as milliseconds; a negative one would never fire.
    options.m_delay = arguments.integer(DELAY, DEFAULT_DELAY);
    if (options.m_delay < 0) {
        options.m_delay = 0;
    }
    options.m_pidfile = arguments.value(PIDFILE);
    options.m_exec = arguments.value(EXEC);
    options.m_log = arguments.value(LOG);
    return options;
}

bool start(const Options &options)
{
    if (options.m_daemon) {
        // A failed detach gives the console back, so the failure is seen.
        tarvik_puts_handler_t old_out = nullptr;
        tarvik_puts_handler_t old_err = nullptr;
        tarvik_set_puts_handler(tarvik_quiet_puts, &old_out);
        tarvik_set_error_puts_handler(tarvik_quiet_puts, &old_err);
        if (tarvik_daemon(0, 0) != 0) {
            tarvik_set_puts_handler(old_out, nullptr);
            tarvik_set_error_puts_handler(old_err, nullptr);
            tarvik_error_printf("daemonize failed !\n");
            return false;
        }
    }
    if (options.m_launcher) {
        tarvik_launcher();
    }
    if (options.m_pidfile != nullptr) {
        tarvik_write_pidfile(options.m_pidfile, tarvik_getpid());
    }
    tarvik_printf("monitoring interval %d msec\n", options.m_interval);
    if (options.m_launcher) {
        tarvik_printf("launcher mode\n");
    }
    if (options.m_reboot) {
        tarvik_printf("reboot mode (!!!ATTENTION!!!)\n");
    }
    tarvik_printf("limited avail memory size is %llu Kbytes\n",
                  static_cast<unsigned long long>(options.m_limit_kb));
    tarvik_printf("exception delay %d sec\n", options.m_delay);
    if (options.m_exec != nullptr) {
        tarvik_printf("register exec : \"%s\"\n", options.m_exec);
    }
    if (options.m_log != nullptr) {
        tarvik_printf("log path : \"%s\"\n", options.m_log);
    }
    return true;
}

// A process name as the log and the screen show it: control characters and quotes as "?",
// so that a name can neither move the cursor nor end its quoted field early.
const char *shown_name(const tarvik_ps_t *record, char *buffer)
{
    const char *name =
        record->m_name != nullptr && record->m_name[0] != '\0' ? record->m_name : "[UNKNOWN]";
    vexa::printable(name, buffer, NAME_SIZE);
    for (char *c = buffer; *c != '\0'; ++c) {
        *c = *c == '"' ? '?' : *c;
    }
    return buffer;
}

void local_time(const char *format, char *buffer, size_t size)
{
    struct tm now {};
    buffer[0] = '\0';
    if (tarvik_localtime(0, &now) != nullptr) {
        tarvik_strftime(buffer, size, format, &now);
    }
}

// The line reaches the log whole or not at all: one write, cut back when it fell short, then
// the data is forced to the disk before the file is closed.
void append_line(const char *path, const char *line, size_t length)
{
    int descriptor = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        return;
    }
    struct stat before {};
    bool sized = fstat(descriptor, &before) == 0;
    ssize_t written;
    do {
        written = write(descriptor, line, length);
    } while (written < 0 && errno == EINTR);
    if (written >= 0 && static_cast<size_t>(written) != length && sized) {
        if (ftruncate(descriptor, before.st_size) != 0) {
            // Nothing more can be done for this line; the next one starts on its own write.
        }
    }
    fsync(descriptor);
    close(descriptor);
}

void log_victim(const Watchdog &watchdog, const tarvik_ps_t *victim)
{
    char stamp[32];
    char name[NAME_SIZE];
    char line[256];
    local_time("%Y%m%d%H%M%S", stamp, sizeof(stamp));
    int length =
        snprintf(line, sizeof(line), "ST=%s,PID=%u,PROCESS_NAME=\"%s\",RSS=%llu,MSG=\"%s\"\n",
                 stamp, victim->m_pid, shown_name(victim, name),
                 static_cast<unsigned long long>(victim->m_rss), "big memory process");
    if (watchdog.m_options.m_log != nullptr && length > 0 &&
        static_cast<size_t>(length) < sizeof(line)) {
        append_line(watchdog.m_options.m_log, line, static_cast<size_t>(length));
    }
}

// Chooses the largest process that may be ended and, as a daemon, ends it. True when a victim
// was chosen now or an earlier one is still on its way out.
// Keeps the stuck victims that still hold memory, then adds pid (0: none), dropping the
// oldest when full.
void update_stuck(Watchdog *watchdog, int pid)
{
    int kept = 0;
    for (int i = 0; i < watchdog->m_stuck_count; ++i) {
        if (tarvik_meminfo_holds_memory(watchdog->m_stuck[i]) != 0) {
            watchdog->m_stuck[kept++] = watchdog->m_stuck[i];
        }
    }
    if (pid > 0 && kept == MAX_STUCK) {
        memmove(watchdog->m_stuck, watchdog->m_stuck + 1, (MAX_STUCK - 1) * sizeof(int));
        --kept;
    }
    if (pid > 0) {
        watchdog->m_stuck[kept++] = pid;
    }
    watchdog->m_stuck_count = kept;
}

bool end_largest(Watchdog *watchdog)
{
    uint64_t now = tarvik_time_stamp_msec(nullptr);
    int stuck = 0;
    if (watchdog->m_victim > 0) {
        if (tarvik_meminfo_holds_memory(watchdog->m_victim) != 0) {
            if (now - watchdog->m_victim_stamp < KILL_HOLD_OFF_MS) {
                return true;
            }
            stuck = watchdog->m_victim;
        }
        watchdog->m_victim = 0;
    }
    update_stuck(watchdog, stuck);
    tarvik_ps_t *list = tarvik_open_ps_ex(0);
    tarvik_ps_t *victim = tarvik_meminfo_victim_ex(list, watchdog->m_self, watchdog->m_stuck,
                                                   watchdog->m_stuck_count);
    if (victim != nullptr) {
        if (watchdog->m_options.m_daemon) {
            tarvik_kill(static_cast<int>(victim->m_pid), SIGKILL);
            watchdog->m_victim = static_cast<int>(victim->m_pid);
            watchdog->m_victim_stamp = now;
        }
        log_victim(*watchdog, victim);
    }
    tarvik_close_ps(list);
    return victim != nullptr;
}

void on_shortage(Watchdog *watchdog, const uint64_t *sample)
{
    const Options &options = watchdog->m_options;
    if (!options.m_daemon) {
        tarvik_printf("\e[1;31mmemory full exception\e[0m (avail=%llu, total=%llu, "
                      "limited_avail=%llu, exception_delay=%d)\n",
                      static_cast<unsigned long long>(sample[TARVIK_MEMINFO_AVAILABLE] / 1024),
                      static_cast<unsigned long long>(sample[TARVIK_MEMINFO_TOTAL] / 1024),
                      static_cast<unsigned long long>(options.m_limit_kb), options.m_delay);
    }
    bool chosen = end_largest(watchdog);
    if (options.m_reboot && options.m_daemon && !chosen) {
        tarvik_reboot_fast();
    }
    if (!watchdog->m_pending) {
        watchdog->m_pending = true;
        if (tarvik_add_event(&watchdog->m_exception, options.m_delay) != 0) {
            watchdog->m_pending = false;
        }
    }
}

unsigned long long kilobytes(uint64_t bytes)
{
    return static_cast<unsigned long long>(bytes / 1024);
}

void print_status(const Watchdog &watchdog, const uint64_t *sample, int64_t delta)
{
    uint64_t total = sample[TARVIK_MEMINFO_TOTAL];
    uint64_t used = sample[TARVIK_MEMINFO_USED];
    if (watchdog.m_detail) {
        tarvik_progress_bar(used, total, nullptr, nullptr, nullptr);
        tarvik_printf("\n      ");
    } else {
        uint64_t share = used * 10000u / total;
        tarvik_printf("\e[1;33m%2llu.%02llu\e[0m%% ", static_cast<unsigned long long>(share / 100),
                      static_cast<unsigned long long>(share % 100));
    }
    tarvik_printf("\e[1;37m%llu\e[0m/\e[1;37m%llu\e[0m KB (MaxUsed \e[1;31m%llu\e[0m, Free "
                  "\e[1;37m%llu\e[0m, Buffers \e[1;37m%llu\e[0m, Cached \e[1;37m%llu\e[0m)",
                  kilobytes(used), kilobytes(total), kilobytes(watchdog.m_max_used),
                  kilobytes(sample[TARVIK_MEMINFO_FREE]), kilobytes(sample[TARVIK_MEMINFO_BUFFERS]),
                  kilobytes(sample[TARVIK_MEMINFO_CACHED]));
    if (sample[TARVIK_MEMINFO_SWAP_TOTAL] != 0) {
        tarvik_printf(", Swap \e[1;37m%llu\e[0m/\e[1;37m%llu\e[0m",
                      kilobytes(sample[TARVIK_MEMINFO_SWAP_USED]),
                      kilobytes(sample[TARVIK_MEMINFO_SWAP_TOTAL]));
    }
    tarvik_printf(" [\e[1;35m%lld\e[0m(%lld)]\n",
                  static_cast<long long>(watchdog.m_cumulative / 1024),
                  static_cast<long long>(delta / 1024));
}

void print_detail(Watchdog *watchdog)
{
    char stamp[32];
    local_time("%Y/%m/%d %H:%M:%S", stamp, sizeof(stamp));
    tarvik_printf("           TIME: %s\n      TOP25 RSS:", stamp);
    tarvik_ps_t *list = tarvik_open_ps_ex(TARVIK_PS_SORT_RSS);
    size_t shown = 0;
    char name[NAME_SIZE];
    for (const tarvik_ps_t *record = list; record != nullptr && shown < TOP_COUNT;
         record = record->m_next) {
        if (record->m_rss == 0) {
            continue;
        }
        if (shown > 0 && shown % 5 == 0) {
            tarvik_printf("\n                ");
        }
        tarvik_printf(" %s[%lu:\e[1;37m%llu\e[0m]", shown_name(record, name),
                      static_cast<unsigned long>(record->m_pid),
                      static_cast<unsigned long long>(record->m_rss));
        ++shown;
    }
    tarvik_printf("\n");
    tarvik_close_ps(watchdog->m_top);
    watchdog->m_top = list;
}

int32_t on_check(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) == 0) {
        return 0;
    }
    auto *watchdog = static_cast<Watchdog *>(context);
    uint64_t sample[TARVIK_MEMINFO_COUNT_EX];
    if (tarvik_get_meminfo_ex(sample, nullptr) != 0) {
        tarvik_printf("Could not get meminfo !\n");
        return 0;
    }
    uint64_t used = sample[TARVIK_MEMINFO_USED];
    watchdog->m_max_used = used > watchdog->m_max_used ? used : watchdog->m_max_used;
    int64_t delta = static_cast<int64_t>(used - watchdog->m_previous[TARVIK_MEMINFO_USED]);
    watchdog->m_cumulative += delta;
    if (sample[TARVIK_MEMINFO_AVAILABLE] < watchdog->m_options.m_limit_kb * 1024u) {
        on_shortage(watchdog, sample);
    }
    // A daemon's output goes nowhere: it skips the lines and the process table behind them.
    if (!watchdog->m_options.m_daemon) {
        print_status(*watchdog, sample, delta);
        if (watchdog->m_detail) {
            print_detail(watchdog);
        }
        tarvik_puts(nullptr);
    }
    memcpy(watchdog->m_previous, sample, sizeof(sample));
    return 0;
}

// Runs the command without arguments and waits for it.
void run_command(const char *command)
{
    fflush(nullptr);
    int pid = tarvik_fork();
    if (pid == 0) {
        tarvik_exec(command, command, static_cast<const char *>(nullptr));
        _exit(1);
    }
    if (pid > 0) {
        int status = 0;
        tarvik_waitpid(pid, &status, 0);
    }
}

// Fires once after the first shortage; the pending mark stays set, so the command runs once
// in the life of the process. A restart that fails is retried.
int32_t on_exception(tarvik_event_t *event, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) == 0) {
        return 0;
    }
    auto *watchdog = static_cast<Watchdog *>(context);
    const Options &options = watchdog->m_options;
    if (options.m_exec != nullptr) {
        run_command(options.m_exec);
    }
    if (options.m_reboot) {
        tarvik_reboot_fast();
        tarvik_add_event(event,
                         options.m_delay < REBOOT_RETRY_MS ? options.m_delay : REBOOT_RETRY_MS);
    }
    return 0;
}

int32_t on_spinner(tarvik_event_t *, int, uint32_t what, void *context)
{
    static constexpr const char *FRAMES[] = {"-", "\\", "|", "/"};
    if ((what & def_tarvik_event_timeout) != 0) {
        auto *watchdog = static_cast<Watchdog *>(context);
        tarvik_printf("\r%s", FRAMES[watchdog->m_spin++ % 4]);
        tarvik_puts(nullptr);
    }
    return 0;
}

// One read is what one key press gave: ESC alone or q ends, d switches the detail view. A
// longer read that starts with ESC is a function key and is ignored; a terminal that is
// readable but gives nothing has hung up.
int32_t on_key(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_read) == 0) {
        return 0;
    }
    auto *watchdog = static_cast<Watchdog *>(context);
    int length = 0;
    const char *keys = tarvik_get_vt(watchdog->m_keyboard, &length, 0);
    bool quit = keys == nullptr || (length == 1 && keys[0] == ESC);
    for (int i = 0; !quit && keys[0] != ESC && i < length; ++i) {
        quit = keys[i] == 'q';
        watchdog->m_detail = keys[i] == 'd' ? !watchdog->m_detail : watchdog->m_detail;
    }
    if (quit) {
        tarvik_event_base_exit_loop(watchdog->m_base, 0);
    }
    return 0;
}

bool add(Watchdog *watchdog, tarvik_event_t *event, int fd, uint32_t flags,
         tarvik_event_handler_t handler, int timeout_ms)
{
    return tarvik_assign_event(watchdog->m_base, event, fd, flags, handler, watchdog) == 0 &&
           (timeout_ms == 0 || tarvik_add_event(event, timeout_ms) == 0);
}

bool set_up_events(Watchdog *watchdog)
{
    constexpr uint32_t PERSIST = def_tarvik_event_persist;
    bool ok = vexa::watch_exit_signals(watchdog->m_base, watchdog->m_signals);
    ok = ok &&
         add(watchdog, &watchdog->m_check, -1, PERSIST, on_check, watchdog->m_options.m_interval);
    // Armed on the first shortage only.
    ok = ok && add(watchdog, &watchdog->m_exception, -1, 0, on_exception, 0);
    if (ok && !watchdog->m_options.m_daemon) {
        ok = add(watchdog, &watchdog->m_spinner, -1, PERSIST, on_spinner, SPINNER_MS);
        watchdog->m_keyboard = tarvik_open_vt();
        if (ok && watchdog->m_keyboard >= 0) {
            ok = add(watchdog, &watchdog->m_keys, tarvik_get_vt_fd(watchdog->m_keyboard),
                     def_tarvik_event_read | PERSIST, on_key, 0) &&
                 tarvik_add_event(&watchdog->m_keys, -1) == 0;
        }
    }
    return ok;
}

// The loop runs until an exit signal, a quit key or a failure of select other than an
// interruption by a signal.
int run(Watchdog *watchdog)
{
    return set_up_events(watchdog) && vexa::run_event_loop(watchdog->m_base) ? 0 : 1;
}

} // namespace

int tarvik_multicall_meminfo_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    const char *name = arguments.program_name();
    if (arguments.has(HELP)) {
        arguments.usage(name, name, name, name, name);
        return 0;
    }
    Watchdog watchdog{};
    watchdog.m_options = read_options(arguments);
    watchdog.m_detail = watchdog.m_options.m_detail;
    watchdog.m_keyboard = -1;
    if (!start(watchdog.m_options)) {
        return 1;
    }
    watchdog.m_self = tarvik_getpid();
    int kernel = 0;
    if (tarvik_get_meminfo_ex(watchdog.m_previous, &kernel) == 0) {
        watchdog.m_max_used = watchdog.m_previous[TARVIK_MEMINFO_USED];
        tarvik_printf(kernel != 0 ? "available memory: MemAvailable of the kernel\n"
                                  : "available memory: free + buffers + cached\n");
    }
    watchdog.m_base = tarvik_new_event_base();
    if (watchdog.m_base == nullptr) {
        return 1;
    }
    int status = run(&watchdog);
    tarvik_free_event_base(watchdog.m_base);
    tarvik_close_vt(watchdog.m_keyboard);
    tarvik_close_ps(watchdog.m_top);
    if (!watchdog.m_options.m_daemon) {
        tarvik_printf("\rEnd of meminfo.\n");
    }
    return status;
}
