// Socket, route and throughput monitors: netstat (every TCP, UDP and raw socket with its
// owning process, then the listening ports of each owner), route (the IPv4 routing table) and
// netspeed (receive and transmit rates per interface, redrawn on an event-base timer).
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "event.h"
#include "format.h"
#include "fragment.h"
#include "heap.h"
#include "interface.h"
#include "netstat.h"
#include "process.h"
#include "terminal.h"
#include "time.h"

#include "detail/common.hpp"

#include <cerrno>
#include <csignal>
#include <termios.h>
#include <unistd.h>

namespace {

// Room for a process name shown through vexa::printable.
constexpr size_t NAME_SIZE = 64;
constexpr const char *NO_OWNER = "-";

// Socket inodes to the first process of the table that holds them. The process table is read
// once per run with every descriptor; one lookup per socket then costs a few probes instead
// of a walk over every descriptor of every process.
struct OwnerIndex {
    struct Slot {
        uint64_t m_inode;
        const tarvik_ps_t *m_owner; // null: free slot
    };
    Slot *m_slots = nullptr;
    size_t m_mask = 0;
    const tarvik_ps_t *m_processes = nullptr;
};

size_t slot_of(const OwnerIndex &index, uint64_t inode)
{
    // Inodes are handed out in sequence: spreading them with a multiplier keeps runs apart.
    uint64_t hash = inode * 0x9E3779B97F4A7C15ull;
    size_t slot = static_cast<size_t>(hash >> 32) & index.m_mask;
    while (index.m_slots[slot].m_owner != nullptr && index.m_slots[slot].m_inode != inode) {
        slot = (slot + 1) & index.m_mask;
    }
    return slot;
}

// Without memory for the slots the index stays empty and lookups walk the table instead.
void build_index(OwnerIndex *index, const tarvik_ps_t *processes)
{
    index->m_processes = processes;
    size_t count = 0;
    for (const tarvik_ps_t *record = processes; record != nullptr; record = record->m_next) {
        for (const tarvik_ps_inode_t *node = record->m_inodes; node != nullptr;
             node = node->m_next) {
            ++count;
        }
    }
    size_t size = 16;
    while (size < count * 2) {
        size *= 2;
    }
    index->m_slots = static_cast<OwnerIndex::Slot *>(
        tarvik_calloc_tag(size, sizeof(OwnerIndex::Slot), TARVIK_TAG));
    if (index->m_slots == nullptr) {
        return;
    }
    index->m_mask = size - 1;
    // In table order, so that a socket shared by several processes keeps the first one.
    for (const tarvik_ps_t *record = processes; record != nullptr; record = record->m_next) {
        for (const tarvik_ps_inode_t *node = record->m_inodes; node != nullptr;
             node = node->m_next) {
            OwnerIndex::Slot &slot = index->m_slots[slot_of(*index, node->m_inode)];
            if (slot.m_owner == nullptr) {
                slot.m_inode = node->m_inode;
                slot.m_owner = record;
            }
        }
    }
}

const tarvik_ps_t *owner_of(const OwnerIndex &index, uint64_t inode)
{
    if (index.m_slots == nullptr) {
        return tarvik_ps_search_by_inode(const_cast<tarvik_ps_t *>(index.m_processes), inode);
    }
    return index.m_slots[slot_of(index, inode)].m_owner;
}

const char *owner_name(const OwnerIndex &index, uint64_t inode, char *buffer)
{
    const tarvik_ps_t *owner = owner_of(index, inode);
    if (owner == nullptr || owner->m_name == nullptr) {
        return NO_OWNER;
    }
    return vexa::printable(owner->m_name, buffer, NAME_SIZE);
}

bool is_tcp(const tarvik_netstat_t *socket) { return socket->m_proto[0] == 't'; }
bool is_udp(const tarvik_netstat_t *socket) { return socket->m_proto[0] == 'u'; }

// Table lines are built in one buffer and written many at a time: thousands of sockets or
// routes make thousands of lines, and the formatter would cost more than the tables.
class Lines {
  public:
    // Room a line may take at most: two endpoints, a state and a printable process name.
    static constexpr size_t LINE_ROOM = 512;

    Lines() : m_writer(m_text, sizeof(m_text)) {}
    ~Lines() { flush(); }
    Lines(const Lines &) = delete;
    Lines &operator=(const Lines &) = delete;

    tarvik::detail::Writer &next()
    {
        if (sizeof(m_text) - m_writer.length() < LINE_ROOM) {
            flush();
        }
        return m_writer;
    }
    void flush()
    {
        if (m_writer.length() > 0) {
            tarvik_puts(m_text);
            m_writer = tarvik::detail::Writer(m_text, sizeof(m_text));
        }
    }

