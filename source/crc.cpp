// Checksums: the bit-serial CRC-16 (IBM and CCITT) and CRC-64/ISO, the table-driven CRC-32 of
// IEEE 802.3 (six braided lanes, then eight bytes at a time), and Adler-32 (a machine word at a
// time). The CRC-32 tables are built once, on first
// use, under a short lock; afterwards they are only read.
#include "crc.h"

#include "detail/common.hpp"
#include "detail/crc.hpp"
#include "detail/digest.hpp"

#include <atomic>
#include <type_traits>

namespace {

constexpr uint32_t CRC32_POLYNOMIAL = 0xEDB88320u;
constexpr uint32_t CRC16_IBM_POLYNOMIAL = 0xA001u;
constexpr uint32_t CRC16_CCITT_POLYNOMIAL = 0x8408u;
constexpr uint64_t CRC64_ISO_POLYNOMIAL = 0xD800000000000000ull;
constexpr uint32_t ADLER_MODULUS = 65521u;
// The most bytes whose sums cannot overflow 32 bits before they are reduced.
constexpr size_t ADLER_RUN = 5552;

// The CRC-32 runs six independent lanes over interleaved 32-bit words ("braiding"), so the
// processor works on five table chains at once: lane k takes words k, k + 5, k + 10, ... and
// carries into its next word the CRC of its word followed by the other lanes' 20 bytes as
// zeros. The lanes are folded into the register over the six words after the last row.
constexpr size_t LANES = 6;
constexpr size_t ROW = 4 * LANES;

// Tables 0..7: the CRC of a byte followed by n zero bytes (slicing eight bytes at a time).
// Tables 11..8: byte j of a lane word followed by 4 * LANES - 1 - j zero bytes. Built at run
// time: 12 KiB of memory, no bytes of the program.
constexpr int SLICES = 8;
uint32_t s_crc32_table[SLICES + 4][256];
std::atomic<uint32_t> s_crc32_ready{0};
tarvik_short_lock_t s_crc32_lock;

void build_crc32_tables_nolock()
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t value = n;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) != 0 ? (value >> 1) ^ CRC32_POLYNOMIAL : value >> 1;
        }
        s_crc32_table[0][n] = value;
    }
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t value = s_crc32_table[0][n];
        for (size_t zeros = 1; zeros < ROW; ++zeros) {
            value = (value >> 8) ^ s_crc32_table[0][value & 0xFFu];
            if (zeros < SLICES) {
                s_crc32_table[zeros][n] = value;
            } else if (zeros >= ROW - 4) {
                s_crc32_table[SLICES + zeros - (ROW - 4)][n] = value;
            }
        }
    }
}

// The ready flag is published with release order after the tables are complete, so a
// reader that sees it set also sees every entry.
const uint32_t (*crc32_tables())[256]
{
    if (s_crc32_ready.load(std::memory_order_acquire) == 0) {
        tarvik::detail::ShortLockGuard guard(&s_crc32_lock);
        if (s_crc32_ready.load(std::memory_order_relaxed) == 0) {
            build_crc32_tables_nolock();
            s_crc32_ready.store(1, std::memory_order_release);
        }
    }
    return s_crc32_table;
}

// A 32-bit word through four tables: first (the table of the word's first byte) and the
// three after it.
TARVIK_ROUND_INLINE uint32_t fold_word(const uint32_t (*table)[256], int first, uint32_t word)
{
    return table[first][word & 0xFFu] ^ table[first - 1][(word >> 8) & 0xFFu] ^
           table[first - 2][(word >> 16) & 0xFFu] ^ table[first - 3][word >> 24];
}

// Whole rows of the five lanes, leaving at least one row for the fold; returns the register
// and advances bytes and size.
uint32_t crc32_braid(const uint32_t (*table)[256], uint32_t value, const uint8_t *&bytes,
                     size_t &size)
{
    const size_t rows = size / ROW - 1;
    using tarvik::detail::load_le32;
    // The register joins the first word of lane 0.
    uint32_t lane[LANES] = {};
    lane[0] = value;
    for (size_t row = 0; row < rows; ++row, bytes += ROW) {
        for (size_t k = 0; k < LANES; ++k) {
            lane[k] = fold_word(table, SLICES + 3, lane[k] ^ load_le32(bytes + 4 * k));
        }
    }
    value = 0;
    for (size_t k = 0; k < LANES; ++k) {
        value = fold_word(table, 3, value ^ lane[k] ^ load_le32(bytes + 4 * k));
    }
    bytes += ROW;
    size -= (rows + 1) * ROW;
    return value;
}

uint32_t crc32_update(const uint32_t (*table)[256], uint32_t value, const uint8_t *bytes,
                      size_t size)
{
    if (size >= 4 * ROW) {
        value = crc32_braid(table, value, bytes, size);
    }
    for (; size >= 8; size -= 8, bytes += 8) {
        const uint32_t one = tarvik::detail::load_le32(bytes) ^ value;
        const uint32_t two = tarvik::detail::load_le32(bytes + 4);
        value = fold_word(table, 7, one) ^ fold_word(table, 3, two);
    }
    for (; size > 0; --size) {
        value = table[0][(value ^ *bytes++) & 0xFFu] ^ (value >> 8);
    }
    return value;
}

