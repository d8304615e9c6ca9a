// Addresses: the one address-string grammar of the library (parsed into a socket address),
// address printing, socket-address helpers and IPv6 classes. No state, no allocation.
#include "inet.h"

#include "detail/common.hpp"
#include "interface.h"

#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

constexpr size_t INET_SIZE = sizeof(struct sockaddr_in);
constexpr size_t INET6_SIZE = sizeof(struct sockaddr_in6);
// The local family's size counts the whole path field, as the kernel accepts it.
constexpr size_t LOCAL_SIZE = sizeof(struct sockaddr_un);
constexpr size_t PATH_SIZE = sizeof(sockaddr_un::sun_path);
constexpr uint32_t PORT_LIMIT = 65536;
constexpr int SCOPE_DIGITS_MAX = 64;
// Interface names are at most 15 bytes plus the terminator on Linux.
constexpr size_t INTERFACE_NAME_SIZE = 16;

static_assert(INET_SIZE == 16 && INET6_SIZE == 28 && LOCAL_SIZE == 110 && PATH_SIZE == 108,
              "platform socket address sizes");
static_assert(TARVIK_SOCKADDR_BUFFER_SIZE >= LOCAL_SIZE, "socket address buffer size");
static_assert(TARVIK_INET_STRING_SIZE > PATH_SIZE, "printed address buffer size");

// What the grammar found; the caller turns it into a socket address.
struct ParsedAddress {
    int m_family;
    uint8_t m_address[16];
    uint32_t m_port;
    uint32_t m_scope;
    const char *m_path;
};

// The grammar reads the text through the shared cursor, which never looks behind its end.
using tarvik::detail::Cursor;
using tarvik::detail::hex_digit_value;
using tarvik::detail::is_digit;

// 1 to max_digits decimal digits below limit; more digits than allowed is a failure, never a
// silent stop, so "/333" cannot pass as "/33" followed by garbage.
bool read_decimal(Cursor &cursor, int max_digits, uint32_t limit, uint32_t *value)
{
    uint32_t result = 0;
    int digits = 0;
    while (is_digit(cursor.peek())) {
        if (++digits > max_digits) {
            return false;
        }
        result = result * 10 + static_cast<uint32_t>(cursor.peek() - '0');
        if (result >= limit) {
            return false;
        }
        cursor.skip(1);
    }
    *value = result;
    return digits > 0;
}

// Four numbers below 256 joined by dots. A dot between the numbers is required: reading
// "1111111111" as 111.111.111.1 would turn plain numbers into addresses. A final dot is
// accepted where the caller allows it (the stand-alone IPv4 form).
bool read_quad(Cursor &cursor, bool trailing_dot, uint8_t *out)
{
    for (int i = 0; i < 4; ++i) {
        uint32_t value = 0;
        if (!read_decimal(cursor, 3, 256, &value)) {
            return false;
        }
        out[i] = static_cast<uint8_t>(value);
        if (i < 3 && !cursor.take_if('.')) {
            return false;
        }
    }
    if (trailing_dot) {
        cursor.take_if('.');
    }
    return true;
}

// Optional ":" and a port; then the text must end.
bool read_port_and_end(Cursor &cursor, ParsedAddress *parsed)
{
    if (cursor.take_if(':') && !read_decimal(cursor, 5, PORT_LIMIT, &parsed->m_port)) {
        return false;
    }
    return cursor.at_end();
}

// Optional "/" and a prefix length that is checked and then dropped.
bool read_prefix(Cursor &cursor, int max_digits, uint32_t max_bits)
{
    uint32_t bits = 0;
    return !cursor.take_if('/') || read_decimal(cursor, max_digits, max_bits + 1, &bits);
}

// The closing "]" may be left out ("[::1" still names ::1), but a "]" that no "[" opened is
// refused.
bool read_close_bracket(Cursor &cursor, bool bracketed)
{
    if (bracketed) {
        cursor.take_if(']');
        return true;
    }
    return cursor.peek() != ']';
}

bool parse_inet(const char *text, ParsedAddress *parsed)
{
    Cursor cursor = Cursor::of(text);
    bool bracketed = cursor.take_if('[');
    return read_quad(cursor, true, parsed->m_address) && read_prefix(cursor, 2, 32) &&
           read_close_bracket(cursor, bracketed) && read_port_and_end(cursor, parsed);
}

