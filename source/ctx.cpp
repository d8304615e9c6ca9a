// Stream contexts: each a record in the process-wide instance table holding one use of the
// base plugin, its options (insertion order) and, while open, one use of the plugin that
// serves it, so that no plugin can go away under an open context. A context is used by one
// thread at a time; the calls look the handle up afresh each time, so a stale handle fails
// instead of touching freed memory.
#include "ctx.h"

#include "detail/common.hpp"
#include "detail/ctx.hpp"
#include "detail/plugin.hpp"
#include "format.h"
#include "heap.h"
#include "instance.h"

#include <cstring>

namespace {

using tarvik::detail::equal_ignoring_case;

constexpr size_t HTTP_BLOCK_SIZE = 2048;

bool same_name(const char *left, const char *right)
{
    return equal_ignoring_case(left != nullptr ? left : "", right != nullptr ? right : "");
}

tarvik_ctx_t *find_resetting_error(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record != nullptr) {
        record->m_error = TARVIK_CTX_ERROR_NONE;
    }
    return record;
}

void free_mime_type(tarvik_ctx_t *record)
{
    if (record->m_mime_type != nullptr) {
        tarvik_free_tag(record->m_mime_type, TARVIK_TAG);
        record->m_mime_type = nullptr;
    }
}

void free_options(tarvik_ctx_t *record)
{
    while (tarvik_ctx_option_t *option = record->m_option_head) {
        record->m_option_head = option->m_next;
        tarvik_free_tag(option, TARVIK_TAG);
    }
    record->m_option_tail = nullptr;
}

void remove_option(tarvik_ctx_t *record, const char *name)
{
    tarvik_ctx_option_t *previous = nullptr;
    for (tarvik_ctx_option_t *option = record->m_option_head; option != nullptr;
         previous = option, option = option->m_next) {
        if (!same_name(option->m_name, name)) {
            continue;
        }
        (previous != nullptr ? previous->m_next : record->m_option_head) = option->m_next;
        if (record->m_option_tail == option) {
            record->m_option_tail = previous;
        }
        tarvik_free_tag(option, TARVIK_TAG);
        return;
    }
}

// The interface of the valid plugin a context is bound to, or null.
const tarvik_ctx0_v0_interface_t *interface_of(const tarvik_ctx_t *record)
{
    const tarvik_plugin_t *plugin = record->m_plugin;
    if (plugin == nullptr || (plugin->m_state & TARVIK_PLUGIN_STATE_VALID) == 0) {
        return nullptr;
    }
    return static_cast<const tarvik_ctx0_v0_interface_t *>(plugin->m_interface);
}

// The interface of the plugin an open context is bound to, or null with error 3.
const tarvik_ctx0_v0_interface_t *bound_interface(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record == nullptr) {
        return nullptr;
    }
    const tarvik_ctx0_v0_interface_t *interface = interface_of(record);
    if (interface == nullptr) {
        record->m_error = TARVIK_CTX_ERROR_NOT_SUPPORTED;
    }
    return interface;
}

// The slot of the bound plugin, or null with error 3.
template <typename Slot> Slot slot_of(int ctx, Slot tarvik_ctx0_v0_interface_t::*member)
{
    const tarvik_ctx0_v0_interface_t *interface = bound_interface(ctx);
    Slot slot = interface != nullptr ? interface->*member : nullptr;
    if (interface != nullptr && slot == nullptr) {
        tarvik_ctx_set_error(ctx, TARVIK_CTX_ERROR_NOT_SUPPORTED);
    }
    return slot;
}

void set_error(int ctx, int code)
{
    if (tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx)) {
        record->m_error = code;
    }
}

// Releases the plugin an open context is bound to; its close slot runs first.
int unbind(tarvik_ctx_t *record)
{
    int result = 0;
    tarvik_plugin_t *plugin = record->m_plugin;
    if (plugin == nullptr) {
        return 0;
    }
    const tarvik_ctx0_v0_interface_t *interface = interface_of(record);
    if (interface != nullptr && interface->m_close != nullptr) {
        result = interface->m_close(record->m_handle);
    }
    record->m_plugin = nullptr;
    tarvik_unload_plugin(plugin->m_handle);
    return result;
}

