/* Byte-wise feedback modes (CFB-8, OFB-8) over any block cipher given as a block function. */
#ifndef TARVIK_CIPHER_MODE_H
#define TARVIK_CIPHER_MODE_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Encrypts one block of block_size bytes in place with key; returns block. The ECB functions
 * of the ciphers have this shape. */
typedef void *(*tarvik_block_cipher_t)(void *block, size_t block_size, const void *key);

/* Process size bytes of data in place, one byte per block operation; iv (block_size bytes) is
 * the shift register and is updated, so consecutive calls continue the stream. Return data
 * (untouched when an argument is null or block_size is 0). */
TARVIK_API void *tarvik_encrypt_mode_cfb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key);
TARVIK_API void *tarvik_decrypt_mode_cfb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key);
/* OFB-8: decryption is the same operation as encryption. */
TARVIK_API void *tarvik_encrypt_mode_ofb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key);
TARVIK_API void *tarvik_decrypt_mode_ofb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key);

TARVIK_END_DECLS

#endif