// The 16-bit groups of an IPv6 text, with "::" and an embedded dotted quad.
class GroupReader {
  public:
    explicit GroupReader(Cursor &cursor) : m_cursor(cursor) {}

    bool read(uint8_t *out)
    {
        if (m_cursor.peek() == ':' && !start_with_gap()) {
            return false;
        }
        while (hex_digit_value(m_cursor.peek()) >= 0) {
            if (full() || !read_group()) {
                return false;
            }
            if (m_quad || !read_separator()) {
                break;
            }
        }
        if (m_failed || (m_gap < 0 && m_count != 8) || (m_gap >= 0 && m_count > 7)) {
            return false;
        }
        expand(out);
        return true;
    }

  private:
    bool full() const { return m_count + (m_gap >= 0 ? 1 : 0) >= 8; }

    bool start_with_gap()
    {
        if (m_cursor.peek_at(1) != ':') {
            return false;
        }
        m_cursor.skip(2);
        m_gap = 0;
        // ":::" never starts anything valid, not even an address followed by a port.
        return m_cursor.peek() != ':';
    }

    bool read_group()
    {
        const char *start = m_cursor.position();
        uint32_t value = 0;
        int digits = 0;
        for (int digit = hex_digit_value(m_cursor.peek()); digit >= 0;
             digit = hex_digit_value(m_cursor.peek())) {
            if (++digits > 4) {
                return false;
            }
            value = value << 4 | static_cast<uint32_t>(digit);
            m_cursor.skip(1);
        }
        if (m_cursor.peek() == '.') {
            return read_embedded_quad(start);
        }
        m_groups[m_count++] = static_cast<uint16_t>(value);
        return true;
    }

    // The digits already read as hex are read again, as the first decimal number of a quad.
    bool read_embedded_quad(const char *start)
    {
        if (m_count + 2 + (m_gap >= 0 ? 1 : 0) > 8) {
            return false;
        }
        m_cursor.seek(start);
        uint8_t quad[4];
        if (!read_quad(m_cursor, false, quad)) {
            return false;
        }
        m_groups[m_count++] = static_cast<uint16_t>(quad[0] << 8 | quad[1]);
        m_groups[m_count++] = static_cast<uint16_t>(quad[2] << 8 | quad[3]);
        m_quad = true;
        return true;
    }

    // After a group: "::" opens the gap, ":" asks for another group unless the address is
    // already full (then it is the port separator and is left for the caller). Returns false
    // when the groups are over; sets m_failed on a malformed separator.
    bool read_separator()
    {
        if (m_cursor.peek() != ':') {
            return false;
        }
        if (m_cursor.peek_at(1) == ':') {
            if (m_gap >= 0) {
                m_failed = true;
                return false;
            }
            m_cursor.skip(2);
            m_gap = m_count;
            m_failed = m_cursor.peek() == ':';
            return !m_failed;
        }
        if (full()) {
            return false;
        }
        m_cursor.skip(1);
        // A single ":" must be followed by a group.
        m_failed = hex_digit_value(m_cursor.peek()) < 0;
        return !m_failed;
    }

    void expand(uint8_t *out) const
    {
        uint16_t words[8] = {};
        int tail = m_gap >= 0 ? m_count - m_gap : 0;
        int head = m_count - tail;
        for (int i = 0; i < head; ++i) {
            words[i] = m_groups[i];
        }
        for (int i = 0; i < tail; ++i) {
            words[8 - tail + i] = m_groups[head + i];
        }
        for (int i = 0; i < 8; ++i) {
            out[2 * i] = static_cast<uint8_t>(words[i] >> 8);
            out[2 * i + 1] = static_cast<uint8_t>(words[i]);
        }
    }

    Cursor &m_cursor;
    uint16_t m_groups[8] = {};
    int m_count = 0;
    int m_gap = -1;
    bool m_quad = false;
    bool m_failed = false;
};

bool ends_scope(int c, bool bracketed) { return c < 0 || c == '/' || (bracketed && c == ']'); }

