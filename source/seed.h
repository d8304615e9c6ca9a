/* The SEED 128-bit block cipher (RFC 4269): key schedule, ECB over whole 16-byte blocks in
 * place, and the CFB-8/OFB-8 modes bound to it. */
#ifndef TARVIK_SEED_H
#define TARVIK_SEED_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* 32 round-key words (128 bytes) from a 16-byte key; returns round_keys (null when either
 * argument is null). */
TARVIK_API uint32_t *tarvik_make_round_key_seed(uint32_t *round_keys, const uint8_t *key);
/* Encrypt or decrypt every whole 16-byte block of data in place (a trailing partial block is
 * left as it is); return data. */
TARVIK_API void *tarvik_encrypt_seed_ecb(void *data, size_t size, const void *round_keys);
TARVIK_API void *tarvik_decrypt_seed_ecb(void *data, size_t size, const void *round_keys);
/* CFB-8 and OFB-8 with SEED over size bytes in place; iv (16 bytes) is the shift register and
 * is updated. Return data. */
TARVIK_API void *tarvik_encrypt_seed_cfb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys);
TARVIK_API void *tarvik_decrypt_seed_cfb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys);
TARVIK_API void *tarvik_encrypt_seed_ofb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys);
TARVIK_API void *tarvik_decrypt_seed_ofb8(void *data, size_t size, uint8_t *iv,
                                          const void *round_keys);

TARVIK_END_DECLS

#endif
