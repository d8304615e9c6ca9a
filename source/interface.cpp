// Network interface list: one record per interface name, merged from getifaddrs, the interface
// ioctls, /proc/net/dev and /proc/net/if_inet6; searches, refresh with change marks and texts.
// Lists are owned by their caller and never shared behind its back, so nothing here locks.
#include "interface.h"

#include "buffer.h"
#include "crc.h"
#include "ctype.h"
#include "detail/common.hpp"
#include "detail/interface.hpp"
#include "format.h"
#include "pattern.h"
#include "socket.h"

#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

using Record = tarvik_network_interface_t;
using Address = tarvik_network_interface_address_t;

constexpr size_t PROC_FILE_LIMIT = 256u * 1024u;
constexpr size_t IFCONF_STEP = 512;
constexpr size_t IFCONF_LIMIT = 131072;
constexpr const char *DEFAULT_FILTER_PATTERNS = "bond*|eth*|en*|wlan*|ra*|*";

// ---- small text helpers -----------------------------------------------------------------

using tarvik::detail::Cursor;
using tarvik::detail::Text;
using TextWriter = tarvik::detail::Writer;

char *copy_text(const char *text, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        return nullptr;
    }
    TextWriter(buffer, size).puts(text);
    return buffer;
}

uint32_t name_crc(const char *name) { return tarvik_crc32_ieee_802_3(0, 0, name, strlen(name)); }

// Whole-word number in base 10 or 16; false for an empty word, a stray character or overflow.
bool parse_number(const char *word, unsigned base, uint64_t *out)
{
    Cursor cursor = Cursor::of(word);
    return (base == 16 ? cursor.hexadecimal(out) : cursor.decimal(out)) && cursor.at_end();
}

// Next word of *cursor split at any of separators (runs count as one); null at the end.
char *next_word(char **cursor, const char *separators)
{
    char *p = *cursor;
    while (*p != '\0' && strchr(separators, *p) != nullptr) {
        ++p;
    }
    if (*p == '\0') {
        *cursor = p;
        return nullptr;
    }
    char *word = p;
    while (*p != '\0' && strchr(separators, *p) == nullptr) {
        ++p;
    }
    if (*p != '\0') {
        *p++ = '\0';
    }
    *cursor = p;
    return word;
}

// ---- flags and hardware types -------------------------------------------------------------

constexpr const char *FLAG_NAMES[] = {
    "UP",        "BROADCAST",     "DEBUG",     "LOOPBACK",       "POINTOPOINT", "NOTRAILERS",
    "RUNNING",   "NOARP",         "PROMISC",   "ALLMULTI",       "SLAVE",       "MASTER",
    "MULTICAST", "PORTSEL",       "AUTOMEDIA", "DYNAMIC",        "LOWERUP",     "DORMANT",
    "ECHO",      "802_1Q_VLAN",   "EBRIDGE",   "SLAVE_INACTIVE", "8023AD",      "ALB",
    "BONDING",   "SLAVE_NEEDARP", "ISATAP",
};
constexpr uint32_t NAMED_FLAGS_MASK = (1u << (sizeof(FLAG_NAMES) / sizeof(FLAG_NAMES[0]))) - 1u;

struct HardwareType {
    uint32_t m_kernel;
    uint32_t m_code;
    uint32_t m_address_size;
};

constexpr HardwareType HARDWARE_TYPES[] = {
    {ARPHRD_LOOPBACK, TARVIK_NETIF_HW_LOOPBACK, 0},
    {ARPHRD_ETHER, TARVIK_NETIF_HW_ETHERNET, 6},
    {ARPHRD_PPP, TARVIK_NETIF_HW_PPP, 0},
    {ARPHRD_SIT, TARVIK_NETIF_HW_SIT, 0},
    {ARPHRD_INFINIBAND, TARVIK_NETIF_HW_INFINIBAND, 20},
    {ARPHRD_ATM, TARVIK_NETIF_HW_ATM, 0},
    {ARPHRD_IEEE80211, TARVIK_NETIF_HW_IEEE80211, 6},
    {ARPHRD_IEEE80211_PRISM, TARVIK_NETIF_HW_IEEE80211, 6},
    {ARPHRD_IEEE80211_RADIOTAP, TARVIK_NETIF_HW_IEEE80211, 6},
    {ARPHRD_TUNNEL, TARVIK_NETIF_HW_TUNNEL, 0},
    {ARPHRD_TUNNEL6, TARVIK_NETIF_HW_TUNNEL, 0},
    {ARPHRD_IEEE1394, TARVIK_NETIF_HW_IEEE1394, 0},
};

constexpr const char *HARDWARE_TYPE_NAMES[] = {
    "UNSPEC",
    "Local Loopback",
    "Ethernet",
    "Point-to-Point Protocol",
    "IPv6-in-IPv4",
    "InfiniBand",
    "ATM",
    "IEEE 802.11 wireless",
    "Tunnel",
    "IEEE 1394 (firewire)",
    "ISO 88025 TokenRing",
};

const HardwareType *find_hardware_type(uint32_t kernel)
{
    for (const HardwareType &type : HARDWARE_TYPES) {
        if (type.m_kernel == kernel) {
            return &type;
        }
    }
    return nullptr;
}

// Stores the type and as many address bytes as the type carries; false for unknown types.
bool set_hardware(Record *record, uint32_t kernel_type, const uint8_t *address, size_t available)
{
    const HardwareType *type = find_hardware_type(kernel_type);
    if (type == nullptr) {
        return false;
    }
    record->hw_type = type->m_code;
    record->valid |= TARVIK_NETIF_HW_TYPE;
    if (type->m_address_size != 0 && available >= type->m_address_size) {
        record->hw_address_size = type->m_address_size;
        memcpy(record->hw_address, address, type->m_address_size);
        record->valid |= TARVIK_NETIF_HW_ADDRESS;
    }
    return true;
}

// ---- address nodes --------------------------------------------------------------------

size_t family_size(int family)
{
    if (family == AF_INET) {
        return sizeof(sockaddr_in);
    }
    return family == AF_INET6 ? sizeof(sockaddr_in6) : 0;
}

constexpr size_t round_up(size_t value) { return (value + 7u) & ~static_cast<size_t>(7u); }

