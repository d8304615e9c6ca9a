// The byte-buffer queue: node layout and coalescing, ownership of referenced and handed-over
// memory, peek/pop, line splitting across pushes, file loading and the handler thread. The
// queue's invariants are checked after every step.
#include "tarvik_test.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t WIPE = TARVIK_BUFFER_WIPE;
constexpr uint32_t REFERENCE = TARVIK_BUFFER_REFERENCE;
constexpr uint32_t HAND_OVER = TARVIK_BUFFER_HAND_OVER;
constexpr uint32_t EXACT = TARVIK_BUFFER_EXACT;

// Everything that must hold between two operations on a buffer at rest.
::testing::AssertionResult sane(const tarvik_buffer_t *buffer)
{
    if (buffer == nullptr) {
        return ::testing::AssertionFailure() << "null buffer";
    }
    if ((buffer->m_first == nullptr) != (buffer->m_last == nullptr)) {
        return ::testing::AssertionFailure() << "first/last disagree about emptiness";
    }
    if (buffer->m_unit_size != TARVIK_BUFFER_UNIT_SIZE) {
        return ::testing::AssertionFailure() << "unit size " << buffer->m_unit_size;
    }
    const uint32_t known = 0xFu | 0x7000u | TARVIK_BUFFER_END | TARVIK_BUFFER_SCAN_OVERLONG;
    if ((buffer->m_flags & ~known) != 0) {
        return ::testing::AssertionFailure() << "stray flags " << std::hex << buffer->m_flags;
    }
    // Both breaks are never pending at once, and a pending break is never inside a
    // double-byte character.
    if ((buffer->m_flags & 0x6000u) == 0x6000u ||
        ((buffer->m_flags & 0x6000u) != 0 &&
         (buffer->m_flags & TARVIK_BUFFER_SCAN_DOUBLE_BYTE) != 0)) {
        return ::testing::AssertionFailure() << "scanner state " << std::hex << buffer->m_flags;
    }
    // The scanner's place: m_scanned bytes from the front, ending at m_scan_at of m_scan_node.
    if (buffer->m_scanned > buffer->m_size ||
        (buffer->m_scanned == 0) != (buffer->m_scan_node == nullptr)) {
        return ::testing::AssertionFailure()
               << "scanned " << buffer->m_scanned << " of " << buffer->m_size;
    }
    if (buffer->m_scan_node != nullptr) {
        uint64_t before = 0;
        const tarvik_buffer_node_t *node = buffer->m_first;
        for (; node != nullptr && node != buffer->m_scan_node; node = node->m_next) {
            before += node->m_used - node->m_consumed;
        }
        if (node == nullptr || buffer->m_scan_at <= node->m_consumed ||
            buffer->m_scan_at > node->m_used ||
            before + (buffer->m_scan_at - node->m_consumed) != buffer->m_scanned) {
            return ::testing::AssertionFailure()
                   << "scan place disagrees with " << before << " bytes in front of its node";
        }
    }
    uint64_t sum = 0;
    size_t count = 0;
    const tarvik_buffer_node_t *last = nullptr;
    for (const tarvik_buffer_node_t *node = buffer->m_first; node != nullptr; node = node->m_next) {
        if (++count > 1000000) {
            return ::testing::AssertionFailure() << "node list does not end";
        }
        if (!(node->m_consumed < node->m_used && node->m_used <= node->m_capacity)) {
            return ::testing::AssertionFailure()
                   << "node " << count << ": consumed " << node->m_consumed << ", used "
                   << node->m_used << ", capacity " << node->m_capacity;
        }
        if ((node->m_flags & ~0xFu) != 0) {
            return ::testing::AssertionFailure() << "node flags " << std::hex << node->m_flags;
        }
        const bool foreign = (node->m_flags & (REFERENCE | HAND_OVER)) != 0;
        if (foreign) {
            if (node->m_capacity != node->m_used || node->m_data == nullptr) {
                return ::testing::AssertionFailure() << "foreign node " << count;
            }
        } else {
            if (node->m_data != reinterpret_cast<const uint8_t *>(node + 1)) {
                return ::testing::AssertionFailure() << "copying node data area " << count;
            }
            if ((node->m_flags & EXACT) == 0 && node->m_capacity < TARVIK_BUFFER_UNIT_SIZE) {
                return ::testing::AssertionFailure() << "small copying node " << count;
            }
        }
        sum += node->m_used - node->m_consumed;
        last = node;
    }
    if (last != buffer->m_last) {
        return ::testing::AssertionFailure() << "last node is not the list's end";
    }
    if (sum != buffer->m_size) {
        return ::testing::AssertionFailure() << "size " << buffer->m_size << ", nodes hold " << sum;
    }
    return ::testing::AssertionSuccess();
}

size_t node_count(const tarvik_buffer_t *buffer)
{
    size_t count = 0;
    for (const tarvik_buffer_node_t *node = buffer->m_first; node != nullptr; node = node->m_next) {
        ++count;
    }
    return count;
}

std::vector<uint32_t> capacities(const tarvik_buffer_t *buffer)
{
    std::vector<uint32_t> result;
    for (const tarvik_buffer_node_t *node = buffer->m_first; node != nullptr; node = node->m_next) {
        result.push_back(node->m_capacity);
    }
    return result;
}

// A buffer whose every operation is followed by the invariant check.
class Queue {
  public:
    explicit Queue(uint32_t flags = 0) : m_buffer(tarvik_open_buffer_ex(flags)) { check(); }
    ~Queue() { tarvik_close_buffer(m_buffer); }
    Queue(const Queue &) = delete;
    Queue &operator=(const Queue &) = delete;

