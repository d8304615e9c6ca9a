/* Cyclic redundancy checks (CRC-16/IBM, CRC-32 of IEEE 802.3, CRC-64/ISO) and Adler-32. */
#ifndef TARVIK_CRC_H
#define TARVIK_CRC_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* CRC-32 of IEEE 802.3 over size bytes; raw 0 starts from the complement of crc (so a previous
 * result continues), raw non-zero takes crc as the register; a null data returns crc. */
TARVIK_API uint32_t tarvik_crc32_ieee_802_3(int raw, uint32_t crc, const void *data, size_t size);
/* CRC-16/IBM (reflected 0xA001) with the low 16 bits of crc as the register and no inversion
 * (raw is not used); a null data returns crc unchanged. */
TARVIK_API uint32_t tarvik_crc16_ibm(int raw, uint32_t crc, const void *data, size_t size);
/* CRC-64/ISO 3309 (reflected 0xD800000000000000) with the inversion rule of the CRC-32; a null
 * data returns crc. */
TARVIK_API uint64_t tarvik_crc64_iso(int raw, uint64_t crc, const void *data, size_t size);
/* Adler-32 (RFC 1950): running value in (start with 1), running value out; a null data
 * returns adler. */
TARVIK_API uint32_t tarvik_update_adler32(uint32_t adler, const void *data, size_t size);

TARVIK_END_DECLS

#endif