// Family and address bytes only: ports and IPv6 scope numbers differ between the sources
// of one address (getifaddrs fills the scope, /proc does not say it the same way).
bool same_sockaddr(const sockaddr *left, const sockaddr *right)
{
    if (left == nullptr || right == nullptr) {
        return left == right;
    }
    if (left->sa_family != right->sa_family) {
        return false;
    }
    if (left->sa_family == AF_INET) {
        return memcmp(&reinterpret_cast<const sockaddr_in *>(left)->sin_addr,
                      &reinterpret_cast<const sockaddr_in *>(right)->sin_addr, 4) == 0;
    }
    if (left->sa_family == AF_INET6) {
        return memcmp(&reinterpret_cast<const sockaddr_in6 *>(left)->sin6_addr,
                      &reinterpret_cast<const sockaddr_in6 *>(right)->sin6_addr, 16) == 0;
    }
    return false;
}

bool same_address(const Address *left, const Address *right)
{
    return left->prefix_length == right->prefix_length &&
           same_sockaddr(left->address, right->address) &&
           same_sockaddr(left->second_address, right->second_address);
}

// One block holds the node and copies of both socket addresses; null on failure or for a
// family other than IPv4/IPv6.
Address *new_address(const sockaddr *address, uint32_t prefix_length, const sockaddr *second)
{
    size_t size = family_size(address->sa_family);
    if (size == 0) {
        return nullptr;
    }
    size_t second_size = second != nullptr ? family_size(second->sa_family) : 0;
    size_t head = round_up(sizeof(Address));
    auto *node = static_cast<Address *>(
        tarvik_calloc_tag(1, head + round_up(size) + second_size, TARVIK_TAG));
    if (node == nullptr) {
        return nullptr;
    }
    auto *bytes = reinterpret_cast<uint8_t *>(node);
    node->address = reinterpret_cast<sockaddr *>(bytes + head);
    memcpy(node->address, address, size);
    if (second_size != 0) {
        node->second_address = reinterpret_cast<sockaddr *>(bytes + head + round_up(size));
        memcpy(node->second_address, second, second_size);
    }
    node->prefix_length = prefix_length;
    return node;
}

Address *find_address(Record *record, const Address *wanted)
{
    for (Address *node = record->address_head; node != nullptr; node = node->next) {
        if (same_address(node, wanted)) {
            return node;
        }
    }
    return nullptr;
}

// Whether the record holds this address, whatever its prefix length and second address.
bool has_local_address(const Record *record, const sockaddr *address)
{
    for (const Address *node = record->address_head; node != nullptr; node = node->next) {
        if (same_sockaddr(node->address, address)) {
            return true;
        }
    }
    return false;
}

using Addresses = tarvik::detail::DoublyLinked<Address, &Address::next, &Address::prev>;

void append_address(Record *record, Address *node)
{
    node->owner = record;
    Addresses(&record->address_head, &record->address_tail).push_back(node);
}

void unlink_address(Record *record, Address *node)
{
    Addresses(&record->address_head, &record->address_tail).remove(node);
}

uint32_t family_bit(int family)
{
    return family == AF_INET ? TARVIK_NETIF_IPV4 : TARVIK_NETIF_IPV6;
}

// ---- records ---------------------------------------------------------------------------

void free_addresses(Record *record)
{
    tarvik::detail::free_chain_tag<Address, &Address::next>(record->address_head, TARVIK_TAG);
    record->address_head = record->address_tail = nullptr;
}

void free_record(Record *record)
{
    free_addresses(record);
    tarvik_check_free_tag(record->rx, TARVIK_TAG); // tx lives in the same block
    tarvik_check_free_tag(record->text, TARVIK_TAG);
    tarvik_free_tag(record, TARVIK_TAG);
}

// Room for rx (8) and tx (9) counters in one block.
bool ensure_counters(Record *record)
{
    if (record->rx != nullptr) {
        return true;
    }
    auto *counters = static_cast<uint64_t *>(tarvik_calloc_tag(
        TARVIK_NETIF_RX_COUNT + TARVIK_NETIF_TX_COUNT, sizeof(uint64_t), TARVIK_TAG));
    if (counters == nullptr) {
        return false;
    }
    record->rx = counters;
    record->tx = counters + TARVIK_NETIF_RX_COUNT;
    return true;
}

// A record list being built, appended to at its tail.
struct List {
    Record *m_head = nullptr;
    Record *m_tail = nullptr;

    void append(Record *record)
    {
        tarvik::detail::SinglyLinked<Record, &Record::next>(&m_head, &m_tail).push_back(record);
    }
};

Record *search_by_name_nolock(Record *list, const char *name, uint32_t crc)
{
    for (Record *record = list; record != nullptr; record = record->next) {
        if (record->name_crc == crc && strcmp(record->name, name) == 0) {
            return record;
        }
    }
    return nullptr;
}

// ---- reading the kernel ---------------------------------------------------------------

struct Reader {
    int m_socket4 = -1;
    int m_socket6 = -1;
    uint32_t m_flags = 0;
    const char *m_patterns = nullptr;
    List m_list;
};

bool wanted_name(const Reader &reader, const char *name)
{
    return reader.m_patterns == nullptr || *reader.m_patterns == '\0' ||
           tarvik_check_pattern_list(reader.m_patterns, "|", name) == 0;
}

bool fill_request(ifreq *request, const char *name)
{
    memset(request, 0, sizeof(*request));
    size_t length = strlen(name);
    if (length >= sizeof(request->ifr_name)) {
        return false;
    }
    memcpy(request->ifr_name, name, length);
    return true;
}

// A request tries one socket and then the other, since a kernel without one family still
// answers the interface requests on the other.
bool ask(const Reader &reader, unsigned long code, ifreq *request)
{
    const int sockets[] = {reader.m_socket4, reader.m_socket6};
    for (int fd : sockets) {
        if (fd >= 0 && ioctl(fd, code, request) == 0) {
            return true;
        }
    }
    return false;
}

bool ask_on(int fd, unsigned long code, ifreq *request)
{
    return fd >= 0 && ioctl(fd, code, request) == 0;
}

// The index request on the socket already open answers what if_nametoindex would, without
// the extra socket it opens; if_nametoindex stays as the fallback.
void read_index(const Reader &reader, Record *record, ifreq *request)
{
    if (ask(reader, SIOCGIFINDEX, request)) {
        record->index = request->ifr_ifindex;
        record->valid |= TARVIK_NETIF_INDEX;
        return;
    }
    unsigned index = if_nametoindex(record->name);
    if (index != 0) {
        record->index = static_cast<int32_t>(index);
        record->valid |= TARVIK_NETIF_INDEX;
    }
}