    tarvik_buffer_t *get() const { return m_buffer; }
    void check() const { EXPECT_TRUE(sane(m_buffer)); }

    size_t push(const void *data, size_t length, uint32_t flags = 0)
    {
        size_t n = tarvik_push_buffer_ex(m_buffer, data, length, flags);
        check();
        return n;
    }
    size_t push(const std::string &text, uint32_t flags = 0)
    {
        return push(text.data(), text.size(), flags);
    }
    std::string peek(size_t length, size_t offset = 0, int exact = 0)
    {
        std::string out(length, '\0');
        out.resize(tarvik_peek_buffer_ex(m_buffer, out.data(), length, offset, exact));
        check();
        return out;
    }
    std::string pop(size_t length, int exact = 0)
    {
        std::string out(length, '\0');
        out.resize(tarvik_pop_buffer_ex(m_buffer, out.data(), length, exact));
        check();
        return out;
    }
    // Pops one line; false when none is complete.
    bool line(std::string &out)
    {
        char *text = tarvik_pop_buffer_line(m_buffer);
        check();
        if (text == nullptr) {
            return false;
        }
        out = text;
        tarvik_free_tag(text, "test", 0);
        return true;
    }
    // Pops one line of at most max bytes; false when none is complete.
    bool bounded_line(size_t max, std::string &out, bool &overlong)
    {
        int flag = -1;
        char *text = tarvik_pop_buffer_line_ex(m_buffer, max, &flag);
        check();
        EXPECT_TRUE(flag == 0 || (flag == 1 && text != nullptr)) << "overlong flag " << flag;
        overlong = flag == 1;
        if (text == nullptr) {
            return false;
        }
        out = text;
        tarvik_free_tag(text, "test", 0);
        return true;
    }
    std::vector<std::string> lines()
    {
        std::vector<std::string> result;
        std::string text;
        while (line(text)) {
            result.push_back(text);
        }
        return result;
    }
    void end()
    {
        EXPECT_EQ(tarvik_end_buffer(m_buffer), 0);
        check();
    }
    size_t size() const { return tarvik_get_buffer_size(m_buffer); }
    uint64_t offset() const { return tarvik_get_buffer_offset(m_buffer); }

  private:
    tarvik_buffer_t *m_buffer;
};

std::string take_block(void *block, size_t length)
{
    std::string text(static_cast<const char *>(block), length);
    tarvik_free_tag(block, "test", 0);
    return text;
}

void *heap_copy(const std::string &text)
{
    void *block = tarvik_alloc_tag(text.size(), "test", 0);
    memcpy(block, text.data(), text.size());
    return block;
}

class BufferTest : public TarvikTest {};

// ---- nodes --------------------------------------------------------------------------------

TEST_F(BufferTest, SmallPushesCoalesceIntoOneUnitNode)
{
    Queue q;
    EXPECT_EQ(q.push("0123456789"), 10u);
    EXPECT_EQ(q.push("abcdefghij"), 10u);
    EXPECT_EQ(q.push("ABCDEFGHIJ"), 10u);
    EXPECT_EQ(capacities(q.get()), std::vector<uint32_t>{4096});
    size_t length = 0;
    void *node = tarvik_get_buffer_node(q.get(), &length);
    q.check();
    ASSERT_EQ(length, 30u);
    EXPECT_EQ(take_block(node, length), "0123456789abcdefghijABCDEFGHIJ");
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(q.offset(), 30u);
    EXPECT_EQ(tarvik_get_buffer_node(q.get(), &length), nullptr);
    EXPECT_EQ(length, 0u);
}

TEST_F(BufferTest, PushFillsTheLastNodeThenAddsOneNodeForTheRest)
{
    Queue q;
    std::string a(4000, 'a');
    std::string b(200, 'b');
    std::string c(9000, 'c');
    q.push(a);
    q.push(b); // 96 bytes fill the first node, 104 start a new one
    EXPECT_EQ(capacities(q.get()), (std::vector<uint32_t>{4096, 4096}));
    q.push(c); // fills the second node, the rest gets a node of its own size
    EXPECT_EQ(capacities(q.get()), (std::vector<uint32_t>{4096, 4096, 9000 - (4096 - 104)}));
    EXPECT_EQ(q.size(), a.size() + b.size() + c.size());
    EXPECT_EQ(q.pop(q.size()), a + b + c);
    EXPECT_EQ(node_count(q.get()), 0u);
}

TEST_F(BufferTest, ExactPushesKeepOneNodePerPush)
{
    Queue q;
    q.push("abc", 3, EXACT);
    q.push("defgh", 5, EXACT);
    q.push("ijklmno", 7, EXACT);
    EXPECT_EQ(capacities(q.get()), (std::vector<uint32_t>{3, 5, 7}));
    std::vector<std::string> pieces;
    size_t length = 0;
    while (void *block = tarvik_get_buffer_node(q.get(), &length)) {
        q.check();
        pieces.push_back(take_block(block, length));
    }
    EXPECT_EQ(pieces, (std::vector<std::string>{"abc", "defgh", "ijklmno"}));

    Queue exact(EXACT); // as an open flag it applies to every push
    exact.push("ab");
    exact.push("cde");
    EXPECT_EQ(capacities(exact.get()), (std::vector<uint32_t>{2, 3}));
}