  private:
    char m_text[16384];
    tarvik::detail::Writer m_writer;
};

// Pads what was written since start with blanks to width, as "%-<width>s" would.
void pad(tarvik::detail::Writer &writer, size_t start, size_t width)
{
    while (writer.length() - start < width) {
        writer.put(' ');
    }
}

void left(tarvik::detail::Writer &writer, const char *text, size_t width)
{
    size_t start = writer.length();
    pad(writer.puts(text), start, width);
}

void left(tarvik::detail::Writer &writer, uint64_t value, size_t width)
{
    size_t start = writer.length();
    pad(writer.decimal(value), start, width);
}

// "[address]:port" in a column of 32, then a blank.
void endpoint(tarvik::detail::Writer &writer, const char *address, uint32_t port)
{
    size_t start = writer.length();
    writer.put('[').puts(address).puts("]:").decimal(port);
    pad(writer, start, 32);
    writer.put(' ');
}

// "text(NNH)": the state number in upper-case hexadecimal, at least two digits.
void state(tarvik::detail::Writer &writer, const tarvik_netstat_t *socket)
{
    size_t start = writer.length();
    char digits[8];
    size_t count = 0;
    uint32_t value = socket->m_state;
    do {
        digits[count++] = "0123456789ABCDEF"[value & 15u];
        value >>= 4;
    } while (value != 0 || count < 2);
    writer.puts(socket->m_state_text).put('(');
    while (count > 0) {
        writer.put(digits[--count]);
    }
    pad(writer.puts("H)"), start, 16);
    writer.put(' ');
}

void print_socket(Lines &lines, const tarvik_netstat_t *socket, const char *owner)
{
    tarvik::detail::Writer &line = lines.next();
    left(line, socket->m_proto, 4);
    left(line.put(' '), socket->m_rx_queue, 6);
    left(line.put(' '), socket->m_tx_queue, 6);
    line.put(' ');
    endpoint(line, socket->m_local_address, socket->m_local_port);
    endpoint(line, socket->m_remote_address, socket->m_remote_port);
    state(line, socket);
    line.puts(owner).put('\n');
}

void print_route(Lines &lines, const tarvik_route_ipv4_t *route)
{
    tarvik::detail::Writer &line = lines.next();
    left(line, route->m_destination_text, 15);
    left(line.put(' '), route->m_gateway_text, 15);
    left(line.put(' '), route->m_mask_text, 15);
    left(line.put(' '), route->m_flags_text, 5);
    left(line.put(' '), route->m_metric, 6);
    left(line.put(' '), route->m_refcnt, 6);
    line.put(' ');
    for (uint32_t limit = 100; limit > 1 && route->m_use < limit; limit /= 10) {
        line.put(' '); // "%3u"
    }
    // Interface names may hold control characters; they must not reach the terminal raw.
    char name[TARVIK_ROUTE_NAME_SIZE];
    line.decimal(route->m_use).put(' ').puts(vexa::printable(route->m_name, name, sizeof(name)));
    line.put('\n');
}

void print_ports(const char *protocol, const tarvik_fragment_t *ports)
{
    char *text = tarvik_fragment_to_string(ports);
    tarvik_printf("%s Listen port list: %s\n", protocol, text != nullptr ? text : "");
    if (text != nullptr) {
        tarvik_free_tag(text, TARVIK_TAG);
    }
}

// ---- netspeed --------------------------------------------------------------------------

enum : size_t { HELP, EVENT_DEBUG, INTERVAL, BITRATE };
constexpr vexa::Option NETSPEED_OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"event_debug|event-debug", vexa::Takes::NOTHING,
     "\t--event-debug                    : enable event debug mode\n"},
    {"i|interval", vexa::Takes::VALUE, "\t-i|--interval=<msec>             : check interval\n"},
    {"b|bitrate", vexa::Takes::NOTHING,
     "\t-b|--bitrate                     : bits per second (key b toggles)\n"},
};
constexpr vexa::Usage NETSPEED_USAGE =
    vexa::usage_of("usage: %s [<options>]\noptions:\n", NETSPEED_OPTIONS, "\n");

constexpr uint32_t INTERFACE_BITS = TARVIK_NETIF_LISTED | TARVIK_NETIF_COUNTERS;
constexpr long long DEFAULT_INTERVAL = 500;
constexpr char ESC = 0x1b;
constexpr size_t INTERFACE_NAME_SIZE = 64;

// The events live as long as the base: freeing the base unassigns those still added.
struct Monitor {
    tarvik_event_base_t *m_base;
    tarvik_event_t m_signals[vexa::EXIT_SIGNAL_COUNT];
    tarvik_event_t m_timer;
    tarvik_event_t m_keys;
    tarvik_network_interface_t *m_previous;
    tarvik_network_interface_t *m_current;
    uint64_t m_stamp; // monotonic milliseconds of the last reading
    bool m_bits;
};