void read_flags(const Reader &reader, Record *record, ifreq *request)
{
    bool known = false;
#ifdef SIOCGIFPFLAGS
    if (ask(reader, SIOCGIFPFLAGS, request)) {
        record->flags |=
            tarvik::detail::convert_interface_flags(static_cast<uint16_t>(request->ifr_flags));
        known = true;
    }
    fill_request(request, record->name);
#endif
    if (ask(reader, SIOCGIFFLAGS, request)) {
        record->flags |=
            tarvik::detail::convert_interface_flags(static_cast<uint16_t>(request->ifr_flags));
        known = true;
    }
    if (known) {
        record->valid |= TARVIK_NETIF_FLAGS;
    }
}

void read_hardware(const Reader &reader, Record *record, ifreq *request)
{
    if (ask(reader, SIOCGIFHWADDR, request)) {
        set_hardware(record, request->ifr_hwaddr.sa_family,
                     reinterpret_cast<const uint8_t *>(request->ifr_hwaddr.sa_data),
                     sizeof(request->ifr_hwaddr.sa_data));
    }
}

void read_metric(int fd, uint32_t *metric, uint32_t bit, Record *record, ifreq *request)
{
    if (ask_on(fd, SIOCGIFMETRIC, request)) {
        *metric = request->ifr_metric == 0 ? 1u : static_cast<uint32_t>(request->ifr_metric);
        record->valid |= bit;
    }
}

void read_map(const Reader &reader, Record *record, ifreq *request)
{
    if (ask(reader, SIOCGIFMAP, request)) {
        record->mem_start = static_cast<uint32_t>(request->ifr_map.mem_start);
        record->mem_end = static_cast<uint32_t>(request->ifr_map.mem_end);
        record->base_addr = request->ifr_map.base_addr;
        record->irq = request->ifr_map.irq;
        record->dma = request->ifr_map.dma;
        record->port = request->ifr_map.port;
        record->valid |= TARVIK_NETIF_MAP;
    }
}

// Unknown speed and duplex are reported with all bits set; they stay -1 (unknown) instead of
// showing as 4294967295 Mbit/s and full duplex.
void read_link(const Reader &reader, Record *record, ifreq *request)
{
    ethtool_cmd settings;
    memset(&settings, 0, sizeof(settings));
    settings.cmd = ETHTOOL_GSET;
    request->ifr_data = reinterpret_cast<char *>(&settings);
    if (ask(reader, SIOCETHTOOL, request)) {
        uint32_t speed = ethtool_cmd_speed(&settings);
        record->speed = speed == 0xFFFFFFFFu || speed == 0xFFFFu || speed > INT32_MAX
                            ? -1
                            : static_cast<int32_t>(speed);
        record->duplex = settings.duplex == DUPLEX_FULL   ? 1
                         : settings.duplex == DUPLEX_HALF ? 0
                                                          : -1;
        record->autoneg = settings.autoneg;
        record->valid |= TARVIK_NETIF_LINK;
    }
    ethtool_value value;
    memset(&value, 0, sizeof(value));
    value.cmd = ETHTOOL_GLINK;
    fill_request(request, record->name);
    request->ifr_data = reinterpret_cast<char *>(&value);
    if (ask(reader, SIOCETHTOOL, request)) {
        record->link = static_cast<int32_t>(value.data) > 0 ? 1 : 0;
        record->valid |= TARVIK_NETIF_LINK;
    }
}

// IPv4 by the address requests, for records no getifaddrs entry described. A broadcast
// interface's broadcast address is asked too, so that an address reads the same (with its
// broadcast) whichever source reported it and a refresh does not see it change.
void read_ipv4(const Reader &reader, Record *record, ifreq *request)
{
    if (!ask_on(reader.m_socket4, SIOCGIFADDR, request) || request->ifr_addr.sa_family != AF_INET) {
        return;
    }
    sockaddr_in address;
    memcpy(&address, &request->ifr_addr, sizeof(address));
    fill_request(request, record->name);
    uint32_t prefix = 32;
    if (ask_on(reader.m_socket4, SIOCGIFNETMASK, request)) {
        prefix = tarvik::detail::interface_prefix_from_mask(&request->ifr_netmask, AF_INET);
    }
    fill_request(request, record->name);
    sockaddr_in second;
    bool have_second = false;
    unsigned long code = (record->flags & TARVIK_NETIF_FLAG_POINTOPOINT) != 0 ? SIOCGIFDSTADDR
                         : (record->flags & TARVIK_NETIF_FLAG_BROADCAST) != 0 ? SIOCGIFBRDADDR
                                                                              : 0;
    if (code != 0 && ask_on(reader.m_socket4, code, request) &&
        request->ifr_addr.sa_family == AF_INET) {
        memcpy(&second, &request->ifr_addr, sizeof(second));
        have_second = true;
    }
    tarvik::detail::add_interface_address(record, reinterpret_cast<sockaddr *>(&address), prefix,
                                          have_second ? reinterpret_cast<sockaddr *>(&second)
                                                      : nullptr);
}

using Step = void (*)(const Reader &, Record *, ifreq *);

// A step runs when one of its request bits is wanted and its done bit is still clear. Once the
// hardware type is known the request has been answered, with an address or without one.
struct RequestStep {
    uint32_t m_request;
    uint32_t m_done;
    Step m_step;
};

void read_mtu(const Reader &reader, Record *record, ifreq *request)
{
    if (ask(reader, SIOCGIFMTU, request)) {
        record->mtu = static_cast<uint32_t>(request->ifr_mtu);
        record->valid |= TARVIK_NETIF_MTU;
    }
}

void read_metric4(const Reader &reader, Record *record, ifreq *request)
{
    read_metric(reader.m_socket4, &record->metric, TARVIK_NETIF_METRIC, record, request);
}

void read_metric6(const Reader &reader, Record *record, ifreq *request)
{
    read_metric(reader.m_socket6, &record->metric6, TARVIK_NETIF_METRIC6, record, request);
}