TEST_F(BufferTest, NullDataQueuesZerosOnlyWhenCopying)
{
    Queue q;
    EXPECT_EQ(q.push(nullptr, 5), 5u);
    q.push("x");
    EXPECT_EQ(q.pop(6), std::string("\0\0\0\0\0x", 6));
    EXPECT_EQ(q.push(nullptr, 5, REFERENCE), 0u);
    EXPECT_EQ(q.push(nullptr, 5, HAND_OVER), 0u);
    EXPECT_EQ(q.push("abc", 0), 0u);
    EXPECT_EQ(node_count(q.get()), 0u); // an empty push leaves no empty node behind
}

TEST_F(BufferTest, PushBeyondTheSizeWordIsRefused)
{
    if (sizeof(size_t) <= 4) {
        GTEST_SKIP() << "needs a 64-bit size_t";
    }
    Queue q;
    static const char small[8] = "1234567";
    q.push(small, 7, REFERENCE);
    // A reference push reads nothing, so the huge length is safe to try.
    EXPECT_EQ(q.push(small, static_cast<size_t>(UINT32_MAX), REFERENCE), 0u);
    EXPECT_EQ(q.size(), 7u);
}

// ---- ownership ----------------------------------------------------------------------------

TEST_F(BufferTest, ReferencedMemoryIsReadInPlaceAndNeverFreedOrWritten)
{
    static const char text[] = "read-only text"; // wiping it would fault
    size_t blocks = tarvik_get_alloc_count();
    {
        Queue q;
        q.push(text, 4, REFERENCE | WIPE);
        q.push(text + 4, sizeof(text) - 5, REFERENCE);
        EXPECT_EQ(q.get()->m_first->m_data, reinterpret_cast<const uint8_t *>(text));
        EXPECT_EQ(tarvik_get_alloc_count(), blocks + 3); // handle and two headers, no copies
        EXPECT_EQ(q.pop(6), "read-o");
        EXPECT_EQ(q.peek(100), "nly text");
    }
    EXPECT_STREQ(text, "read-only text");

    Queue by_flag(REFERENCE);
    by_flag.push(text, 4);
    EXPECT_EQ(by_flag.get()->m_first->m_data, reinterpret_cast<const uint8_t *>(text));
}

TEST_F(BufferTest, HandedOverBlocksAreFreedWithTheirNode)
{
    {
        Queue q;
        q.push(heap_copy("first"), 5, HAND_OVER);
        q.push(heap_copy("second"), 6, HAND_OVER | WIPE);
        q.push("third");
        EXPECT_EQ(q.pop(8), "firstsec");
    } // the rest is released with the buffer; the fixture catches leaks and double frees
    Queue q;
    q.push(heap_copy("gone"), 0, HAND_OVER); // nothing queued, still the queue's to free
    EXPECT_EQ(tarvik_push_buffer_ex(nullptr, heap_copy("x"), 1, HAND_OVER), 0u);
    EXPECT_EQ(q.size(), 0u);
}

TEST_F(BufferTest, AllocatingPopReturnsAHandedOverBlockItself)
{
    Queue q;
    void *block = heap_copy("exactly");
    q.push(block, 7, HAND_OVER);
    q.push("tail");
    void *popped = tarvik_alloc_pop_buffer(q.get(), 7);
    q.check();
    EXPECT_EQ(popped, block);
    EXPECT_EQ(take_block(popped, 7), "exactly");

    void *partly = heap_copy("partly");
    tarvik_flush_buffer(q.get());
    q.push(partly, 6, HAND_OVER);
    EXPECT_EQ(q.pop(1), "p");
    void *copy = tarvik_alloc_pop_buffer(q.get(), 5);
    q.check();
    EXPECT_NE(copy, partly); // partly consumed: a copy
    EXPECT_EQ(take_block(copy, 5), "artly");
}

// ---- peek and pop -------------------------------------------------------------------------

