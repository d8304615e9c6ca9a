// Fuzzes the /proc/meminfo parser: an accepted text always gives figures that add up (free,
// buffers and cached within the total, the available figure never above it).
#include "detail/meminfo.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint64_t values[TARVIK_MEMINFO_COUNT_EX] = {};
    int kernel = -1;
    if (tarvik::detail::parse_meminfo(reinterpret_cast<const char *>(data), size, values,
                                      &kernel) != 0) {
        return 0;
    }
    uint64_t total = values[TARVIK_MEMINFO_TOTAL];
    uint64_t reclaimable = values[TARVIK_MEMINFO_FREE] + values[TARVIK_MEMINFO_BUFFERS] +
                           values[TARVIK_MEMINFO_CACHED];
    if (total == 0 || reclaimable > total || values[TARVIK_MEMINFO_USED] != total - reclaimable ||
        values[TARVIK_MEMINFO_AVAILABLE] > total || (kernel != 0 && kernel != 1) ||
        (kernel == 0 && values[TARVIK_MEMINFO_AVAILABLE] != reclaimable) ||
        values[TARVIK_MEMINFO_SWAP_USED] > values[TARVIK_MEMINFO_SWAP_TOTAL]) {
        abort();
    }
    return 0;
}
