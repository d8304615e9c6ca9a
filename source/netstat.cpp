// Socket tables and the IPv4 routing table of /proc/net, read into lists whose records the
// caller owns (one allocation each). Tables are read in pieces through one buffer, so that
// thousands of sockets or routes never need the whole file in memory at once.
#include "netstat.h"

#include "inet.h"
#include "socket.h"

#include "detail/common.hpp"
#include "detail/netstat.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef __mips__
static_assert(sizeof(tarvik_netstat_t) == 160, "socket record layout of the 32-bit target");
static_assert(sizeof(tarvik_route_ipv4_t) == 128, "route record layout of the 32-bit target");
#endif

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::SocketKind;
using tarvik::detail::TableList;
using tarvik::detail::Text;

// A table is read this many bytes at a time; a line longer than that is no table row.
constexpr size_t READ_PIECE = 32768;

constexpr const char *PROTOCOL_NAMES[tarvik::detail::SOCKET_KINDS] = {"tcp",  "tcp6", "udp",
                                                                      "udp6", "raw",  "raw6"};
constexpr const char *TCP_STATES[] = {"ESTABLISHED", "SYN_SENT",  "SYN_RECV", "FIN_WAIT1",
                                      "FIN_WAIT2",   "TIME_WAIT", "CLOSE",    "CLOSE_WAIT",
                                      "LAST_ACK",    "LISTEN",    "CLOSING"};
constexpr uint32_t UDP_ESTABLISHED = 1;
// Route flag letters from bit 0x2 upwards; bit 0x200 (reject) has its own place in front.
constexpr char ROUTE_LETTERS[] = "GHRDMmWI\0SXNTn";

