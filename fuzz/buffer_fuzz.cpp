// Fuzzes line splitting of the byte-buffer queue: the text cut into pushes at input-derived
// points (copied, exact, referenced and handed-over pieces) must give the same lines as one
// whole push, with the end of input marked in both.
#include "buffer.h"
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> drain(tarvik_buffer_t *buffer, std::vector<std::string> lines)
{
    while (char *line = tarvik_pop_buffer_line(buffer)) {
        lines.emplace_back(line);
        tarvik_free_tag(line, "fuzz", 0);
    }
    return lines;
}

std::vector<std::string> whole(const std::string &text)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    tarvik_push_buffer(buffer, text.data(), text.size());
    std::vector<std::string> lines = drain(buffer, {});
    tarvik_end_buffer(buffer);
    lines = drain(buffer, lines);
    if (tarvik_get_buffer_size(buffer) != 0) {
        abort();
    }
    tarvik_close_buffer(buffer);
    return lines;
}

std::vector<std::string> in_pieces(const std::string &text, uint32_t seed)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    std::vector<std::string> lines;
    uint32_t state = seed | 1u;
    const uint32_t longest = 1u + (seed >> 24) % 64u;
    for (size_t at = 0; at < text.size();) {
        state = state * 1103515245u + 12345u;
        const size_t length = std::min<size_t>(1u + (state >> 8) % longest, text.size() - at);
        const char *piece = text.data() + at;
        size_t pushed = 0;
        switch ((state >> 28) % 4u) {
        case 0:
            pushed = tarvik_push_buffer(buffer, piece, length);
            break;
        case 1:
            pushed = tarvik_push_buffer_ex(buffer, piece, length, TARVIK_BUFFER_EXACT);
            break;
        case 2:
            pushed = tarvik_push_buffer_ex(buffer, piece, length, TARVIK_BUFFER_REFERENCE);
            break;
        default: {
            void *block = tarvik_alloc_tag(length, "fuzz", 0);
            memcpy(block, piece, length);
            pushed = tarvik_push_buffer_ex(buffer, block, length, TARVIK_BUFFER_HAND_OVER);
        }
        }
        if (pushed != length) {
            abort();
        }
        at += length;
        if ((state & 0x30u) != 0) {
            lines = drain(buffer, lines);
        }
    }
    lines = drain(buffer, lines);
    tarvik_end_buffer(buffer);
    lines = drain(buffer, lines);
    if (tarvik_get_buffer_size(buffer) != 0) {
        abort();
    }
    tarvik_close_buffer(buffer);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    uint32_t seed = 0;
    memcpy(&seed, data, sizeof(seed));
    const std::string text(reinterpret_cast<const char *>(data) + 4, size - 4);
    if (in_pieces(text, seed) != whole(text)) {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
