// The ifconfig applet: lists the network interfaces, or waits until a named interface has an
// IPv4 address and prints that address.
#include "applet.hpp"
#include "applets.h"

#include "buffer.h"
#include "console.h"
#include "heap.h"
#include "inet.h"
#include "interface.h"
#include "time.h"

#include "detail/common.hpp"

#include <cstring>

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

enum : size_t { HELP, TIMEOUT, WAIT, INTERFACE };
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"t|timeout", vexa::Takes::VALUE,
     "\t-t|--timeout=<msec>              : wait until ipv4 up in msec\n"},
    {"wait", vexa::Takes::NOTHING, "\t   --wait                        : wait until ipv4 up\n"},
    {"i|interface", vexa::Takes::VALUE,
     "\t-i|--interface=<name>            : trigger wait to network interface ipv4\n"},
};
constexpr vexa::Usage USAGE = vexa::usage_of("usage: %s [<options>]\noptions:\n", OPTIONS, "\n");

struct Options {
    bool m_wait;
    int m_timeout; // milliseconds; negative: none
    const char *m_interface;
};

constexpr const char *MEDIA_NAMES[] = {"unknown",  "10base2",   "10baseT",  "AUI",
                                       "100baseT", "100baseTX", "100baseFX"};

const uint8_t *address_bytes(const sockaddr *address)
{
    if (address->sa_family == AF_INET) {
        return reinterpret_cast<const uint8_t *>(
            &reinterpret_cast<const sockaddr_in *>(address)->sin_addr);
    }
    return reinterpret_cast<const uint8_t *>(
        &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr);
}

// Address bytes only: the scope number of a link-local address is the interface itself.
const char *address_text(const sockaddr *address, char *buffer, size_t size)
{
    return tarvik_inet_ntop(address->sa_family, address_bytes(address), buffer, size);
}

const char *scope_text(const sockaddr *address, char *buffer, size_t size)
{
    int scope = tarvik_sockaddr_scope(address);
    return tarvik_network_interface_scope_string(static_cast<uint32_t>(scope), buffer, size);
}

void push_addresses(tarvik_buffer_t *out, const tarvik_network_interface_t *record)
{
    char text[TARVIK_INET_STRING_SIZE];
    char second[TARVIK_INET_STRING_SIZE];
    char scope[32];
    bool peer = (record->flags & TARVIK_NETIF_FLAG_POINTOPOINT) != 0;
    static constexpr int FAMILIES[] = {AF_INET, AF_INET6};
    for (int family : FAMILIES) {
        for (const tarvik_network_interface_address_t *node = record->address_head; node != nullptr;
             node = node->next) {
            if (node->address->sa_family != family) {
                continue;
            }
            address_text(node->address, text, sizeof(text));
            if (family == AF_INET) {
                tarvik_push_printf(out, "%-9s inet addr:\e[1;37m%s\e[0m/\e[1;37m%lu\e[0m", "", text,
                                   static_cast<unsigned long>(node->prefix_length));
            } else {
                tarvik_push_printf(out, "%-9s inet6 addr: \e[1;37m%s\e[0m/\e[1;37m%lu\e[0m", "",
                                   text, static_cast<unsigned long>(node->prefix_length));
            }
            // IPv6 knows no broadcast: its second address is always a peer.
            if (node->second_address != nullptr) {
                address_text(node->second_address, second, sizeof(second));
                tarvik_push_printf(out,
                                   peer || family == AF_INET6 ? "  P-t-P:\e[1;37m%s\e[0m"
                                                              : "  Bcast:\e[1;37m%s\e[0m",
                                   second);
            }
            if (family == AF_INET) {
                uint32_t bits = node->prefix_length > 32 ? 32 : node->prefix_length;
                uint32_t mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
                uint8_t bytes[4] = {static_cast<uint8_t>(mask >> 24),
                                    static_cast<uint8_t>(mask >> 16),
                                    static_cast<uint8_t>(mask >> 8), static_cast<uint8_t>(mask)};
                tarvik_push_printf(out, "  Mask:\e[1;37m%s\e[0m",
                                   tarvik_inet_ntop(AF_INET, bytes, second, sizeof(second)));
                tarvik_push_printf(out, "  Scope:\e[1;37m%s\e[0m\n",
                                   scope_text(node->address, scope, sizeof(scope)));
            } else {
                tarvik_push_printf(out, " Scope:\e[1;37m%s\e[0m\n",
                                   scope_text(node->address, scope, sizeof(scope)));
            }
        }
    }
}