int open_stream(int ctx, const char *mode, int debug)
{
    if (ctx < 0 || tarvik_ctx_set_option_string(ctx, 1, "mode", mode) != 0 ||
        tarvik_ctx_set_option_int_string(ctx, 1, "debug", debug) != 0 ||
        tarvik_open_ctx(ctx, TARVIK_CTX_STREAM_MIME_TYPE) != 0) {
        return tarvik_destroy_ctx(ctx);
    }
    return ctx;
}

// Appends one "httpheader" option per non-empty CR/LF-separated line.
bool add_header_lines(int ctx, const char *lines)
{
    while (lines != nullptr && *lines != '\0') {
        const size_t length = strcspn(lines, "\r\n");
        if (length > 0 && tarvik_ctx_set_option(ctx, 0, "httpheader", lines,
                                                static_cast<uint32_t>(length)) != 0) {
            return false;
        }
        lines += length;
        lines += strspn(lines, "\r\n");
    }
    return true;
}

// Reads the whole stream into one growing block; false on any failure or at max_size.
bool read_body(int ctx, size_t max_size, int timeout_ms, char **data, size_t *size)
{
    size_t capacity = 0;
    for (;;) {
        if (tarvik_ctx_is_readable(ctx, timeout_ms) != 1) {
            return false;
        }
        if (capacity - *size < HTTP_BLOCK_SIZE + 1) {
            capacity = capacity != 0 ? capacity * 2 : 4 * HTTP_BLOCK_SIZE;
            char *grown = static_cast<char *>(tarvik_realloc_tag(*data, capacity, TARVIK_TAG));
            if (grown == nullptr) {
                return false;
            }
            *data = grown;
        }
        const ssize_t got = tarvik_ctx_read(ctx, *data + *size, HTTP_BLOCK_SIZE);
        if (got <= 0) {
            (*data)[*size] = '\0';
            return got == 0;
        }
        *size += static_cast<size_t>(got);
        if (max_size != 0 && *size >= max_size) {
            return false;
        }
    }
}

int xcontrol_formatted(int ctx, uint32_t command, const char *format, va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        set_error(ctx, TARVIK_CTX_ERROR_NO_MEMORY);
        return -1;
    }
    tarvik_ctx_db_query_t query = {text, static_cast<uint32_t>(strlen(text)), 0};
    int result = tarvik_ctx_xcontrol(ctx, command, &query, sizeof(query));
    tarvik_free_tag(text, TARVIK_TAG);
    return result;
}

int xcontrol_query(int ctx, uint32_t command, const char *query)
{
    tarvik_ctx_db_query_t record = {
        query, query != nullptr ? static_cast<uint32_t>(strlen(query)) : 0u, 0};
    return tarvik_ctx_xcontrol(ctx, command, &record, sizeof(record));
}

} // namespace

