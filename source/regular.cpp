// Regular expressions: a per-call compiler into 256 bytes of byte code and a data store,
// and a backtracking matcher on explicit, bounded stacks. No state outlives a call.
#include "regular.h"

#include "console.h"
#include "detail/common.hpp"
#include "detail/text.hpp"
#include "heap.h"

#include <cstdint>
#include <cstring>

namespace {

// Byte code. Every operand is one byte; offsets count from the opcode that holds them.
//
//   0  END                      the whole program matched
//   1  BRANCH second end        first alternative at +3 up to +second, the second one
//                               from +second up to +end, where both continue
//   2  ANY                      any byte
//   3  EXACT offset length      literal bytes in the data store
//   4  ANY_OF offset length     set members in the data store; a zero byte introduces a
//   5  ANY_BUT offset length    class code (15, 16 or 17), or 0 for a literal NUL
//   6  OPEN slot                capture start
//   7  CLOSE slot               capture end
//   8  SUBJECT_START
//   9  SUBJECT_END
//   10 STAR end                 a quantifier, in front of its item: the item runs from +2
//   11 PLUS end                 up to +end, where the program continues
//   12 LAZY_STAR end
//   13 LAZY_PLUS end
//   14 OPTIONAL end
//   15 SPACE, 16 NOT_SPACE, 17 DIGIT
//
// The program is OPEN 0, the pattern, CLOSE 0, END. Quantified items are either one byte
// wide (ANY, a one-byte EXACT, a set, a class) or a group (OPEN ... CLOSE).
enum Opcode : uint8_t {
    OP_END = 0,
    OP_BRANCH = 1,
    OP_ANY = 2,
    OP_EXACT = 3,
    OP_ANY_OF = 4,
    OP_ANY_BUT = 5,
    OP_OPEN = 6,
    OP_CLOSE = 7,
    OP_SUBJECT_START = 8,
    OP_SUBJECT_END = 9,
    OP_STAR = 10,
    OP_PLUS = 11,
    OP_LAZY_STAR = 12,
    OP_LAZY_PLUS = 13,
    OP_OPTIONAL = 14,
    OP_SPACE = 15,
    OP_NOT_SPACE = 16,
    OP_DIGIT = 17,
};

constexpr size_t CODE_LIMIT = 256;
constexpr size_t DATA_LIMIT = 256;
constexpr size_t JUMP_LIMIT = 256;
constexpr size_t LENGTH_LIMIT = 255;
// Room to compile past the code limit, so that a jump that is too long is reported as
// such rather than hidden behind the code size.
constexpr size_t SCRATCH_SIZE = 2 * CODE_LIMIT;
constexpr int SLOT_LIMIT = TARVIK_REGULAR_CAPTURES;

// Bounds of the matcher. Backtrack records are 12 bytes, so the deepest search holds
// 96 KiB of heap; the steps bound the time, and grow with the subject so that a linear
// scan of a long subject still completes.
constexpr size_t INLINE_ENTRIES = 32;
constexpr size_t ENTRY_LIMIT = 8192;
constexpr size_t FRAME_LIMIT = 64;
constexpr uint64_t STEP_BASE = 1000000;
constexpr uint64_t STEP_PER_BYTE = 100;
constexpr uint32_t UNSET = 0xFFFFFFFFu;

struct Program {
    uint8_t m_code[SCRATCH_SIZE];
    uint8_t m_data[DATA_LIMIT];
    size_t m_code_size;
    size_t m_data_size;
    int m_capture_count; // slots in use, capture 0 included
};

using tarvik::detail::is_digit;
using tarvik::detail::is_space;

inline unsigned char fold(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// ---- compiler ---------------------------------------------------------------------

class Compiler {
  public:
    Compiler(Program &program, const char *pattern) : m_program(program), m_at(pattern) {}

    int compile()
    {
        m_program.m_code_size = 0;
        m_program.m_data_size = 0;
        m_program.m_capture_count = 1;
        int status = emit(OP_OPEN);
        if (status == 0) {
            status = emit(0);
        }
        if (status == 0) {
            status = alternation();
        }
        if (status == 0 && *m_at != '\0') {
            status = TARVIK_REGULAR_SYNTAX; // a ")" without its "("
        }
        if (status == 0) {
            status = emit(OP_CLOSE);
        }
        if (status == 0) {
            status = emit(0);
        }
        if (status == 0) {
            status = emit(OP_END);
        }
        if (status == 0 && m_program.m_code_size > CODE_LIMIT) {
            status = TARVIK_REGULAR_CODE_TOO_LONG;
        }
        return status;
    }

  private:
    int emit(uint8_t byte)
    {
        if (m_program.m_code_size >= SCRATCH_SIZE) {
            return TARVIK_REGULAR_CODE_TOO_LONG;
        }
        m_program.m_code[m_program.m_code_size++] = byte;
        return 0;
    }

    int emit3(uint8_t op, uint8_t first, uint8_t second)
    {
        int status = emit(op);
        if (status == 0) {
            status = emit(first);
        }
        if (status == 0) {
            status = emit(second);
        }
        return status;
    }

    // Opens count bytes at position at; the code moved up holds only relative offsets.
    int insert(size_t at, size_t count)
    {
        if (m_program.m_code_size + count > SCRATCH_SIZE) {
            return TARVIK_REGULAR_CODE_TOO_LONG;
        }
        memmove(m_program.m_code + at + count, m_program.m_code + at, m_program.m_code_size - at);
        m_program.m_code_size += count;
        return 0;
    }

    int store(uint8_t byte)
    {
        if (m_program.m_data_size >= DATA_LIMIT) {
            return TARVIK_REGULAR_DATA_TOO_LONG;
        }
        m_program.m_data[m_program.m_data_size++] = byte;
        return 0;
    }

    // Alternatives nest to the right: a|b|c is BRANCH a BRANCH b c, every "end" offset
    // pointing behind c. A sequence never starts with BRANCH, so the chain is walked
    // again through the "second" offsets to fill in the ends.
    int alternation()
    {
        size_t start = m_program.m_code_size;
        size_t alternative = start;
        int branches = 0;
        int status = sequence();
        while (status == 0 && *m_at == '|') {
            ++m_at;
            status = insert(alternative, 3);
            if (status != 0) {
                break;
            }
            size_t second = m_program.m_code_size - alternative;
            if (second >= JUMP_LIMIT) {
                return TARVIK_REGULAR_JUMP_TOO_FAR;
            }
            m_program.m_code[alternative] = OP_BRANCH;
            m_program.m_code[alternative + 1] = static_cast<uint8_t>(second);
            ++branches;
            alternative = m_program.m_code_size;
            status = sequence();
        }
        if (status != 0) {
            return status;
        }
        for (size_t at = start; branches > 0; --branches) {
            size_t end = m_program.m_code_size - at;
            if (end >= JUMP_LIMIT) {
                return TARVIK_REGULAR_JUMP_TOO_FAR;
            }
            m_program.m_code[at + 2] = static_cast<uint8_t>(end);
            at += m_program.m_code[at + 1];
        }
        return 0;
    }

    int sequence()
    {
        m_item = -1;
        m_literal = -1;
        for (;;) {
            char c = *m_at;
            if (c == '\0' || c == '|' || c == ')') {
                return 0;
            }
            ++m_at;
            int status = 0;
            switch (c) {
            case '*':
            case '+':
            case '?':
                status = quantifier(c);
                break;
            case '(':
                status = group();
                break;
            case '[':
                status = set();
                break;
            case '.':
                status = single(OP_ANY);
                break;
            case '^':
                status = anchor(OP_SUBJECT_START);
                break;
            case '$':
                status = anchor(OP_SUBJECT_END);
                break;
            case '\\':
                status = escape();
                break;
            default:
                status = literal(static_cast<uint8_t>(c));
                break;
            }
            if (status != 0) {
                return status;
            }
        }
    }

    int quantifier(char c)
    {
        if (m_item < 0) {
            return TARVIK_REGULAR_SYNTAX; // nothing to repeat
        }
        uint8_t op = OP_OPTIONAL;
        if (c != '?') {
            bool lazy = *m_at == '?';
            if (lazy) {
                ++m_at;
            }
            if (c == '*') {
                op = lazy ? OP_LAZY_STAR : OP_STAR;
            } else {
                op = lazy ? OP_LAZY_PLUS : OP_PLUS;
            }
        }
        uint8_t *code = m_program.m_code;
        size_t item = static_cast<size_t>(m_item);
        if (code[item] == OP_EXACT && code[item + 2] > 1) {
            // The quantifier takes only the last byte of a literal run.
            size_t run = item;
            uint8_t length = --code[run + 2];
            item = m_program.m_code_size;
            int status = emit3(OP_EXACT, static_cast<uint8_t>(code[run + 1] + length), 1);
            if (status != 0) {
                return status;
            }
        }
        size_t end = m_program.m_code_size + 2 - item;
        if (end >= JUMP_LIMIT) {
            return TARVIK_REGULAR_JUMP_TOO_FAR;
        }
        int status = insert(item, 2);
        if (status != 0) {
            return status;
        }
        code[item] = op;
        code[item + 1] = static_cast<uint8_t>(end);
        m_item = -1;
        m_literal = -1;
        return 0;
    }

    int group()
    {
        if (m_program.m_capture_count >= SLOT_LIMIT) {
            return TARVIK_REGULAR_SYNTAX;
        }
        uint8_t slot = static_cast<uint8_t>(m_program.m_capture_count++);
        size_t start = m_program.m_code_size;
        int status = emit(OP_OPEN);
        if (status == 0) {
            status = emit(slot);
        }
        if (status == 0) {
            status = alternation();
        }
        if (status != 0) {
            return status;
        }
        if (*m_at != ')') {
            return TARVIK_REGULAR_SYNTAX;
        }
        ++m_at;
        status = emit(OP_CLOSE);
        if (status == 0) {
            status = emit(slot);
        }
        m_item = static_cast<int>(start);
        m_literal = -1;
        return status;
    }

    int set()
    {
        uint8_t op = OP_ANY_OF;
        if (*m_at == '^') {
            op = OP_ANY_BUT;
            ++m_at;
        }
        size_t start = m_program.m_data_size;
        for (;;) {
            uint8_t c = static_cast<uint8_t>(*m_at);
            if (c == '\0') {
                return TARVIK_REGULAR_BAD_SET;
            }
            ++m_at;
            if (c == ']') {
                break;
            }
            int status = 0;
            if (c != '\\') {
                status = store(c);
            } else {
                uint8_t e = static_cast<uint8_t>(*m_at);
                if (e == '\0') {
                    return TARVIK_REGULAR_BAD_SET;
                }
                ++m_at;
                uint8_t code = set_class(e);
                if (code != 0 || e == '0') {
                    status = store(0);
                    if (status == 0) {
                        status = store(code);
                    }
                } else {
                    status = store(control(e));
                }
            }
            if (status != 0) {
                return status;
            }
        }
        size_t length = m_program.m_data_size - start;
        if (length > LENGTH_LIMIT) {
            return TARVIK_REGULAR_BAD_SET;
        }
        size_t position = m_program.m_code_size;
        // An empty set at a full store never reads its offset.
        int status =
            emit3(op, static_cast<uint8_t>(length == 0 ? 0 : start), static_cast<uint8_t>(length));
        m_item = static_cast<int>(position);
        m_literal = -1;
        return status;
    }

    static uint8_t set_class(uint8_t e)
    {
        switch (e) {
        case 's':
            return OP_SPACE;
        case 'S':
            return OP_NOT_SPACE;
        case 'd':
            return OP_DIGIT;
        default:
            return 0;
        }
    }

    static uint8_t control(uint8_t e)
    {
        switch (e) {
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case '0':
            return '\0';
        default:
            return e;
        }
    }

    int escape()
    {
        uint8_t e = static_cast<uint8_t>(*m_at);
        if (e == '\0') {
            return TARVIK_REGULAR_SYNTAX;
        }
        ++m_at;
        uint8_t code = set_class(e);
        if (code != 0) {
            return single(code);
        }
        return literal(control(e));
    }

    int single(uint8_t op)
    {
        size_t position = m_program.m_code_size;
        m_item = static_cast<int>(position);
        m_literal = -1;
        return emit(op);
    }

    int anchor(uint8_t op)
    {
        m_item = -1; // an anchor cannot be repeated
        m_literal = -1;
        return emit(op);
    }

    // Consecutive literals share one EXACT; its bytes are always the newest of the store.
    int literal(uint8_t c)
    {
        uint8_t *code = m_program.m_code;
        if (m_literal >= 0 && code[m_literal + 2] < LENGTH_LIMIT) {
            int status = store(c);
            if (status == 0) {
                ++code[m_literal + 2];
                m_item = m_literal;
            }
            return status;
        }
        if (m_program.m_data_size >= DATA_LIMIT) {
            return TARVIK_REGULAR_DATA_TOO_LONG;
        }
        size_t position = m_program.m_code_size;
        int status = emit3(OP_EXACT, static_cast<uint8_t>(m_program.m_data_size), 1);
        if (status == 0) {
            status = store(c);
        }
        m_literal = static_cast<int>(position);
        m_item = m_literal;
        return status;
    }

    Program &m_program;
    const char *m_at;
    int m_item = -1;    // code position of the item a quantifier would apply to
    int m_literal = -1; // code position of the literal run still open for more bytes
};

// ---- matcher ----------------------------------------------------------------------

enum EntryKind : uint8_t {
    ENTRY_RESUME,       // continue at m_a with position m_position
    ENTRY_CAPTURE,      // restore capture m_a side m_b to m_extra
    ENTRY_FRAME_PUSHED, // drop the newest frame
    ENTRY_FRAME_POPPED, // put back the frame m_a, m_b, m_c, m_position, m_extra
    ENTRY_GREEDY_RUN,   // quantifier m_a over one-byte items: m_extra items from m_position
    ENTRY_LAZY_RUN,     // the same, taking one more item on each retry
    ENTRY_ITERATE,      // lazy loop m_a: one more iteration at m_position (count m_c)
};

// A record of the backtrack stack: either a choice still to try or an undo step.
struct Entry {
    uint8_t m_kind;
    uint8_t m_a;
    uint8_t m_b;
    uint8_t m_c;
    uint32_t m_position;
    uint32_t m_extra;
};

enum FrameKind : uint8_t { FRAME_BRANCH, FRAME_LOOP };

// The continuation: reaching m_end ends a first alternative (continue at m_target) or
// one iteration of the quantified group at m_target.
struct Frame {
    uint8_t m_kind;
    uint8_t m_end;
    uint8_t m_target;
    uint8_t m_count; // iterations done before this one, saturated at 1
    uint32_t m_start;
};

enum Step { STEP_GO, STEP_FAIL, STEP_MATCH };

class Matcher {
  public:
    Matcher(const Program &program, const uint8_t *subject, uint32_t length, bool fold_case)
        : m_code(program.m_code), m_data(program.m_data), m_code_size(program.m_code_size),
          m_capture_count(program.m_capture_count), m_subject(subject), m_length(length),
          m_fold(fold_case), m_budget(STEP_BASE + STEP_PER_BYTE * length), m_entries(m_inline)
    {
    }

    ~Matcher()
    {
        if (m_entries != m_inline) {
            tarvik_free_tag(m_entries, TARVIK_TAG);
        }
    }

    Matcher(const Matcher &) = delete;
    Matcher &operator=(const Matcher &) = delete;

    // Tries every start position from 0 up (only 0 when anchored).
    int search()
    {
        bool anchored = m_code[2] == OP_SUBJECT_START;
        // A program that starts with a case-sensitive literal can only match where its
        // first byte occurs.
        bool leading = m_code[2] == OP_EXACT && !m_fold;
        for (uint32_t start = 0; start <= m_length; ++start) {
            if (leading) {
                const void *found = memchr(m_subject + start, m_data[m_code[3]], m_length - start);
                if (found == nullptr) {
                    break;
                }
                start = static_cast<uint32_t>(static_cast<const uint8_t *>(found) - m_subject);
            }
            int status = run(start);
            if (status != TARVIK_REGULAR_NO_MATCH || anchored) {
                return status;
            }
        }
        return TARVIK_REGULAR_NO_MATCH;
    }

    // Capture slot as (start, length); a slot outside the match reads as empty.
    void capture(int slot, uint32_t *start, uint32_t *length) const
    {
        uint32_t from = m_capture[slot][0];
        uint32_t to = m_capture[slot][1];
        if (from == UNSET || to == UNSET || to < from) {
            *start = 0;
            *length = 0;
        } else {
            *start = from;
            *length = to - from;
        }
    }

  private:
    int run(uint32_t start)
    {
        m_pc = 0;
        m_position = start;
        m_depth = 0;
        m_frame_count = 0;
        m_error = 0;
        memset(m_capture, 0xFF, sizeof(m_capture));
        for (;;) {
            if (++m_steps > m_budget) {
                return TARVIK_REGULAR_TOO_SLOW;
            }
            Step step = execute();
            if (step == STEP_MATCH) {
                return 0;
            }
            if (step == STEP_FAIL && m_error == 0) {
                backtrack();
            }
            if (m_error != 0) {
                return m_error;
            }
        }
    }

    Step execute()
    {
        if (m_frame_count > 0 && m_pc == m_frames[m_frame_count - 1].m_end) {
            return end_frame();
        }
        if (m_pc >= m_code_size) {
            tarvik_assert_fail_tag("source/regular", __func__, __LINE__,
                                   "s_program_counter < s_regular->m_code_size");
            m_error = TARVIK_REGULAR_NO_MATCH;
            return STEP_FAIL;
        }
        const uint8_t *at = m_code + m_pc;
        switch (at[0]) {
        case OP_END:
            return STEP_MATCH;
        case OP_BRANCH:
            if (!push(ENTRY_RESUME, static_cast<uint8_t>(m_pc + at[1]), 0, 0, m_position, 0) ||
                !push_frame(Frame{FRAME_BRANCH, static_cast<uint8_t>(m_pc + at[1]),
                                  static_cast<uint8_t>(m_pc + at[2]), 0, 0})) {
                return STEP_FAIL;
            }
            m_pc += 3;
            return STEP_GO;
        case OP_EXACT:
            if (!exact(at[1], at[2], m_position)) {
                return STEP_FAIL;
            }
            m_position += at[2];
            m_pc += 3;
            return STEP_GO;
        case OP_ANY:
        case OP_ANY_OF:
        case OP_ANY_BUT:
        case OP_SPACE:
        case OP_NOT_SPACE:
        case OP_DIGIT:
            if (!one(m_pc, m_position)) {
                return STEP_FAIL;
            }
            ++m_position;
            m_pc += width(at[0]);
            return STEP_GO;
        case OP_OPEN:
        case OP_CLOSE:
            if (at[1] >= m_capture_count) {
                tarvik_assert_fail_tag(
                    "source/regular", __func__, __LINE__,
                    "s_regular->m_code[s_program_counter + 1] < s_capture_count");
                m_error = TARVIK_REGULAR_NO_MATCH;
                return STEP_FAIL;
            }
            if (!set_capture(at[1], at[0] == OP_OPEN ? 0 : 1)) {
                return STEP_FAIL;
            }
            m_pc += 2;
            return STEP_GO;
        case OP_SUBJECT_START:
            if (m_position != 0) {
                return STEP_FAIL;
            }
            ++m_pc;
            return STEP_GO;
        case OP_SUBJECT_END:
            if (m_position != m_length) {
                return STEP_FAIL;
            }
            ++m_pc;
            return STEP_GO;
        case OP_STAR:
        case OP_PLUS:
        case OP_LAZY_STAR:
        case OP_LAZY_PLUS:
        case OP_OPTIONAL:
            return quantifier();
        default:
            tarvik_assert_fail_tag("source/regular", __func__, __LINE__, "unknown opcode");
            m_error = TARVIK_REGULAR_NO_MATCH;
            return STEP_FAIL;
        }
    }

    static uint32_t width(uint8_t op) { return (op == OP_ANY_OF || op == OP_ANY_BUT) ? 3 : 1; }

    static bool is_single(const uint8_t *item)
    {
        switch (item[0]) {
        case OP_ANY:
        case OP_ANY_OF:
        case OP_ANY_BUT:
        case OP_SPACE:
        case OP_NOT_SPACE:
        case OP_DIGIT:
            return true;
        case OP_EXACT:
            return item[2] == 1;
        default:
            return false;
        }
    }

    uint8_t quantifier_end(uint8_t quantifier) const
    {
        return static_cast<uint8_t>(quantifier + m_code[quantifier + 1]);
    }

    static uint32_t minimum(uint8_t op) { return (op == OP_PLUS || op == OP_LAZY_PLUS) ? 1 : 0; }

    static bool is_lazy(uint8_t op) { return op == OP_LAZY_STAR || op == OP_LAZY_PLUS; }

    // Quantifiers over one-byte items keep a whole run in one backtrack record, so that
    // ".*" over a long subject costs no stack; groups iterate through loop frames.
    Step quantifier()
    {
        uint8_t q = static_cast<uint8_t>(m_pc);
        uint8_t op = m_code[q];
        uint8_t end = quantifier_end(q);
        uint32_t item = q + 2u;
        if (!is_single(m_code + item)) {
            return loop(q, 0);
        }
        if (op == OP_OPTIONAL) {
            if (!push(ENTRY_RESUME, end, 0, 0, m_position, 0)) {
                return STEP_FAIL;
            }
            m_pc = item;
            return STEP_GO;
        }
        uint32_t least = minimum(op);
        uint32_t count = 0;
        if (is_lazy(op)) {
            if (least == 1 && !one(item, m_position)) {
                return STEP_FAIL;
            }
            count = least;
            if (!push(ENTRY_LAZY_RUN, q, 0, 0, m_position, count)) {
                return STEP_FAIL;
            }
        } else {
            uint32_t most = m_length - m_position;
            while (count < most && one(item, m_position + count)) {
                ++count;
            }
            m_steps += count;
            if (count < least) {
                return STEP_FAIL;
            }
            if (count > least && !push(ENTRY_GREEDY_RUN, q, 0, 0, m_position, count)) {
                return STEP_FAIL;
            }
        }
        m_position += count;
        m_pc = end;
        return STEP_GO;
    }

    // Decides, before a possible iteration of the group quantified at q, what to try
    // first; count is the number of iterations done (saturated at 1).
    Step loop(uint8_t q, uint8_t count)
    {
        uint8_t op = m_code[q];
        uint8_t end = quantifier_end(q);
        if (op == OP_OPTIONAL && count > 0) {
            m_pc = end;
            return STEP_GO;
        }
        if (count >= minimum(op)) {
            if (is_lazy(op)) {
                if (!push(ENTRY_ITERATE, q, 0, count, m_position, 0)) {
                    return STEP_FAIL;
                }
                m_pc = end;
                return STEP_GO;
            }
            if (!push(ENTRY_RESUME, end, 0, 0, m_position, 0)) {
                return STEP_FAIL;
            }
        }
        return iterate(q, count);
    }

    Step iterate(uint8_t q, uint8_t count)
    {
        if (!push_frame(Frame{FRAME_LOOP, quantifier_end(q), q, count, m_position})) {
            return STEP_FAIL;
        }
        m_pc = q + 2u;
        return STEP_GO;
    }

    Step end_frame()
    {
        Frame frame = m_frames[m_frame_count - 1];
        if (!push(ENTRY_FRAME_POPPED, frame.m_kind, frame.m_end, frame.m_target, frame.m_start,
                  frame.m_count)) {
            return STEP_FAIL;
        }
        --m_frame_count;
        if (frame.m_kind == FRAME_BRANCH) {
            m_pc = frame.m_target;
            return STEP_GO;
        }
        // An iteration beyond the required ones that consumed nothing would repeat
        // forever without progress: it fails, as in ECMAScript.
        if (m_position == frame.m_start && frame.m_count >= minimum(m_code[frame.m_target])) {
            return STEP_FAIL;
        }
        return loop(frame.m_target, 1);
    }

    // Pops records until a choice can be resumed; sets m_error when none is left.
    void backtrack()
    {
        for (;;) {
            if (m_depth == 0) {
                m_error = TARVIK_REGULAR_NO_MATCH;
                return;
            }
            if (++m_steps > m_budget) {
                m_error = TARVIK_REGULAR_TOO_SLOW;
                return;
            }
            Entry &entry = m_entries[m_depth - 1];
            switch (entry.m_kind) {
            case ENTRY_RESUME:
                m_pc = entry.m_a;
                m_position = entry.m_position;
                --m_depth;
                return;
            case ENTRY_CAPTURE:
                m_capture[entry.m_a][entry.m_b] = entry.m_extra;
                --m_depth;
                break;
            case ENTRY_FRAME_PUSHED:
                --m_frame_count;
                --m_depth;
                break;
            case ENTRY_FRAME_POPPED:
                m_frames[m_frame_count++] =
                    Frame{entry.m_a, entry.m_b, entry.m_c, static_cast<uint8_t>(entry.m_extra),
                          entry.m_position};
                --m_depth;
                break;
            case ENTRY_GREEDY_RUN: {
                uint32_t count = --entry.m_extra;
                m_position = entry.m_position + count;
                m_pc = quantifier_end(entry.m_a);
                if (count == minimum(m_code[entry.m_a])) {
                    --m_depth;
                }
                return;
            }
            case ENTRY_LAZY_RUN: {
                uint32_t at = entry.m_position + entry.m_extra;
                if (at < m_length && one(entry.m_a + 2u, at)) {
                    ++entry.m_extra;
                    m_position = at + 1;
                    m_pc = quantifier_end(entry.m_a);
                    return;
                }
                --m_depth;
                break;
            }
            case ENTRY_ITERATE: {
                uint8_t q = entry.m_a;
                uint8_t count = entry.m_c;
                m_position = entry.m_position;
                --m_depth;
                iterate(q, count);
                return;
            }
            default:
                --m_depth;
                break;
            }
        }
    }

    bool set_capture(uint8_t slot, uint8_t side)
    {
        if (!push(ENTRY_CAPTURE, slot, side, 0, 0, m_capture[slot][side])) {
            return false;
        }
        m_capture[slot][side] = m_position;
        return true;
    }

    bool push_frame(const Frame &frame)
    {
        if (m_frame_count >= FRAME_LIMIT) {
            m_error = TARVIK_REGULAR_TOO_DEEP;
            return false;
        }
        if (!push(ENTRY_FRAME_PUSHED, 0, 0, 0, 0, 0)) {
            return false;
        }
        m_frames[m_frame_count++] = frame;
        return true;
    }

    // False (with m_error set) when the backtrack stack may not grow any further.
    bool push(uint8_t kind, uint8_t a, uint8_t b, uint8_t c, uint32_t position, uint32_t extra)
    {
        if (m_depth == m_capacity && !grow()) {
            m_error = TARVIK_REGULAR_TOO_DEEP;
            return false;
        }
        m_entries[m_depth++] = Entry{kind, a, b, c, position, extra};
        return true;
    }

    bool grow()
    {
        if (m_capacity >= ENTRY_LIMIT) {
            return false;
        }
        size_t capacity = m_capacity * 4 < ENTRY_LIMIT ? m_capacity * 4 : ENTRY_LIMIT;
        auto *entries =
            static_cast<Entry *>(tarvik_alloc_tag(capacity * sizeof(Entry), TARVIK_TAG));
        if (entries == nullptr) {
            return false;
        }
        memcpy(entries, m_entries, m_depth * sizeof(Entry));
        if (m_entries != m_inline) {
            tarvik_free_tag(m_entries, TARVIK_TAG);
        }
        m_entries = entries;
        m_capacity = capacity;
        return true;
    }

    bool exact(uint8_t offset, uint8_t length, uint32_t at) const
    {
        if (m_length - at < length) {
            return false;
        }
        const uint8_t *literal = m_data + offset;
        const uint8_t *text = m_subject + at;
        if (!m_fold) {
            return memcmp(literal, text, length) == 0;
        }
        for (uint8_t i = 0; i < length; ++i) {
            if (fold(literal[i]) != fold(text[i])) {
                return false;
            }
        }
        return true;
    }

    bool in_set(uint8_t offset, uint8_t length, uint8_t c) const
    {
        const uint8_t *member = m_data + offset;
        const uint8_t *end = member + length;
        while (member < end) {
            if (*member != 0) {
                if (*member == c) {
                    return true;
                }
                ++member;
                continue;
            }
            uint8_t code = member + 1 < end ? member[1] : 0;
            if ((code == 0 && c == 0) || (code == OP_SPACE && is_space(c)) ||
                (code == OP_NOT_SPACE && !is_space(c)) || (code == OP_DIGIT && is_digit(c))) {
                return true;
            }
            member += 2;
        }
        return false;
    }

    // Whether the one-byte item at pc matches the subject byte at position at.
    bool one(uint32_t pc, uint32_t at) const
    {
        if (at >= m_length) {
            return false;
        }
        uint8_t c = m_subject[at];
        const uint8_t *item = m_code + pc;
        switch (item[0]) {
        case OP_ANY:
            return true;
        case OP_EXACT:
            return m_fold ? fold(m_data[item[1]]) == fold(c) : m_data[item[1]] == c;
        case OP_ANY_OF:
            return in_set(item[1], item[2], c);
        case OP_ANY_BUT:
            return !in_set(item[1], item[2], c);
        case OP_SPACE:
            return is_space(c);
        case OP_NOT_SPACE:
            return !is_space(c);
        case OP_DIGIT:
            return is_digit(c);
        default:
            return false;
        }
    }

    const uint8_t *m_code;
    const uint8_t *m_data;
    uint32_t m_code_size;
    int m_capture_count;
    const uint8_t *m_subject;
    uint32_t m_length;
    bool m_fold;
    uint64_t m_steps = 0;
    uint64_t m_budget;
    uint32_t m_pc = 0;
    uint32_t m_position = 0;
    int m_error = 0;
    uint32_t m_capture[SLOT_LIMIT][2];
    Frame m_frames[FRAME_LIMIT];
    size_t m_frame_count = 0;
    Entry *m_entries;
    size_t m_depth = 0;
    size_t m_capacity = INLINE_ENTRIES;
    Entry m_inline[INLINE_ENTRIES];
};

// ---- capture delivery --------------------------------------------------------------

int deliver_copy(int size, void *destination, const char *text, uint32_t length)
{
    char *buffer = static_cast<char *>(destination);
    if (size <= 0 || length >= static_cast<uint32_t>(size)) {
        if (size > 0) {
            buffer[0] = '\0';
        }
        return TARVIK_REGULAR_TOO_SMALL;
    }
    memcpy(buffer, text, length);
    buffer[length] = '\0';
    return 0;
}

// The leading decimal number of the capture (after white space, with an optional sign), read
// no further than the capture. A value the integer cannot hold, signed or unsigned, is refused
// rather than wrapped, and the destination is then left as it was.
int deliver_integer(int size, void *destination, const char *text, uint32_t length)
{
    if (size != 1 && size != 2 && size != 4 && size != 8) {
        return TARVIK_REGULAR_BAD_SIZE;
    }
    tarvik::detail::Cursor cursor(text, length);
    cursor.skip_space();
    const bool negative = cursor.take_if('-');
    if (!negative) {
        cursor.take_if('+');
    }
    const unsigned bits = static_cast<unsigned>(size) * 8u;
    const uint64_t limit = negative ? uint64_t{1} << (bits - 1)
                                    : (bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1u);
    uint64_t magnitude = 0;
    if (!cursor.decimal(&magnitude, limit)) {
        return TARVIK_REGULAR_BAD_NUMBER;
    }
    const uint64_t value = negative ? 0u - magnitude : magnitude;
    // memcpy: the caller's integer need not be aligned for its size.
    if (size == 1) {
        auto narrow = static_cast<uint8_t>(value);
        memcpy(destination, &narrow, sizeof(narrow));
    } else if (size == 2) {
        auto narrow = static_cast<uint16_t>(value);
        memcpy(destination, &narrow, sizeof(narrow));
    } else if (size == 4) {
        auto narrow = static_cast<uint32_t>(value);
        memcpy(destination, &narrow, sizeof(narrow));
    } else {
        memcpy(destination, &value, sizeof(value));
    }
    return 0;
}

int deliver_alloc(int size, void *destination, const char *text, uint32_t length)
{
    char **target = static_cast<char **>(destination);
    if (*target != nullptr) {
        return TARVIK_REGULAR_BAD_DESTINATION; // would leak or clobber the caller's string
    }
    if (size > 0 && length > static_cast<uint32_t>(size - 1)) {
        length = static_cast<uint32_t>(size - 1);
    }
    char *copy = static_cast<char *>(tarvik_alloc_tag(static_cast<size_t>(length) + 1, TARVIK_TAG));
    if (copy == nullptr) {
        return TARVIK_REGULAR_NO_MEMORY;
    }
    memcpy(copy, text, length);
    copy[length] = '\0';
    *target = copy;
    return 0;
}

int deliver(const Matcher &matcher, int capture_count, const char *subject, va_list arguments)
{
    for (int slot = 1; slot < capture_count; ++slot) {
        int kind = va_arg(arguments, int);
        int size = va_arg(arguments, int);
        void *destination = va_arg(arguments, void *);
        uint32_t start = 0;
        uint32_t length = 0;
        matcher.capture(slot, &start, &length);
        const char *text = subject + start;
        int status = 0;
        if (kind < TARVIK_REGULAR_COPY || kind > TARVIK_REGULAR_ALLOC) {
            status = TARVIK_REGULAR_BAD_KIND;
        } else if (destination == nullptr) {
            status = TARVIK_REGULAR_BAD_DESTINATION;
        } else if (kind == TARVIK_REGULAR_COPY) {
            status = deliver_copy(size, destination, text, length);
        } else if (kind == TARVIK_REGULAR_INTEGER) {
            status = deliver_integer(size, destination, text, length);
        } else {
            status = deliver_alloc(size, destination, text, length);
        }
        if (status != 0) {
            return status;
        }
    }
    return 0;
}

} // namespace

extern "C" {

TARVIK_API int tarvik_regular(int flags, const char *pattern, const char *subject,
                              size_t subject_length, ...)
{
    if (pattern == nullptr || (subject == nullptr && subject_length != 0) ||
        subject_length >= UINT32_MAX) {
        return TARVIK_REGULAR_BAD_ARGUMENT;
    }
    if (subject == nullptr) {
        subject = "";
    }
    Program program;
    Compiler compiler(program, pattern);
    int status = compiler.compile();
    if (status != 0) {
        return status;
    }
    Matcher matcher(program, reinterpret_cast<const uint8_t *>(subject),
                    static_cast<uint32_t>(subject_length),
                    (flags & TARVIK_REGULAR_IGNORE_CASE) != 0);
    status = matcher.search();
    if (status != 0) {
        return status;
    }
    va_list arguments;
    va_start(arguments, subject_length);
    status = deliver(matcher, program.m_capture_count, subject, arguments);
    va_end(arguments);
    return status;
}

} // extern "C"
