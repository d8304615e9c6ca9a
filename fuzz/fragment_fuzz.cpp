// Fuzzes the range-set text parser: the parsed set must keep its invariants, its text
// form must parse back to the same text, and nothing may stay on the heap.
#include "fragment.h"
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check_invariants(const tarvik_fragment_t *fragment)
{
    for (const tarvik_fragment_t *f = fragment; f != nullptr; f = f->m_next) {
        uint64_t covered = 0;
        const tarvik_fragment_node_t *last = nullptr;
        for (const tarvik_fragment_node_t *node = f->m_first; node != nullptr;
             node = node->m_next) {
            if (node->m_length == 0) {
                abort();
            }
            if (last != nullptr && last->m_offset + last->m_length >= node->m_offset) {
                abort();
            }
            covered += node->m_length;
            last = node;
        }
        if (last != f->m_last || covered != f->m_covered) {
            abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    {
        tarvik_fragment_t *parsed = tarvik_string_to_fragment(nullptr, input.c_str(), 0);
        if (parsed != nullptr) {
            check_invariants(parsed);
            char *once = tarvik_fragment_to_string(parsed);
            if (once != nullptr) {
                tarvik_fragment_t *again = tarvik_string_to_fragment(nullptr, once, 0);
                char *twice = tarvik_fragment_to_string(again);
                if (twice == nullptr || strcmp(once, twice) != 0) {
                    abort();
                }
                tarvik_free_tag(twice, __func__, __LINE__);
                tarvik_close_fragment(again);
                tarvik_free_tag(once, __func__, __LINE__);
            }
            uint64_t offset = 0;
            if (tarvik_alloc_fragment(parsed, 3, &offset) == 0 &&
                tarvik_check_fragment(parsed, offset, 3) != 0) {
                abort();
            }
            tarvik_del_fragment(parsed, 1, 5);
            check_invariants(parsed);
            tarvik_close_fragment(parsed);
        }
        tarvik_check_fragment_string(input.c_str(), 2, 2);
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
