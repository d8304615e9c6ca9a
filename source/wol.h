/* Wake-on-LAN: the magic packet that wakes a machine by its hardware address. */
#ifndef TARVIK_WOL_H
#define TARVIK_WOL_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Bytes of a magic packet: six 0xFF bytes, then the address 16 times. */
#define TARVIK_WOL_PACKET_SIZE 102

/* Writes the packet for the 6-byte mac into packet (size bytes); its length, or -1 when an
 * argument is null or size is below TARVIK_WOL_PACKET_SIZE. */
TARVIK_API int tarvik_wol_packet(const uint8_t *mac, uint8_t *packet, size_t size);

TARVIK_END_DECLS

#endif