// One reflected register of any width, a bit at a time.
template <typename Register>
Register reflected_bits(Register value, Register polynomial, const void *data, size_t size)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < size; ++i) {
        value ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1u) != 0 ? (value >> 1) ^ polynomial : value >> 1;
        }
    }
    return value;
}

uint32_t crc16(uint32_t polynomial, uint32_t crc, const void *data, size_t size)
{
    if (data == nullptr) {
        return crc;
    }
    return reflected_bits<uint32_t>(crc & 0xFFFFu, polynomial, data, size);
}

// Adler-32 a machine word at a time: over the word's bytes x0..x(n-1), a gains their sum and
// b gains n * a plus x0 * n + x1 * (n - 1) + ... + x(n-1). Both sums come from multiplying
// the even and the odd bytes, spread into 16-bit lanes, by lane weights: the top lane of the
// product collects the whole weighted sum, and no lane can carry into the next. The sums are
// reduced once per run of ADLER_RUN bytes instead of after every byte; the result is the
// same, since within a run no sum can pass 32 bits.
template <typename Word> constexpr Word lane_values(unsigned first, unsigned step)
{
    Word value = 0;
    for (unsigned lane = 0; lane < sizeof(Word) / 2; ++lane) {
        value |= static_cast<Word>(first + step * lane) << (16 * lane);
    }
    return value;
}

template <typename Word> Word load_word(const uint8_t *bytes)
{
    Word value = 0;
    for (unsigned n = 0; n < sizeof(Word); n += 4) {
        value |= static_cast<Word>(tarvik::detail::load_le32(bytes + n)) << (8 * n);
    }
    return value;
}

template <typename Word> void adler_word(Word word, uint32_t &a, uint32_t &b)
{
    constexpr Word BYTE_LANES = lane_values<Word>(0xFF, 0);
    constexpr Word ONES = lane_values<Word>(1, 0);
    constexpr Word EVEN_WEIGHTS = lane_values<Word>(2, 2);
    constexpr Word ODD_WEIGHTS = lane_values<Word>(1, 2);
    constexpr unsigned TOP = 8 * sizeof(Word) - 16;
    const Word even = word & BYTE_LANES;
    const Word odd = (word >> 8) & BYTE_LANES;
    const uint32_t sum = static_cast<uint32_t>(((even + odd) * ONES) >> TOP);
    const uint32_t weighted =
        static_cast<uint32_t>((even * EVEN_WEIGHTS + odd * ODD_WEIGHTS) >> TOP);
    b += a * static_cast<uint32_t>(sizeof(Word)) + weighted;
    a += sum;
}

} // namespace

namespace tarvik::detail {

uint32_t crc16_ccitt(uint32_t crc, const void *data, size_t size)
{
    return crc16(CRC16_CCITT_POLYNOMIAL, crc, data, size);
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API uint32_t tarvik_crc32_ieee_802_3(int raw, uint32_t crc, const void *data, size_t size)
{
    if (data == nullptr) {
        return crc;
    }
    const uint32_t value = raw == 0 ? ~crc : crc;
    return ~crc32_update(crc32_tables(), value, static_cast<const uint8_t *>(data), size);
}

TARVIK_API uint32_t tarvik_crc16_ibm(int raw, uint32_t crc, const void *data, size_t size)
{
    (void)raw;
    return crc16(CRC16_IBM_POLYNOMIAL, crc, data, size);
}

TARVIK_API uint64_t tarvik_crc64_iso(int raw, uint64_t crc, const void *data, size_t size)
{
    if (data == nullptr) {
        return crc;
    }
    const uint64_t value = raw == 0 ? ~crc : crc;
    return ~reflected_bits<uint64_t>(value, CRC64_ISO_POLYNOMIAL, data, size);
}

TARVIK_API uint32_t tarvik_update_adler32(uint32_t adler, const void *data, size_t size)
{
    if (data == nullptr) {
        return adler;
    }
    using Word = std::conditional_t<sizeof(void *) >= 8, uint64_t, uint32_t>;
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    uint32_t a = adler & 0xFFFFu;
    uint32_t b = adler >> 16;
    while (size > 0) {
        size_t run = size < ADLER_RUN ? size : ADLER_RUN;
        size -= run;
        for (; run >= sizeof(Word); run -= sizeof(Word), bytes += sizeof(Word)) {
            adler_word<Word>(load_word<Word>(bytes), a, b);
        }
        for (; run > 0; --run) {
            a += *bytes++;
            b += a;
        }
        a %= ADLER_MODULUS;
        b %= ADLER_MODULUS;
    }
    return b << 16 | a;
}

} // extern "C"
