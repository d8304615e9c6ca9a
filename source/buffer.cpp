// The byte-buffer queue. A buffer belongs to one thread at a time, except one with a handler
// service: then every entry point holds the buffer's lock and the service pops under it too.
#include "buffer.h"

#include "console.h"
#include "detail/common.hpp"
#include "file.h"
#include "format.h"
#include "heap.h"
#include "service.h"
#include "time.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t WIPE = TARVIK_BUFFER_WIPE;
constexpr uint32_t REFERENCE = TARVIK_BUFFER_REFERENCE;
constexpr uint32_t HAND_OVER = TARVIK_BUFFER_HAND_OVER;
constexpr uint32_t EXACT = TARVIK_BUFFER_EXACT;
constexpr uint32_t QUEUE_FLAGS = WIPE | REFERENCE | HAND_OVER | EXACT;
constexpr uint32_t FOREIGN = REFERENCE | HAND_OVER;

constexpr uint32_t DOUBLE_BYTE = TARVIK_BUFFER_SCAN_DOUBLE_BYTE;
constexpr uint32_t LINE_FEED = TARVIK_BUFFER_SCAN_LINE_FEED;
constexpr uint32_t CARRIAGE_RETURN = TARVIK_BUFFER_SCAN_CARRIAGE_RETURN;
constexpr uint32_t BREAKS = LINE_FEED | CARRIAGE_RETURN;
constexpr uint32_t SCAN_STATE = DOUBLE_BYTE | BREAKS;

constexpr size_t FILE_CHUNK = 256;
constexpr uint32_t FILE_OPEN_FLAGS =
    def_tarvik_open_read | def_tarvik_open_large_file | def_tarvik_open_binary;

#if defined(__mips__) && !defined(__LP64__)
static_assert(sizeof(tarvik_buffer_node_t) == 24, "node header on the 32-bit target");
#endif

// How a push may be stored: formatted text and file chunks live in temporaries, so they are
// always copied, whatever the buffer's open flags ask for.
enum class Storage { AS_FLAGGED, COPY };

// Holds the buffer's lock for the scope while a handler service shares the buffer.
// m_service is only written before the service starts and after it stopped.
class BufferGuard {
  public:
    BufferGuard(tarvik_buffer_t *buffer, const char *tag, unsigned long line)
        : m_buffer(buffer->m_service != nullptr ? buffer : nullptr), m_tag(tag), m_line(line)
    {
        if (m_buffer != nullptr) {
            tarvik_lock_tag(&m_buffer->m_lock, m_tag, m_line);
        }
    }
    ~BufferGuard()
    {
        if (m_buffer != nullptr) {
            tarvik_unlock_tag(&m_buffer->m_lock, m_tag, m_line);
        }
    }
    BufferGuard(const BufferGuard &) = delete;
    BufferGuard &operator=(const BufferGuard &) = delete;

  private:
    tarvik_buffer_t *m_buffer;
    const char *m_tag;
    unsigned long m_line;
};

#define BUFFER_GUARD(buffer) BufferGuard guard_((buffer), __func__, __LINE__)

inline size_t min_size(size_t left, size_t right) { return left < right ? left : right; }

