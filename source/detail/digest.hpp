// C++-only helpers shared by the digest, checksum and cipher modules: explicit byte order
// loads and stores (wire and file bytes are never read through a cast, MIPS32 traps on
// unaligned words), rotations, the upper-case hex string and the file and stream feeders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvik::detail {

// The round helpers of the digests and checksums are always inlined: a size-optimised build
// would otherwise call a function for every word, which costs more bytes than the bodies and
// several times the time.
#define TARVIK_ROUND_INLINE inline __attribute__((always_inline))

// Compilers turn these byte assemblies into single (unaligned-safe) loads and stores.
TARVIK_ROUND_INLINE uint32_t load_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
TARVIK_ROUND_INLINE uint32_t load_be32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}
TARVIK_ROUND_INLINE void store_le32(uint8_t *p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
    p[2] = static_cast<uint8_t>(value >> 16);
    p[3] = static_cast<uint8_t>(value >> 24);
}
TARVIK_ROUND_INLINE void store_be32(uint8_t *p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}
TARVIK_ROUND_INLINE void store_be64(uint8_t *p, uint64_t value)
{
    store_be32(p, static_cast<uint32_t>(value >> 32));
    store_be32(p + 4, static_cast<uint32_t>(value));
}
TARVIK_ROUND_INLINE constexpr uint32_t rotl32(uint32_t value, unsigned count)
{
    return value << count | value >> ((32u - count) & 31u);
}
TARVIK_ROUND_INLINE constexpr uint32_t rotr32(uint32_t value, unsigned count)
{
    return value >> count | value << ((32u - count) & 31u);
}

// Writes count bytes as upper-case hex pairs and a terminating NUL (2 * count + 1 chars).
void hex_upper(const uint8_t *bytes, size_t count, char *out);

// Where the feeders below deliver what they read.
typedef void (*DigestPush)(void *context, const void *data, size_t size);

// Pushes a whole file in 32768-byte reads; 0, or -1 when it cannot be opened, the read
// buffer cannot be had or a read fails.
int push_file(const char *path, DigestPush push, void *context);
// Pushes everything a read stream delivers (32768-byte pieces, up to 16000 ms per wait, at
// most 60000 ms without data in total); 0 at its end, -1 on open or read failure or stall.
int push_stream(const char *name, DigestPush push, void *context);

// Adapts a typed push function of a digest to DigestPush.
template <typename Context, void (*Push)(Context *, const void *, size_t)>
void push_adapter(void *context, const void *data, size_t size)
{
    Push(static_cast<Context *>(context), data, size);
}

// Pads a 64-byte-block digest's buffered tail: 0x80, zeros up to 56 bytes modulo 64 (a
// whole further block when the fill is 56 or more), and the eight length bytes already
// encoded by the caller. blocks(state, data, count) compresses whole blocks.
template <typename State, typename Blocks>
void pad_blocks(State state, uint8_t *block, size_t fill, const uint8_t *length, Blocks blocks)
{
    block[fill++] = 0x80;
    if (fill > 56) {
        memset(block + fill, 0, 64 - fill);
        blocks(state, block, 1);
        fill = 0;
    }
    memset(block + fill, 0, 56 - fill);
    memcpy(block + 56, length, 8);
    blocks(state, block, 1);
}

// Buffers a push into a 64-byte block and compresses whole blocks straight from the
// caller's data; fill is the number of bytes already in block.
template <typename State, typename Blocks>
void push_blocks(State state, uint8_t *block, size_t fill, const uint8_t *data, size_t size,
                 Blocks blocks)
{
    if (fill != 0) {
        const size_t take = size < 64 - fill ? size : 64 - fill;
        memcpy(block + fill, data, take);
        fill += take;
        data += take;
        size -= take;
        if (fill < 64) {
            return;
        }
        blocks(state, block, 1);
    }
    if (size >= 64) {
        blocks(state, data, size / 64);
        data += size & ~static_cast<size_t>(63);
        size &= 63;
    }
    if (size != 0) {
        memcpy(block, data, size);
    }
}

} // namespace tarvik::detail
