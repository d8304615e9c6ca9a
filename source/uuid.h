/* Time-based UUIDs (RFC 4122) and their text form. */
#ifndef TARVIK_UUID_H
#define TARVIK_UUID_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* The 16 bytes of a UUID in RFC 4122 field order; the words in host order. */
typedef struct tarvik_uuid_s {
    uint32_t m_time_low;
    uint16_t m_time_mid;
    uint16_t m_time_hi_and_version;
    uint8_t m_clock_seq_hi_and_reserved;
    uint8_t m_clock_seq_low;
    uint8_t m_node[6];
} tarvik_uuid_t;

/* Fills uuid with a time-based UUID of version (0, else 1) and returns it; null for null. */
TARVIK_API tarvik_uuid_t *tarvik_uuid_generate_ex(tarvik_uuid_t *uuid, int version);
/* tarvik_uuid_generate_ex(uuid, 1). */
TARVIK_API tarvik_uuid_t *tarvik_uuid_generate(tarvik_uuid_t *uuid);
/* Writes the 36-character lower-case text and a NUL (37 bytes) into text; returns text (null
 * when either argument is null). */
TARVIK_API char *tarvik_uuid_to_string(const tarvik_uuid_t *uuid, char *text);

TARVIK_END_DECLS

#endif