// "%" and a scope: a number when only digits stand before the next field (outside brackets a
// port may follow it), else an interface name turned into its index. Numbers wider than 32
// bits are refused, not wrapped.
bool read_scope(Cursor &cursor, bool bracketed, uint32_t *scope)
{
    if (!cursor.take_if('%')) {
        return true;
    }
    size_t digits = 0;
    while (is_digit(cursor.peek_at(digits))) {
        ++digits;
    }
    int after = cursor.peek_at(digits);
    if (digits > 0 && (ends_scope(after, bracketed) || (!bracketed && after == ':'))) {
        if (digits > SCOPE_DIGITS_MAX) {
            return false;
        }
        unsigned long long value = 0;
        for (size_t i = 0; i < digits; ++i) {
            value = value * 10 + static_cast<unsigned>(cursor.peek_at(i) - '0');
            if (value > UINT32_MAX) {
                return false;
            }
        }
        cursor.skip(digits);
        *scope = static_cast<uint32_t>(value);
        return true;
    }
    char name[INTERFACE_NAME_SIZE];
    size_t length = 0;
    while (!ends_scope(cursor.peek(), bracketed)) {
        if (length + 1 >= sizeof(name)) {
            return false;
        }
        name[length++] = static_cast<char>(cursor.take());
    }
    name[length] = '\0';
    *scope = length == 0 ? 0 : tarvik_interface_name_to_index(name);
    return *scope != 0;
}

bool parse_inet6(const char *text, ParsedAddress *parsed)
{
    Cursor cursor = Cursor::of(text);
    bool bracketed = cursor.take_if('[');
    GroupReader groups(cursor);
    return groups.read(parsed->m_address) && read_scope(cursor, bracketed, &parsed->m_scope) &&
           read_prefix(cursor, 3, 128) && read_close_bracket(cursor, bracketed) &&
           read_port_and_end(cursor, parsed);
}

// A path the local family takes: empty, absolute, or explicitly relative. A path that does
// not fit the path field whole is refused: a shortened path names another socket.
bool parse_local(const char *text, ParsedAddress *parsed)
{
    bool shaped = text[0] == '\0' || text[0] == '/' || strncmp(text, "./", 2) == 0 ||
                  strncmp(text, "../", 3) == 0 || strncmp(text, "~/", 2) == 0;
    if (!shaped || strnlen(text, PATH_SIZE) >= PATH_SIZE) {
        return false;
    }
    parsed->m_path = text;
    return true;
}

bool parse_family(int family, const char *text, ParsedAddress *parsed)
{
    parsed->m_family = family;
    switch (family) {
    case AF_INET:
        return parse_inet(text, parsed);
    case AF_INET6:
        return parse_inet6(text, parsed);
    case AF_UNIX:
        return parse_local(text, parsed);
    default:
        return false;
    }
}

size_t family_size(int family)
{
    switch (family) {
    case AF_INET:
        return INET_SIZE;
    case AF_INET6:
        return INET6_SIZE;
    case AF_UNIX:
        return LOCAL_SIZE;
    default:
        return 0;
    }
}

void fill_sockaddr(const ParsedAddress &parsed, struct sockaddr *address)
{
    memset(address, 0, family_size(parsed.m_family));
    if (parsed.m_family == AF_INET) {
        struct sockaddr_in inet;
        memset(&inet, 0, sizeof(inet));
        inet.sin_family = AF_INET;
        inet.sin_port = htons(static_cast<uint16_t>(parsed.m_port));
        memcpy(&inet.sin_addr, parsed.m_address, 4);
        memcpy(address, &inet, sizeof(inet));
    } else if (parsed.m_family == AF_INET6) {
        struct sockaddr_in6 inet6;
        memset(&inet6, 0, sizeof(inet6));
        inet6.sin6_family = AF_INET6;
        inet6.sin6_port = htons(static_cast<uint16_t>(parsed.m_port));
        memcpy(&inet6.sin6_addr, parsed.m_address, 16);
        inet6.sin6_scope_id = parsed.m_scope;
        memcpy(address, &inet6, sizeof(inet6));
    } else {
        struct sockaddr_un local;
        memset(&local, 0, sizeof(local));
        local.sun_family = AF_UNIX;
        memcpy(local.sun_path, parsed.m_path, strlen(parsed.m_path));
        memcpy(address, &local, sizeof(local));
    }
}

