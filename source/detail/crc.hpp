// The checksum variant that has no exported name, for the library's own use and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

// CRC-16/CCITT, reflected 0x8408, bit-serial, the low 16 bits of crc as the register and no
// inversion; a null data returns crc unchanged.
uint32_t crc16_ccitt(uint32_t crc, const void *data, size_t size);

} // namespace tarvik::detail
