// Fuzzes the regular-expression engine through every capture kind; results must be known
// codes and the heap must end up empty after each input.
#include "heap.h"
#include "regular.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int GROUPS = TARVIK_REGULAR_CAPTURES - 1;

// Rotates the kinds over the groups so that each group sees each kind across inputs.
int fuzz_call(int flags, const std::string &pattern, const std::string &subject, int rotation)
{
    char small[GROUPS][6];
    char *strings[GROUPS] = {};
    int64_t numbers[GROUPS] = {};
    int kind[GROUPS];
    int size[GROUPS];
    void *destination[GROUPS];
    for (int i = 0; i < GROUPS; ++i) {
        switch ((i + rotation) % 4) {
        case 0:
            kind[i] = 1, size[i] = sizeof(small[i]), destination[i] = small[i];
            break;
        case 1:
            kind[i] = 3, size[i] = (i % 3) * 2, destination[i] = &strings[i];
            break;
        case 2:
            kind[i] = 2, size[i] = 1 << (i % 4), destination[i] = &numbers[i];
            break;
        default:
            kind[i] = 3, size[i] = 0, destination[i] = &strings[i];
            break;
        }
    }
#define FUZZ_TRIPLE(i) kind[i], size[i], destination[i]
    int status = tarvik_regular(flags, pattern.c_str(), subject.data(), subject.size(),
                                FUZZ_TRIPLE(0), FUZZ_TRIPLE(1), FUZZ_TRIPLE(2), FUZZ_TRIPLE(3),
                                FUZZ_TRIPLE(4), FUZZ_TRIPLE(5), FUZZ_TRIPLE(6), FUZZ_TRIPLE(7),
                                FUZZ_TRIPLE(8), FUZZ_TRIPLE(9), FUZZ_TRIPLE(10), FUZZ_TRIPLE(11),
                                FUZZ_TRIPLE(12), FUZZ_TRIPLE(13), FUZZ_TRIPLE(14), FUZZ_TRIPLE(15),
                                FUZZ_TRIPLE(16), FUZZ_TRIPLE(17), FUZZ_TRIPLE(18));
#undef FUZZ_TRIPLE
    for (int i = 0; i < GROUPS; ++i) {
        if (strings[i] != nullptr) {
            if (status != 0 && status > -8) {
                abort(); // a failed match must deliver nothing
            }
            tarvik_free_tag(strings[i], "regular_fuzz", 0);
        }
    }
    return status;
}

} // namespace

// The first byte picks the flags and the kinds; the pattern runs to the first NUL, the rest
// (NULs included) is the subject.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    int flags = data[0] & 0x3;
    std::string rest(reinterpret_cast<const char *>(data + 1), size - 1);
    size_t split = rest.find('\0');
    std::string pattern = rest.substr(0, split);
    std::string subject = split == std::string::npos ? "" : rest.substr(split + 1);

    // Compile and match results cannot depend on how the captures are delivered.
    int first = fuzz_call(flags, pattern, subject, data[0] >> 2);
    int second = fuzz_call(flags, pattern, subject, (data[0] >> 2) + 1);
    for (int status : {first, second}) {
        if (status > 0 || status < TARVIK_REGULAR_TOO_SLOW) {
            abort();
        }
    }
    bool first_matched = first == 0 || (first <= -8 && first >= -13);
    bool second_matched = second == 0 || (second <= -8 && second >= -13);
    if (first_matched != second_matched || (!first_matched && first != second)) {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