constexpr RequestStep REQUEST_STEPS[] = {
    {TARVIK_NETIF_INDEX, TARVIK_NETIF_INDEX, read_index},
    {TARVIK_NETIF_FLAGS, TARVIK_NETIF_FLAGS, read_flags},
    {TARVIK_NETIF_HW_TYPE | TARVIK_NETIF_HW_ADDRESS, TARVIK_NETIF_HW_TYPE, read_hardware},
    {TARVIK_NETIF_MTU, TARVIK_NETIF_MTU, read_mtu},
    {TARVIK_NETIF_METRIC, TARVIK_NETIF_METRIC, read_metric4},
    {TARVIK_NETIF_METRIC6, TARVIK_NETIF_METRIC6, read_metric6},
    {TARVIK_NETIF_MAP, TARVIK_NETIF_MAP, read_map},
    {TARVIK_NETIF_LINK, TARVIK_NETIF_LINK, read_link},
};

// What a getifaddrs entry says about its interface: flags, and by family the index and
// hardware address (packet entries) or one address. The entry's flags are the word that
// SIOCGIFFLAGS answers, so once they are in the flags request is not repeated.
void take_entry(const Reader &reader, Record *record, const ifaddrs *entry)
{
    if ((reader.m_flags & TARVIK_NETIF_FLAGS) != 0) {
        record->flags |= tarvik::detail::convert_interface_flags(entry->ifa_flags & 0xFFFFu);
        record->valid |= TARVIK_NETIF_FLAGS;
    }
    const sockaddr *address = entry->ifa_addr;
    if (address == nullptr) {
        return;
    }
    if (address->sa_family == AF_PACKET) {
        const auto *link = reinterpret_cast<const sockaddr_ll *>(address);
        if ((reader.m_flags & TARVIK_NETIF_INDEX) != 0 && link->sll_ifindex > 0) {
            record->index = link->sll_ifindex;
            record->valid |= TARVIK_NETIF_INDEX;
        }
        if ((reader.m_flags & (TARVIK_NETIF_HW_TYPE | TARVIK_NETIF_HW_ADDRESS)) != 0) {
            set_hardware(record, link->sll_hatype, link->sll_addr, link->sll_halen);
        }
        return;
    }
    bool inet4 = address->sa_family == AF_INET && (reader.m_flags & TARVIK_NETIF_IPV4) != 0;
    bool inet6 = address->sa_family == AF_INET6 && (reader.m_flags & TARVIK_NETIF_IPV6) != 0;
    if (inet4 || inet6) {
        tarvik::detail::add_interface_address(
            record, address,
            tarvik::detail::interface_prefix_from_mask(entry->ifa_netmask, address->sa_family),
            entry->ifa_ifu.ifu_broadaddr);
    }
}

// The requests for every part still missing. Only the first sighting of an interface asks:
// later entries of the same interface would get the same answers again.
void ask_record(const Reader &reader, Record *record, bool has_entry)
{
    ifreq request;
    if (!fill_request(&request, record->name)) {
        return;
    }
    for (const RequestStep &step : REQUEST_STEPS) {
        if ((reader.m_flags & step.m_request) != 0 && (record->valid & step.m_done) == 0) {
            step.m_step(reader, record, &request);
            fill_request(&request, record->name);
        }
    }
    if (!has_entry && (reader.m_flags & TARVIK_NETIF_IPV4) != 0 && reader.m_socket4 >= 0 &&
        (record->valid & TARVIK_NETIF_IPV4) == 0) {
        read_ipv4(reader, record, &request);
    }
}

// The record for name, created (and asked) at its first sighting; null on allocation failure.
Record *sight(Reader &reader, const char *name, const ifaddrs *entry)
{
    Record *record = search_by_name_nolock(reader.m_list.m_head, name, name_crc(name));
    if (record == nullptr) {
        record = tarvik_new_network_interface(name, nullptr);
        if (record == nullptr) {
            return nullptr;
        }
        reader.m_list.append(record);
        if (entry != nullptr) {
            take_entry(reader, record, entry); // the cheap answers first
        }
        ask_record(reader, record, entry != nullptr);
        return record;
    }
    if (entry != nullptr) {
        take_entry(reader, record, entry);
    }
    return record;
}

// -1 when getifaddrs failed, 0 for no entry at all, else 1.
int read_getifaddrs(Reader &reader)
{
    ifaddrs *entries = nullptr;
    if (getifaddrs(&entries) != 0) {
        return -1;
    }
    if (entries == nullptr) {
        return 0;
    }
    for (const ifaddrs *entry = entries; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name != nullptr && wanted_name(reader, entry->ifa_name)) {
            sight(reader, entry->ifa_name, entry);
        }
    }
    freeifaddrs(entries);
    return 1;
}

void read_ifconf(Reader &reader, int fd)
{
    if (fd < 0) {
        return;
    }
    for (size_t size = IFCONF_STEP; size <= IFCONF_LIMIT; size += IFCONF_STEP) {
        char *buffer = static_cast<char *>(tarvik_alloc_tag(size, TARVIK_TAG));
        if (buffer == nullptr) {
            return;
        }
        ifconf configuration;
        configuration.ifc_len = static_cast<int>(size);
        configuration.ifc_buf = buffer;
        if (ioctl(fd, SIOCGIFCONF, &configuration) != 0 ||
            configuration.ifc_len < static_cast<int>(sizeof(ifreq))) {
            tarvik_free_tag(buffer, TARVIK_TAG);
            return;
        }
        size_t used = static_cast<size_t>(configuration.ifc_len);
        if (used + sizeof(ifreq) > size) {
            tarvik_free_tag(buffer, TARVIK_TAG); // possibly cut short: ask with more room
            continue;
        }
        for (size_t offset = 0; offset + sizeof(ifreq) <= used; offset += sizeof(ifreq)) {
            ifreq entry;
            memcpy(&entry, buffer + offset, sizeof(entry));
            entry.ifr_name[sizeof(entry.ifr_name) - 1] = '\0';
            if (entry.ifr_name[0] != '\0' && wanted_name(reader, entry.ifr_name)) {
                sight(reader, entry.ifr_name, nullptr);
            }
        }
        tarvik_free_tag(buffer, TARVIK_TAG);
        return;
    }
}

// Visits every line of a /proc table, terminated in place for the line parsers.
template <typename Visit> void each_proc_line(const char *path, Visit visit)
{
    size_t length = 0;
    char *text =
        static_cast<char *>(tarvik_alloc_buffer_from_file(path, 0, PROC_FILE_LIMIT, &length));
    Cursor cursor(text, text != nullptr ? length : 0);
    for (Text line; cursor.line(&line);) {
        char *start = const_cast<char *>(line.m_data);
        start[line.m_length] = '\0';
        visit(start);
    }
    tarvik_check_free_tag(text, TARVIK_TAG);
}

