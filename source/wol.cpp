// Wake-on-LAN magic packets. Holds no state.
#include "wol.h"

#include <cstring>

extern "C" {

TARVIK_API int tarvik_wol_packet(const uint8_t *mac, uint8_t *packet, size_t size)
{
    if (mac == nullptr || packet == nullptr || size < TARVIK_WOL_PACKET_SIZE) {
        return -1;
    }
    memset(packet, 0xFF, 6);
    for (size_t copy = 1; copy <= 16; ++copy) {
        memcpy(packet + 6 * copy, mac, 6);
    }
    return TARVIK_WOL_PACKET_SIZE;
}

} // extern "C"