TEST_F(BufferTest, PeekCopiesWithoutConsuming)
{
    Queue q;
    q.push("abc", 3, EXACT);
    q.push("defg", 4, EXACT);
    q.push("hij", 3, EXACT);
    struct Row {
        size_t length, offset;
        int exact;
        const char *expected;
    };
    const Row rows[] = {
        {4, 0, 0, "abcd"}, {3, 2, 0, "cde"},        {10, 0, 0, "abcdefghij"}, {5, 7, 0, "hij"},
        {5, 7, 1, ""},     {3, 7, 1, "hij"},        {1, 10, 0, ""},           {0, 3, 1, ""},
        {2, 3, 1, "de"},   {20, 1, 0, "bcdefghij"}, {4, 6, 0, "ghij"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(q.peek(row.length, row.offset, row.exact), row.expected)
            << "length " << row.length << " offset " << row.offset << " exact " << row.exact;
    }
    char untouched[4] = {'z', 'z', 'z', 'z'};
    EXPECT_EQ(tarvik_peek_buffer_ex(q.get(), untouched, 4, 8, 1), 0u);
    EXPECT_EQ(std::string(untouched, 4), "zzzz");
    EXPECT_EQ(tarvik_peek_buffer_uint8(q.get(), 3), 'd');
    EXPECT_EQ(tarvik_peek_buffer_uint8(q.get(), 10), -1);
    EXPECT_EQ(q.size(), 10u);
    EXPECT_EQ(q.pop(2), "ab");
    EXPECT_EQ(q.peek(3, 1), "def"); // offsets count from the new front
}

TEST_F(BufferTest, PopAcrossNodesDiscardsAndCountsTheOffset)
{
    Queue q;
    for (const char *piece : {"ab", "cdef", "g", "hijkl"}) {
        q.push(piece, strlen(piece), EXACT);
    }
    EXPECT_EQ(q.pop(3), "abc");
    EXPECT_EQ(node_count(q.get()), 3u); // "ab" was released
    EXPECT_EQ(q.pop(4, 0), "defg");
    EXPECT_EQ(q.pop(6, 1), ""); // only five left
    EXPECT_EQ(tarvik_pop_buffer_ex(q.get(), nullptr, 2, 1), 2u);
    q.check();
    EXPECT_EQ(tarvik_pop_buffer_uint8(q.get()), 'j');
    q.check();
    EXPECT_EQ(q.offset(), 10u);
    EXPECT_EQ(q.pop(100), "kl");
    EXPECT_EQ(tarvik_pop_buffer_uint8(q.get()), -1);
    EXPECT_EQ(tarvik_set_buffer_offset(q.get(), 1000), 0);
    q.push("xyz");
    EXPECT_EQ(tarvik_flush_buffer(q.get()), 3u);
    q.check();
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(q.offset(), 1003u);
}

TEST_F(BufferTest, AllocatingPopTakesAtMostTheQueuedBytes)
{
    Queue q;
    EXPECT_EQ(tarvik_alloc_pop_buffer(q.get(), 4), nullptr); // empty
    q.push("abc", 3, EXACT);
    q.push("defgh", 5, EXACT);
    EXPECT_EQ(tarvik_alloc_pop_buffer(q.get(), 0), nullptr);
    EXPECT_EQ(tarvik_alloc_pop_buffer_ex(q.get(), 9, 1), nullptr);
    q.check();
    void *block = tarvik_alloc_pop_buffer_ex(q.get(), 5, 1);
    q.check();
    EXPECT_EQ(take_block(block, 5), "abcde");
    block = tarvik_alloc_pop_buffer(q.get(), 100); // min(size, length)
    q.check();
    EXPECT_EQ(take_block(block, 3), "fgh");
    EXPECT_EQ(q.offset(), 8u);
}

TEST_F(BufferTest, NullBufferIsHarmless)
{
    char byte = 0;
    size_t length = 7;
    EXPECT_EQ(tarvik_close_buffer(nullptr), nullptr);
    EXPECT_EQ(tarvik_push_buffer(nullptr, "a", 1), 0u);
    EXPECT_EQ(tarvik_push_puts(nullptr, "a"), 0u);
    EXPECT_EQ(tarvik_push_printf(nullptr, "%d", 1), 0u);
    EXPECT_EQ(tarvik_peek_buffer(nullptr, &byte, 1), 0u);
    EXPECT_EQ(tarvik_peek_buffer_uint8(nullptr, 0), -1);
    EXPECT_EQ(tarvik_pop_buffer(nullptr, &byte, 1), 0u);
    EXPECT_EQ(tarvik_pop_buffer_uint8(nullptr), -1);
    EXPECT_EQ(tarvik_alloc_pop_buffer(nullptr, 1), nullptr);
    EXPECT_EQ(tarvik_get_buffer_node(nullptr, &length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(tarvik_pop_buffer_line(nullptr), nullptr);
    EXPECT_EQ(tarvik_flush_buffer(nullptr), 0u);
    EXPECT_EQ(tarvik_end_buffer(nullptr), 0);
    EXPECT_EQ(tarvik_get_buffer_size(nullptr), 0u);
    EXPECT_EQ(tarvik_get_buffer_offset(nullptr), 0u);
    EXPECT_EQ(tarvik_push_buffer_from_file(nullptr, "/dev/null", 0, 0), -1);
}

// ---- formatted pushes ---------------------------------------------------------------------

TEST_F(BufferTest, FormattedPushesQueueTheText)
{
    Queue q;
    EXPECT_EQ(tarvik_push_printf(q.get(), "<%s n='%d'/>", "item", 42), 14u);
    EXPECT_EQ(tarvik_push_puts(q.get(), "tail"), 4u);
    EXPECT_EQ(tarvik_push_puts(q.get(), nullptr), 0u);
    EXPECT_EQ(tarvik_push_printf(q.get(), "%s", ""), 0u);
    q.check();
    EXPECT_EQ(q.pop(100), "<item n='42'/>tail");

    // The formatted text is a temporary: even a referencing buffer must copy it.
    Queue reference(REFERENCE);
    EXPECT_EQ(tarvik_push_printf(reference.get(), "%05d", 7), 5u);
    reference.check();
    EXPECT_EQ(reference.pop(5), "00007");
}

// ---- line splitting -----------------------------------------------------------------------

struct LineRow {
    std::vector<std::string> pushes; // a line pop is tried after each push
    bool end;
    std::vector<std::string> lines;
    size_t left; // bytes still queued at the end
};

class LineTest : public TarvikTest, public ::testing::WithParamInterface<LineRow> {};

TEST_P(LineTest, SplitsLines)
{
    const LineRow &row = GetParam();
    Queue q;
    std::vector<std::string> lines;
    for (const std::string &piece : row.pushes) {
        q.push(piece);
        for (const std::string &line : q.lines()) {
            lines.push_back(line);
        }
    }
    if (row.end) {
        q.end();
        for (const std::string &line : q.lines()) {
            lines.push_back(line);
        }
    }
    EXPECT_EQ(lines, row.lines);
    EXPECT_EQ(q.size(), row.left);
}

const std::string HIGH = "\x80";

INSTANTIATE_TEST_SUITE_P(
    Buffer, LineTest,
    ::testing::Values(
        LineRow{{"abc\n"}, false, {"abc"}, 0}, LineRow{{"abc\r"}, false, {"abc"}, 0},
        LineRow{{"abc\r", "\n"}, false, {"abc"}, 0}, // the LF is swallowed, no empty line
        LineRow{{"abc\n", "\r"}, false, {"abc"}, 0},
        LineRow{{"a\r\nb\n\rc\r"}, false, {"a", "b", "c"}, 0},
        LineRow{{"a\n\nb\n"}, false, {"a", "", "b"}, 0}, LineRow{{"a\r\r"}, false, {"a", ""}, 0},
        LineRow{{"a\r", "\r"}, false, {"a", ""}, 0}, LineRow{{"a\r\n\r\n"}, false, {"a", ""}, 0},
        LineRow{{"a\n\r\n"}, false, {"a", ""}, 0},
        LineRow{{"a\r", "\n", "\n"}, false, {"a", ""}, 0},
        LineRow{{"a\r", "x\n"}, false, {"a", "x"}, 0}, LineRow{{"\n"}, false, {""}, 0},
        // a high byte takes the next byte as its trail, but never a byte below 0x40: a line
        // break always ends the line, in UTF-8, Latin-1, kana or code page 949 text alike
        LineRow{{HIGH + "\nx\n"}, false, {HIGH, "x"}, 0},
        LineRow{{HIGH, "\n", "\n"}, false, {HIGH, ""}, 0},
        LineRow{{HIGH + HIGH + "\n"}, false, {HIGH + HIGH}, 0},
        LineRow{{"ab" + HIGH + "\r\r"}, false, {"ab" + HIGH, ""}, 0},
        LineRow{{"price 5\xe2\x82\xac\nnext\n"}, false, {"price 5\xe2\x82\xac", "next"}, 0},
        LineRow{{"USER \xe4\xb8\xad\r\n"}, false, {"USER \xe4\xb8\xad"}, 0},
        LineRow{{"USER \xe4\xb8\xad\r", "\nPASS\r\n"}, false, {"USER \xe4\xb8\xad", "PASS"}, 0},
        LineRow{{"caf\xe9\nx\n"}, false, {"caf\xe9", "x"}, 0},
        LineRow{{"\xb1\xb2\n\xb3", "\n"}, false, {"\xb1\xb2", "\xb3"}, 0},
        LineRow{{"\xb0\xa1\xb0", "\xa2\r\n"}, false, {"\xb0\xa1\xb0\xa2"}, 0},
        // a partial line waits for its break, or for the end of input
        LineRow{{"abc"}, false, {}, 3}, LineRow{{"abc"}, true, {"abc"}, 0},
        LineRow{{"x\nabc", "def"}, true, {"x", "abcdef"}, 0},
        LineRow{{"ab" + HIGH}, true, {"ab" + HIGH}, 0}, LineRow{{}, true, {}, 0},
        LineRow{{"a\r"}, true, {"a"}, 0},
        // the end mark does not forget a CR whose LF is still queued
        LineRow{{"a\r", "\n"}, true, {"a"}, 0}));

// Lines by plain reading: a break ends a line and swallows a complementary break right
// behind it; a high byte and a successor of 0x40 or above always belong to the line.
std::vector<std::string> model_lines(const std::string &text, bool end)
{
    std::vector<std::string> lines;
    std::string line;
    bool open = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            line += text[i];
            if (i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x40) {
                line += text[++i];
            }
            open = true;
        } else if (c == '\n' || c == '\r') {
            lines.push_back(line);
            line.clear();
            open = false;
            const char other = c == '\n' ? '\r' : '\n';
            if (i + 1 < text.size() && text[i + 1] == other) {
                ++i;
            }
        } else {
            line += text[i];
            open = true;
        }
    }
    if (end && open) {
        lines.push_back(line);
    }
    return lines;
}

// Pushes text cut at the given points, popping lines after every push.
std::vector<std::string> split_lines(const std::string &text, const std::vector<size_t> &cuts,
                                     bool end)
{
    Queue q;
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : text.size();
        q.push(text.substr(from, to - from));
        for (const std::string &line : q.lines()) {
            lines.push_back(line);
        }
        from = to;
    }
    if (end) {
        q.end();
        for (const std::string &line : q.lines()) {
            lines.push_back(line);
        }
        EXPECT_EQ(q.size(), 0u);
    }
    return lines;
}

