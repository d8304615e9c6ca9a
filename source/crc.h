/* Cyclic redundancy checks. */
#ifndef TARVIK_CRC_H
#define TARVIK_CRC_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* CRC-32 of IEEE 802.3 over size bytes; raw 0 starts from the complement of crc (so a previous
 * result continues), raw non-zero takes crc as the register; a null data returns crc. */
TARVIK_API uint32_t tarvik_crc32_ieee_802_3(int raw, uint32_t crc, const void *data, size_t size);

TARVIK_END_DECLS

#endif