// Words are separated by blanks, tabs, commas and line ends.
bool is_separator(int c) { return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n'; }
bool is_hex(int c) { return tarvik::detail::hex_digit_value(c) >= 0; }

// The first words of one line (a route line has eleven); the missing ones stay empty.
constexpr size_t WORDS = 11;
void split_words(Text line, Text (&words)[WORDS])
{
    Cursor cursor(line);
    for (Text &word : words) {
        word = cursor.word(is_separator);
    }
}

// The value of a word that is hexadecimal digits only.
bool whole_hex(Text word, uint64_t *out)
{
    Cursor cursor(word);
    return cursor.hexadecimal(out) && cursor.at_end();
}

// Hexadecimal digits of a 32-bit value as the kernel printed it.
uint32_t hex32(const char *digits, size_t count)
{
    uint32_t value = 0;
    for (size_t i = 0; i < count; ++i) {
        value = value << 4 | static_cast<uint32_t>(tarvik::detail::hex_digit_value(digits[i]));
    }
    return value;
}

// "address:port", both hexadecimal. An address of up to 8 digits is IPv4, one of 32 digits
// is IPv6 in four 32-bit groups; each group is the kernel's word in host order, so its bytes
// in memory are the address bytes in network order.
bool parse_endpoint(Text word, char *text, size_t size, uint32_t *port_out)
{
    Cursor cursor(word);
    Text digits = cursor.take_while(is_hex);
    uint64_t port = 0;
    if (!cursor.take_if(':') || !cursor.hexadecimal(&port) || !cursor.at_end() || port > 0xFFFF) {
        return false;
    }
    uint16_t network_port = tarvik_be16_order(static_cast<uint16_t>(port));
    sockaddr_in6 address{};
    if (digits.m_length >= 1 && digits.m_length <= 8) {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = network_port;
        uint32_t value = hex32(digits.m_data, digits.m_length);
        memcpy(&v4->sin_addr, &value, sizeof(value));
    } else if (digits.m_length == 32) {
        address.sin6_family = AF_INET6;
        address.sin6_port = network_port;
        for (size_t group = 0; group < 4; ++group) {
            uint32_t value = hex32(digits.m_data + group * 8, 8);
            memcpy(reinterpret_cast<char *>(&address.sin6_addr) + group * 4, &value, sizeof(value));
        }
    } else {
        return false;
    }
    return tarvik_inet_stopp(reinterpret_cast<sockaddr *>(&address), text, size, port_out) !=
           nullptr;
}

void state_text(SocketKind kind, uint32_t state, char *buffer, size_t size)
{
    tarvik::detail::Writer writer(buffer, size);
    if (kind == tarvik::detail::TCP || kind == tarvik::detail::TCP6) {
        bool known = state >= 1 && state <= sizeof(TCP_STATES) / sizeof(TCP_STATES[0]);
        writer.puts(known ? TCP_STATES[state - 1] : "UNKNOWN");
    } else if (kind == tarvik::detail::UDP || kind == tarvik::detail::UDP6) {
        writer.puts(state == UDP_ESTABLISHED            ? "ESTABLISHED"
                    : state == TARVIK_NETSTAT_UDP_CLOSE ? ""
                                                        : "UNKNOWN");
    } else {
        writer.decimal(state);
    }
}

// A number column: its leading digits of the base, saturating at 32 bits as the device's
// strtoul does; a missing or empty column is 0.
uint32_t column(Text word, bool hexadecimal)
{
    uint64_t value = 0;
    for (size_t i = 0; i < word.m_length; ++i) {
        int digit = tarvik::detail::hex_digit_value(static_cast<unsigned char>(word.m_data[i]));
        if (digit < 0 || (!hexadecimal && digit > 9)) {
            break;
        }
        value = value * (hexadecimal ? 16u : 10u) + static_cast<unsigned>(digit);
        if (value > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    return static_cast<uint32_t>(value);
}

// The address bytes in memory order, as "%u.%u.%u.%u"; routes come by the thousand.
void dotted(uint32_t stored, char *buffer, size_t size)
{
    uint8_t bytes[4];
    memcpy(bytes, &stored, sizeof(bytes));
    tarvik::detail::Writer writer(buffer, size);
    writer.decimal(bytes[0]).put('.').decimal(bytes[1]).put('.').decimal(bytes[2]).put('.');
    writer.decimal(bytes[3]);
}

// Each valid line of text becomes a record; parse tells whether a line was one.
template <typename Record, typename Parse>
bool parse_table(const char *text, size_t length, bool at_start, const char *header,
                 TableList<Record> *list, Parse parse)
{
    Cursor cursor(text, length);
    Text line;
    Record *spare = nullptr;
    bool ok = true;
    for (bool first = at_start; cursor.line(&line); first = false) {
        if (first && Cursor(line).word(is_separator).equals_ignoring_case(header)) {
            continue;
        }
        if (spare == nullptr) {
            spare = static_cast<Record *>(tarvik_alloc_tag(sizeof(Record), TARVIK_TAG));
            if (spare == nullptr) {
                ok = false;
                break;
            }
        }
        if (parse(line, spare)) {
            list->append(spare);
            spare = nullptr;
        }
    }
    if (spare != nullptr) {
        tarvik_free_tag(spare, TARVIK_TAG);
    }
    return ok;
}

// What reading a table gave.
enum class ReadResult { DONE, UNREADABLE, NO_MEMORY };

// Feeds a table file to parse in pieces of whole lines; what was parsed before a failure
// stays parsed. A line longer than a piece is no table row and is dropped whole.
ReadResult read_table(const char *path, bool (*parse)(const char *, size_t, bool, void *),
                      void *context)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ReadResult::UNREADABLE;
    }
    char *piece = static_cast<char *>(tarvik_alloc_tag(READ_PIECE, TARVIK_TAG));
    if (piece == nullptr) {
        close(fd);
        return ReadResult::NO_MEMORY;
    }
    ReadResult result = ReadResult::DONE;
    size_t used = 0;
    bool at_start = true;
    bool skipping = false;
    auto feed = [&](size_t length) {
        if (!parse(piece, length, at_start, context)) {
            result = ReadResult::NO_MEMORY;
        }
        at_start = false;
        used -= length;
        memmove(piece, piece + length, used);
    };
    while (result == ReadResult::DONE) {
        ssize_t count = read(fd, piece + used, READ_PIECE - used);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            result = ReadResult::UNREADABLE;
            break;
        }
        if (count == 0) {
            if (used > 0 && !skipping) {
                feed(used); // a last line without its break
            }
            break;
        }
        used += static_cast<size_t>(count);
        if (skipping) {
            const char *line_end = static_cast<const char *>(memchr(piece, '\n', used));
            size_t dropped = line_end != nullptr ? static_cast<size_t>(line_end - piece) + 1 : used;
            skipping = line_end == nullptr;
            used -= dropped;
            memmove(piece, piece + dropped, used);
        }
        const char *last = static_cast<const char *>(memrchr(piece, '\n', used));
        if (last != nullptr) {
            feed(static_cast<size_t>(last - piece) + 1);
        } else if (used == READ_PIECE) {
            used = 0;
            at_start = false;
            skipping = true;
        }
    }
    tarvik_free_tag(piece, TARVIK_TAG);
    close(fd);
    return result;
}