TEST_F(BufferTest, EveryCutOfShortBreakSequencesGivesTheSameLines)
{
    // All texts of up to five bytes over "a", CR, LF and a high byte, cut everywhere.
    const char alphabet[] = {'a', '\r', '\n', '\x80'};
    for (size_t length = 1; length <= 5; ++length) {
        size_t texts = 1;
        for (size_t i = 0; i < length; ++i) {
            texts *= 4;
        }
        for (size_t code = 0; code < texts; ++code) {
            std::string text;
            for (size_t i = 0, rest = code; i < length; ++i, rest /= 4) {
                text += alphabet[rest % 4];
            }
            for (bool end : {false, true}) {
                const std::vector<std::string> expected = model_lines(text, end);
                for (size_t mask = 0; mask < (size_t{1} << (length - 1)); ++mask) {
                    std::vector<size_t> cuts;
                    for (size_t bit = 0; bit + 1 < length; ++bit) {
                        if ((mask >> bit) & 1u) {
                            cuts.push_back(bit + 1);
                        }
                    }
                    ASSERT_EQ(split_lines(text, cuts, end), expected)
                        << "text code " << code << " length " << length << " cuts " << mask
                        << " end " << end;
                }
            }
        }
    }
}

TEST_F(BufferTest, RandomCutsOfRandomTextGiveTheSameLines)
{
    std::mt19937 random(20240611u);
    const char alphabet[] = "abc \t\r\n\r\n\x80\xb0\xff";
    for (int round = 0; round < 300; ++round) {
        std::string text(random() % 400, ' ');
        for (char &c : text) {
            c = alphabet[random() % (sizeof(alphabet) - 1)];
        }
        std::vector<size_t> cuts;
        for (size_t at = 0; at < text.size();) {
            at += 1 + random() % 40;
            if (at < text.size()) {
                cuts.push_back(at);
            }
        }
        const bool end = (round & 1) != 0;
        ASSERT_EQ(split_lines(text, cuts, end), model_lines(text, end)) << "round " << round;
        ASSERT_EQ(split_lines(text, {}, end), model_lines(text, end)) << "round " << round;
    }
}