// The keyboard in single-key mode (no echo, no line editing; the signal keys still work),
// kept only while standard input is the terminal of this foreground process group.
struct Keyboard {
    bool m_raw = false;
    termios m_saved{};
};

bool open_keyboard(Keyboard *keyboard)
{
    if (isatty(STDIN_FILENO) != 1 || tcgetpgrp(STDIN_FILENO) != getpgrp() ||
        tcgetattr(STDIN_FILENO, &keyboard->m_saved) != 0) {
        return false;
    }
    termios raw = keyboard->m_saved;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    keyboard->m_raw = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
    return keyboard->m_raw;
}

void close_keyboard(Keyboard *keyboard)
{
    if (keyboard->m_raw) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &keyboard->m_saved);
        keyboard->m_raw = false;
    }
}

bool has_counters(const tarvik_network_interface_t *record)
{
    return record != nullptr && (record->valid & TARVIK_NETIF_COUNTERS) != 0 &&
           record->rx != nullptr && record->tx != nullptr;
}

// Per second over elapsed milliseconds, in 64 bits and exact for every interval. A counter
// that went down (the interface was reset or made anew under the same name) counts nothing
// for this tick.
uint64_t per_second(uint64_t now, uint64_t before, bool bits, uint64_t elapsed)
{
    if (now < before) {
        return 0;
    }
    uint64_t delta = (now - before) * (bits ? 8u : 1u);
    if (elapsed == 0) {
        return delta;
    }
    return delta / elapsed * 1000u + delta % elapsed * 1000u / elapsed;
}

void print_interface(const Monitor &monitor, const tarvik_network_interface_t *record,
                     uint64_t elapsed)
{
    char name[INTERFACE_NAME_SIZE];
    vexa::printable(record->name, name, sizeof(name));
    if (!has_counters(record)) {
        tarvik_printf("\e[1;35m%8s\e[0m: \e[1;31m%14s\e[0m \e[1;31m%14s\e[0m \e[1;31m%19s\e[0m "
                      "\e[1;31m%19s\e[0m\n",
                      name, "N/A", "N/A", "N/A", "N/A");
        return;
    }
    const tarvik_network_interface_t *before =
        tarvik_search_network_interface_by_name(monitor.m_previous, record->name);
    uint64_t rx = 0;
    uint64_t tx = 0;
    if (has_counters(before)) {
        rx = per_second(record->rx[0], before->rx[0], monitor.m_bits, elapsed);
        tx = per_second(record->tx[0], before->tx[0], monitor.m_bits, elapsed);
    }
    tarvik_printf("\e[1;35m%8s\e[0m: \e[1;36m%14llu\e[0m \e[1;36m%14llu\e[0m "
                  "\e[1;37m%19llu\e[0m \e[1;37m%19llu\e[0m\n",
                  name, static_cast<unsigned long long>(rx), static_cast<unsigned long long>(tx),
                  static_cast<unsigned long long>(record->rx[0]),
                  static_cast<unsigned long long>(record->tx[0]));
}

int32_t on_tick(tarvik_event_t *, int, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_timeout) == 0) {
        return 0;
    }
    auto *monitor = static_cast<Monitor *>(context);
    uint64_t now = tarvik_time_stamp_msec(nullptr);
    uint64_t elapsed = now - monitor->m_stamp;
    monitor->m_stamp = now;
    tarvik_free_network_interface(monitor->m_previous);
    monitor->m_previous = monitor->m_current;
    monitor->m_current = tarvik_get_network_interface(INTERFACE_BITS);
    tarvik_clear_terminal();
    tarvik_printf("\e[1;33m%8s\e[0m: \e[1;33m%14s\e[0m \e[1;33m%14s\e[0m \e[1;33m%19s\e[0m "
                  "\e[1;33m%19s\e[0m\n",
                  "IfName", "RX speed", "TX speed", "RX(total)", "TX(total)");
    for (const tarvik_network_interface_t *record = monitor->m_current; record != nullptr;
         record = record->next) {
        print_interface(*monitor, record, elapsed);
    }
    tarvik_printf("\n[unit=%s]\n", monitor->m_bits ? "bits per second" : "bytes per second");
    tarvik_puts(nullptr);
    return 0;
}

// One read is what one key press gave: ESC alone ends, as does q; b switches the unit. A
// longer read that starts with ESC is a function key and is ignored.
int32_t on_key(tarvik_event_t *, int fd, uint32_t what, void *context)
{
    if ((what & def_tarvik_event_read) == 0) {
        return 0;
    }
    auto *monitor = static_cast<Monitor *>(context);
    char keys[128];
    ssize_t count = read(fd, keys, sizeof(keys));
    if (count < 0 && errno == EINTR) {
        return 0;
    }
    // A terminal that hung up leaves nobody to watch the table.
    bool quit = count <= 0 || (count == 1 && keys[0] == ESC);
    for (ssize_t i = 0; !quit && keys[0] != ESC && i < count; ++i) {
        quit = keys[i] == 'q';
        monitor->m_bits = keys[i] == 'b' ? !monitor->m_bits : monitor->m_bits;
    }
    if (quit) {
        tarvik_event_base_exit_loop(monitor->m_base, 0);
    }
    return 0;
}

