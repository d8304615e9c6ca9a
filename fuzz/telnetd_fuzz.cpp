// Fuzzes the telnet server's input filter: the stream is cut into input-derived chunks and
// filtered read by read; what reaches the terminal and the window size must equal what a
// reference model of the protocol, reading the whole stream at once, makes of it.
#include "../source.vexa/telnet_input.hpp"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint8_t IAC = 255;
constexpr uint8_t SB = 250;
constexpr uint8_t SE = 240;
constexpr uint8_t NAWS = 31;

struct Result {
    std::string m_terminal;
    unsigned m_columns = 0;
    unsigned m_rows = 0;
};

// The protocol over the whole stream: data bytes (IAC IAC is 0xFF; CR NUL and CR LF are
// CR), three-byte option commands, sub-negotiations up to IAC SE (IAC IAC inside is 0xFF,
// IAC and another command ends them unapplied), other two-byte commands. Sequences cut off
// by the end of the stream give nothing.
Result reference(const uint8_t *data, size_t size)
{
    Result result;
    bool after_cr = false;
    size_t at = 0;
    while (at < size) {
        const uint8_t byte = data[at];
        if (byte != IAC) {
            if (!(after_cr && (byte == 0 || byte == '\n'))) {
                result.m_terminal.push_back(static_cast<char>(byte));
                after_cr = byte == '\r';
            } else {
                after_cr = false;
            }
            ++at;
            continue;
        }
        after_cr = false;
        if (at + 1 >= size) {
            break;
        }
        const uint8_t command = data[at + 1];
        if (command == IAC) {
            result.m_terminal.push_back(static_cast<char>(IAC));
            at += 2;
        } else if (command >= 251 && command <= 254) {
            at += 3;
        } else if (command != SB) {
            at += 2;
        } else {
            if (at + 2 >= size) {
                break;
            }
            const uint8_t option = data[at + 2];
            std::string value;
            size_t scan = at + 3;
            bool ended = false;
            while (scan < size && !ended) {
                if (data[scan] != IAC) {
                    value.push_back(static_cast<char>(data[scan++]));
                } else if (scan + 1 >= size) {
                    scan = size;
                } else if (data[scan + 1] == IAC) {
                    value.push_back(static_cast<char>(IAC));
                    scan += 2;
                } else if (data[scan + 1] == SE) {
                    if (option == NAWS && value.size() == 4) {
                        const auto *v = reinterpret_cast<const uint8_t *>(value.data());
                        unsigned columns = static_cast<unsigned>(v[0] << 8 | v[1]);
                        unsigned rows = static_cast<unsigned>(v[2] << 8 | v[3]);
                        result.m_columns = columns != 0 ? columns : result.m_columns;
                        result.m_rows = rows != 0 ? rows : result.m_rows;
                    }
                    scan += 2;
                    ended = true;
                } else {
                    // The IAC and its command are read again as a command of their own.
                    ended = true;
                }
            }
            if (!ended) {
                break;
            }
            at = scan;
        }
    }
    return result;
}

Result in_chunks(const uint8_t *data, size_t size, uint32_t seed)
{
    Result result;
    vexa::telnet::Input input = {};
    std::string copy(reinterpret_cast<const char *>(data), size);
    uint32_t state = seed | 1u;
    const uint32_t longest = 1u + (seed >> 20) % 300u;
    for (size_t at = 0; at < size;) {
        state = state * 1103515245u + 12345u;
        const size_t length = std::min<size_t>(1u + (state >> 8) % longest, size - at);
        auto *chunk = reinterpret_cast<uint8_t *>(copy.data() + at);
        vexa::telnet::WindowSize asked = {};
        const size_t kept = vexa::telnet::filter_input(&input, chunk, length, &asked);
        if (kept > length) {
            abort();
        }
        result.m_terminal.append(reinterpret_cast<const char *>(chunk), kept);
        result.m_columns = asked.m_columns != 0 ? asked.m_columns : result.m_columns;
        result.m_rows = asked.m_rows != 0 ? asked.m_rows : result.m_rows;
        at += length;
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    uint32_t seed = 0;
    memcpy(&seed, data, sizeof(seed));
    const Result expected = reference(data + 4, size - 4);
    const Result got = in_chunks(data + 4, size - 4, seed);
    if (got.m_terminal != expected.m_terminal || got.m_columns != expected.m_columns ||
        got.m_rows != expected.m_rows) {
        abort();
    }
    return 0;
}