// The model's lines under a bound: a longer line is its head, marked "!" in front, and is
// reported even while its break is still to come.
std::vector<std::string> model_bounded_lines(const std::string &text, bool end, size_t max)
{
    std::vector<std::string> lines = model_lines(text, true);
    if (!end && lines.size() > model_lines(text, false).size() && lines.back().size() <= max) {
        lines.pop_back();
    }
    for (std::string &line : lines) {
        if (line.size() > max) {
            line = "!" + line.substr(0, max);
        }
    }
    return lines;
}

std::vector<std::string> split_bounded_lines(const std::string &text,
                                             const std::vector<size_t> &cuts, bool end, size_t max)
{
    Queue q;
    std::vector<std::string> lines;
    auto drain = [&] {
        std::string line;
        bool overlong = false;
        while (q.bounded_line(max, line, overlong)) {
            lines.push_back(overlong ? "!" + line : line);
        }
    };
    size_t from = 0;
    for (size_t i = 0; i <= cuts.size(); ++i) {
        const size_t to = i < cuts.size() ? cuts[i] : text.size();
        q.push(text.substr(from, to - from));
        drain();
        // Whatever arrives, no more than the bound stays queued between calls.
        EXPECT_LE(q.size(), max);
        from = to;
    }
    if (end) {
        q.end();
        drain();
        EXPECT_EQ(q.size(), 0u);
    }
    return lines;
}

TEST_F(BufferTest, BoundedLinesGiveTheHeadOfAnOverlongLineAndDropItsRest)
{
    std::mt19937 random(20240612u);
    const char alphabet[] = "abc \r\n\r\n\x80\xb0\xff\x35";
    for (int round = 0; round < 400; ++round) {
        std::string text(random() % 300, ' ');
        for (char &c : text) {
            c = alphabet[random() % (sizeof(alphabet) - 1)];
        }
        std::vector<size_t> cuts;
        for (size_t at = 0; at < text.size();) {
            at += 1 + random() % 30;
            if (at < text.size()) {
                cuts.push_back(at);
            }
        }
        const bool end = (round & 1) != 0;
        const size_t max = 1 + random() % 12;
        ASSERT_EQ(split_bounded_lines(text, cuts, end, max), model_bounded_lines(text, end, max))
            << "round " << round << " bound " << max;
    }
    // A line of exactly the bound is whole; one byte more is cut, and its rest, break and
    // complementary break included, never shows.
    Queue q;
    q.push("12345\r\n123456\r");
    q.push("\nok\n");
    std::string line;
    bool overlong = true;
    ASSERT_TRUE(q.bounded_line(5, line, overlong));
    EXPECT_EQ(line, "12345");
    EXPECT_FALSE(overlong);
    ASSERT_TRUE(q.bounded_line(5, line, overlong));
    EXPECT_EQ(line, "12345");
    EXPECT_TRUE(overlong);
    ASSERT_TRUE(q.bounded_line(5, line, overlong));
    EXPECT_EQ(line, "ok");
    EXPECT_FALSE(overlong);
    EXPECT_FALSE(q.bounded_line(5, line, overlong));
    EXPECT_EQ(q.size(), 0u);
}

TEST_F(BufferTest, AHugeLineInSmallPiecesIsReportedAtOnceAndNeverQueuedWhole)
{
    Queue q;
    const std::string piece(64, 'x');
    std::string line;
    bool overlong = false;
    size_t reports = 0;
    for (int i = 0; i < 16384; ++i) { // 1 MiB without a break
        q.push(piece);
        while (q.bounded_line(512, line, overlong)) {
            EXPECT_TRUE(overlong);
            EXPECT_EQ(line, std::string(512, 'x'));
            ++reports;
        }
        ASSERT_LE(q.size(), 512u);
    }
    EXPECT_EQ(reports, 1u);
    q.push("tail\r\nUSER x\r\n");
    ASSERT_TRUE(q.bounded_line(512, line, overlong));
    EXPECT_EQ(line, "USER x");
    EXPECT_FALSE(overlong);
    EXPECT_EQ(q.size(), 0u);
}

// The splitter keeps its place: bytes scanned once are not scanned again by the next call,
// so a line arriving in many pieces costs its length, not its length squared.
TEST_F(BufferTest, LineSplittingRemembersHowFarItScanned)
{
    Queue q;
    std::string line;
    for (int i = 1; i <= 100; ++i) {
        q.push(std::string(37, static_cast<char>(i % 2 != 0 ? 'a' : '\xb0')));
        EXPECT_FALSE(q.line(line));
        ASSERT_EQ(q.get()->m_scanned, 37u * i);
    }
    // Bytes taken from the front move the place with them.
    EXPECT_EQ(q.pop(10).size(), 10u);
    EXPECT_EQ(q.get()->m_scanned, 3690u);
    q.push("\n");
    ASSERT_TRUE(q.line(line));
    EXPECT_EQ(line.size(), 3690u);
    EXPECT_EQ(q.get()->m_scanned, 0u);
    EXPECT_EQ(q.size(), 0u);
}