namespace tarvik::detail {

tarvik_ctx_t *find_ctx(int handle)
{
    const char *mime_type = nullptr;
    void *record = tarvik_ginstance_search(handle, &mime_type);
    if (record == nullptr || tarvik_compare_mime_type(mime_type, TARVIK_CTX_MIME_TYPE) != 0) {
        return nullptr;
    }
    return static_cast<tarvik_ctx_t *>(record);
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_new_ctx(void)
{
    auto *record = static_cast<tarvik_ctx_t *>(tarvik_alloc_tag(sizeof(tarvik_ctx_t), TARVIK_TAG));
    if (record == nullptr) {
        return -1;
    }
    memset(record, 0, sizeof(*record));
    record->m_plugin_word = -1;
    record->m_base_plugin = -1;
    record->m_handle = tarvik_ginstance_new_ex(record, TARVIK_CTX_MIME_TYPE);
    if (record->m_handle >= 0) {
        record->m_base_plugin = tarvik_load_plugin(nullptr, nullptr, nullptr);
    }
    if (record->m_base_plugin < 0) {
        tarvik_ginstance_delete(record->m_handle);
        tarvik_unload_plugin(record->m_base_plugin);
        tarvik_free_tag(record, TARVIK_TAG);
        return -1;
    }
    return record->m_handle;
}

TARVIK_API int tarvik_open_ctx(int ctx, const char *mime_type)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record == nullptr) {
        return -1;
    }
    if (record->m_plugin != nullptr) {
        record->m_error = TARVIK_CTX_ERROR_ALREADY_OPEN;
        return -1;
    }
    free_mime_type(record);
    record->m_mime_type = tarvik_strdup_tag(mime_type != nullptr ? mime_type : "", TARVIK_TAG);
    if (record->m_mime_type == nullptr) {
        record->m_error = TARVIK_CTX_ERROR_NO_MEMORY;
        return -1;
    }
    // Most recently loaded plugins first; "not supported" passes the context on.
    int error = TARVIK_CTX_ERROR_NOT_SUPPORTED;
    tarvik_plugin_t *plugin = tarvik::detail::plugin_next_server(nullptr, record->m_mime_type);
    while (plugin != nullptr) {
        record->m_plugin = plugin;
        record->m_plugin_word = -1;
        record->m_plugin_pointer = nullptr;
        record->m_error = TARVIK_CTX_ERROR_NONE;
        const auto *interface =
            static_cast<const tarvik_ctx0_v0_interface_t *>(plugin->m_interface);
        if (interface->m_open(ctx) == 0) {
            return 0;
        }
        error = record->m_error;
        record->m_plugin = nullptr;
        tarvik_plugin_t *next =
            error == TARVIK_CTX_ERROR_NOT_SUPPORTED
                ? tarvik::detail::plugin_next_server(plugin, record->m_mime_type)
                : nullptr;
        tarvik_unload_plugin(plugin->m_handle);
        plugin = next;
    }
    record->m_error = error != TARVIK_CTX_ERROR_NONE ? error : TARVIK_CTX_ERROR_NOT_SUPPORTED;
    record->m_plugin_word = -1;
    record->m_plugin_pointer = nullptr;
    free_mime_type(record);
    return -1;
}

TARVIK_API int tarvik_close_ctx(int ctx)
{
    tarvik_ctx_t *record = find_resetting_error(ctx);
    if (record == nullptr) {
        return -1;
    }
    int result = unbind(record);
    record->m_plugin_word = -1;
    record->m_plugin_pointer = nullptr;
    record->m_error = TARVIK_CTX_ERROR_NONE;
    free_mime_type(record);
    free_options(record);
    return result;
}

TARVIK_API int tarvik_destroy_ctx(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record != nullptr) {
        tarvik_close_ctx(ctx);
        tarvik_unload_plugin(record->m_base_plugin);
        tarvik_ginstance_delete(ctx);
        tarvik_free_tag(record, TARVIK_TAG);
    }
    return -1;
}

TARVIK_API int tarvik_ctx_set_option(int ctx, int replace, const char *name, const void *value,
                                     uint32_t size)
{
    tarvik_ctx_t *record = find_resetting_error(ctx);
    if (record == nullptr) {
        return -1;
    }
    if (replace == -1 && name == nullptr && value == nullptr && size == 0) {
        free_options(record);
        return 0;
    }
    if (replace != 0) {
        remove_option(record, name);
    }
    const size_t name_size = name != nullptr ? strlen(name) + 1 : 1;
    auto *option = static_cast<tarvik_ctx_option_t *>(
        tarvik_alloc_tag(sizeof(tarvik_ctx_option_t) + name_size + size + 1u, TARVIK_TAG));
    if (option == nullptr) {
        record->m_error = TARVIK_CTX_ERROR_NO_MEMORY;
        return -1;
    }
    option->m_next = nullptr;
    option->m_name = reinterpret_cast<char *>(option + 1);
    memcpy(option->m_name, name != nullptr ? name : "", name_size);
    option->m_value_size = size;
    option->m_value = reinterpret_cast<uint8_t *>(option->m_name + name_size);
    if (value != nullptr) {
        memcpy(option->m_value, value, size);
    } else {
        memset(option->m_value, 0, size);
    }
    option->m_value[size] = 0;
    (record->m_option_tail != nullptr ? record->m_option_tail->m_next : record->m_option_head) =
        option;
    record->m_option_tail = option;
    return 0;
}

