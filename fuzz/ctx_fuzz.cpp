// Fuzzes the option lists of a stream context against a plain model: a script of set (with
// replace 0, 1 or -1), get and clear operations on a few names; after every step the list
// holds exactly the model's options in order, and the heap is back to where it was at the
// end. The rest of the input is matched as a MIME hint list against a fixed type.
#include "ctx.h"
#include "heap.h"
#include "instance.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) {
        abort();
    }
}

const char *const NAMES[] = {"src", "SRC", "mode", "httpheader", "", "debug"};
constexpr size_t NAME_COUNT = sizeof(NAMES) / sizeof(NAMES[0]);

bool same(const std::string &a, const std::string &b)
{
    return strcasecmp(a.c_str(), b.c_str()) == 0;
}

using Model = std::vector<std::pair<std::string, std::string>>;

void check(int ctx, const Model &model)
{
    // The first option of every name is the model's first of that name.
    for (size_t index = 0; index < NAME_COUNT; ++index) {
        const tarvik_ctx_option_t *found = tarvik_ctx_get_option(ctx, NAMES[index]);
        const std::pair<std::string, std::string> *expected = nullptr;
        for (const auto &entry : model) {
            if (same(entry.first, NAMES[index])) {
                expected = &entry;
                break;
            }
        }
        require((found == nullptr) == (expected == nullptr));
        if (found != nullptr) {
            require(found->m_value_size == expected->second.size());
            require(memcmp(found->m_value, expected->second.data(), found->m_value_size) == 0);
            require(found->m_value[found->m_value_size] == 0);
            require(same(found->m_name, expected->first));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t blocks = 0;
    size_t bytes = 0;
    tarvik_get_alloc_info(&blocks, &bytes, nullptr);
    int ctx = tarvik_new_ctx();
    require(ctx >= 0);
    Model model;
    // Each step: an operation byte (kind in bits 0-1, replace in bits 2-3, name in 4-7), a
    // length byte, then the value.
    while (size >= 2 && data[0] != 0xFF) {
        const uint8_t operation = data[0];
        size_t length = data[1];
        data += 2;
        size -= 2;
        length = length < size ? length : size;
        const std::string value(reinterpret_cast<const char *>(data), length);
        data += length;
        size -= length;
        const char *name = NAMES[(operation >> 4) % NAME_COUNT];
        const int replace = static_cast<int>((operation >> 2) & 3) - 1; // -1, 0, 1, 2
        if ((operation & 3) == 3) {
            require(tarvik_ctx_set_option(ctx, -1, nullptr, nullptr, 0) == 0);
            model.clear();
        } else {
            require(tarvik_ctx_set_option(ctx, replace, name, value.data(),
                                          static_cast<uint32_t>(value.size())) == 0);
            if (replace != 0) {
                for (auto at = model.begin(); at != model.end(); ++at) {
                    if (same(at->first, name)) {
                        model.erase(at);
                        break;
                    }
                }
            }
            model.emplace_back(name, value);
        }
        check(ctx, model);
    }
    require(tarvik_destroy_ctx(ctx) == -1);
    if (size > 1) {
        const std::string list(reinterpret_cast<const char *>(data + 1), size - 1);
        const int result =
            tarvik_compare_mime_type_hint(list.c_str(), "application/qvl_stream_ftp");
        require(result == 0 || result == -1);
        if (list.find_first_of(";|") == std::string::npos &&
            list.find_first_of("*?\\ \t") == std::string::npos) {
            require((result == 0) == same(list, "application/qvl_stream_ftp"));
        }
    }
    size_t blocks_after = 0;
    size_t bytes_after = 0;
    tarvik_get_alloc_info(&blocks_after, &bytes_after, nullptr);
    require(blocks_after == blocks && bytes_after == bytes);
    return 0;
}