// The grammar worker behind both parsers: family 0 tries IPv4, IPv6 and a local path in this
// order. The output, when given, must hold the family's socket address.
int inet_ptos_internal(int family, const char *text, uint32_t default_port, ParsedAddress *parsed,
                       struct sockaddr *address, size_t size)
{
    if (text == nullptr || default_port >= PORT_LIMIT) {
        return -1;
    }
    static const int ANY_ORDER[] = {AF_INET, AF_INET6, AF_UNIX};
    for (int candidate : ANY_ORDER) {
        if (family != AF_UNSPEC && family != candidate) {
            continue;
        }
        memset(parsed, 0, sizeof(*parsed));
        parsed->m_port = default_port;
        if (!parse_family(candidate, text, parsed)) {
            continue;
        }
        if (address == nullptr) {
            return 0;
        }
        if (size < family_size(candidate)) {
            return -1;
        }
        fill_sockaddr(*parsed, address);
        return 0;
    }
    return -1;
}

// Addresses print into the caller's buffer, cut (and still terminated) when it is short.
using Printer = tarvik::detail::Writer;

void print_quad(Printer &out, const uint8_t *bytes)
{
    out.decimal(bytes[0]).put('.').decimal(bytes[1]).put('.').decimal(bytes[2]).put('.');
    out.decimal(bytes[3]);
}