TEST_F(BufferTest, LinesCrossNodesOfEveryKind)
{
    Queue q;
    static const char reference[] = "ref\r";
    q.push("he", 2, EXACT);
    q.push(heap_copy("llo\r"), 4, HAND_OVER);
    q.push(reference, 4, REFERENCE);
    q.push("\nlast");
    EXPECT_EQ(q.lines(), (std::vector<std::string>{"hello", "ref"}));
    EXPECT_EQ(q.size(), 4u);
    EXPECT_EQ(q.offset(), 11u);
    q.end();
    EXPECT_EQ(q.lines(), (std::vector<std::string>{"last"}));
}

TEST_F(BufferTest, EndKeepsTheOpenFlags)
{
    Queue q(EXACT);
    q.end();
    q.push("ab");
    q.push("cd");
    EXPECT_EQ(capacities(q.get()), (std::vector<uint32_t>{2, 2}));
    EXPECT_EQ(q.get()->m_flags, EXACT | TARVIK_BUFFER_END);
}

// ---- files --------------------------------------------------------------------------------

class BufferFileTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        char path[] = "/tmp/buffer_test_XXXXXX";
        int fd = mkstemp(path);
        ASSERT_GE(fd, 0);
        m_path = path;
        for (int i = 0; i < 3000; ++i) {
            m_content += static_cast<char>('A' + i % 26);
            if (i % 50 == 49) {
                m_content += '\n';
            }
        }
        ASSERT_EQ(write(fd, m_content.data(), m_content.size()),
                  static_cast<ssize_t>(m_content.size()));
        close(fd);
    }
    void TearDown() override
    {
        unlink(m_path.c_str());
        TarvikTest::TearDown();
    }
    std::string m_path;
    std::string m_content;
};

TEST_F(BufferFileTest, LoadsWholeOrPartsOfAFile)
{
    struct Row {
        uint64_t offset;
        size_t max_bytes;
    };
    const Row rows[] = {{0, 0}, {0, 100}, {10, 256}, {7, 257}, {0, 1000000}, {3000, 0}, {5000, 10}};
    for (const Row &row : rows) {
        Queue q;
        q.push("pre-");
        ssize_t pushed =
            tarvik_push_buffer_from_file(q.get(), m_path.c_str(), row.offset, row.max_bytes);
        q.check();
        std::string expected =
            row.offset < m_content.size() ? m_content.substr(row.offset) : std::string();
        if (row.max_bytes != 0 && expected.size() > row.max_bytes) {
            expected.resize(row.max_bytes);
        }
        EXPECT_EQ(pushed, static_cast<ssize_t>(expected.size()))
            << row.offset << "/" << row.max_bytes;
        EXPECT_EQ(q.pop(q.size()), "pre-" + expected) << row.offset << "/" << row.max_bytes;
    }
    Queue q;
    EXPECT_EQ(tarvik_push_buffer_from_file(q.get(), "/nonexistent/file", 0, 0), -1);
    EXPECT_EQ(tarvik_push_buffer_from_file(q.get(), nullptr, 0, 0), -1);
    EXPECT_EQ(tarvik_push_buffer_from_file(q.get(), m_path.c_str(), UINT64_MAX, 0), -1);
    q.check();
    EXPECT_EQ(q.size(), 0u);
}

TEST_F(BufferFileTest, AllocatesAWholeFileWithALimit)
{
    size_t length = 1;
    char *text = static_cast<char *>(tarvik_alloc_buffer_from_file(m_path.c_str(), 0, 0, &length));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, m_content.size());
    EXPECT_EQ(std::string(text), m_content); // NUL-terminated
    tarvik_free_tag(text, "test", 0);

    text = static_cast<char *>(tarvik_alloc_buffer_from_file(m_path.c_str(), 51, 50, &length));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, 50u);
    EXPECT_EQ(std::string(text), m_content.substr(51, 50));
    tarvik_free_tag(text, "test", 0);

    text = static_cast<char *>(tarvik_alloc_buffer_from_file("/dev/null", 0, 0, &length));
    ASSERT_NE(text, nullptr); // empty, not missing
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(text[0], '\0');
    tarvik_free_tag(text, "test", 0);

    length = 5;
    EXPECT_EQ(tarvik_alloc_buffer_from_file("/nonexistent/file", 0, 0, &length), nullptr);
    EXPECT_EQ(length, 0u);
}

TEST_F(BufferFileTest, ProcFilesLoadUnderTheirLimit)
{
    size_t length = 0;
    void *text = tarvik_alloc_buffer_from_file("/proc/self/status", 0, 256 * 1024, &length);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(length, 0u);
    EXPECT_EQ(strncmp(static_cast<char *>(text), "Name:", 5), 0);
    tarvik_free_tag(text, "test", 0);
}

// ---- handler service ----------------------------------------------------------------------

struct Delivery {
    std::string data;
    uint64_t offset;
    size_t remaining;
    const void *address;
};

struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Delivery> deliveries;
    bool closed = false; // set once close returned: no call may come after it
    bool late_call = false;

    // Waits (bounded against hangs only) until count pieces arrived.
    bool wait_for(size_t count)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20),
                                [&] { return deliveries.size() >= count; });
    }
};