// Names found only here are filtered like the others, so that a pattern means the same list
// whichever source reported an interface.
void read_net_dev(Reader &reader)
{
    each_proc_line("/proc/net/dev", [&reader](char *line) {
        tarvik::detail::NetDevLine parsed;
        if (tarvik::detail::parse_net_dev_line(line, &parsed) != 0 ||
            !wanted_name(reader, parsed.m_name)) {
            return;
        }
        Record *record = sight(reader, parsed.m_name, nullptr);
        if (record == nullptr || (reader.m_flags & TARVIK_NETIF_COUNTERS) == 0 ||
            (record->valid & TARVIK_NETIF_COUNTERS) != 0 || !ensure_counters(record)) {
            return;
        }
        memcpy(record->rx, parsed.m_rx, sizeof(parsed.m_rx));
        memcpy(record->tx, parsed.m_tx, sizeof(parsed.m_tx));
        record->tx[8] = 0;
        record->valid |= TARVIK_NETIF_COUNTERS;
    });
}

void read_if_inet6(Reader &reader)
{
    each_proc_line("/proc/net/if_inet6", [&reader](char *line) {
        tarvik::detail::IfInet6Line parsed;
        if (tarvik::detail::parse_if_inet6_line(line, &parsed) != 0) {
            return;
        }
        Record *record =
            search_by_name_nolock(reader.m_list.m_head, parsed.m_name, name_crc(parsed.m_name));
        if (record == nullptr) {
            return;
        }
        sockaddr_in6 address;
        memset(&address, 0, sizeof(address));
        address.sin6_family = AF_INET6;
        memcpy(&address.sin6_addr, parsed.m_address, 16);
        // This file does not show peers: an address that getifaddrs reported with its peer is
        // the same address, not a second one.
        if (has_local_address(record, reinterpret_cast<const sockaddr *>(&address))) {
            record->valid |= TARVIK_NETIF_IPV6;
            return;
        }
        if (IN6_IS_ADDR_LINKLOCAL(&address.sin6_addr)) {
            address.sin6_scope_id = parsed.m_index;
        }
        tarvik::detail::add_interface_address(record, reinterpret_cast<sockaddr *>(&address),
                                              parsed.m_prefix_length, nullptr);
    });
}

Record *read_list(const char *patterns, uint32_t flags)
{
    Reader reader;
    reader.m_flags = flags;
    reader.m_patterns = patterns;
    reader.m_socket4 = tarvik_open_socket(AF_INET, SOCK_DGRAM, 0);
    reader.m_socket6 = tarvik_open_socket(AF_INET6, SOCK_DGRAM, 0);
    int listed = read_getifaddrs(reader);
    // The interface configuration request is the fallback for a failed getifaddrs: it lists
    // only interfaces with IPv4 addresses, all of which getifaddrs has reported already.
    if (listed != 0) {
        if (listed < 0) {
            read_ifconf(reader, reader.m_socket4);
            read_ifconf(reader, reader.m_socket6);
        }
        read_net_dev(reader);
        if ((flags & TARVIK_NETIF_IPV6) != 0) {
            read_if_inet6(reader);
        }
    }
    tarvik_close_socket(reader.m_socket4);
    tarvik_close_socket(reader.m_socket6);
    return reader.m_list.m_head;
}

// ---- refresh ----------------------------------------------------------------------------

// Drops what the caller has seen gone and clears the marks it has seen.
void clean_addresses(Record *record, bool seen)
{
    Address *node = record->address_head;
    while (node != nullptr) {
        Address *next = node->next;
        if (seen || (node->changes & TARVIK_NETIF_CHANGE_SEEN) != 0) {
            if ((node->changes & TARVIK_NETIF_CHANGE_GONE) != 0) {
                unlink_address(record, node);
                tarvik_free_tag(node, TARVIK_TAG);
            } else {
                node->changes = 0;
            }
        }
        node = next;
    }
}

Record *clean_seen(Record *list)
{
    List kept;
    Record *record = list;
    while (record != nullptr) {
        Record *next = record->next;
        bool seen = (record->changes & TARVIK_NETIF_CHANGE_SEEN) != 0;
        if (seen && (record->changes & TARVIK_NETIF_CHANGE_GONE) != 0) {
            free_record(record);
        } else {
            if (seen) {
                record->changes = 0;
            }
            clean_addresses(record, seen);
            kept.append(record);
        }
        record = next;
    }
    return kept.m_head;
}

void mark_gone(Record *record)
{
    record->changes |= TARVIK_NETIF_CHANGE_GONE;
    for (Address *node = record->address_head; node != nullptr; node = node->next) {
        node->changes |= TARVIK_NETIF_CHANGE_GONE;
    }
}

bool same_text(const char *left, const char *right)
{
    if (left == nullptr || right == nullptr) {
        return left == right;
    }
    return strcmp(left, right) == 0;
}

// Copies one part when the fresh record has it and the old one lacks it or differs.
template <typename T>
bool merge_field(Record *old, const Record *fresh, uint32_t bit, T Record::*field)
{
    if ((fresh->valid & bit) == 0) {
        return false;
    }
    if ((old->valid & bit) != 0 && old->*field == fresh->*field) {
        return false;
    }
    old->*field = fresh->*field;
    return true;
}

bool merge_hardware(Record *old, const Record *fresh)
{
    if ((fresh->valid & TARVIK_NETIF_HW_ADDRESS) == 0) {
        return false;
    }
    if ((old->valid & TARVIK_NETIF_HW_ADDRESS) != 0 &&
        old->hw_address_size == fresh->hw_address_size &&
        memcmp(old->hw_address, fresh->hw_address, sizeof(old->hw_address)) == 0) {
        return false;
    }
    old->hw_address_size = fresh->hw_address_size;
    memcpy(old->hw_address, fresh->hw_address, sizeof(old->hw_address));
    return true;
}

