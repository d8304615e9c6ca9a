// C++-only plumbing shared by the streaming text encoders (Base64, quoted-printable): each
// push produces its output into one heap block that is handed to the output queue only when
// the configured limits allow it, so a refused push leaves the handle exactly as it was.
#pragma once

#include "../buffer.h"
#include "../heap.h"
#include "common.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarvik::detail {

// Whether a queue would stay within limit (0: none) with extra more bytes.
inline bool within_limit(tarvik_buffer_t *queue, size_t limit, size_t extra)
{
    return limit == 0 || (extra <= limit && tarvik_get_buffer_size(queue) <= limit - extra);
}

// A block for up to capacity output bytes and the NUL that tarvik_get_* may hand out in place.
inline char *new_output_block(size_t capacity)
{
    return static_cast<char *>(tarvik_alloc_tag(capacity + 1, TARVIK_TAG));
}

// Queues length bytes of a block from new_output_block (freed when empty or refused);
// false when the queue could not take it.
inline bool queue_output(tarvik_buffer_t *queue, char *block, size_t length)
{
    if (length == 0) {
        tarvik_free_tag(block, TARVIK_TAG);
        return true;
    }
    block[length] = '\0';
    return tarvik_push_buffer_ex(queue, block, length, TARVIK_BUFFER_HAND_OVER) == length;
}

// Replaces the queued carry (input held back for the next push) with length bytes.
inline bool replace_carry(tarvik_buffer_t *queue, const void *data, size_t length)
{
    tarvik_flush_buffer(queue);
    return length == 0 || tarvik_push_buffer(queue, data, length) == length;
}

// Everything queued as one NUL-terminated heap string (size in size_out); null, with the
// output still queued, when memory runs out. A single handed-over block from
// new_output_block already has room for its NUL and changes hands without a copy.
inline char *take_output(tarvik_buffer_t *queue, size_t *size_out)
{
    const size_t size = tarvik_get_buffer_size(queue);
    char *text = nullptr;
    const tarvik_buffer_node_t *first = queue->m_first;
    if (size > 0 && first == queue->m_last && first->m_consumed == 0 && first->m_used == size &&
        (first->m_flags & TARVIK_BUFFER_HAND_OVER) != 0) {
        text = static_cast<char *>(tarvik_alloc_pop_buffer(queue, size));
    } else {
        text = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
        if (text != nullptr) {
            tarvik_pop_buffer(queue, text, size);
            text[size] = '\0';
        }
    }
    if (size_out != nullptr) {
        *size_out = text != nullptr ? size : 0;
    }
    return text;
}

// The handle shape both encoders share: limits first, the two queues last.
template <typename Handle> int close_codec(Handle *handle)
{
    if (handle != nullptr) {
        tarvik_close_buffer(handle->m_input);
        tarvik_close_buffer(handle->m_output);
        tarvik_free_tag(handle, TARVIK_TAG);
    }
    return 0;
}

template <typename Handle> Handle *open_codec()
{
    auto *handle = static_cast<Handle *>(tarvik_alloc_tag(sizeof(Handle), TARVIK_TAG));
    if (handle == nullptr) {
        return nullptr;
    }
    memset(handle, 0, sizeof(*handle));
    handle->m_input = tarvik_open_buffer();
    handle->m_output = tarvik_open_buffer();
    if (handle->m_input == nullptr || handle->m_output == nullptr) {
        close_codec(handle);
        return nullptr;
    }
    return handle;
}

template <typename Handle> char *get_codec(Handle *handle, size_t *size_out)
{
    if (handle == nullptr) {
        if (size_out != nullptr) {
            *size_out = 0;
        }
        return nullptr;
    }
    return take_output(handle->m_output, size_out);
}

// Open, push everything, push the end, take the output, close.
template <typename Handle>
char *one_shot(int (*push)(Handle *, const void *, size_t), const void *data, size_t size,
               size_t *size_out)
{
    if (size_out != nullptr) {
        *size_out = 0;
    }
    Handle *handle = open_codec<Handle>();
    char *text = nullptr;
    if (handle != nullptr && (size == 0 || push(handle, data, size) == 0) &&
        push(handle, data, 0) == 0) {
        text = get_codec(handle, size_out);
    }
    close_codec(handle);
    return text;
}

} // namespace tarvik::detail