TARVIK_API int tarvik_ctx_set_option_string(int ctx, int replace, const char *name,
                                            const char *text)
{
    return tarvik_ctx_set_option(ctx, replace, name, text,
                                 text != nullptr ? static_cast<uint32_t>(strlen(text)) : 0u);
}

TARVIK_API int tarvik_ctx_set_option_int_string(int ctx, int replace, const char *name, int value)
{
    return tarvik_ctx_set_option_fstring(ctx, replace, name, "%d", value);
}

TARVIK_API int tarvik_ctx_set_option_vfstring(int ctx, int replace, const char *name,
                                              const char *format, va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        set_error(ctx, TARVIK_CTX_ERROR_NO_MEMORY);
        return -1;
    }
    int result = tarvik_ctx_set_option_string(ctx, replace, name, text);
    tarvik_free_tag(text, TARVIK_TAG);
    return result;
}

TARVIK_API int tarvik_ctx_set_option_fstring(int ctx, int replace, const char *name,
                                             const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_ctx_set_option_vfstring(ctx, replace, name, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API tarvik_ctx_option_t *tarvik_ctx_get_option(int ctx, const char *name)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    for (tarvik_ctx_option_t *option = record != nullptr ? record->m_option_head : nullptr;
         option != nullptr; option = option->m_next) {
        if (same_name(option->m_name, name)) {
            return option;
        }
    }
    return nullptr;
}

TARVIK_API const char *tarvik_ctx_get_option_string_ex(int ctx, const char *name, const char *def)
{
    const tarvik_ctx_option_t *option = tarvik_ctx_get_option(ctx, name);
    return option != nullptr ? reinterpret_cast<const char *>(option->m_value) : def;
}

TARVIK_API const char *tarvik_ctx_get_option_string(int ctx, const char *name)
{
    return tarvik_ctx_get_option_string_ex(ctx, name, nullptr);
}

TARVIK_API ssize_t tarvik_ctx_read(int ctx, void *buffer, size_t size)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_read);
    return slot != nullptr ? slot(ctx, buffer, size) : -1;
}

TARVIK_API ssize_t tarvik_ctx_write(int ctx, const void *data, size_t size)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_write);
    return slot != nullptr ? slot(ctx, data, size) : -1;
}

TARVIK_API int64_t tarvik_ctx_seek(int ctx, uint64_t offset, int whence)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_seek);
    return slot != nullptr ? slot(ctx, offset, whence) : -1;
}

TARVIK_API int tarvik_ctx_is_readable(int ctx, int timeout_ms)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_is_readable);
    return slot != nullptr ? slot(ctx, timeout_ms) : -1;
}

TARVIK_API int tarvik_ctx_is_writable(int ctx, int timeout_ms)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_is_writable);
    return slot != nullptr ? slot(ctx, timeout_ms) : -1;
}

TARVIK_API int tarvik_ctx_flush(int ctx)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_flush);
    return slot != nullptr ? slot(ctx) : -1;
}

TARVIK_API int tarvik_ctx_vcontrol(int ctx, uint32_t command, va_list arguments)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_vcontrol);
    return slot != nullptr ? slot(ctx, command, arguments) : -1;
}