bool merge_fields(Record *old, Record *fresh)
{
    bool changed = false;
    changed |= merge_field(old, fresh, TARVIK_NETIF_INDEX, &Record::index);
    changed |= merge_field(old, fresh, TARVIK_NETIF_FLAGS, &Record::flags);
    changed |= merge_field(old, fresh, TARVIK_NETIF_HW_TYPE, &Record::hw_type);
    changed |= merge_hardware(old, fresh);
    changed |= merge_field(old, fresh, TARVIK_NETIF_MTU, &Record::mtu);
    changed |= merge_field(old, fresh, TARVIK_NETIF_METRIC, &Record::metric);
    changed |= merge_field(old, fresh, TARVIK_NETIF_METRIC6, &Record::metric6);
    static constexpr uint32_t Record::*MAP_FIELDS[] = {&Record::mem_start, &Record::mem_end,
                                                       &Record::base_addr, &Record::irq,
                                                       &Record::dma,       &Record::port};
    for (uint32_t Record::*field : MAP_FIELDS) {
        changed |= merge_field(old, fresh, TARVIK_NETIF_MAP, field);
    }
    static constexpr int32_t Record::*LINK_FIELDS[] = {&Record::link, &Record::autoneg,
                                                       &Record::speed, &Record::duplex};
    for (int32_t Record::*field : LINK_FIELDS) {
        changed |= merge_field(old, fresh, TARVIK_NETIF_LINK, field);
    }
    if (!same_text(old->text, fresh->text)) {
        tarvik_check_free_tag(old->text, TARVIK_TAG);
        old->text = fresh->text;
        fresh->text = nullptr;
        changed = true;
    }
    // Counters move on all the time: they are replaced without counting as a change.
    if ((fresh->valid & TARVIK_NETIF_COUNTERS) != 0) {
        tarvik_check_free_tag(old->rx, TARVIK_TAG);
        old->rx = fresh->rx;
        old->tx = fresh->tx;
        fresh->rx = fresh->tx = nullptr;
    }
    old->valid |= fresh->valid;
    return changed;
}

bool merge_addresses(Record *old, Record *fresh)
{
    bool changed = false;
    for (Address *node = old->address_head; node != nullptr; node = node->next) {
        Address *partner = find_address(fresh, node);
        if (partner == nullptr && (node->changes & TARVIK_NETIF_CHANGE_GONE) == 0) {
            node->changes |= TARVIK_NETIF_CHANGE_GONE;
            changed = true;
        } else if (partner != nullptr && (node->changes & TARVIK_NETIF_CHANGE_GONE) != 0) {
            node->changes = (node->changes & ~TARVIK_NETIF_CHANGE_GONE) | TARVIK_NETIF_CHANGE_NEW;
            changed = true;
        }
    }
    Address *node = fresh->address_head;
    while (node != nullptr) {
        Address *next = node->next;
        if (find_address(old, node) == nullptr) {
            unlink_address(fresh, node);
            node->changes = TARVIK_NETIF_CHANGE_NEW;
            append_address(old, node);
            changed = true;
        }
        node = next;
    }
    return changed;
}

void mark_new(Record *record)
{
    record->changes = TARVIK_NETIF_CHANGE_NEW;
    for (Address *node = record->address_head; node != nullptr; node = node->next) {
        node->changes = TARVIK_NETIF_CHANGE_NEW;
    }
}

Record *update_nolock(Record *list, const char *patterns, uint32_t flags)
{
    List old;
    old.m_head = clean_seen(list);
    old.m_tail = tarvik::detail::SinglyLinked<Record, &Record::next>(&old.m_head, nullptr).back();
    Record *fresh_list = read_list(patterns, flags);
    for (Record *record = old.m_head; record != nullptr; record = record->next) {
        Record *fresh = search_by_name_nolock(fresh_list, record->name, record->name_crc);
        if (fresh == nullptr) {
            mark_gone(record);
            continue;
        }
        bool changed = merge_fields(record, fresh);
        changed |= merge_addresses(record, fresh);
        if ((record->changes & TARVIK_NETIF_CHANGE_GONE) != 0) {
            record->changes &= ~TARVIK_NETIF_CHANGE_GONE;
            changed = true;
        }
        if (changed) {
            record->changes |= TARVIK_NETIF_CHANGE_CHANGED;
        }
    }
    // Fresh records without a partner move over; the rest of the fresh list is dropped.
    Record *record = fresh_list;
    while (record != nullptr) {
        Record *next = record->next;
        if (search_by_name_nolock(old.m_head, record->name, record->name_crc) == nullptr) {
            mark_new(record);
            old.append(record);
        } else {
            free_record(record);
        }
        record = next;
    }
    return old.m_head;
}

// ---- searches -----------------------------------------------------------------------------

bool has_address(const Record *record, int family)
{
    static const uint8_t ZERO[16] = {};
    for (const Address *node = record->address_head; node != nullptr; node = node->next) {
        const sockaddr *address = node->address;
        if (address->sa_family != family) {
            continue;
        }
        const void *bytes = family == AF_INET
                                ? static_cast<const void *>(
                                      &reinterpret_cast<const sockaddr_in *>(address)->sin_addr)
                                : static_cast<const void *>(
                                      &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr);
        if (memcmp(bytes, ZERO, family == AF_INET ? 4 : 16) != 0) {
            return true;
        }
    }
    return false;
}

bool meets(const Record *record, uint32_t require)
{
    if ((require & TARVIK_NETIF_HW_ADDRESS) != 0 &&
        ((record->valid & TARVIK_NETIF_HW_ADDRESS) == 0 || record->hw_address_size == 0)) {
        return false;
    }
    if ((require & TARVIK_NETIF_IPV4) != 0 && !has_address(record, AF_INET)) {
        return false;
    }
    return (require & TARVIK_NETIF_IPV6) == 0 || has_address(record, AF_INET6);
}

// Walks the "|"-separated patterns in order and returns the first record found by visit.
template <typename Visit> Record *each_pattern(const char *patterns, Visit visit)
{
    tarvik::detail::ListWalker walker(patterns);
    for (Text element; walker.next(&element);) {
        char stack[64];
        char *pattern =
            element.m_length < sizeof(stack)
                ? stack
                : static_cast<char *>(tarvik_alloc_tag(element.m_length + 1, TARVIK_TAG));
        if (pattern == nullptr) {
            return nullptr;
        }
        element.copy_to(pattern, element.m_length + 1);
        Record *found = visit(pattern);
        if (pattern != stack) {
            tarvik_free_tag(pattern, TARVIK_TAG);
        }
        if (found != nullptr) {
            return found;
        }
    }
    return nullptr;
}

// ---- texts ------------------------------------------------------------------------------