// Zeroes memory that is about to be released; the barrier keeps the stores alive.
void wipe_bytes(void *data, size_t size)
{
    memset(data, 0, size);
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

void *alloc_block(size_t size, const char *tag, unsigned long line)
{
    return tarvik_alloc_tag(size, tag, line);
}

// Gives a handed-over block back to the heap when the queue could not keep it.
void drop_hand_over(const void *data, uint32_t kind)
{
    if ((kind & HAND_OVER) != 0 && data != nullptr) {
        tarvik_free_tag(const_cast<void *>(data), TARVIK_TAG);
    }
}

// Reference memory stays the caller's and may be read-only, so only owned bytes are wiped.
void release_node(tarvik_buffer_node_t *node)
{
    if ((node->m_flags & HAND_OVER) != 0) {
        if ((node->m_flags & WIPE) != 0) {
            wipe_bytes(node->m_data, node->m_used);
        }
        tarvik_free_tag(node->m_data, TARVIK_TAG);
    } else if ((node->m_flags & (REFERENCE | WIPE)) == WIPE) {
        wipe_bytes(node->m_data, node->m_capacity);
    }
    tarvik_free_tag(node, TARVIK_TAG);
}

tarvik_buffer_node_t *tarvik_new_buffer_node(const tarvik_buffer_t *buffer, const void *data,
                                             uint32_t length, uint32_t kind)
{
    tarvik_buffer_node_t *node;
    if ((kind & FOREIGN) != 0) {
        node = static_cast<tarvik_buffer_node_t *>(alloc_block(sizeof(*node), TARVIK_TAG));
        if (node == nullptr) {
            return nullptr;
        }
        node->m_capacity = length;
        node->m_data = static_cast<uint8_t *>(const_cast<void *>(data));
    } else {
        uint32_t capacity = length;
        if ((kind & EXACT) == 0 && capacity < buffer->m_unit_size) {
            capacity = buffer->m_unit_size;
        }
        node =
            static_cast<tarvik_buffer_node_t *>(alloc_block(sizeof(*node) + capacity, TARVIK_TAG));
        if (node == nullptr) {
            return nullptr;
        }
        node->m_capacity = capacity;
        node->m_data = reinterpret_cast<uint8_t *>(node + 1);
        if (data != nullptr) {
            memcpy(node->m_data, data, length);
        } else {
            memset(node->m_data, 0, length);
        }
    }
    node->m_next = nullptr;
    node->m_flags = kind;
    node->m_used = length;
    node->m_consumed = 0;
    return node;
}

void append_node(tarvik_buffer_t *buffer, tarvik_buffer_node_t *node)
{
    if (buffer->m_last != nullptr) {
        buffer->m_last->m_next = node;
    } else {
        buffer->m_first = node;
    }
    buffer->m_last = node;
}

// Unlinks the front node without releasing it.
tarvik_buffer_node_t *unlink_first(tarvik_buffer_t *buffer)
{
    tarvik_buffer_node_t *node = buffer->m_first;
    buffer->m_first = node->m_next;
    if (buffer->m_first == nullptr) {
        buffer->m_last = nullptr;
    }
    return node;
}

// Nodes never stay in the queue empty, but a queue must not stall on one either.
void drop_empty_front(tarvik_buffer_t *buffer)
{
    while (buffer->m_first != nullptr && buffer->m_first->m_consumed >= buffer->m_first->m_used) {
        release_node(unlink_first(buffer));
    }
}

size_t push_nolock(tarvik_buffer_t *buffer, const void *data, size_t length, uint32_t flags,
                   Storage storage)
{
    uint32_t kind = (flags | buffer->m_flags) & QUEUE_FLAGS;
    if (storage == Storage::COPY) {
        kind &= ~FOREIGN;
    }
    const bool foreign = (kind & FOREIGN) != 0;
    if (foreign && data == nullptr) {
        return 0;
    }
    // The size word is 32 bits wide: a push that cannot be counted is refused whole.
    if (length == 0 || length > UINT32_MAX - buffer->m_size) {
        drop_hand_over(data, kind);
        return 0;
    }
    size_t placed = 0;
    tarvik_buffer_node_t *last = buffer->m_last;
    if (!foreign && last != nullptr && (last->m_flags & FOREIGN) == 0 &&
        last->m_capacity > last->m_used) {
        placed = min_size(length, last->m_capacity - last->m_used);
        if (data != nullptr) {
            memcpy(last->m_data + last->m_used, data, placed);
        } else {
            memset(last->m_data + last->m_used, 0, placed);
        }
        last->m_used += static_cast<uint32_t>(placed);
        last->m_flags |= kind & WIPE;
    }
    if (placed < length) {
        const void *rest = data != nullptr ? static_cast<const uint8_t *>(data) + placed : nullptr;
        tarvik_buffer_node_t *node =
            tarvik_new_buffer_node(buffer, rest, static_cast<uint32_t>(length - placed), kind);
        if (node != nullptr) {
            append_node(buffer, node);
            placed = length;
        } else {
            drop_hand_over(data, kind);
        }
    }
    buffer->m_size += static_cast<uint32_t>(placed);
    return placed;
}

size_t push_locked(tarvik_buffer_t *buffer, const void *data, size_t length, uint32_t flags,
                   Storage storage)
{
    BUFFER_GUARD(buffer);
    return push_nolock(buffer, data, length, flags, storage);
}

// Bytes left the front: the line scanner's place moves with them, or starts over at the
// front when they reached it (its state is kept, as it stands after the popped bytes).
void note_popped(tarvik_buffer_t *buffer, size_t count)
{
    if (count >= buffer->m_scanned) {
        buffer->m_scanned = 0;
        buffer->m_scan_node = nullptr;
    } else {
        buffer->m_scanned -= static_cast<uint32_t>(count);
    }
}

size_t pop_nolock(tarvik_buffer_t *buffer, void *out, size_t length, int exact)
{
    if (exact != 0 && buffer->m_size < length) {
        return 0;
    }
    const size_t wanted = min_size(length, buffer->m_size);
    uint8_t *target = static_cast<uint8_t *>(out);
    size_t done = 0;
    while (done < wanted && buffer->m_first != nullptr) {
        tarvik_buffer_node_t *node = buffer->m_first;
        const size_t take = min_size(node->m_used - node->m_consumed, wanted - done);
        if (target != nullptr) {
            memcpy(target + done, node->m_data + node->m_consumed, take);
        }
        node->m_consumed += static_cast<uint32_t>(take);
        done += take;
        if (node->m_consumed >= node->m_used) {
            release_node(unlink_first(buffer));
        }
    }
    buffer->m_size -= static_cast<uint32_t>(done);
    buffer->m_consumed_offset += done;
    note_popped(buffer, done);
    return done;
}

size_t peek_nolock(const tarvik_buffer_t *buffer, void *out, size_t length, size_t offset,
                   int exact)
{
    if (offset >= buffer->m_size) {
        return 0;
    }
    if (exact != 0 && length > buffer->m_size - offset) {
        return 0;
    }
    const size_t wanted = min_size(length, buffer->m_size - offset);
    uint8_t *target = static_cast<uint8_t *>(out);
    size_t skip = offset;
    size_t done = 0;
    for (const tarvik_buffer_node_t *node = buffer->m_first; node != nullptr && done < wanted;
         node = node->m_next) {
        size_t available = node->m_used - node->m_consumed;
        if (skip >= available) {
            skip -= available;
            continue;
        }
        const size_t take = min_size(available - skip, wanted - done);
        if (target != nullptr) {
            memcpy(target + done, node->m_data + node->m_consumed + skip, take);
        }
        skip = 0;
        done += take;
    }
    return done;
}

// extra bytes are allocated behind the popped ones (for a terminating NUL).
void *alloc_pop_nolock(tarvik_buffer_t *buffer, size_t length, int exact, size_t extra)
{
    if (length == 0 || buffer->m_size == 0 || (exact != 0 && buffer->m_size < length)) {
        return nullptr;
    }
    drop_empty_front(buffer);
    const size_t wanted = min_size(length, buffer->m_size);
    tarvik_buffer_node_t *first = buffer->m_first;
    if (extra == 0 && (first->m_flags & HAND_OVER) != 0 && first->m_consumed == 0 &&
        first->m_used == wanted) {
        // The very block that was handed over changes hands again: no copy.
        void *block = first->m_data;
        tarvik_free_tag(unlink_first(buffer), TARVIK_TAG);
        buffer->m_size -= static_cast<uint32_t>(wanted);
        buffer->m_consumed_offset += wanted;
        note_popped(buffer, wanted);
        return block;
    }
    void *block = alloc_block(wanted + extra, TARVIK_TAG);
    if (block != nullptr) {
        pop_nolock(buffer, block, wanted, 0);
    }
    return block;
}

// flags_out (may be null) receives the node's flags.
void *get_node_nolock(tarvik_buffer_t *buffer, size_t *length_out, uint32_t *flags_out = nullptr)
{
    drop_empty_front(buffer);
    void *block = nullptr;
    size_t length = 0;
    if (buffer->m_first != nullptr) {
        if (flags_out != nullptr) {
            *flags_out = buffer->m_first->m_flags;
        }
        length = buffer->m_first->m_used - buffer->m_first->m_consumed;
        block = alloc_pop_nolock(buffer, length, 1, 0);
        if (block == nullptr) {
            length = 0;
        }
    }
    if (length_out != nullptr) {
        *length_out = length;
    }
    return block;
}

// ---- line splitting ---------------------------------------------------------------------

// Bytes that leave the scanner idle when it is idle: everything but CR, LF and high bytes.
struct PlainTable {
    bool m_plain[256];
};

constexpr PlainTable make_plain_table()
{
    PlainTable table{};
    for (int c = 0; c < 256; ++c) {
        table.m_plain[c] = c < 0x80 && c != '\r' && c != '\n';
    }
    return table;
}

constexpr PlainTable PLAIN = make_plain_table();

enum class Scan { MORE, BREAK, PAIR, LONG };

// One byte through the scanner. A byte of 0x80 or above opens a double-byte character whose
// trail is the next byte, unless that byte is below 0x40: no trail byte of the double-byte
// code pages is that low, so such a byte (CR and LF among them) stands for itself and a
// Latin-1, UTF-8 or kana text never hides a line break. A break right after the
// complementary break completes a CR LF or LF CR pair.
inline Scan scan_byte(uint32_t &state, uint8_t c)
{
    if ((state & DOUBLE_BYTE) != 0) {
        if (c >= 0x40) {
            state &= ~SCAN_STATE;
            return Scan::MORE;
        }
        state &= ~DOUBLE_BYTE;
    }
    if (c >= 0x80) {
        state = (state & ~BREAKS) | DOUBLE_BYTE;
        return Scan::MORE;
    }
    if (c == '\n') {
        if ((state & CARRIAGE_RETURN) != 0) {
            state &= ~BREAKS;
            return Scan::PAIR;
        }
        state |= LINE_FEED;
        return Scan::BREAK;
    }
    if (c == '\r') {
        if ((state & LINE_FEED) != 0) {
            state &= ~BREAKS;
            return Scan::PAIR;
        }
        state |= CARRIAGE_RETURN;
        return Scan::BREAK;
    }
    state &= ~BREAKS;
    return Scan::MORE;
}

// Scans on from where the previous call stopped, so every queued byte is scanned once however
// thinly it arrives; the place and the state stay in the buffer. Stops after a break (its byte
// counted in m_scanned), once more than max_length bytes of the line are scanned (when
// max_length is not 0), or when the queued bytes run out.
Scan scan_on(tarvik_buffer_t *buffer, size_t max_length)
{
    uint32_t state = buffer->m_flags & SCAN_STATE;
    size_t scanned = buffer->m_scanned;
    tarvik_buffer_node_t *node = buffer->m_scan_node;
    uint32_t at = buffer->m_scan_at;
    if (node == nullptr) {
        node = buffer->m_first;
        at = node != nullptr ? node->m_consumed : 0;
    }
    Scan result = Scan::MORE;
    if (max_length != 0 && scanned > max_length) {
        return Scan::LONG;
    }
    while (node != nullptr) {
        const uint8_t *p = node->m_data + at;
        const uint8_t *end = node->m_data + node->m_used;
        if (max_length != 0 && static_cast<size_t>(end - p) > max_length + 1 - scanned) {
            end = p + (max_length + 1 - scanned);
        }
        const uint8_t *start = p;
        while (p < end) {
            if (state == 0) {
                while (p < end && PLAIN.m_plain[*p]) {
                    ++p;
                }
                if (p == end) {
                    break;
                }
            }
            result = scan_byte(state, *p++);
            if (result != Scan::MORE) {
                break;
            }
        }
        scanned += static_cast<size_t>(p - start);
        at = static_cast<uint32_t>(p - node->m_data);
        if (result == Scan::MORE && max_length != 0 && scanned > max_length) {
            result = Scan::LONG;
        }
        if (result != Scan::MORE || at < node->m_used || node->m_next == nullptr) {
            break;
        }
        node = node->m_next;
        at = node->m_consumed;
    }
    buffer->m_flags = (buffer->m_flags & ~SCAN_STATE) | state;
    buffer->m_scanned = static_cast<uint32_t>(scanned);
    buffer->m_scan_node = scanned != 0 ? node : nullptr;
    buffer->m_scan_at = at;
    return result;
}

// A break right behind a popped line that completes its CR LF or LF CR goes with it.
void take_pair(tarvik_buffer_t *buffer)
{
    const uint32_t state = buffer->m_flags;
    const int next = buffer->m_size > 0 ? buffer->m_first->m_data[buffer->m_first->m_consumed] : -1;
    if (((state & LINE_FEED) != 0 && next == '\r') ||
        ((state & CARRIAGE_RETURN) != 0 && next == '\n')) {
        pop_nolock(buffer, nullptr, 1, 0);
        buffer->m_flags &= ~BREAKS;
    }
}

// The bytes of an overlong line behind its reported head go as they arrive, up to and
// including its break (or the end of input). Returns whether the line is done.
bool discard_overlong(tarvik_buffer_t *buffer, Scan result)
{
    pop_nolock(buffer, nullptr, buffer->m_scanned, 0);
    if (result == Scan::MORE && (buffer->m_flags & TARVIK_BUFFER_END) == 0) {
        return false;
    }
    buffer->m_flags &= ~TARVIK_BUFFER_SCAN_OVERLONG;
    if (result == Scan::BREAK) {
        take_pair(buffer);
    }
    return true;
}

char *pop_line_nolock(tarvik_buffer_t *buffer, size_t max_length, int *overlong_out)
{
    for (;;) {
        const bool discarding = (buffer->m_flags & TARVIK_BUFFER_SCAN_OVERLONG) != 0;
        const Scan result = scan_on(buffer, discarding ? 0 : max_length);
        const size_t count = buffer->m_scanned;
        if (discarding && result != Scan::PAIR) {
            if (!discard_overlong(buffer, result) || buffer->m_size == 0) {
                return nullptr;
            }
            continue;
        }
        if (result == Scan::PAIR) {
            // Only the first byte can complete a pair begun by the previous line's break.
            pop_nolock(buffer, nullptr, count, 0);
            continue;
        }
        if (result == Scan::BREAK) {
            auto *line = static_cast<char *>(alloc_pop_nolock(buffer, count, 1, 0));
            if (line == nullptr) {
                return nullptr;
            }
            line[count - 1] = '\0';
            take_pair(buffer);
            return line;
        }
        if (result == Scan::LONG) {
            auto *line = static_cast<char *>(alloc_pop_nolock(buffer, max_length, 1, 1));
            if (line == nullptr) {
                return nullptr;
            }
            line[max_length] = '\0';
            buffer->m_flags |= TARVIK_BUFFER_SCAN_OVERLONG;
            pop_nolock(buffer, nullptr, buffer->m_scanned, 0);
            if (overlong_out != nullptr) {
                *overlong_out = 1;
            }
            return line;
        }
        if ((buffer->m_flags & TARVIK_BUFFER_END) == 0 || buffer->m_size == 0) {
            return nullptr;
        }
        const size_t size = buffer->m_size;
        auto *line = static_cast<char *>(alloc_pop_nolock(buffer, size, 1, 1));
        if (line == nullptr) {
            return nullptr;
        }
        line[size] = '\0';
        buffer->m_flags &= ~SCAN_STATE;
        return line;
    }
}

// ---- handler service ----------------------------------------------------------------------

int __tarvik_buffer_handler_service(tarvik_service_t *service, void *context)
{
    auto *buffer = static_cast<tarvik_buffer_t *>(context);
    tarvik_ack_service(service);
    while (tarvik_break_service(service) == 0) {
        tarvik_lock_tag(&buffer->m_lock, TARVIK_TAG);
        const uint64_t offset = buffer->m_consumed_offset;
        size_t length = 0;
        uint32_t flags = 0;
        void *chunk = get_node_nolock(buffer, &length, &flags);
        const size_t remaining = buffer->m_size;
        tarvik_unlock_tag(&buffer->m_lock, TARVIK_TAG);
        if (chunk != nullptr) {
            buffer->m_handler(buffer->m_handler_context, chunk, length, offset, remaining);
            // The piece left the queue for the handler only: secrets are wiped here too.
            if ((flags & WIPE) != 0) {
                wipe_bytes(chunk, length);
            }
            tarvik_free_tag(chunk, TARVIK_TAG);
        } else {
            tarvik_load_balance();
        }
    }
    return 0;
}

} // namespace