// The loop runs until an exit signal, a quit key or a failure of select other than an
// interruption by a signal.
int run_monitor(Monitor *monitor, int interval)
{
    Keyboard keyboard;
    bool ok = vexa::add_exit_signals(monitor->m_base, monitor->m_signals);
    ok = ok &&
         tarvik_assign_event(monitor->m_base, &monitor->m_timer, -1, def_tarvik_event_persist,
                             on_tick, monitor) == 0 &&
         tarvik_add_event(&monitor->m_timer, interval) == 0;
    if (ok && open_keyboard(&keyboard)) {
        ok = tarvik_assign_event(monitor->m_base, &monitor->m_keys, STDIN_FILENO,
                                 def_tarvik_event_read | def_tarvik_event_persist, on_key,
                                 monitor) == 0 &&
             tarvik_add_event(&monitor->m_keys, -1) == 0;
    }
    ok = ok && vexa::run_until_exit(monitor->m_base);
    close_keyboard(&keyboard);
    return ok ? 0 : 1;
}

} // namespace

int tarvik_multicall_netspeed_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, NETSPEED_USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    long long interval = 0;
    if (arguments.has(HELP) ||
        !arguments.number(INTERVAL, 1, INT32_MAX, DEFAULT_INTERVAL, &interval)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    if (arguments.has(EVENT_DEBUG)) {
        tarvik_event_debug_mode(1);
    }
    Monitor monitor{};
    monitor.m_bits = arguments.has(BITRATE);
    monitor.m_base = tarvik_new_event_base();
    if (monitor.m_base == nullptr) {
        return 1;
    }
    monitor.m_stamp = tarvik_time_stamp_msec(nullptr);
    monitor.m_current = tarvik_get_network_interface(INTERFACE_BITS);
    int status = run_monitor(&monitor, static_cast<int>(interval));
    tarvik_free_event_base(monitor.m_base);
    tarvik_free_network_interface(monitor.m_previous);
    tarvik_free_network_interface(monitor.m_current);
    tarvik_printf("\nEnd of %s.\n", arguments.program_name());
    return status;
}

int tarvik_multicall_netstat_main(int argc, char **argv)
{
    const char *program_name = argc > 0 ? argv[0] : "netstat";
    tarvik_netstat_t *sockets = tarvik_open_netstat();
    tarvik_ps_t *processes = tarvik_open_ps_ex(TARVIK_PS_INODES);
    OwnerIndex index;
    build_index(&index, processes);
    // The unnamed head of each set stays empty: every port goes to its owner's group.
    tarvik_fragment_t *tcp_ports = tarvik_open_fragment();
    tarvik_fragment_t *udp_ports = tarvik_open_fragment();
    char name[NAME_SIZE];
    Lines lines;
    for (const tarvik_netstat_t *socket = sockets; socket != nullptr; socket = socket->m_next) {
        const char *owner = owner_name(index, socket->m_inode, name);
        if (is_tcp(socket) && socket->m_state == TARVIK_NETSTAT_TCP_LISTEN) {
            tarvik_add_fragment_ex(tcp_ports, owner, socket->m_local_port, 1);
        } else if (is_udp(socket) && socket->m_state == TARVIK_NETSTAT_UDP_CLOSE) {
            tarvik_add_fragment_ex(udp_ports, owner, socket->m_local_port, 1);
        }
        print_socket(lines, socket, owner);
    }
    lines.flush();
    print_ports("TCP", tcp_ports);
    print_ports("UDP", udp_ports);
    tarvik_close_fragment(tcp_ports);
    tarvik_close_fragment(udp_ports);
    if (index.m_slots != nullptr) {
        tarvik_free_tag(index.m_slots, TARVIK_TAG);
    }
    tarvik_close_ps(processes);
    tarvik_close_netstat(sockets);
    return vexa::output_ok(program_name) ? 0 : 1;
}

int tarvik_multicall_route_main(int argc, char **argv)
{
    const char *program_name = argc > 0 ? argv[0] : "route";
    tarvik_route_ipv4_t *routes = tarvik_open_route_ipv4();
    {
        Lines lines;
        for (const tarvik_route_ipv4_t *route = routes; route != nullptr; route = route->m_next) {
            print_route(lines, route);
        }
    }
    tarvik_close_route_ipv4(routes);
    return vexa::output_ok(program_name) ? 0 : 1;
}
