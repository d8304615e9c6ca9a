// Fuzzes line splitting of the byte-buffer queue: the text cut into pushes at input-derived
// points (copied, exact, referenced and handed-over pieces), with or without a bound on the
// line length, must give the lines of a plain reference splitter, and so must one whole push.
#include "buffer.h"
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Reads text as a person would: CR, LF, CR LF and LF CR end a line; a byte of 0x80 or above
// takes the next byte along unless it is below 0x40; the rest after the last break is a
// line too. With a bound, a longer line is its head marked by a leading "!".
std::vector<std::string> reference(const std::string &text, size_t max)
{
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n' || c == '\r') {
            lines.push_back(line);
            line.clear();
            open = false;
            if (i + 1 < text.size() && text[i + 1] == (c == '\n' ? '\r' : '\n')) {
                ++i;
            }
            continue;
        }
        line += text[i];
        if (c >= 0x80 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x40) {
            line += text[++i];
        }
        open = true;
    }
    if (open) {
        lines.push_back(line);
    }
    // Lines come back as C strings: what follows a NUL byte is not seen.
    for (std::string &each : lines) {
        const bool overlong = max != 0 && each.size() > max;
        if (overlong) {
            each.resize(max);
        }
        each.resize(strnlen(each.c_str(), each.size()));
        if (overlong) {
            each.insert(0, "!");
        }
    }
    return lines;
}

std::vector<std::string> drain(tarvik_buffer_t *buffer, std::vector<std::string> lines,
                               size_t max = 0)
{
    int overlong = 0;
    while (char *line = tarvik_pop_buffer_line_ex(buffer, max, &overlong)) {
        lines.emplace_back(overlong != 0 ? std::string("!") + line : std::string(line));
        tarvik_free_tag(line, "fuzz", 0);
    }
    // Once every complete line is out, no more than the bound may wait in the queue.
    if (max != 0 && tarvik_get_buffer_size(buffer) > max) {
        abort();
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

std::vector<std::string> in_pieces(const std::string &text, uint32_t seed, size_t max)
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
            lines = drain(buffer, lines, max);
        }
    }
    lines = drain(buffer, lines, max);
    tarvik_end_buffer(buffer);
    lines = drain(buffer, lines, max);
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
    const std::vector<std::string> expected = reference(text, 0);
    if (whole(text) != expected || in_pieces(text, seed, 0) != expected) {
        abort();
    }
    const size_t max = 1 + (seed >> 16) % 40u;
    if (in_pieces(text, seed, max) != reference(text, max)) {
        abort();
    }
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