void push_flags_line(tarvik_buffer_t *out, const tarvik_network_interface_t *record)
{
    char flags[512];
    tarvik_network_interface_ifflags_string(record->flags, " ", flags, sizeof(flags));
    tarvik_push_printf(out, "%-9s \e[1;33m%s\e[0m", "", flags);
    if ((record->valid & TARVIK_NETIF_MTU) != 0) {
        tarvik_push_printf(out, "  MTU:\e[1;37m%lu\e[0m", static_cast<unsigned long>(record->mtu));
    }
    if ((record->valid & TARVIK_NETIF_METRIC) != 0) {
        tarvik_push_printf(out, "  Metric:\e[1;37m%u\e[0m", static_cast<unsigned>(record->metric));
    }
    if ((record->valid & TARVIK_NETIF_METRIC6) != 0) {
        tarvik_push_printf(out, "  Metric6:\e[1;37m%u\e[0m",
                           static_cast<unsigned>(record->metric6));
    }
    if ((record->valid & TARVIK_NETIF_INDEX) != 0) {
        tarvik_push_printf(out, "  IfIndex:\e[1;37m%ld\e[0m", static_cast<long>(record->index));
    }
    tarvik_push_puts(out, "\n");
}

void push_counters(tarvik_buffer_t *out, const tarvik_network_interface_t *record)
{
    const uint64_t *rx = record->rx;
    const uint64_t *tx = record->tx;
    auto n = [](uint64_t value) { return static_cast<unsigned long long>(value); };
    tarvik_push_printf(out,
                       "%-9s RX packets:\e[1;37m%llu\e[0m errors:\e[1;37m%llu\e[0m "
                       "dropped:\e[1;37m%llu\e[0m fifo:\e[1;37m%llu\e[0m frame:\e[1;37m%llu\e[0m "
                       "compressed:\e[1;37m%llu\e[0m multicast:\e[1;37m%llu\e[0m\n",
                       "", n(rx[1]), n(rx[2]), n(rx[3]), n(rx[4]), n(rx[5]), n(rx[6]), n(rx[7]));
    tarvik_push_printf(out,
                       "%-9s TX packets:\e[1;37m%llu\e[0m errors:\e[1;37m%llu\e[0m "
                       "dropped:\e[1;37m%llu\e[0m fifo:\e[1;37m%llu\e[0m "
                       "collisions:\e[1;37m%llu\e[0m carrier:\e[1;37m%llu\e[0m "
                       "compressed:\e[1;37m%llu\e[0m\n",
                       "", n(tx[1]), n(tx[2]), n(tx[3]), n(tx[4]), n(tx[5]), n(tx[6]), n(tx[7]));
    tarvik_push_printf(out, "%-9s RX bytes:\e[1;37m%llu\e[0m  TX bytes:\e[1;37m%llu\e[0m\n", "",
                       n(rx[0]), n(tx[0]));
}

void push_map(tarvik_buffer_t *out, const tarvik_network_interface_t *record)
{
    if (record->mem_start != 0 || record->base_addr != 0 || record->irq != 0 || record->dma != 0) {
        const char *joint = "";
        tarvik_push_printf(out, "%-9s ", "");
        if (record->mem_start != 0) {
            tarvik_push_printf(out, "%sMemory:\e[1;37m%lx\e[0m-\e[1;37m%lx\e[0m", joint,
                               static_cast<unsigned long>(record->mem_start),
                               static_cast<unsigned long>(record->mem_end));
            joint = "  ";
        }
        if (record->base_addr != 0) {
            tarvik_push_printf(out, "%sBase address:\e[1;37m0x%x\e[0m", joint,
                               static_cast<unsigned>(record->base_addr));
            joint = "  ";
        }
        if (record->irq != 0) {
            tarvik_push_printf(out, "%sInterrupt:\e[1;37m%u\e[0m", joint,
                               static_cast<unsigned>(record->irq));
            joint = "  ";
        }
        if (record->dma != 0) {
            tarvik_push_printf(out, "%sDMA chan:\e[1;37m%x\e[0m", joint,
                               static_cast<unsigned>(record->dma));
        }
        tarvik_push_puts(out, "\n");
    }
    size_t count = sizeof(MEDIA_NAMES) / sizeof(MEDIA_NAMES[0]);
    tarvik_push_printf(out, "%-9s Media:\e[1;37m%s%s\e[0m\n", "",
                       record->port < count ? MEDIA_NAMES[record->port] : "unknown",
                       (record->flags & TARVIK_NETIF_FLAG_AUTOMEDIA) != 0 ? "(auto)" : "");
}