struct SocketContext {
    SocketKind m_kind;
    TableList<tarvik_netstat_t> m_list;
};

bool parse_socket_piece(const char *text, size_t length, bool at_start, void *context)
{
    auto *sockets = static_cast<SocketContext *>(context);
    return tarvik::detail::parse_socket_table(sockets->m_kind, text, length, at_start,
                                              &sockets->m_list);
}

bool parse_route_piece(const char *text, size_t length, bool at_start, void *context)
{
    return tarvik::detail::parse_route_table(
        text, length, at_start, static_cast<TableList<tarvik_route_ipv4_t> *>(context));
}

// The socket that answers the interface index requests: the first kind this system can open.
int open_request_socket()
{
    static constexpr int FAMILIES[] = {AF_INET, AF_INET, AF_INET6, AF_INET6};
    static constexpr int TYPES[] = {SOCK_DGRAM, SOCK_STREAM, SOCK_DGRAM, SOCK_STREAM};
    for (size_t i = 0; i < sizeof(FAMILIES) / sizeof(FAMILIES[0]); ++i) {
        int fd = tarvik_open_socket(FAMILIES[i], TYPES[i], 0);
        if (fd >= 0) {
            return fd;
        }
    }
    return -1;
}

// Routes mostly share a few interfaces: the previous answer is kept for the next route.
void fill_indexes(tarvik_route_ipv4_t *list)
{
    int fd = open_request_socket();
    if (fd < 0) {
        return;
    }
    const char *known_name = nullptr;
    int32_t known_index = 0;
    for (tarvik_route_ipv4_t *route = list; route != nullptr; route = route->m_next) {
        if (known_name == nullptr || strcmp(known_name, route->m_name) != 0) {
            ifreq request{};
            memcpy(request.ifr_name, route->m_name, sizeof(route->m_name));
            known_index = ioctl(fd, SIOCGIFINDEX, &request) == 0 ? request.ifr_ifindex : 0;
            known_name = route->m_name;
        }
        route->m_ifindex = known_index;
    }
    tarvik_close_socket(fd);
}

template <typename Record> void free_list(Record *list)
{
    while (list != nullptr) {
        Record *next = list->m_next;
        tarvik_free_tag(list, TARVIK_TAG);
        list = next;
    }
}

} // namespace