struct ScopeName {
    uint32_t m_scope;
    const char *m_name;
};

constexpr ScopeName SCOPE_NAMES[] = {
    {1, "Host"}, {2, "Link"},    {3, "Subnet"},      {4, "Admin"},       {5, "Site"},
    {8, "Org"},  {14, "Global"}, {0xFF01, "Mapped"}, {0xFF02, "Compat"}, {0xFF03, "Multicast"},
};

} // namespace

// ---- line parsers ---------------------------------------------------------------------------

namespace tarvik::detail {

// The kernel keeps MASTER at 0x400 and SLAVE at 0x800; the record's word has them the other
// way round, and nothing above 0x8000 (private flags would otherwise collide with the names).
uint32_t convert_interface_flags(uint32_t kernel)
{
    uint32_t flags = kernel & 0xF3FFu;
    if ((kernel & 0x400u) != 0) {
        flags |= 0x800u;
    }
    if ((kernel & 0x800u) != 0) {
        flags |= 0x400u;
    }
    return flags;
}

// Leading one bits of a netmask; the family's full length when the mask is absent or of
// another family.
uint32_t interface_prefix_from_mask(const sockaddr *mask, int family)
{
    uint32_t full = family == AF_INET ? 32 : 128;
    if (mask == nullptr || mask->sa_family != family) {
        return full;
    }
    const uint8_t *bytes = family == AF_INET
                               ? reinterpret_cast<const uint8_t *>(
                                     &reinterpret_cast<const sockaddr_in *>(mask)->sin_addr)
                               : reinterpret_cast<const uint8_t *>(
                                     &reinterpret_cast<const sockaddr_in6 *>(mask)->sin6_addr);
    uint32_t bits = 0;
    for (uint32_t i = 0; i < full / 8; ++i) {
        uint8_t byte = bytes[i];
        while ((byte & 0x80u) != 0) {
            ++bits;
            byte = static_cast<uint8_t>(byte << 1);
        }
        if (bits != (i + 1) * 8) {
            break;
        }
    }
    return bits;
}

// Appends the address unless an equal node is present; the family's valid bit is set either way.
void add_interface_address(tarvik_network_interface_t *record, const sockaddr *address,
                           uint32_t prefix_length, const sockaddr *second)
{
    if (address == nullptr || family_size(address->sa_family) == 0) {
        return;
    }
    // The C library fills the broadcast/peer slot with the local address itself when the
    // kernel reported no broadcast or peer: that is no second address at all.
    if (second != nullptr &&
        (second->sa_family != address->sa_family || same_sockaddr(second, address))) {
        second = nullptr;
    }
    tarvik_network_interface_address_t *node = new_address(address, prefix_length, second);
    if (node == nullptr) {
        return;
    }
    if (find_address(record, node) != nullptr) {
        tarvik_free_tag(node, TARVIK_TAG);
    } else {
        append_address(record, node);
    }
    record->valid |= family_bit(address->sa_family);
}

int parse_net_dev_line(char *line, NetDevLine *out)
{
    memset(out, 0, sizeof(*out));
    char *colon = strchr(line, ':');
    if (colon == nullptr) {
        return -1;
    }
    *colon = '\0';
    char *name = tarvik_trim_charlist(line, " \t");
    if (*name == '\0' || strchr(name, '|') != nullptr) {
        return -1; // the header lines put "|" before any ":"
    }
    out->m_name = name;
    char *cursor = colon + 1;
    uint64_t *slots[16];
    for (int i = 0; i < 8; ++i) {
        slots[i] = &out->m_rx[i];
        slots[8 + i] = &out->m_tx[i];
    }
    for (char *word; out->m_counters < 16 && (word = next_word(&cursor, " \t|:,\r")) != nullptr;) {
        if (!parse_number(word, 10, slots[out->m_counters])) {
            break;
        }
        ++out->m_counters;
    }
    return 0;
}

int parse_if_inet6_line(char *line, IfInet6Line *out)
{
    memset(out, 0, sizeof(*out));
    out->m_prefix_length = 128;
    char *words[8];
    int count = 0;
    char *cursor = line;
    for (char *word; count < 8 && (word = next_word(&cursor, " \t\r")) != nullptr;) {
        words[count++] = word;
    }
    if (count < 2 || strlen(words[0]) != 32) {
        return -1;
    }
    for (int i = 0; i < 16; ++i) {
        int high = hex_digit_value(words[0][2 * i]);
        int low = hex_digit_value(words[0][2 * i + 1]);
        if (high < 0 || low < 0) {
            return -1;
        }
        out->m_address[i] = static_cast<uint8_t>(high << 4 | low);
    }
    uint32_t *fields[] = {&out->m_index, &out->m_prefix_length, &out->m_scope, &out->m_flags};
    for (int i = 1; i < count - 1 && i <= 4; ++i) {
        uint64_t value = 0;
        if (!parse_number(words[i], 16, &value) || value > UINT32_MAX) {
            return -1;
        }
        *fields[i - 1] = static_cast<uint32_t>(value);
    }
    if (out->m_prefix_length > 128) {
        return -1;
    }
    out->m_name = words[count - 1];
    return 0;
}

} // namespace tarvik::detail

// ---- entry points ---------------------------------------------------------------------------