extern "C" {

// ---- lifetime -----------------------------------------------------------------------------

TARVIK_API tarvik_buffer_t *tarvik_open_buffer_ex(uint32_t flags)
{
    auto *buffer = static_cast<tarvik_buffer_t *>(alloc_block(sizeof(tarvik_buffer_t), TARVIK_TAG));
    if (buffer == nullptr) {
        return nullptr;
    }
    buffer->m_first = nullptr;
    buffer->m_last = nullptr;
    buffer->m_flags = flags & QUEUE_FLAGS;
    buffer->m_unit_size = TARVIK_BUFFER_UNIT_SIZE;
    buffer->m_consumed_offset = 0;
    buffer->m_size = 0;
    tarvik_init_lock_tag(&buffer->m_lock, TARVIK_TAG);
    buffer->m_service = nullptr;
    buffer->m_handler_context = nullptr;
    buffer->m_handler = nullptr;
    buffer->m_scanned = 0;
    buffer->m_scan_at = 0;
    buffer->m_scan_node = nullptr;
    return buffer;
}

TARVIK_API tarvik_buffer_t *tarvik_open_buffer(void) { return tarvik_open_buffer_ex(0); }

TARVIK_API tarvik_buffer_t *tarvik_open_buffer_ex2(uint32_t flags, tarvik_buffer_handler_t handler,
                                                   void *context)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer_ex(flags);
    if (buffer == nullptr || handler == nullptr) {
        return buffer;
    }
    // Exact nodes keep every push a node of its own: the handler gets the pieces as pushed.
    buffer->m_flags |= TARVIK_BUFFER_HANDLER;
    buffer->m_handler = handler;
    buffer->m_handler_context = context;
    tarvik_service_t *service =
        tarvik_open_service_ex("buffer handler", __tarvik_buffer_handler_service, buffer, 0);
    if (service == nullptr) {
        return tarvik_close_buffer(buffer);
    }
    buffer->m_service = service;
    return buffer;
}

