// Time-based UUIDs. The generator's state (last timestamp, 14-bit clock sequence, node) is
// process-wide and kept under its own short lock; it is seeded on first use.
#include "uuid.h"

#include "detail/common.hpp"
#include "format.h"
#include "interface.h"

#include <cstring>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

static_assert(sizeof(tarvik_uuid_t) == 16, "a UUID is 16 bytes");

// 100-ns intervals from 1582-10-15 (the Gregorian reform) to 1970-01-01.
constexpr uint64_t GREGORIAN_OFFSET = 0x01B21DD213814000ull;
constexpr uint32_t CLOCK_SEQUENCE_MASK = 0x3FFFu;

struct Generator {
    bool m_seeded;
    uint64_t m_last;
    uint32_t m_clock_sequence;
    uint8_t m_node[6];
};

Generator s_generator;
tarvik_short_lock_t s_generator_lock;

// A random start for the clock sequence, so that two hosts without a hardware address (or
// one host after a clock step back across a restart) are unlikely to share UUIDs.
uint32_t random_seed()
{
    uint32_t seed = 0;
    if (getrandom(&seed, sizeof(seed), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(seed))) {
        struct timeval now = {};
        gettimeofday(&now, nullptr);
        seed = static_cast<uint32_t>(now.tv_usec) * 2654435761u ^ static_cast<uint32_t>(getpid());
    }
    return seed;
}

// The first interface that has a non-zero 6-byte hardware address; none leaves zeros.
void read_node(uint8_t *node)
{
    memset(node, 0, 6);
    tarvik_network_interface_t *list = tarvik_get_network_interface(TARVIK_NETIF_HW_ADDRESS);
    for (tarvik_network_interface_t *record = list; record != nullptr; record = record->next) {
        if ((record->valid & TARVIK_NETIF_HW_ADDRESS) == 0 || record->hw_address_size != 6) {
            continue;
        }
        static constexpr uint8_t ZEROS[6] = {};
        if (memcmp(record->hw_address, ZEROS, sizeof(ZEROS)) != 0) {
            memcpy(node, record->hw_address, 6);
            break;
        }
    }
    tarvik_free_network_interface(list);
}

uint64_t timestamp_now()
{
    struct timeval now = {};
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 10000000u +
           static_cast<uint64_t>(now.tv_usec) * 10u + GREGORIAN_OFFSET;
}

// Next (timestamp, clock sequence) pair; a timestamp that is not later than the last one
// moves the clock sequence on, skipping 0.
void next_nolock(uint64_t *timestamp, uint32_t *clock_sequence)
{
    const uint64_t now = timestamp_now();
    if (now <= s_generator.m_last) {
        s_generator.m_clock_sequence = (s_generator.m_clock_sequence + 1u) & CLOCK_SEQUENCE_MASK;
        if (s_generator.m_clock_sequence == 0) {
            s_generator.m_clock_sequence = 1;
        }
    }
    s_generator.m_last = now;
    *timestamp = now;
    *clock_sequence = s_generator.m_clock_sequence;
}

} // namespace

extern "C" {

TARVIK_API tarvik_uuid_t *tarvik_uuid_generate_ex(tarvik_uuid_t *uuid, int version)
{
    if (uuid == nullptr) {
        return nullptr;
    }
    // The interface list is read outside the lock: it allocates and asks the kernel.
    uint8_t node[6];
    bool seeded = false;
    {
        tarvik::detail::ShortLockGuard guard(&s_generator_lock);
        seeded = s_generator.m_seeded;
    }
    if (!seeded) {
        read_node(node);
    }
    uint64_t timestamp = 0;
    uint32_t clock_sequence = 0;
    {
        tarvik::detail::ShortLockGuard guard(&s_generator_lock);
        if (!s_generator.m_seeded) {
            s_generator.m_clock_sequence = random_seed() & CLOCK_SEQUENCE_MASK;
            memcpy(s_generator.m_node, node, sizeof(node));
            s_generator.m_seeded = true;
        }
        next_nolock(&timestamp, &clock_sequence);
        memcpy(uuid->m_node, s_generator.m_node, sizeof(uuid->m_node));
    }
    const uint32_t version_bits = version == 0 ? 0u : 1u;
    uuid->m_time_low = static_cast<uint32_t>(timestamp);
    uuid->m_time_mid = static_cast<uint16_t>(timestamp >> 32);
    uuid->m_time_hi_and_version =
        static_cast<uint16_t>(((timestamp >> 48) & 0x0FFFu) | version_bits << 12);
    uuid->m_clock_seq_hi_and_reserved =
        static_cast<uint8_t>(((clock_sequence >> 8) & 0x3Fu) | 0x80u);
    uuid->m_clock_seq_low = static_cast<uint8_t>(clock_sequence);
    return uuid;
}

TARVIK_API tarvik_uuid_t *tarvik_uuid_generate(tarvik_uuid_t *uuid)
{
    return tarvik_uuid_generate_ex(uuid, 1);
}

TARVIK_API char *tarvik_uuid_to_string(const tarvik_uuid_t *uuid, char *text)
{
    if (uuid == nullptr || text == nullptr) {
        return nullptr;
    }
    tarvik_snprintf(text, 37, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                    static_cast<unsigned long>(uuid->m_time_low), uuid->m_time_mid,
                    uuid->m_time_hi_and_version, uuid->m_clock_seq_hi_and_reserved,
                    uuid->m_clock_seq_low, uuid->m_node[0], uuid->m_node[1], uuid->m_node[2],
                    uuid->m_node[3], uuid->m_node[4], uuid->m_node[5]);
    return text;
}

} // extern "C"