namespace tarvik::detail {

bool parse_socket_line(Text line, SocketKind kind, tarvik_netstat_t *record)
{
    Text words[WORDS];
    split_words(line, words);
    for (size_t i = 1; i <= 4; ++i) {
        if (words[i].empty()) {
            return false;
        }
    }
    memset(record, 0, sizeof(*record));
    uint64_t state = 0;
    Cursor queues(words[4]);
    if (!parse_endpoint(words[1], record->m_local_address, sizeof(record->m_local_address),
                        &record->m_local_port) ||
        !parse_endpoint(words[2], record->m_remote_address, sizeof(record->m_remote_address),
                        &record->m_remote_port) ||
        !whole_hex(words[3], &state) || state > UINT32_MAX ||
        !queues.hexadecimal(&record->m_tx_queue) || !queues.take_if(':') ||
        !queues.hexadecimal(&record->m_rx_queue) || !queues.at_end()) {
        return false;
    }
    Cursor inode(words[9]);
    if (!inode.decimal(&record->m_inode) || !inode.at_end()) {
        record->m_inode = 0;
    }
    Text::of(PROTOCOL_NAMES[kind]).copy_to(record->m_proto, sizeof(record->m_proto));
    record->m_state = static_cast<uint32_t>(state);
    state_text(kind, record->m_state, record->m_state_text, sizeof(record->m_state_text));
    return true;
}

bool parse_route_line(Text line, tarvik_route_ipv4_t *record)
{
    Text words[WORDS];
    split_words(line, words);
    memset(record, 0, sizeof(*record));
    Text name = words[0];
    // A name with a NUL byte in it could not be told apart from a shorter one.
    if (name.empty() || memchr(name.m_data, '\0', name.m_length) != nullptr ||
        !name.copy_to(record->m_name, sizeof(record->m_name))) {
        return false;
    }
    record->m_destination = column(words[1], true);
    record->m_gateway = column(words[2], true);
    record->m_flags = column(words[3], true);
    record->m_refcnt = column(words[4], false);
    record->m_use = column(words[5], false);
    record->m_metric = column(words[6], false);
    record->m_mask = column(words[7], true);
    record->m_mtu = column(words[8], false);
    record->m_window = column(words[9], false);
    record->m_irtt = column(words[10], false);
    dotted(record->m_destination, record->m_destination_text, sizeof(record->m_destination_text));
    dotted(record->m_gateway, record->m_gateway_text, sizeof(record->m_gateway_text));
    dotted(record->m_mask, record->m_mask_text, sizeof(record->m_mask_text));
    route_flags_text(record->m_flags, record->m_flags_text, sizeof(record->m_flags_text));
    return true;
}

bool parse_socket_table(SocketKind kind, const char *text, size_t length, bool at_start,
                        TableList<tarvik_netstat_t> *list)
{
    return parse_table(text, length, at_start, "sl", list,
                       [kind](Text line, tarvik_netstat_t *record) {
                           return parse_socket_line(line, kind, record);
                       });
}

bool parse_route_table(const char *text, size_t length, bool at_start,
                       TableList<tarvik_route_ipv4_t> *list)
{
    return parse_table(text, length, at_start, "Iface", list, parse_route_line);
}

void route_flags_text(uint32_t flags, char *buffer, size_t size)
{
    Writer writer(buffer, size);
    if ((flags & TARVIK_ROUTE_UP) == 0) {
        return;
    }
    writer.put((flags & TARVIK_ROUTE_REJECT) != 0 ? '!' : 'U');
    for (size_t bit = 0; bit < sizeof(ROUTE_LETTERS) - 1; ++bit) {
        if (ROUTE_LETTERS[bit] != '\0' && (flags & (0x2u << bit)) != 0) {
            writer.put(ROUTE_LETTERS[bit]);
        }
    }
}

} // namespace tarvik::detail

namespace tarvik::detail {

tarvik_netstat_t *open_netstat_in(const char *directory)
{
    SocketContext context{};
    for (unsigned kind = 0; kind < SOCKET_KINDS; ++kind) {
        char path[256];
        Writer(path, sizeof(path)).puts(directory).put('/').puts(PROTOCOL_NAMES[kind]);
        context.m_kind = static_cast<SocketKind>(kind);
        // A missing table (a kernel without IPv6, say) is skipped; running out of memory
        // gives nothing rather than a list that silently lacks sockets.
        if (read_table(path, parse_socket_piece, &context) == ReadResult::NO_MEMORY) {
            free_list(context.m_list.m_head);
            return nullptr;
        }
    }
    return context.m_list.m_head;
}

tarvik_route_ipv4_t *open_route_ipv4_from(const char *path)
{
    TableList<tarvik_route_ipv4_t> list;
    if (read_table(path, parse_route_piece, &list) != ReadResult::DONE) {
        free_list(list.m_head);
        return nullptr;
    }
    fill_indexes(list.m_head);
    return list.m_head;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API tarvik_netstat_t *tarvik_open_netstat(void)
{
    return tarvik::detail::open_netstat_in("/proc/net");
}

TARVIK_API int tarvik_close_netstat(tarvik_netstat_t *list)
{
    free_list(list);
    return 0;
}

TARVIK_API tarvik_route_ipv4_t *tarvik_open_route_ipv4(void)
{
    return tarvik::detail::open_route_ipv4_from("/proc/net/route");
}

TARVIK_API int tarvik_close_route_ipv4(tarvik_route_ipv4_t *list)
{
    free_list(list);
    return 0;
}

} // extern "C"