TARVIK_API tarvik_buffer_t *tarvik_close_buffer(tarvik_buffer_t *buffer)
{
    if (buffer == nullptr) {
        return nullptr;
    }
    if (buffer->m_service != nullptr) {
        tarvik_close_service_ex(buffer->m_service, -1);
        buffer->m_service = nullptr;
    }
    tarvik_uninit_lock_tag(&buffer->m_lock, TARVIK_TAG);
    while (buffer->m_first != nullptr) {
        release_node(unlink_first(buffer));
    }
    tarvik_free_tag(buffer, TARVIK_TAG);
    return nullptr;
}

// ---- pushing ------------------------------------------------------------------------------

TARVIK_API size_t tarvik_push_buffer_ex(tarvik_buffer_t *buffer, const void *data, size_t length,
                                        uint32_t flags)
{
    if (buffer == nullptr) {
        drop_hand_over(data, flags);
        return 0;
    }
    return push_locked(buffer, data, length, flags, Storage::AS_FLAGGED);
}

TARVIK_API size_t tarvik_push_buffer(tarvik_buffer_t *buffer, const void *data, size_t length)
{
    return tarvik_push_buffer_ex(buffer, data, length, 0);
}

TARVIK_API size_t tarvik_push_puts_ex(tarvik_buffer_t *buffer, const char *string, uint32_t flags)
{
    if (string == nullptr) {
        return 0;
    }
    return tarvik_push_buffer_ex(buffer, string, strlen(string), flags);
}

