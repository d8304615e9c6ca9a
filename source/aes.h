/* AES-128/192/256 (FIPS-197): key expansion, ECB over whole 16-byte blocks in place, and the
 * CFB-8/OFB-8 modes bound to it. */
#ifndef TARVIK_AES_H
#define TARVIK_AES_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Round keys of 176, 208 or 240 bytes from a 16-, 24- or 32-byte key; return round_keys
 * (null when either argument is null). */
TARVIK_API uint8_t *tarvik_make_round_key_aes128(uint8_t *round_keys, const uint8_t *key);
TARVIK_API uint8_t *tarvik_make_round_key_aes192(uint8_t *round_keys, const uint8_t *key);
TARVIK_API uint8_t *tarvik_make_round_key_aes256(uint8_t *round_keys, const uint8_t *key);

/* Encrypt or decrypt every whole 16-byte block of data in place (a trailing partial block is
 * left as it is) with the round keys of the matching size; return data. */
TARVIK_API void *tarvik_encrypt_aes128_ecb(void *data, size_t size, const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes128_ecb(void *data, size_t size, const void *round_keys);
TARVIK_API void *tarvik_encrypt_aes192_ecb(void *data, size_t size, const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes192_ecb(void *data, size_t size, const void *round_keys);
TARVIK_API void *tarvik_encrypt_aes256_ecb(void *data, size_t size, const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes256_ecb(void *data, size_t size, const void *round_keys);

/* CFB-8 and OFB-8 with AES (block size 16) over size bytes in place; iv (16 bytes) is the
 * shift register and is updated. Return data. */
TARVIK_API void *tarvik_encrypt_aes128_cfb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes128_cfb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_encrypt_aes192_cfb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes192_cfb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_encrypt_aes256_cfb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes256_cfb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_encrypt_aes128_ofb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes128_ofb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_encrypt_aes192_ofb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes192_ofb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_encrypt_aes256_ofb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);
TARVIK_API void *tarvik_decrypt_aes256_ofb8(void *data, size_t size, uint8_t *iv,
                                            const void *round_keys);

TARVIK_END_DECLS

#endif