TARVIK_API int tarvik_ctx_control(int ctx, uint32_t command, ...)
{
    va_list arguments;
    va_start(arguments, command);
    int result = tarvik_ctx_vcontrol(ctx, command, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_ctx_vxcontrol(int ctx, uint32_t command, void *data, size_t size)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_vxcontrol);
    return slot != nullptr ? slot(ctx, command, data, size) : -1;
}

TARVIK_API int tarvik_ctx_xcontrol(int ctx, uint32_t command, void *data, size_t size)
{
    return tarvik_ctx_vxcontrol(ctx, command, data, size);
}

TARVIK_API int tarvik_ctx_vbcontrol(int ctx, void *argument)
{
    auto slot = slot_of(ctx, &tarvik_ctx0_v0_interface_t::m_vbcontrol);
    return slot != nullptr ? slot(ctx, argument) : -1;
}

TARVIK_API int tarvik_ctx_get_error(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record == nullptr) {
        return -1;
    }
    const tarvik_ctx0_v0_interface_t *interface = interface_of(record);
    return interface != nullptr && interface->m_get_error != nullptr ? interface->m_get_error(ctx)
                                                                     : record->m_error;
}

TARVIK_API int tarvik_ctx_set_error(int ctx, int code)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    if (record == nullptr) {
        return -1;
    }
    const tarvik_ctx0_v0_interface_t *interface = interface_of(record);
    if (interface != nullptr && interface->m_set_error != nullptr) {
        return interface->m_set_error(ctx, code);
    }
    record->m_error = code;
    return 0;
}

TARVIK_API tarvik_main_entry_t tarvik_ctx_get_main_entry(int ctx)
{
    tarvik_ctx_t *record = tarvik_get_valid_ctx(ctx);
    return record != nullptr ? tarvik_plugin_get_main_entry(record->m_plugin->m_handle) : nullptr;
}

TARVIK_API int tarvik_ctx_execute_main(int ctx, int argc, char **argv)
{
    tarvik_main_entry_t entry = tarvik_ctx_get_main_entry(ctx);
    return entry != nullptr ? entry(argc, argv) : 1;
}

TARVIK_API ssize_t tarvik_ctx_puts(int ctx, const char *text)
{
    return text != nullptr ? tarvik_ctx_write(ctx, text, strlen(text)) : -1;
}

TARVIK_API ssize_t tarvik_ctx_vprintf(int ctx, const char *format, va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        set_error(ctx, TARVIK_CTX_ERROR_NO_MEMORY);
        return -1;
    }
    ssize_t written = tarvik_ctx_puts(ctx, text);
    tarvik_free_tag(text, TARVIK_TAG);
    return written;
}

TARVIK_API ssize_t tarvik_ctx_printf(int ctx, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    ssize_t written = tarvik_ctx_vprintf(ctx, format, arguments);
    va_end(arguments);
    return written;
}

TARVIK_API tarvik_ctx_t *tarvik_get_valid_ctx(int ctx)
{
    tarvik_ctx_t *record = tarvik::detail::find_ctx(ctx);
    return record != nullptr && interface_of(record) != nullptr ? record : nullptr;
}

TARVIK_API const char *tarvik_get_ctx_mime_type_hint(int ctx)
{
    tarvik_ctx_t *record = tarvik_get_valid_ctx(ctx);
    return record != nullptr ? record->m_plugin->m_mime_type_hint : nullptr;
}

TARVIK_API int tarvik_compare_ctx_mime_type_hint(int ctx, const char *mime_type)
{
    const char *hint = tarvik_get_ctx_mime_type_hint(ctx);
    return hint != nullptr ? tarvik_compare_mime_type_hint(hint, mime_type) : -1;
}

TARVIK_API int tarvik_ctx_get_fbinfo(int ctx, tarvik_ctx_fbinfo_t *info)
{
    return info != nullptr
               ? tarvik_ctx_xcontrol(ctx, TARVIK_CTX_XCONTROL_GET_FBINFO, info, sizeof(*info))
               : -1;
}

