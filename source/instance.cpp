// Instance tables: handles taken first-fit from a range set, slots in one growable array,
// every call under the table's lock; delete handlers run after the lock is released. The
// process-wide table lives in static storage and holds heap memory only while it has
// handles, so a program that released its handles leaves nothing behind.
#include "instance.h"

#include "detail/common.hpp"
#include "detail/pattern.hpp"
#include "heap.h"

#include <climits>
#include <cstring>

namespace {

constexpr uint32_t FIRST_CAPACITY = 8;

tarvik_instance_t s_global = {TARVIK_LOCK_INITIALIZER, {}, nullptr, 0};

bool lock_table(tarvik_instance_t *table)
{
    return table != nullptr && tarvik_lock_tag(&table->m_lock, TARVIK_TAG) == 0;
}

void unlock_table(tarvik_instance_t *table) { tarvik_unlock_tag(&table->m_lock, TARVIK_TAG); }

// The slot of a handle in use, or null.
tarvik_instance_slot_t *slot_nolock(tarvik_instance_t *table, int handle)
{
    if (handle < 0 || static_cast<uint32_t>(handle) >= table->m_capacity ||
        tarvik_check_fragment(&table->m_handles, static_cast<uint64_t>(handle), 1) != 0) {
        return nullptr;
    }
    return &table->m_slots[handle];
}

bool grow_nolock(tarvik_instance_t *table, uint32_t handle)
{
    if (handle < table->m_capacity) {
        return true;
    }
    uint32_t capacity = table->m_capacity != 0 ? table->m_capacity : FIRST_CAPACITY;
    while (capacity <= handle) {
        capacity *= 2;
    }
    auto *slots = static_cast<tarvik_instance_slot_t *>(
        tarvik_realloc_tag(table->m_slots, capacity * sizeof(tarvik_instance_slot_t), TARVIK_TAG));
    if (slots == nullptr) {
        return false;
    }
    memset(slots + table->m_capacity, 0,
           (capacity - table->m_capacity) * sizeof(tarvik_instance_slot_t));
    table->m_slots = slots;
    table->m_capacity = capacity;
    return true;
}

void release_storage_nolock(tarvik_instance_t *table)
{
    if (table->m_slots != nullptr) {
        tarvik_free_tag(table->m_slots, TARVIK_TAG);
    }
    table->m_slots = nullptr;
    table->m_capacity = 0;
    tarvik_uninit_fragment(&table->m_handles);
}

// Replaces the slot's MIME copy; false when the copy cannot be made (slot unchanged).
bool set_mime_nolock(tarvik_instance_slot_t *slot, const char *mime_type)
{
    char *copy = nullptr;
    if (mime_type != nullptr) {
        copy = tarvik_strdup_tag(mime_type, TARVIK_TAG);
        if (copy == nullptr) {
            return false;
        }
    }
    if (slot->m_mime_type != nullptr) {
        tarvik_free_tag(slot->m_mime_type, TARVIK_TAG);
    }
    slot->m_mime_type = copy;
    return true;
}

int new_nolock(tarvik_instance_t *table, void *object, const char *mime_type)
{
    uint64_t handle = 0;
    if (tarvik_alloc_fragment(&table->m_handles, 1, &handle) != 0) {
        return -1;
    }
    if (handle > INT_MAX || !grow_nolock(table, static_cast<uint32_t>(handle)) ||
        !set_mime_nolock(&table->m_slots[handle], mime_type)) {
        tarvik_del_fragment(&table->m_handles, handle, 1);
        if (table->m_handles.m_covered == 0) {
            release_storage_nolock(table);
        }
        return -1;
    }
    table->m_slots[handle].m_context[0] = object;
    return static_cast<int>(handle);
}

} // namespace

