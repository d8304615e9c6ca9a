// What the three digests share: the upper-case hex string and the feeders that push a file
// or a read stream into a digest. Holds no state of its own.
#include "detail/digest.hpp"

#include "detail/common.hpp"
#include "file.h"
#include "heap.h"
#include "time.h"

namespace tarvik::detail {

namespace {

constexpr size_t READ_SIZE = 32768;
constexpr int STREAM_WAIT_MS = 16000;
constexpr uint64_t STREAM_STALL_MS = 60000;

} // namespace

void hex_upper(const uint8_t *bytes, size_t count, char *out)
{
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = DIGITS[bytes[i] >> 4];
        out[2 * i + 1] = DIGITS[bytes[i] & 15u];
    }
    out[2 * count] = '\0';
}

namespace {

// Pushes what path delivers; wait_ms (>= 0) bounds each wait for readability, and the
// waits without data add up to a stall limit.
int feed(const char *path, DigestPush push, void *context, int wait_ms)
{
    const int descriptor = tarvik_open(path, def_tarvik_open_read | def_tarvik_open_large_file);
    if (descriptor < 0) {
        return -1;
    }
    void *buffer = tarvik_alloc_tag(READ_SIZE, TARVIK_TAG);
    if (buffer == nullptr) {
        tarvik_close(descriptor);
        return -1;
    }
    int result = 0;
    uint64_t waited = 0;
    for (;;) {
        const uint64_t start = wait_ms >= 0 ? tarvik_time_stamp_msec(nullptr) : 0;
        const ssize_t length = tarvik_read(descriptor, buffer, READ_SIZE, wait_ms);
        if (length == -2) {
            waited += tarvik_time_stamp_msec(nullptr) - start;
            if (waited > STREAM_STALL_MS) {
                result = -1;
                break;
            }
            tarvik_load_balance();
            continue;
        }
        if (length <= 0) {
            // A failed read must not pass for the digest of the whole input.
            result = length < 0 ? -1 : 0;
            break;
        }
        push(context, buffer, static_cast<size_t>(length));
    }
    tarvik_free_tag(buffer, TARVIK_TAG);
    tarvik_close(descriptor);
    return result;
}

} // namespace

int push_file(const char *path, DigestPush push, void *context)
{
    return feed(path, push, context, -1);
}

// Read streams of other kinds (URLs through stream plugins) come with the stream contexts;
// until then a name is a path, read with the waits a slow stream gets.
int push_stream(const char *name, DigestPush push, void *context)
{
    return feed(name, push, context, STREAM_WAIT_MS);
}

} // namespace tarvik::detail
