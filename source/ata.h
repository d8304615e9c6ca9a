/* ATA identity of a disk: its kind, model, serial number and firmware revision as texts. */
#ifndef TARVIK_ATA_H
#define TARVIK_ATA_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Reads the identity of the block device at path into the four texts (each output may be
 * null, each cut to its size); 0, or -1 when path is no block device, cannot be opened or
 * answers no identity. */
TARVIK_API int tarvik_get_ata_identity_string(const char *path, char *type, size_t type_size,
                                              char *model, size_t model_size, char *serial,
                                              size_t serial_size, char *firmware,
                                              size_t firmware_size);

TARVIK_END_DECLS

#endif
