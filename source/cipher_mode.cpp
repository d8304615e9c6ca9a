// CFB-8 and OFB-8 over a caller's block function. The keystream block lives on the stack for
// blocks of up to 32 bytes and on the tagged heap beyond; no state outlives a call except the
// caller's shift register.
#include "cipher_mode.h"

#include "detail/common.hpp"
#include "time.h"

#include <cstring>

namespace {

constexpr size_t STACK_BLOCK = 32;

enum class Feedback { CFB_ENCRYPT, CFB_DECRYPT, OFB };

void *run_mode(Feedback feedback, tarvik_block_cipher_t cipher, size_t block_size, void *data,
               size_t size, uint8_t *iv, const void *key)
{
    if (cipher == nullptr || data == nullptr || iv == nullptr || block_size == 0 || size == 0) {
        return data;
    }
    uint8_t stack_block[STACK_BLOCK];
    uint8_t *work = stack_block;
    if (block_size > STACK_BLOCK) {
        // A cipher stream cannot skip bytes: wait for memory rather than leave data half done.
        while ((work = static_cast<uint8_t *>(tarvik_alloc_tag(block_size, TARVIK_TAG))) ==
               nullptr) {
            tarvik_load_balance();
        }
    }
    uint8_t *bytes = static_cast<uint8_t *>(data);
    for (size_t i = 0; i < size; ++i) {
        memcpy(work, iv, block_size);
        cipher(work, block_size, key);
        const uint8_t in = bytes[i];
        const uint8_t out = static_cast<uint8_t>(in ^ work[0]);
        memmove(iv, iv + 1, block_size - 1);
        iv[block_size - 1] = feedback == Feedback::CFB_ENCRYPT   ? out
                             : feedback == Feedback::CFB_DECRYPT ? in
                                                                 : work[0];
        bytes[i] = out;
    }
    if (work != stack_block) {
        tarvik_free_tag(work, TARVIK_TAG);
    }
    return data;
}

} // namespace

extern "C" {

TARVIK_API void *tarvik_encrypt_mode_cfb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key)
{
    return run_mode(Feedback::CFB_ENCRYPT, cipher, block_size, data, size, iv, key);
}

TARVIK_API void *tarvik_decrypt_mode_cfb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key)
{
    return run_mode(Feedback::CFB_DECRYPT, cipher, block_size, data, size, iv, key);
}

TARVIK_API void *tarvik_encrypt_mode_ofb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key)
{
    return run_mode(Feedback::OFB, cipher, block_size, data, size, iv, key);
}

TARVIK_API void *tarvik_decrypt_mode_ofb8(tarvik_block_cipher_t cipher, size_t block_size,
                                          void *data, size_t size, uint8_t *iv, const void *key)
{
    return run_mode(Feedback::OFB, cipher, block_size, data, size, iv, key);
}

} // extern "C"