extern "C" {

TARVIK_API tarvik_network_interface_t *tarvik_get_network_interface_ex(const char *name_patterns,
                                                                       uint32_t flags)
{
    return read_list(name_patterns, flags | TARVIK_NETIF_LISTED);
}

TARVIK_API tarvik_network_interface_t *tarvik_get_network_interface(uint32_t flags)
{
    return tarvik_get_network_interface_ex(nullptr, flags);
}

TARVIK_API int tarvik_free_network_interface(tarvik_network_interface_t *list)
{
    tarvik::detail::release_all<Record, &Record::next>(list, free_record);
    return 0;
}

TARVIK_API tarvik_network_interface_t *
tarvik_update_network_interface_ex(tarvik_network_interface_t *list, const char *name_patterns,
                                   uint32_t flags)
{
    return update_nolock(list, name_patterns, flags | TARVIK_NETIF_LISTED);
}

TARVIK_API tarvik_network_interface_t *tarvik_new_network_interface(const char *name,
                                                                    const char *friendly_name)
{
    if (name == nullptr) {
        return nullptr;
    }
    bool second = friendly_name != nullptr && strcmp(friendly_name, name) != 0;
    size_t name_size = strlen(name) + 1;
    size_t friendly_size = second ? strlen(friendly_name) + 1 : 0;
    auto *record = static_cast<Record *>(
        tarvik_calloc_tag(1, sizeof(Record) + name_size + friendly_size, TARVIK_TAG));
    if (record == nullptr) {
        return nullptr;
    }
    char *text = reinterpret_cast<char *>(record + 1);
    memcpy(text, name, name_size);
    record->name = text;
    record->friendly_name = text;
    if (second) {
        record->friendly_name = text + name_size;
        memcpy(record->friendly_name, friendly_name, friendly_size);
    }
    record->valid = TARVIK_NETIF_LISTED;
    record->name_crc = name_crc(name);
    record->link = record->autoneg = record->speed = record->duplex = -1;
    return record;
}

TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_name(tarvik_network_interface_t *list, const char *name)
{
    if (name == nullptr) {
        return nullptr;
    }
    return search_by_name_nolock(list, name, name_crc(name));
}

TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_name_pattern(tarvik_network_interface_t *list,
                                                const char *pattern, uint32_t require)
{
    const char *wanted = pattern != nullptr ? pattern : "*";
    for (Record *record = list; record != nullptr; record = record->next) {
        if (tarvik_check_pattern(wanted, record->name) == 0 && meets(record, require)) {
            return record;
        }
    }
    return nullptr;
}

TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_name_pattern_list(tarvik_network_interface_t *list,
                                                     const char *patterns, uint32_t require)
{
    if (list == nullptr) {
        return nullptr;
    }
    return each_pattern(patterns != nullptr ? patterns : "*", [&](const char *pattern) {
        return tarvik_search_network_interface_by_name_pattern(list, pattern, require);
    });
}

TARVIK_API tarvik_network_interface_t *
tarvik_search_network_interface_by_filter(tarvik_network_interface_t *list, const char *patterns,
                                          tarvik_network_interface_filter_t filter, void *context)
{
    if (list == nullptr) {
        return nullptr;
    }
    const char *order = patterns != nullptr ? patterns : DEFAULT_FILTER_PATTERNS;
    return each_pattern(order, [&](const char *pattern) -> Record * {
        for (Record *record = list; record != nullptr; record = record->next) {
            if (tarvik_check_pattern(pattern, record->name) == 0 &&
                (filter == nullptr || filter(record, context) == 0)) {
                return record;
            }
        }
        return nullptr;
    });
}

TARVIK_API uint32_t tarvik_interface_name_to_index(const char *name)
{
    if (name == nullptr || *name == '\0') {
        return 0;
    }
    return if_nametoindex(name);
}

TARVIK_API char *tarvik_interface_index_to_name_alloc(uint32_t index)
{
    char name[IF_NAMESIZE + 1] = {};
    if (index == 0 || if_indextoname(index, name) == nullptr) {
        return nullptr;
    }
    return tarvik_strdup_tag(name, TARVIK_TAG);
}

TARVIK_API char *tarvik_interface_index_to_name(uint32_t index, char *buffer, size_t size)
{
    char name[IF_NAMESIZE + 1] = {};
    if (buffer == nullptr || size == 0 || index == 0 || if_indextoname(index, name) == nullptr) {
        return nullptr;
    }
    return copy_text(name, buffer, size);
}

TARVIK_API char *tarvik_network_interface_ifflags_string(uint32_t flags, const char *separator,
                                                         char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        return nullptr;
    }
    if (flags == 0) {
        return copy_text("NOFLAGS", buffer, size);
    }
    if ((flags & NAMED_FLAGS_MASK) == 0) {
        return copy_text("UNKNOWN_FLAGS", buffer, size);
    }
    const char *joint = separator != nullptr ? separator : ",";
    TextWriter writer(buffer, size);
    for (size_t bit = 0; bit < sizeof(FLAG_NAMES) / sizeof(FLAG_NAMES[0]); ++bit) {
        if ((flags & (1u << bit)) != 0) {
            if (writer.length() != 0) {
                writer.puts(joint);
            }
            writer.puts(FLAG_NAMES[bit]);
        }
    }
    return buffer;
}

TARVIK_API char *tarvik_network_interface_hardware_type_string(uint32_t code, char *buffer,
                                                               size_t size)
{
    size_t count = sizeof(HARDWARE_TYPE_NAMES) / sizeof(HARDWARE_TYPE_NAMES[0]);
    return copy_text(code < count ? HARDWARE_TYPE_NAMES[code] : "UNKNOWN", buffer, size);
}

TARVIK_API char *tarvik_network_interface_physical_address_string(uint32_t type,
                                                                  const uint8_t *address,
                                                                  size_t size, char *buffer,
                                                                  size_t buffer_size)
{
    (void)type; // every known type prints the same way
    if (buffer == nullptr || buffer_size == 0) {
        return nullptr;
    }
    TextWriter writer(buffer, buffer_size);
    for (size_t i = 0; address != nullptr && i < size; ++i) {
        (i > 0 ? writer.put(':') : writer).hexadecimal(address[i], 2);
    }
    return buffer;
}

TARVIK_API char *tarvik_network_interface_scope_string(uint32_t scope, char *buffer, size_t size)
{
    const char *name = "Unknown";
    for (const ScopeName &entry : SCOPE_NAMES) {
        if (entry.m_scope == scope) {
            name = entry.m_name;
        }
    }
    return copy_text(name, buffer, size);
}

TARVIK_API char *tarvik_network_interface_link_string(int32_t link, int32_t autoneg, int32_t speed,
                                                      int32_t duplex, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        return nullptr;
    }
    if (link <= 0) {
        return copy_text("no link", buffer, size);
    }
    TextWriter writer(buffer, size);
    auto part = [&writer](const char *text) {
        if (writer.length() != 0) {
            writer.puts(", ");
        }
        writer.puts(text);
    };
    if (autoneg >= 0) {
        part(autoneg != 0 ? "negotiated" : "no negotiation");
    }
    if (speed >= 0) {
        char text[32];
        tarvik_snprintf(text, sizeof(text), "%d Mbit/s", static_cast<int>(speed));
        part(text);
    }
    if (duplex >= 0) {
        part(duplex != 0 ? "full duplex" : "half duplex");
    }
    if (writer.length() == 0) {
        writer.puts("link");
    }
    return buffer;
}

} // extern "C"