TARVIK_API int tarvik_ctx_db_set_query_puts(int ctx, const char *query)
{
    return xcontrol_query(ctx, TARVIK_CTX_XCONTROL_DB_SET_QUERY, query);
}

TARVIK_API int tarvik_ctx_db_get_query_puts(int ctx, const char *query)
{
    return xcontrol_query(ctx, TARVIK_CTX_XCONTROL_DB_GET_QUERY, query);
}

TARVIK_API int tarvik_ctx_db_get_field_index(int ctx, int row, int column, const char *name)
{
    tarvik_ctx_db_field_t field = {row, column, name, -1};
    if (tarvik_ctx_xcontrol(ctx, TARVIK_CTX_XCONTROL_DB_GET_FIELD_INDEX, &field, sizeof(field)) !=
        0) {
        return -1;
    }
    return field.m_index;
}

TARVIK_API int tarvik_ctx_db_set_vquery(int ctx, const char *format, va_list arguments)
{
    return xcontrol_formatted(ctx, TARVIK_CTX_XCONTROL_DB_SET_QUERY, format, arguments);
}

TARVIK_API int tarvik_ctx_db_get_vquery(int ctx, const char *format, va_list arguments)
{
    return xcontrol_formatted(ctx, TARVIK_CTX_XCONTROL_DB_GET_QUERY, format, arguments);
}

TARVIK_API int tarvik_ctx_db_get_field_index_v(int ctx, int row, int column, const char *format,
                                               va_list arguments)
{
    char *name = tarvik_alloc_vsprintf(format, arguments);
    if (name == nullptr) {
        set_error(ctx, TARVIK_CTX_ERROR_NO_MEMORY);
        return -1;
    }
    int index = tarvik_ctx_db_get_field_index(ctx, row, column, name);
    tarvik_free_tag(name, TARVIK_TAG);
    return index;
}

TARVIK_API int tarvik_open_ctx_stream(const char *src, const char *mode, int debug)
{
    int ctx = tarvik_new_ctx();
    if (ctx >= 0 && tarvik_ctx_set_option_string(ctx, 1, "src", src) != 0) {
        return tarvik_destroy_ctx(ctx);
    }
    return open_stream(ctx, mode, debug);
}

TARVIK_API int tarvik_open_ctx_stream_fd(int fd, const char *mode, int debug)
{
    int ctx = tarvik_new_ctx();
    if (ctx >= 0 && tarvik_ctx_set_option_int_string(ctx, 1, "fd", fd) != 0) {
        return tarvik_destroy_ctx(ctx);
    }
    return open_stream(ctx, mode, debug);
}

TARVIK_API int tarvik_ctx_simple_http_get(const char *url, const char *header_lines,
                                          size_t max_size, int timeout_ms, void **data_out,
                                          size_t *size_out)
{
    if (url == nullptr || data_out == nullptr || size_out == nullptr) {
        return -1;
    }
    *data_out = nullptr;
    *size_out = 0;
    int ctx = tarvik_new_ctx();
    if (ctx < 0) {
        return -1;
    }
    char *data = nullptr;
    size_t size = 0;
    bool ok = tarvik_ctx_set_option_string(ctx, 1, "src", url) == 0 &&
              tarvik_ctx_set_option_string(ctx, 1, "mode", "rb") == 0 &&
              tarvik_ctx_set_option_string(ctx, 1, "debug", "0") == 0 &&
              add_header_lines(ctx, header_lines) &&
              tarvik_open_ctx(ctx, TARVIK_CTX_STREAM_MIME_TYPE) == 0 &&
              read_body(ctx, max_size, timeout_ms, &data, &size);
    tarvik_destroy_ctx(ctx);
    if (!ok) {
        if (data != nullptr) {
            tarvik_free_tag(data, TARVIK_TAG);
        }
        return -1;
    }
    *data_out = data;
    *size_out = size;
    return 0;
}

} // extern "C"
