// The telnet server's input filter: what a client sends is cut into terminal bytes and
// protocol commands. Commands and option negotiation are dropped, every sub-negotiation is
// dropped whole up to its IAC SE (nothing a client negotiates, its environment included,
// ever reaches the terminal), and window sizes are reported. The state lives between reads,
// so a sequence may be split anywhere and nothing is held back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::telnet {

constexpr uint8_t IAC = 255;
constexpr uint8_t DONT = 254;
constexpr uint8_t DO = 253;
constexpr uint8_t WONT = 252;
constexpr uint8_t WILL = 251;
constexpr uint8_t SB = 250;
constexpr uint8_t SE = 240;
constexpr uint8_t NAWS = 31;
constexpr uint8_t CR = '\r';

enum class InputState : uint8_t {
    DATA,
    AFTER_CR,   // a CR was passed on: a NUL or LF behind it belongs to it
    COMMAND,    // IAC seen
    OPTION,     // IAC WILL/WONT/DO/DONT seen: one option byte follows
    SUB_OPTION, // IAC SB seen: the option byte follows
    SUB,        // inside a sub-negotiation
    SUB_IAC,    // IAC seen inside a sub-negotiation
};

// Where the filter stands between reads. Zero-initialised means "at the start".
struct Input {
    InputState m_state;
    uint8_t m_option;   // option of the sub-negotiation being dropped
    uint8_t m_count;    // window-size bytes collected (5: too many)
    uint8_t m_value[4]; // width and height, big-endian
};

// Window size a client asked for; 0 leaves that dimension as it is.
struct WindowSize {
    uint16_t m_columns;
    uint16_t m_rows;
};

// A byte after IAC, outside a sub-negotiation.
inline void command_byte(Input *input, uint8_t byte)
{
    if (byte >= WILL && byte <= DONT) {
        input->m_state = InputState::OPTION;
    } else if (byte == SB) {
        input->m_state = InputState::SUB_OPTION;
    } else {
        // Two-byte commands (NOP, data mark, break, ...) and a stray SE are dropped.
        input->m_state = InputState::DATA;
    }
}

inline void sub_negotiation_byte(Input *input, uint8_t byte)
{
    if (input->m_option == NAWS && input->m_count < 5) {
        if (input->m_count < 4) {
            input->m_value[input->m_count] = byte;
        }
        ++input->m_count;
    }
}

// A window size counts only when exactly four bytes came; a 0 keeps that dimension.
inline void end_sub_negotiation(Input *input, WindowSize *size)
{
    if (input->m_option == NAWS && input->m_count == 4) {
        uint16_t columns = static_cast<uint16_t>(input->m_value[0] << 8 | input->m_value[1]);
        uint16_t rows = static_cast<uint16_t>(input->m_value[2] << 8 | input->m_value[3]);
        if (columns != 0) {
            size->m_columns = columns;
        }
        if (rows != 0) {
            size->m_rows = rows;
        }
    }
    input->m_state = InputState::DATA;
}

// Filters size bytes of data in place and returns how many terminal bytes are now at its
// front. Window sizes that completed update *size (dimensions the client left at 0 stay).
inline size_t filter_input(Input *input, uint8_t *data, size_t size, WindowSize *window)
{
    size_t out = 0;
    for (size_t at = 0; at < size; ++at) {
        uint8_t byte = data[at];
        switch (input->m_state) {
        case InputState::AFTER_CR:
            input->m_state = InputState::DATA;
            // The network's end of line is CR LF, a lone CR is CR NUL: the terminal gets
            // the CR alone either way.
            if (byte == 0 || byte == '\n') {
                break;
            }
            [[fallthrough]];
        case InputState::DATA:
            if (byte == IAC) {
                input->m_state = InputState::COMMAND;
            } else {
                data[out++] = byte;
                if (byte == CR) {
                    input->m_state = InputState::AFTER_CR;
                }
            }
            break;
        case InputState::COMMAND:
            if (byte == IAC) {
                data[out++] = IAC;
                input->m_state = InputState::DATA;
            } else {
                command_byte(input, byte);
            }
            break;
        case InputState::OPTION:
            input->m_state = InputState::DATA;
            break;
        case InputState::SUB_OPTION:
            input->m_option = byte;
            input->m_count = 0;
            input->m_state = InputState::SUB;
            break;
        case InputState::SUB:
            if (byte == IAC) {
                input->m_state = InputState::SUB_IAC;
            } else {
                sub_negotiation_byte(input, byte);
            }
            break;
        case InputState::SUB_IAC:
            if (byte == IAC) {
                sub_negotiation_byte(input, IAC);
                input->m_state = InputState::SUB;
            } else if (byte == SE) {
                end_sub_negotiation(input, window);
            } else {
                // IAC and a command inside a sub-negotiation: its SE went missing. The
                // sub-negotiation is dropped unapplied and the command taken as such.
                command_byte(input, byte);
            }
            break;
        }
    }
    return out;
}

} // namespace vexa::telnet