int collect(void *context, const void *data, size_t length, uint64_t offset, size_t remaining)
{
    auto *collector = static_cast<Collector *>(context);
    std::lock_guard<std::mutex> lock(collector->mutex);
    if (collector->closed) {
        collector->late_call = true;
    }
    collector->deliveries.push_back(
        {std::string(static_cast<const char *>(data), length), offset, remaining, data});
    collector->changed.notify_all();
    return 0;
}

// The handler thread pops under the buffer's lock; the check takes it too.
void check_locked(tarvik_buffer_t *buffer)
{
    tarvik_lock_tag(&buffer->m_lock, "test", 0);
    EXPECT_TRUE(sane(buffer));
    tarvik_unlock_tag(&buffer->m_lock, "test", 0);
}

TEST_F(BufferTest, HandlerGetsEveryPushAsItsOwnPiece)
{
    Collector collector;
    tarvik_buffer_t *buffer = tarvik_open_buffer_ex2(0, collect, &collector);
    ASSERT_NE(buffer, nullptr);
    EXPECT_NE(buffer->m_flags & TARVIK_BUFFER_HANDLER, 0u);
    check_locked(buffer);
    EXPECT_EQ(tarvik_push_buffer(buffer, "abc", 3), 3u);
    EXPECT_EQ(tarvik_push_buffer(buffer, "defgh", 5), 5u);
    EXPECT_EQ(tarvik_push_buffer(buffer, "ijklmno", 7), 7u);
    check_locked(buffer);
    ASSERT_TRUE(collector.wait_for(3));
    tarvik_close_buffer(buffer);
    std::lock_guard<std::mutex> lock(collector.mutex);
    ASSERT_EQ(collector.deliveries.size(), 3u);
    const char *data[] = {"abc", "defgh", "ijklmno"};
    const uint64_t offsets[] = {0, 3, 8};
    const size_t later[] = {12, 7, 0}; // what may still be queued behind each piece
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(collector.deliveries[i].data, data[i]);
        EXPECT_EQ(collector.deliveries[i].offset, offsets[i]);
        EXPECT_LE(collector.deliveries[i].remaining, later[i]);
    }
}

TEST_F(BufferTest, HandlerSeesManyPushesInOrderWhileTheProducerRuns)
{
    Collector collector;
    tarvik_buffer_t *buffer = tarvik_open_buffer_ex2(0, collect, &collector);
    ASSERT_NE(buffer, nullptr);
    std::string all;
    std::vector<std::string> pushed;
    for (int i = 0; i < 300; ++i) {
        std::string piece = std::to_string(i) + std::string(static_cast<size_t>(i % 17), '.');
        if (i % 3 == 0) {
            EXPECT_EQ(tarvik_push_buffer_ex(buffer, heap_copy(piece), piece.size(), HAND_OVER),
                      piece.size());
        } else if (i % 3 == 1) {
            EXPECT_EQ(tarvik_push_printf(buffer, "%s", piece.c_str()), piece.size());
        } else {
            EXPECT_EQ(tarvik_push_buffer(buffer, piece.data(), piece.size()), piece.size());
        }
        pushed.push_back(piece);
        all += piece;
        if (i % 50 == 0) {
            check_locked(buffer);
        }
    }
    ASSERT_TRUE(collector.wait_for(pushed.size()));
    EXPECT_EQ(tarvik_get_buffer_size(buffer), 0u);
    EXPECT_EQ(tarvik_get_buffer_offset(buffer), all.size());
    tarvik_close_buffer(buffer);
    std::lock_guard<std::mutex> lock(collector.mutex);
    ASSERT_EQ(collector.deliveries.size(), pushed.size());
    uint64_t offset = 0;
    for (size_t i = 0; i < pushed.size(); ++i) {
        EXPECT_EQ(collector.deliveries[i].data, pushed[i]) << i;
        EXPECT_EQ(collector.deliveries[i].offset, offset) << i;
        offset += pushed[i].size();
    }
}

TEST_F(BufferTest, HandedOverBlockReachesTheHandlerUncopied)
{
    Collector collector;
    tarvik_buffer_t *buffer = tarvik_open_buffer_ex2(0, collect, &collector);
    ASSERT_NE(buffer, nullptr);
    void *block = heap_copy("no copy");
    tarvik_push_buffer_ex(buffer, block, 7, HAND_OVER);
    ASSERT_TRUE(collector.wait_for(1));
    tarvik_close_buffer(buffer);
    std::lock_guard<std::mutex> lock(collector.mutex);
    EXPECT_EQ(collector.deliveries[0].address, block);
    EXPECT_EQ(collector.deliveries[0].data, "no copy");
}

int slow_collect(void *context, const void *data, size_t length, uint64_t offset, size_t remaining)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return collect(context, data, length, offset, remaining);
}

TEST_F(BufferTest, NoHandlerCallAfterClose)
{
    Collector collector;
    tarvik_buffer_t *buffer = tarvik_open_buffer_ex2(WIPE, slow_collect, &collector);
    ASSERT_NE(buffer, nullptr);
    for (int i = 0; i < 200; ++i) {
        tarvik_push_buffer(buffer, "piece", 5);
    }
    collector.wait_for(3);
    tarvik_close_buffer(buffer); // whatever is still queued is discarded
    {
        std::lock_guard<std::mutex> lock(collector.mutex);
        collector.closed = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(collector.mutex);
    EXPECT_FALSE(collector.late_call);
    EXPECT_LE(collector.deliveries.size(), 200u);
}

} // namespace
