// Byte-buffer queue exercises of the "test" applet: coalescing, peek and pop, line splitting
// across pushes, file loading (the operand names a file, "/proc/self/status" by default) and
// the handler thread, each checked against its expected result.
#include "test_exercises.h"

#include "buffer.h"
#include "detail/common.hpp"
#include "heap.h"
#include "time.h"

#include <cstring>

namespace tarvik::test {

// Also declared with the other exercises; repeated so that this file stands on its own.
int exercise_buffer(const char *operand);

namespace {

void check_push_pop(Checker &check)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    EXPECT(check, buffer != nullptr);
    for (int i = 0; i < 3; ++i) {
        EXPECT(check, tarvik_push_buffer(buffer, "0123456789", 10) == 10);
    }
    EXPECT(check, buffer->m_first == buffer->m_last && buffer->m_first->m_capacity == 4096);
    char text[32] = {0};
    EXPECT(check,
           tarvik_peek_buffer_ex(buffer, text, 4, 8, 1) == 4 && memcmp(text, "8901", 4) == 0);
    EXPECT(check, tarvik_peek_buffer_ex(buffer, text, 4, 28, 1) == 0);
    EXPECT(check, tarvik_pop_buffer(buffer, text, 5) == 5 && memcmp(text, "01234", 5) == 0);
    EXPECT(check, tarvik_push_printf(buffer, "<%d>", 42) == 4);
    size_t length = 0;
    void *node = tarvik_get_buffer_node(buffer, &length);
    EXPECT(check, node != nullptr && length == 29 && memcmp(node, "56789", 5) == 0);
    tarvik_free_tag(node, TARVIK_TAG);
    EXPECT(check, tarvik_get_buffer_size(buffer) == 0 && tarvik_get_buffer_offset(buffer) == 34);

    void *block = tarvik_alloc_tag(6, TARVIK_TAG);
    memcpy(block, "handed", 6);
    tarvik_push_buffer_ex(buffer, block, 6, TARVIK_BUFFER_HAND_OVER);
    void *popped = tarvik_alloc_pop_buffer(buffer, 6);
    EXPECT(check, popped == block); // the very block, not a copy
    tarvik_free_tag(popped, TARVIK_TAG);
    tarvik_close_buffer(buffer);
}

void check_lines(Checker &check)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    // A double-byte character split across pushes stays whole; a line break after a high
    // byte still ends the line.
    const char *pieces[] = {"first\r", "\nsecond\n", "\nthird\xb0", "\xa1\x80\n line\rtail"};
    const char *expected[] = {"first", "second", "", "third\xb0\xa1\x80", " line", "tail"};
    size_t count = 0;
    for (const char *piece : pieces) {
        tarvik_push_puts(buffer, piece);
        while (char *line = tarvik_pop_buffer_line(buffer)) {
            EXPECT(check, count < 6 && strcmp(line, expected[count]) == 0);
            ++count;
            tarvik_free_tag(line, TARVIK_TAG);
        }
    }
    EXPECT(check, count == 5 && tarvik_get_buffer_size(buffer) == 4);
    tarvik_end_buffer(buffer);
    char *line = tarvik_pop_buffer_line(buffer);
    EXPECT(check, line != nullptr && strcmp(line, expected[5]) == 0);
    tarvik_check_free_tag(line, TARVIK_TAG);
    EXPECT(check, tarvik_pop_buffer_line(buffer) == nullptr);
    tarvik_close_buffer(buffer);
}

void check_file(Checker &check, const char *path)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    EXPECT(check, tarvik_push_buffer_from_file(buffer, "/nonexistent/file", 0, 0) == -1);
    const ssize_t pushed = tarvik_push_buffer_from_file(buffer, path, 0, 256 * 1024);
    EXPECT(check, pushed > 0 && static_cast<size_t>(pushed) == tarvik_get_buffer_size(buffer));
    tarvik_end_buffer(buffer);
    unsigned long lines = 0;
    while (char *line = tarvik_pop_buffer_line(buffer)) {
        ++lines;
        tarvik_free_tag(line, TARVIK_TAG);
    }
    EXPECT(check, lines > 0);
    tarvik_printf("test buffer: %s: %ld bytes, %lu lines\n", path, static_cast<long>(pushed),
                  lines);
    tarvik_close_buffer(buffer);

    size_t length = 0;
    char *head = static_cast<char *>(tarvik_alloc_buffer_from_file(path, 0, 16, &length));
    EXPECT(check, head != nullptr && length <= 16 && strlen(head) <= length);
    tarvik_check_free_tag(head, TARVIK_TAG);
}

struct Pieces {
    uint32_t m_calls;
    uint32_t m_in_order; // 1 while every piece arrived whole and at its offset
};

int count_piece(void *context, const void *data, size_t length, uint64_t offset, size_t)
{
    auto *pieces = static_cast<Pieces *>(context);
    const uint32_t call = __atomic_load_n(&pieces->m_calls, __ATOMIC_ACQUIRE);
    // Pieces 3, 5, 7, 3, 5, 7, ... of the letters "abcdefg...".
    const size_t lengths[] = {3, 5, 7};
    const uint64_t expected_offset = (call / 3) * 15u + (call % 3 == 0 ? 0 : call % 3 == 1 ? 3 : 8);
    if (length != lengths[call % 3] || offset != expected_offset ||
        static_cast<const char *>(data)[0] != 'a') {
        __atomic_store_n(&pieces->m_in_order, 0u, __ATOMIC_RELEASE);
    }
    __atomic_store_n(&pieces->m_calls, call + 1, __ATOMIC_RELEASE);
    return 0;
}

void check_handler(Checker &check)
{
    Pieces pieces = {0, 1};
    tarvik_buffer_t *buffer = tarvik_open_buffer_ex2(0, count_piece, &pieces);
    EXPECT(check, buffer != nullptr);
    if (buffer == nullptr) {
        return;
    }
    for (int round = 0; round < 10; ++round) {
        tarvik_push_buffer(buffer, "abc", 3);
        tarvik_push_buffer(buffer, "abcde", 5);
        tarvik_push_buffer(buffer, "abcdefg", 7);
    }
    tarvik_timer_t timer;
    tarvik_init_timer(&timer, 10000);
    while (__atomic_load_n(&pieces.m_calls, __ATOMIC_ACQUIRE) < 30 && !tarvik_check_timer(&timer)) {
        tarvik_load_balance_short();
    }
    tarvik_close_buffer(buffer);
    EXPECT(check, pieces.m_calls == 30);
    EXPECT(check, pieces.m_in_order == 1);
}

} // namespace

int exercise_buffer(const char *operand)
{
    Checker check("buffer");
    check_push_pop(check);
    check_lines(check);
    check_file(check, operand != nullptr && operand[0] != '\0' ? operand : "/proc/self/status");
    check_handler(check);
    return check.status();
}

} // namespace tarvik::test
