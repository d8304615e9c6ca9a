// The wol applet: wakes a machine with a magic packet, sent to one target or broadcast from
// every IPv4 address of the interfaces.
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "inet.h"
#include "interface.h"
#include "socket.h"
#include "uri.h"
#include "wol.h"

#include "detail/common.hpp"

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

enum : size_t { TARGET };
constexpr vexa::Option OPTIONS[] = {
    {"t|target", vexa::Takes::VALUE, nullptr},
};
constexpr vexa::Usage USAGE = vexa::usage_of(
    "Usage: %s [--target <addresss[:port]>] <mac address> [<interface name>]\n", OPTIONS, "");

constexpr const char *BROADCAST = "255.255.255.255";
constexpr int WOL_PORT = 0x0900;

// Six fields of one or two hex digits joined by separator, or (separator 0) twelve digits;
// the whole text must be the address.
bool parse_mac(const char *text, char separator, uint8_t *mac)
{
    tarvik::detail::Cursor cursor = tarvik::detail::Cursor::of(text);
    for (int field = 0; field < 6; ++field) {
        if (field > 0 && separator != 0 && !cursor.take_if(separator)) {
            return false;
        }
        int high = tarvik::detail::hex_digit_value(cursor.take());
        int low = tarvik::detail::hex_digit_value(cursor.peek());
        if (high < 0) {
            return false;
        }
        if (low >= 0) {
            cursor.take();
            high = high * 16 + low;
        } else if (separator == 0) {
            return false;
        }
        mac[field] = static_cast<uint8_t>(high);
    }
    return cursor.at_end();
}

void print_sent(ssize_t sent, const uint8_t *mac)
{
    tarvik_printf("WOL packet : %ld bytes (Target %02X:%02X:%02X:%02X:%02X:%02X) ",
                  static_cast<long>(sent), mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

bool send_to_target(const char *target, const uint8_t *mac, const uint8_t *packet)
{
    tarvik_uri_t *uri = tarvik_open_uri(target);
    if (uri == nullptr) {
        tarvik_error_printf("not enough memory !\n");
        return false;
    }
    const char *host = uri->m_host != nullptr && uri->m_host[0] != '\0' ? uri->m_host : BROADCAST;
    int port = uri->m_port > 0 ? uri->m_port : WOL_PORT;
    ssize_t sent = tarvik_send_udp_packet(host, port, 255, packet, TARVIK_WOL_PACKET_SIZE, 8000);
    if (sent == TARVIK_WOL_PACKET_SIZE) {
        print_sent(sent, mac);
        tarvik_printf("udp://%s:%d\n", host, port);
    } else {
        tarvik_error_printf("can not send the WOL packet to udp://%s:%d !\n", host, port);
    }
    tarvik_close_uri(uri);
    return sent == TARVIK_WOL_PACKET_SIZE;
}

bool usable(const tarvik_network_interface_t *record, const char *name)
{
    constexpr uint32_t NEEDED = TARVIK_NETIF_HW_ADDRESS | TARVIK_NETIF_IPV4;
    bool chosen = name != nullptr ? strcmp(record->name, name) == 0
                                  : (record->flags & TARVIK_NETIF_FLAG_LOOPBACK) == 0;
    return chosen && (record->valid & NEEDED) == NEEDED && record->hw_address_size >= 6;
}

// One broadcast from every IPv4 address of the chosen interfaces; true when one went out.
bool send_from_interfaces(const char *name, const uint8_t *mac, const uint8_t *packet)
{
    tarvik_network_interface_t *list = tarvik_get_network_interface(
        TARVIK_NETIF_LISTED | TARVIK_NETIF_HW_ADDRESS | TARVIK_NETIF_IPV4);
    int sent_count = 0;
    for (tarvik_network_interface_t *record = list; record != nullptr; record = record->next) {
        if (!usable(record, name)) {
            continue;
        }
        for (tarvik_network_interface_address_t *node = record->address_head; node != nullptr;
             node = node->next) {
            char source[TARVIK_INET_STRING_SIZE];
            const auto *address = reinterpret_cast<const sockaddr_in *>(node->address);
            if (address == nullptr || address->sin_family != AF_INET ||
                address->sin_addr.s_addr == 0 ||
                tarvik_inet_stop(node->address, source, sizeof(source)) == nullptr) {
                continue;
            }
            ssize_t sent = tarvik_send_udp_packet_ex(AF_INET, source, 0, BROADCAST, WOL_PORT, 0,
                                                     packet, TARVIK_WOL_PACKET_SIZE, 1000);
            print_sent(sent, mac);
            tarvik_printf("%s/%s\n", record->name, source);
            sent_count += sent == TARVIK_WOL_PACKET_SIZE ? 1 : 0;
        }
    }
    tarvik_free_network_interface(list);
    if (sent_count == 0) {
        tarvik_error_printf("no WOL packet sent: no interface address to send it from !\n");
    }
    return sent_count > 0;
}

} // namespace

int tarvik_multicall_wol_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    const char *text = arguments.operand(0);
    if (text == nullptr || (arguments.has(TARGET) && arguments.value(TARGET) == nullptr)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    uint8_t mac[6];
    if (!parse_mac(text, '-', mac) && !parse_mac(text, ':', mac) && !parse_mac(text, 0, mac)) {
        tarvik_printf("invalid mac address : \"%s\"\n", text);
        return 1;
    }
    uint8_t packet[TARVIK_WOL_PACKET_SIZE];
    tarvik_wol_packet(mac, packet, sizeof(packet));
    tarvik_init_network();
    bool sent = arguments.has(TARGET) ? send_to_target(arguments.value(TARGET), mac, packet)
                                      : send_from_interfaces(arguments.operand(1), mac, packet);
    tarvik_uninit_network();
    return sent && vexa::output_ok(arguments.program_name()) ? 0 : 1;
}
