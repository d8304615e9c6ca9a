// The texts of an ATA identity block, apart from the ioctl that reads it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

constexpr size_t ATA_IDENTITY_SIZE = 512;

// Derives the four texts (outputs may be null) from a 512-byte identity block whose words are
// in host order and whose strings the kernel has already put in reading order.
void ata_identity_texts(const uint8_t *block, char *type, size_t type_size, char *model,
                        size_t model_size, char *serial, size_t serial_size, char *firmware,
                        size_t firmware_size);

} // namespace tarvik::detail