bool first_twelve_zero(const uint8_t *bytes)
{
    for (int i = 0; i < 12; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// Hex groups without leading zeros; the first longest run of zero groups, even one group
// long, becomes "::"; mapped and compatible addresses end in a dotted quad.
void print_inet6(Printer &out, const uint8_t *bytes, uint32_t scope)
{
    bool quad = tarvik_in6addr_is_v4_mapped(bytes) || tarvik_in6addr_is_v4_compatible(bytes);
    int groups = quad ? 6 : 8;
    uint16_t words[8];
    for (int i = 0; i < 8; ++i) {
        words[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    int best = -1;
    int best_length = 0;
    for (int i = 0; i < groups;) {
        int length = 0;
        while (i + length < groups && words[i + length] == 0) {
            ++length;
        }
        if (length > best_length) {
            best = i;
            best_length = length;
        }
        i += length > 0 ? length : 1;
    }
    bool need_colon = false;
    for (int i = 0; i < groups; ++i) {
        if (i == best) {
            out.puts("::");
            i += best_length - 1;
            need_colon = false;
            continue;
        }
        if (need_colon) {
            out.put(':');
        }
        out.hexadecimal(words[i]);
        need_colon = true;
    }
    if (quad) {
        if (need_colon) {
            out.put(':');
        }
        print_quad(out, bytes + 12);
    }
    if (scope != 0) {
        out.put('%').decimal(scope);
    }
}

// A path field may fill all its bytes without a terminator; an abstract name (first byte 0)
// prints the bytes after the marker.
void print_local(Printer &out, const char *path)
{
    if (path[0] == '\0') {
        ++path;
        out.write(path, strnlen(path, PATH_SIZE - 1));
        return;
    }
    out.write(path, strnlen(path, PATH_SIZE));
}

void print_sockaddr(Printer &out, const struct sockaddr *address, uint32_t *port)
{
    sa_family_t family = 0;
    memcpy(&family, &address->sa_family, sizeof(family));
    if (family == AF_INET) {
        struct sockaddr_in inet;
        memcpy(&inet, address, sizeof(inet));
        print_quad(out, reinterpret_cast<const uint8_t *>(&inet.sin_addr));
        *port = ntohs(inet.sin_port);
    } else if (family == AF_INET6) {
        struct sockaddr_in6 inet6;
        memcpy(&inet6, address, sizeof(inet6));
        print_inet6(out, inet6.sin6_addr.s6_addr, inet6.sin6_scope_id);
        *port = ntohs(inet6.sin6_port);
    } else if (family == AF_UNIX) {
        print_local(out, reinterpret_cast<const struct sockaddr_un *>(address)->sun_path);
    } else if (family == AF_UNSPEC) {
        out.puts("?UNSPEC");
    }
}

uint32_t load_be32(const void *address)
{
    uint32_t value = 0;
    memcpy(&value, address, sizeof(value));
    return ntohl(value);
}

int inet_scope(const struct sockaddr_in &inet)
{
    uint32_t a = ntohl(inet.sin_addr.s_addr);
    if (a == 0) {
        return TARVIK_SCOPE_NONE;
    }
    if ((a >> 24) == 127) {
        return TARVIK_SCOPE_INTERFACE_LOCAL;
    }
    if ((a >> 16) == 0xA9FE) {
        return TARVIK_SCOPE_LINK_LOCAL;
    }
    if ((a >> 24) == 10 || (a >> 20) == 0xAC1 || (a >> 16) == 0xC0A8 || a == 0xFFFFFFFFu) {
        return TARVIK_SCOPE_SITE_LOCAL;
    }
    if ((a >> 28) == 0xE) {
        return TARVIK_SCOPE_MULTICAST;
    }
    return TARVIK_SCOPE_GLOBAL;
}

int inet6_scope(const uint8_t *a)
{
    if (tarvik_in6addr_is_unspecified(a)) {
        return TARVIK_SCOPE_NONE;
    }
    if (tarvik_in6addr_is_loopback(a)) {
        return TARVIK_SCOPE_INTERFACE_LOCAL;
    }
    if (tarvik_in6addr_is_multicast(a)) {
        return TARVIK_SCOPE_MULTICAST;
    }
    if (tarvik_in6addr_is_link_local(a)) {
        return TARVIK_SCOPE_LINK_LOCAL;
    }
    if (tarvik_in6addr_is_site_local(a)) {
        return TARVIK_SCOPE_SITE_LOCAL;
    }
    if (tarvik_in6addr_is_v4_mapped(a)) {
        return TARVIK_SCOPE_V4_MAPPED;
    }
    if (tarvik_in6addr_is_v4_compatible(a)) {
        return TARVIK_SCOPE_V4_COMPATIBLE;
    }
    return TARVIK_SCOPE_GLOBAL;
}

sa_family_t family_of(const struct sockaddr *address)
{
    sa_family_t family = 0;
    memcpy(&family, &address->sa_family, sizeof(family));
    return family;
}

// Top `bits` bits of `size` bytes set, the rest clear.
void set_mask_bits(uint8_t *out, size_t size, uint32_t bits)
{
    for (size_t i = 0; i < size; ++i) {
        uint32_t take = bits >= 8 ? 8 : bits;
        out[i] = static_cast<uint8_t>(0xFF00u >> take);
        bits -= take;
    }
}

void clear_family(struct sockaddr *address)
{
    if (address != nullptr) {
        memset(address, 0, 2);
    }
}

} // namespace

uint16_t tarvik_be16_order(uint16_t value) { return htons(value); }

uint32_t tarvik_be32_order(uint32_t value) { return htonl(value); }

int tarvik_inet_ptos(int family, const char *string, uint32_t default_port,
                     struct sockaddr *address, size_t size)
{
    ParsedAddress parsed;
    if (inet_ptos_internal(family, string, default_port, &parsed, address, size) == 0) {
        return 0;
    }
    if (address != nullptr) {
        memset(address, 0, size);
    }
    return -1;
}

int tarvik_inet_pton(int family, const char *string, void *address)
{
    ParsedAddress parsed;
    if (inet_ptos_internal(family, string, 0, &parsed, nullptr, 0) != 0) {
        return -1;
    }
    if (address != nullptr) {
        if (parsed.m_family == AF_INET) {
            memcpy(address, parsed.m_address, 4);
        } else if (parsed.m_family == AF_INET6) {
            memcpy(address, parsed.m_address, 16);
        }
    }
    return 0;
}

char *tarvik_inet_stopp(const struct sockaddr *address, char *buffer, size_t size, uint32_t *port)
{
    uint32_t found_port = 0;
    if (buffer != nullptr && size > 0) {
        Printer out(buffer, size);
        if (address != nullptr) {
            print_sockaddr(out, address, &found_port);
        }
    }
    if (port != nullptr) {
        *port = found_port;
    }
    return buffer != nullptr && size > 0 ? buffer : nullptr;
}

char *tarvik_inet_stop(const struct sockaddr *address, char *buffer, size_t size)
{
    return tarvik_inet_stopp(address, buffer, size, nullptr);
}

char *tarvik_inet_ntop(int family, const void *address, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0) {
        return nullptr;
    }
    static const uint8_t ANY[16] = {};
    const auto *bytes = static_cast<const uint8_t *>(address != nullptr ? address : ANY);
    Printer out(buffer, size);
    if (family == AF_INET) {
        print_quad(out, bytes);
    } else if (family == AF_INET6) {
        print_inet6(out, bytes, 0);
    } else if (family == AF_UNIX && address != nullptr) {
        const char *path = static_cast<const char *>(address);
        out.write(path, strnlen(path, PATH_SIZE));
    }
    return buffer;
}

size_t tarvik_sockaddr_size(const struct sockaddr *address, size_t length)
{
    if (address == nullptr) {
        return 0;
    }
    size_t size = family_size(family_of(address));
    if (size == 0 || (length >= 1 && length <= size)) {
        return length;
    }
    return size;
}

int tarvik_sockaddr_scope(const struct sockaddr *address)
{
    if (address == nullptr) {
        return TARVIK_SCOPE_NONE;
    }
    sa_family_t family = family_of(address);
    if (family == AF_INET) {
        struct sockaddr_in inet;
        memcpy(&inet, address, sizeof(inet));
        return inet_scope(inet);
    }
    if (family == AF_INET6) {
        struct sockaddr_in6 inet6;
        memcpy(&inet6, address, sizeof(inet6));
        return inet6_scope(inet6.sin6_addr.s6_addr);
    }
    return TARVIK_SCOPE_NONE;
}

int tarvik_sockaddr_set_port(struct sockaddr *address, uint32_t port)
{
    if (address == nullptr || port >= PORT_LIMIT) {
        return -1;
    }
    uint16_t wire = htons(static_cast<uint16_t>(port));
    sa_family_t family = family_of(address);
    if (family == AF_INET) {
        memcpy(reinterpret_cast<char *>(address) + offsetof(struct sockaddr_in, sin_port), &wire,
               sizeof(wire));
    } else if (family == AF_INET6) {
        memcpy(reinterpret_cast<char *>(address) + offsetof(struct sockaddr_in6, sin6_port), &wire,
               sizeof(wire));
    }
    return 0;
}

int tarvik_compare_sockaddr_address(const struct sockaddr *a, const struct sockaddr *b)
{
    if (a == nullptr || b == nullptr) {
        return a == b ? 0 : -1;
    }
    sa_family_t family = family_of(a);
    if (family != family_of(b)) {
        return -1;
    }
    const auto *left = reinterpret_cast<const char *>(a);
    const auto *right = reinterpret_cast<const char *>(b);
    if (family == AF_INET) {
        size_t at = offsetof(struct sockaddr_in, sin_addr);
        return memcmp(left + at, right + at, 4) == 0 ? 0 : -1;
    }
    if (family == AF_INET6) {
        size_t at = offsetof(struct sockaddr_in6, sin6_addr);
        return memcmp(left + at, right + at, 16) == 0 ? 0 : -1;
    }
    return -1;
}

int tarvik_prefix_sockaddr(const struct sockaddr *address, uint32_t bits, struct sockaddr *mask,
                           struct sockaddr *base)
{
    sa_family_t family = address != nullptr ? family_of(address) : 0;
    if (family == AF_INET) {
        struct sockaddr_in inet;
        memcpy(&inet, address, sizeof(inet));
        struct sockaddr_in out;
        memset(&out, 0, sizeof(out));
        out.sin_family = AF_INET;
        set_mask_bits(reinterpret_cast<uint8_t *>(&out.sin_addr), 4, bits > 32 ? 32 : bits);
        uint32_t wide_mask = out.sin_addr.s_addr;
        if (mask != nullptr) {
            memcpy(mask, &out, sizeof(out));
        }
        out.sin_addr.s_addr = inet.sin_addr.s_addr | ~wide_mask;
        if (base != nullptr) {
            memcpy(base, &out, sizeof(out));
        }
        return 0;
    }
    if (family == AF_INET6) {
        struct sockaddr_in6 out;
        memset(&out, 0, sizeof(out));
        if (base != nullptr) {
            memcpy(base, &out, sizeof(out));
        }
        out.sin6_family = AF_INET6;
        set_mask_bits(out.sin6_addr.s6_addr, 16, bits > 128 ? 128 : bits);
        if (mask != nullptr) {
            memcpy(mask, &out, sizeof(out));
        }
        return 0;
    }
    clear_family(mask);
    clear_family(base);
    return -1;
}

int tarvik_inet_is_multicast(const void *address)
{
    return address != nullptr && (load_be32(address) >> 28) == 0xE ? 1 : 0;
}

int tarvik_inet6_is_multicast(const void *address) { return tarvik_in6addr_is_multicast(address); }

int tarvik_in6addr_is_unspecified(const void *address)
{
    static const uint8_t ZERO[16] = {};
    return address != nullptr && memcmp(address, ZERO, 16) == 0 ? 1 : 0;
}

int tarvik_in6addr_is_loopback(const void *address)
{
    static const uint8_t LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return address != nullptr && memcmp(address, LOOPBACK, 16) == 0 ? 1 : 0;
}

int tarvik_in6addr_is_link_local(const void *address)
{
    const auto *a = static_cast<const uint8_t *>(address);
    return a != nullptr && a[0] == 0xFE && (a[1] & 0xC0) == 0x80 ? 1 : 0;
}

int tarvik_in6addr_is_site_local(const void *address)
{
    const auto *a = static_cast<const uint8_t *>(address);
    return a != nullptr && a[0] == 0xFE && (a[1] & 0xC0) == 0xC0 ? 1 : 0;
}

int tarvik_in6addr_is_multicast(const void *address)
{
    const auto *a = static_cast<const uint8_t *>(address);
    return a != nullptr && a[0] == 0xFF ? 1 : 0;
}

int tarvik_in6addr_is_v4_mapped(const void *address)
{
    const auto *a = static_cast<const uint8_t *>(address);
    if (a == nullptr) {
        return 0;
    }
    for (int i = 0; i < 10; ++i) {
        if (a[i] != 0) {
            return 0;
        }
    }
    return a[10] == 0xFF && a[11] == 0xFF ? 1 : 0;
}

int tarvik_in6addr_is_v4_compatible(const void *address)
{
    const auto *a = static_cast<const uint8_t *>(address);
    if (a == nullptr || !first_twelve_zero(a)) {
        return 0;
    }
    return load_be32(a + 12) > 1 ? 1 : 0;
}

int tarvik_in6addr_multicast_scope(const void *address)
{
    const auto *a = static_cast<const uint8_t *>(address);
    return a != nullptr ? a[1] & 0x0F : 0;
}

int tarvik_in6addr_is_multicast_interface_local(const void *address)
{
    return tarvik_in6addr_is_multicast(address) && tarvik_in6addr_multicast_scope(address) == 1;
}

int tarvik_in6addr_is_multicast_link_local(const void *address)
{
    return tarvik_in6addr_is_multicast(address) && tarvik_in6addr_multicast_scope(address) == 2;
}

int tarvik_in6addr_is_scope_link_local(const void *address)
{
    return tarvik_in6addr_is_link_local(address) || tarvik_in6addr_is_multicast_link_local(address);
}

// Words are summed in memory order, so the result is stored as it stands (native order) into
// a header. The sum is folded until it fits: folding only twice loses carries on long data.
uint16_t tarvik_inet_checksum(const void *data, size_t length)
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    uint64_t sum = 0;
    size_t i = 0;
    for (; bytes != nullptr && i + 1 < length; i += 2) {
        uint16_t word = 0;
        memcpy(&word, bytes + i, sizeof(word));
        sum += word;
    }
    if (bytes != nullptr && i < length) {
        // The odd byte is the first byte of a word padded with zero.
        const uint8_t pair[2] = {bytes[i], 0};
        uint16_t word = 0;
        memcpy(&word, pair, sizeof(word));
        sum += word;
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}