extern "C" {

TARVIK_API int tarvik_init_instance(tarvik_instance_t *table)
{
    if (table == nullptr) {
        return -1;
    }
    memset(table, 0, sizeof(*table));
    tarvik_init_lock_tag(&table->m_lock, TARVIK_TAG);
    tarvik_init_fragment(&table->m_handles);
    return 0;
}

TARVIK_API int tarvik_uninit_instance(tarvik_instance_t *table)
{
    if (table == nullptr) {
        return 0;
    }
    // Handlers may delete other handles, so the lowest one is looked up afresh each time.
    for (;;) {
        if (!lock_table(table)) {
            break;
        }
        const tarvik_fragment_node_t *first = table->m_handles.m_first;
        int handle = first != nullptr ? static_cast<int>(first->m_offset) : -1;
        unlock_table(table);
        if (handle < 0) {
            break;
        }
        tarvik_instance_delete(table, handle);
    }
    return 0;
}

TARVIK_API tarvik_instance_t *tarvik_open_instance(void)
{
    auto *table =
        static_cast<tarvik_instance_t *>(tarvik_alloc_tag(sizeof(tarvik_instance_t), TARVIK_TAG));
    if (table != nullptr) {
        tarvik_init_instance(table);
    }
    return table;
}

TARVIK_API tarvik_instance_t *tarvik_close_instance(tarvik_instance_t *table)
{
    if (table != nullptr) {
        tarvik_uninit_instance(table);
        tarvik_uninit_lock_tag(&table->m_lock, TARVIK_TAG);
        tarvik_free_tag(table, TARVIK_TAG);
    }
    return nullptr;
}

TARVIK_API int tarvik_instance_new_ex(tarvik_instance_t *table, void *object, const char *mime_type)
{
    if (!lock_table(table)) {
        return -1;
    }
    int handle = new_nolock(table, object, mime_type);
    unlock_table(table);
    return handle;
}

TARVIK_API int tarvik_instance_set(tarvik_instance_t *table, int handle, void *object,
                                   const char *mime_type)
{
    if (!lock_table(table)) {
        return -1;
    }
    tarvik_instance_slot_t *slot = slot_nolock(table, handle);
    int result = -1;
    if (slot != nullptr && set_mime_nolock(slot, mime_type)) {
        slot->m_context[0] = object;
        result = 0;
    }
    unlock_table(table);
    return result;
}

TARVIK_API void *tarvik_instance_search(tarvik_instance_t *table, int handle, const char **mime_out)
{
    if (mime_out != nullptr) {
        *mime_out = nullptr;
    }
    if (!lock_table(table)) {
        return nullptr;
    }
    void *object = nullptr;
    if (tarvik_instance_slot_t *slot = slot_nolock(table, handle)) {
        object = slot->m_context[0];
        if (mime_out != nullptr) {
            *mime_out = slot->m_mime_type;
        }
    }
    unlock_table(table);
    return object;
}

TARVIK_API const char *tarvik_instance_get_mime_type(tarvik_instance_t *table, int handle)
{
    const char *mime_type = nullptr;
    tarvik_instance_search(table, handle, &mime_type);
    return mime_type;
}

TARVIK_API int tarvik_instance_set_context(tarvik_instance_t *table, int handle, int index,
                                           void *value)
{
    if (index < 0 || index >= TARVIK_INSTANCE_CONTEXT_COUNT || !lock_table(table)) {
        return -1;
    }
    tarvik_instance_slot_t *slot = slot_nolock(table, handle);
    if (slot != nullptr) {
        slot->m_context[index] = value;
    }
    unlock_table(table);
    return slot != nullptr ? 0 : -1;
}

TARVIK_API void *tarvik_instance_get_context(tarvik_instance_t *table, int handle, int index)
{
    if (index < 0 || index >= TARVIK_INSTANCE_CONTEXT_COUNT || !lock_table(table)) {
        return nullptr;
    }
    tarvik_instance_slot_t *slot = slot_nolock(table, handle);
    void *value = slot != nullptr ? slot->m_context[index] : nullptr;
    unlock_table(table);
    return value;
}

TARVIK_API int tarvik_instance_set_delete_handler(tarvik_instance_t *table, int handle,
                                                  tarvik_instance_delete_handler_t handler)
{
    if (!lock_table(table)) {
        return -1;
    }
    tarvik_instance_slot_t *slot = slot_nolock(table, handle);
    if (slot != nullptr) {
        slot->m_delete_handler = handler;
    }
    unlock_table(table);
    return slot != nullptr ? 0 : -1;
}

TARVIK_API int tarvik_instance_delete(tarvik_instance_t *table, int handle)
{
    if (!lock_table(table)) {
        return -1;
    }
    tarvik_instance_slot_t *slot = slot_nolock(table, handle);
    tarvik_instance_slot_t gone = {};
    bool deleted = slot != nullptr &&
                   tarvik_del_fragment(&table->m_handles, static_cast<uint64_t>(handle), 1) == 0;
    if (deleted) {
        gone = *slot;
        memset(slot, 0, sizeof(*slot));
        if (gone.m_mime_type != nullptr) {
            tarvik_free_tag(gone.m_mime_type, TARVIK_TAG);
        }
        if (table->m_handles.m_covered == 0) {
            release_storage_nolock(table);
        }
    }
    unlock_table(table);
    if (deleted && gone.m_delete_handler != nullptr) {
        gone.m_delete_handler(handle, gone.m_context);
    }
    return -1;
}

TARVIK_API int tarvik_ginstance_new(void)
{
    return tarvik_instance_new_ex(&s_global, nullptr, nullptr);
}

TARVIK_API int tarvik_ginstance_new_ex(void *object, const char *mime_type)
{
    return tarvik_instance_new_ex(&s_global, object, mime_type);
}

TARVIK_API int tarvik_ginstance_set(int handle, void *object, const char *mime_type)
{
    return tarvik_instance_set(&s_global, handle, object, mime_type);
}

TARVIK_API void *tarvik_ginstance_search(int handle, const char **mime_out)
{
    return tarvik_instance_search(&s_global, handle, mime_out);
}

TARVIK_API const char *tarvik_ginstance_get_mime_type(int handle)
{
    return tarvik_instance_get_mime_type(&s_global, handle);
}

TARVIK_API int tarvik_ginstance_set_context(int handle, int index, void *value)
{
    return tarvik_instance_set_context(&s_global, handle, index, value);
}

TARVIK_API void *tarvik_ginstance_get_context(int handle, int index)
{
    return tarvik_instance_get_context(&s_global, handle, index);
}

TARVIK_API int tarvik_ginstance_set_delete_handler(int handle,
                                                   tarvik_instance_delete_handler_t handler)
{
    return tarvik_instance_set_delete_handler(&s_global, handle, handler);
}

TARVIK_API int tarvik_ginstance_delete(int handle)
{
    return tarvik_instance_delete(&s_global, handle);
}

TARVIK_API int tarvik_compare_mime_type(const char *a, const char *b)
{
    return strcmp(a != nullptr ? a : "", b != nullptr ? b : "");
}

TARVIK_API int tarvik_compare_mime_type_hint(const char *hint_list, const char *mime_type)
{
    if (hint_list == nullptr) {
        return 0;
    }
    for (const char *at = hint_list;; ++at) {
        while (tarvik::detail::is_blank(*at)) {
            ++at;
        }
        const size_t length = strcspn(at, ";|");
        if (tarvik::detail::match_pattern(tarvik::detail::Text(at, length), mime_type, true)) {
            return 0;
        }
        at += length;
        if (*at == '\0') {
            return -1;
        }
    }
}

} // extern "C"