TARVIK_API size_t tarvik_push_puts(tarvik_buffer_t *buffer, const char *string)
{
    return tarvik_push_puts_ex(buffer, string, 0);
}

TARVIK_API size_t tarvik_push_vprintf(tarvik_buffer_t *buffer, const char *format,
                                      va_list arguments)
{
    if (buffer == nullptr || format == nullptr) {
        return 0;
    }
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return 0;
    }
    const size_t pushed = push_locked(buffer, text, strlen(text), 0, Storage::COPY);
    tarvik_free_tag(text, TARVIK_TAG);
    return pushed;
}

TARVIK_API size_t tarvik_push_printf(tarvik_buffer_t *buffer, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const size_t pushed = tarvik_push_vprintf(buffer, format, arguments);
    va_end(arguments);
    return pushed;
}

// ---- files --------------------------------------------------------------------------------

TARVIK_API ssize_t tarvik_push_buffer_from_file(tarvik_buffer_t *buffer, const char *path,
                                                uint64_t offset, size_t max_bytes)
{
    if (buffer == nullptr || path == nullptr) {
        return -1;
    }
    int descriptor = tarvik_open(path, FILE_OPEN_FLAGS);
    if (descriptor < 0) {
        return -1;
    }
    if (offset != 0 && (offset > static_cast<uint64_t>(INT64_MAX) ||
                        lseek(descriptor, static_cast<off_t>(offset), SEEK_SET) == -1)) {
        tarvik_close(descriptor);
        return -1;
    }
    uint8_t chunk[FILE_CHUNK];
    size_t total = 0;
    for (;;) {
        size_t wanted = sizeof(chunk);
        if (max_bytes != 0) {
            wanted = min_size(wanted, max_bytes - total);
            if (wanted == 0) {
                break;
            }
        }
        const ssize_t got = tarvik_read(descriptor, chunk, wanted, -1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const size_t pushed =
            push_locked(buffer, chunk, static_cast<size_t>(got), 0, Storage::COPY);
        total += pushed;
        if (pushed != static_cast<size_t>(got)) {
            tarvik_assert_fail_tag("source/buffer", __func__, __LINE__,
                                   "s_unit_size == ((size_t)s_read_bytes)");
            break;
        }
    }
    tarvik_close(descriptor);
    return static_cast<ssize_t>(total);
}

TARVIK_API void *tarvik_alloc_buffer_from_file(const char *path, uint64_t offset, size_t max_bytes,
                                               size_t *length_out)
{
    if (length_out != nullptr) {
        *length_out = 0;
    }
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    if (buffer == nullptr) {
        return nullptr;
    }
    void *block = nullptr;
    if (tarvik_push_buffer_from_file(buffer, path, offset, max_bytes) >= 0) {
        const size_t size = buffer->m_size;
        block = size > 0 ? alloc_pop_nolock(buffer, size, 1, 1) : alloc_block(1, TARVIK_TAG);
        if (block != nullptr) {
            static_cast<char *>(block)[size] = '\0';
            if (length_out != nullptr) {
                *length_out = size;
            }
        }
    }
    tarvik_close_buffer(buffer);
    return block;
}

// ---- reading ------------------------------------------------------------------------------

TARVIK_API size_t tarvik_peek_buffer_ex(tarvik_buffer_t *buffer, void *out, size_t length,
                                        size_t offset, int exact)
{
    if (buffer == nullptr) {
        return 0;
    }
    BUFFER_GUARD(buffer);
    return peek_nolock(buffer, out, length, offset, exact);
}

TARVIK_API size_t tarvik_peek_buffer(tarvik_buffer_t *buffer, void *out, size_t length)
{
    return tarvik_peek_buffer_ex(buffer, out, length, 0, 0);
}

TARVIK_API int tarvik_peek_buffer_uint8(tarvik_buffer_t *buffer, size_t offset)
{
    uint8_t byte = 0;
    return tarvik_peek_buffer_ex(buffer, &byte, 1, offset, 1) == 1 ? byte : -1;
}

TARVIK_API size_t tarvik_pop_buffer_ex(tarvik_buffer_t *buffer, void *out, size_t length, int exact)
{
    if (buffer == nullptr) {
        return 0;
    }
    BUFFER_GUARD(buffer);
    return pop_nolock(buffer, out, length, exact);
}

TARVIK_API size_t tarvik_pop_buffer(tarvik_buffer_t *buffer, void *out, size_t length)
{
    return tarvik_pop_buffer_ex(buffer, out, length, 0);
}

TARVIK_API int tarvik_pop_buffer_uint8(tarvik_buffer_t *buffer)
{
    uint8_t byte = 0;
    return tarvik_pop_buffer_ex(buffer, &byte, 1, 1) == 1 ? byte : -1;
}

TARVIK_API void *tarvik_alloc_pop_buffer_ex(tarvik_buffer_t *buffer, size_t length, int exact)
{
    if (buffer == nullptr) {
        return nullptr;
    }
    BUFFER_GUARD(buffer);
    return alloc_pop_nolock(buffer, length, exact, 0);
}

TARVIK_API void *tarvik_alloc_pop_buffer(tarvik_buffer_t *buffer, size_t length)
{
    return tarvik_alloc_pop_buffer_ex(buffer, length, 0);
}

TARVIK_API void *tarvik_get_buffer_node(tarvik_buffer_t *buffer, size_t *length_out)
{
    if (buffer == nullptr) {
        if (length_out != nullptr) {
            *length_out = 0;
        }
        return nullptr;
    }
    BUFFER_GUARD(buffer);
    return get_node_nolock(buffer, length_out);
}

TARVIK_API char *tarvik_pop_buffer_line(tarvik_buffer_t *buffer)
{
    return tarvik_pop_buffer_line_ex(buffer, 0, nullptr);
}

TARVIK_API char *tarvik_pop_buffer_line_ex(tarvik_buffer_t *buffer, size_t max_length,
                                           int *overlong_out)
{
    if (overlong_out != nullptr) {
        *overlong_out = 0;
    }
    if (buffer == nullptr) {
        return nullptr;
    }
    // The queue never holds more than its 32-bit size: a larger bound is no bound.
    if (max_length >= UINT32_MAX) {
        max_length = 0;
    }
    BUFFER_GUARD(buffer);
    return pop_line_nolock(buffer, max_length, overlong_out);
}

TARVIK_API size_t tarvik_flush_buffer(tarvik_buffer_t *buffer)
{
    if (buffer == nullptr) {
        return 0;
    }
    BUFFER_GUARD(buffer);
    return pop_nolock(buffer, nullptr, buffer->m_size, 0);
}

TARVIK_API int tarvik_end_buffer(tarvik_buffer_t *buffer)
{
    if (buffer == nullptr) {
        return 0;
    }
    BUFFER_GUARD(buffer);
    // The open flags and a pending line break stay: the handler still needs exact nodes,
    // a wiping buffer keeps wiping, and a CR LF split by the end mark is still one break.
    buffer->m_flags |= TARVIK_BUFFER_END;
    return 0;
}

// ---- figures ------------------------------------------------------------------------------

TARVIK_API size_t tarvik_get_buffer_size(tarvik_buffer_t *buffer)
{
    if (buffer == nullptr) {
        return 0;
    }
    BUFFER_GUARD(buffer);
    return buffer->m_size;
}

TARVIK_API uint64_t tarvik_get_buffer_offset(tarvik_buffer_t *buffer)
{
    if (buffer == nullptr) {
        return 0;
    }
    BUFFER_GUARD(buffer);
    return buffer->m_consumed_offset;
}

TARVIK_API int tarvik_set_buffer_offset(tarvik_buffer_t *buffer, uint64_t offset)
{
    if (buffer == nullptr) {
        return -1;
    }
    BUFFER_GUARD(buffer);
    buffer->m_consumed_offset = offset;
    return 0;
}

} // extern "C"