void push_record(tarvik_buffer_t *out, const tarvik_network_interface_t *record)
{
    char text[128];
    if ((record->valid & TARVIK_NETIF_HW_TYPE) != 0) {
        tarvik_network_interface_hardware_type_string(record->hw_type, text, sizeof(text));
    } else {
        strcpy(text, "UNKNOWN");
    }
    tarvik_push_printf(out, "\e[1;32m%-9s\e[0m Link encap:\e[1;36m%s\e[0m", record->name, text);
    if ((record->valid & TARVIK_NETIF_HW_ADDRESS) != 0 && record->hw_address_size != 0) {
        tarvik_network_interface_physical_address_string(
            record->hw_type, record->hw_address, record->hw_address_size, text, sizeof(text));
        tarvik_push_printf(out, "  HWaddr \e[1;36m%s\e[0m", text);
    }
    tarvik_push_puts(out, "\n");
    push_addresses(out, record);
    push_flags_line(out, record);
    if (record->friendly_name != nullptr && strcmp(record->friendly_name, record->name) != 0) {
        tarvik_push_printf(out, "%-9s FriendlyName: \"\e[1;32m%s\e[0m\"\n", "",
                           record->friendly_name);
    }
    if ((record->valid & TARVIK_NETIF_COUNTERS) != 0 && record->rx != nullptr) {
        push_counters(out, record);
    }
    if ((record->valid & TARVIK_NETIF_MAP) != 0) {
        push_map(out, record);
    }
    if ((record->valid & TARVIK_NETIF_LINK) != 0) {
        tarvik_network_interface_link_string(record->link, record->autoneg, record->speed,
                                             record->duplex, text, sizeof(text));
        tarvik_push_printf(out, "%-9s LinkInfo: \e[1;35m%s\e[0m\n", "", text);
    }
    tarvik_push_puts(out, "\n");
}

// The whole listing is formatted first and written in one piece: one write instead of
// dozens per interface.
int print_list()
{
    tarvik_network_interface_t *list = tarvik_get_network_interface(TARVIK_NETIF_ALL);
    tarvik_buffer_t *out = tarvik_open_buffer();
    if (out == nullptr) {
        tarvik_free_network_interface(list);
        return 1;
    }
    for (const tarvik_network_interface_t *record = list; record != nullptr;
         record = record->next) {
        push_record(out, record);
    }
    tarvik_free_network_interface(list);
    size_t size = tarvik_get_buffer_size(out);
    char *text = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
    if (text != nullptr) {
        tarvik_pop_buffer(out, text, size);
        text[size] = '\0';
        tarvik_puts(text);
        tarvik_free_tag(text, TARVIK_TAG);
    }
    tarvik_close_buffer(out);
    return text != nullptr ? 0 : 1;
}

// Prints the first IPv4 address of the named interface; false when it has none yet.
bool print_ipv4_address(const char *name)
{
    tarvik_network_interface_t *list =
        tarvik_get_network_interface(TARVIK_NETIF_LISTED | TARVIK_NETIF_IPV4);
    tarvik_network_interface_t *record = tarvik_search_network_interface_by_name(list, name);
    bool found = false;
    for (const tarvik_network_interface_address_t *node = record != nullptr ? record->address_head
                                                                            : nullptr;
         node != nullptr && !found; node = node->next) {
        const sockaddr *address = node->address;
        if (address->sa_family != AF_INET ||
            reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr == 0) {
            continue;
        }
        char text[TARVIK_INET_STRING_SIZE];
        tarvik_printf("%s\n", address_text(address, text, sizeof(text)));
        found = true;
    }
    tarvik_free_network_interface(list);
    return found;
}

// Polls until the address shows (or the time-out passes); the full list is the answer when
// it never does, and the status then says so.
int wait_for_ipv4(const Options &options)
{
    tarvik_timer_t timer;
    tarvik_init_timer(&timer,
                      options.m_timeout >= 0 ? static_cast<uint64_t>(options.m_timeout) : 0);
    for (;;) {
        if (print_ipv4_address(options.m_interface)) {
            return 0;
        }
        bool retry = options.m_timeout >= 0 ? tarvik_check_timer(&timer) == 0 : options.m_wait;
        if (!retry) {
            break;
        }
        tarvik_load_balance(); // about 10 ms: the kernel needs no busier polling than that
    }
    print_list();
    return 1;
}

} // namespace

int tarvik_multicall_ifconfig_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    Options options{arguments.has(WAIT), arguments.integer(TIMEOUT, -1),
                    arguments.value(INTERFACE)};
    int status = 0;
    if (arguments.has(HELP)) {
        arguments.usage(arguments.program_name());
    } else if (options.m_interface != nullptr) {
        status = wait_for_ipv4(options);
    } else {
        status = print_list();
    }
    tarvik_puts(nullptr);
    if (!vexa::output_ok(arguments.program_name())) {
        status = 1;
    }
    return status;
}
