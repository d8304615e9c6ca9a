/* Stream contexts: typed I/O handles with named options, opened for a MIME type by the
 * first loaded plugin that serves it, every operation forwarded to that plugin; the
 * built-in base plugin serving files, descriptors, TFTP, FTP, pipes, UDP, TCP and the
 * framebuffer device; and the stream helpers on top. */
#ifndef TARVIK_CTX_H
#define TARVIK_CTX_H

#include "tarvik_abi.h"
#include "multicall.h"
#include "plugin.h"

#include <sys/types.h>

TARVIK_BEGIN_DECLS

#define TARVIK_CTX_MIME_TYPE "application/qvl_base_ctx"
#define TARVIK_CTX_STREAM_MIME_TYPE "application/qvl_stream"
#define TARVIK_CTX_FB_MIME_TYPE "application/qvl_fb"

/* Error codes kept in a context. */
#define TARVIK_CTX_ERROR_NONE 0
#define TARVIK_CTX_ERROR_OPEN 1          /* the file or device cannot be opened */
#define TARVIK_CTX_ERROR_NOT_SUPPORTED 3 /* no plugin, no slot, unsupported type or value */
#define TARVIK_CTX_ERROR_NO_MEMORY 8
#define TARVIK_CTX_ERROR_ALREADY_OPEN 9
#define TARVIK_CTX_ERROR_NETWORK 10 /* the network stream cannot be started */

/* xcontrol commands. */
#define TARVIK_CTX_XCONTROL_GET_FBINFO 0x1030011u
#define TARVIK_CTX_XCONTROL_DB_SET_QUERY 0x202000Bu
#define TARVIK_CTX_XCONTROL_DB_GET_QUERY 0x102000Bu
#define TARVIK_CTX_XCONTROL_DB_GET_FIELD_INDEX 0x1020010u
#define TARVIK_CTX_XCONTROL_DB_602000C 0x602000Cu
#define TARVIK_CTX_XCONTROL_DB_802000D 0x802000Du
#define TARVIK_CTX_XCONTROL_DB_102000E 0x102000Eu
#define TARVIK_CTX_XCONTROL_DB_102000F 0x102000Fu
#define TARVIK_CTX_XCONTROL_DB_1020012 0x1020012u
#define TARVIK_CTX_XCONTROL_DB_902000C 0x902000Cu

/* One option, in one allocation with its name and value (the value is followed by a NUL,
 * so a text value reads as a string). */
typedef struct tarvik_ctx_option_s {
    struct tarvik_ctx_option_s *m_next;
    char *m_name;
    uint32_t m_value_size;
    uint8_t *m_value;
} tarvik_ctx_option_t;

/* A context (the object of its handle). A plugin keeps its kind in m_plugin_word and its
 * state behind m_plugin_pointer, and reports failures in m_error. */
typedef struct tarvik_ctx_s {
    int32_t m_handle;
    int32_t m_base_plugin;     /* handle of the base plugin, loaded with the context */
    tarvik_plugin_t *m_plugin; /* the plugin serving the context, null while closed */
    tarvik_ctx_option_t *m_option_head;
    tarvik_ctx_option_t *m_option_tail;
    char *m_mime_type; /* the type it was opened for */
    int32_t m_plugin_word;
    void *m_plugin_pointer;
    int32_t m_error;
    uint32_t m_reserved[4];
} tarvik_ctx_t;

/* A colour channel of the framebuffer: bit offset, width, and 1 when its most significant
 * bit is on the right. */
typedef struct tarvik_ctx_fb_channel_s {
    uint8_t m_offset;
    uint8_t m_length;
    uint8_t m_msb_right;
    uint8_t m_reserved;
} tarvik_ctx_fb_channel_t;

/* The framebuffer description (76 bytes on the 32-bit device). */
typedef struct tarvik_ctx_fbinfo_s {
    const char *m_device; /* path of the device, owned by the context */
    int32_t m_fd;
    void *m_map; /* the mapped screen memory */
    uint32_t m_map_size;
    uint32_t m_line_length; /* bytes per line */
    uint32_t m_resx;
    uint32_t m_resy;
    uint32_t m_virtual_resx;
    uint32_t m_virtual_resy;
    uint32_t m_xoffset;
    uint32_t m_yoffset;
    uint32_t m_bits_per_pixel;
    uint32_t m_color_interface; /* colour interface code of the pixels */
    tarvik_ctx_fb_channel_t m_red;
    tarvik_ctx_fb_channel_t m_green;
    tarvik_ctx_fb_channel_t m_blue;
    tarvik_ctx_fb_channel_t m_transp;
    void *m_master; /* the master window map over the screen, null when none */
    uint32_t m_flags;
} tarvik_ctx_fbinfo_t;

/* Query record of the database-style commands (12 bytes on the device). */
typedef struct tarvik_ctx_db_query_s {
    const char *m_query;
    uint32_t m_length;
    int32_t m_result;
} tarvik_ctx_db_query_t;

/* Field-index record (16 bytes on the device); m_index is -1 unless the plugin sets it. */
typedef struct tarvik_ctx_db_field_s {
    int32_t m_row;
    int32_t m_column;
    const char *m_name;
    int32_t m_index;
} tarvik_ctx_db_field_t;

/* ---- contexts ---- */

/* A closed context with the base plugin loaded; the handle, or -1. */
TARVIK_API int tarvik_new_ctx(void);
/* Binds the context to the first plugin that opens it for mime_type; 0, or -1 with the
 * error code set (9 when it is already open). */
TARVIK_API int tarvik_open_ctx(int ctx, const char *mime_type);
/* Closes the plugin's side and clears the options; the plugin's close result (0 or -1). */
TARVIK_API int tarvik_close_ctx(int ctx);
/* Closes and frees the context; always -1. */
TARVIK_API int tarvik_destroy_ctx(int ctx);

/* ---- options ---- */

/* Appends name = size bytes of value (null value: zeros). A non-zero replace first removes
 * the first option of that name (case ignored); replace -1 with null name and value and
 * size 0 removes every option. 0, or -1 (error 8 when out of memory). */
TARVIK_API int tarvik_ctx_set_option(int ctx, int replace, const char *name, const void *value,
                                     uint32_t size);
TARVIK_API int tarvik_ctx_set_option_string(int ctx, int replace, const char *name,
                                            const char *text);
/* The value is the number in decimal. */
TARVIK_API int tarvik_ctx_set_option_int_string(int ctx, int replace, const char *name, int value);
/* The value is the formatted text; -1 with error 8 when formatting fails. */
TARVIK_API int tarvik_ctx_set_option_vfstring(int ctx, int replace, const char *name,
                                              const char *format, va_list arguments);
TARVIK_API int tarvik_ctx_set_option_fstring(int ctx, int replace, const char *name,
                                             const char *format, ...) TARVIK_PRINTF(4, 5);
/* The first option of that name (case ignored), or null; owned by the context. */
TARVIK_API tarvik_ctx_option_t *tarvik_ctx_get_option(int ctx, const char *name);
/* Its value as text, or def; owned by the context. */
TARVIK_API const char *tarvik_ctx_get_option_string_ex(int ctx, const char *name, const char *def);
TARVIK_API const char *tarvik_ctx_get_option_string(int ctx, const char *name);

/* ---- forwarders: -1 with error 3 when the context is not open or the plugin lacks the slot */

/* Bytes read, 0 at the end, -1. */
TARVIK_API ssize_t tarvik_ctx_read(int ctx, void *buffer, size_t size);
/* Bytes written, -1. */
TARVIK_API ssize_t tarvik_ctx_write(int ctx, const void *data, size_t size);
/* The new position, -1. */
TARVIK_API int64_t tarvik_ctx_seek(int ctx, uint64_t offset, int whence);
/* 1 when ready within timeout_ms (negative: no limit), 0 when not, -1. */
TARVIK_API int tarvik_ctx_is_readable(int ctx, int timeout_ms);
TARVIK_API int tarvik_ctx_is_writable(int ctx, int timeout_ms);
TARVIK_API int tarvik_ctx_flush(int ctx);
TARVIK_API int tarvik_ctx_vcontrol(int ctx, uint32_t command, va_list arguments);
TARVIK_API int tarvik_ctx_control(int ctx, uint32_t command, ...);
/* Exchanges a record of size bytes with the plugin. */
TARVIK_API int tarvik_ctx_vxcontrol(int ctx, uint32_t command, void *data, size_t size);
TARVIK_API int tarvik_ctx_xcontrol(int ctx, uint32_t command, void *data, size_t size);
TARVIK_API int tarvik_ctx_vbcontrol(int ctx, void *argument);
/* The error code (the context's own while no plugin is bound), -1 for an unknown handle. */
TARVIK_API int tarvik_ctx_get_error(int ctx);
TARVIK_API int tarvik_ctx_set_error(int ctx, int code);
/* The bound plugin's main entry, or null. */
TARVIK_API tarvik_main_entry_t tarvik_ctx_get_main_entry(int ctx);
/* Its result, or 1 without one. */
TARVIK_API int tarvik_ctx_execute_main(int ctx, int argc, char **argv);
/* Writes the text (the formatted text); bytes written or -1. */
TARVIK_API ssize_t tarvik_ctx_puts(int ctx, const char *text);
TARVIK_API ssize_t tarvik_ctx_vprintf(int ctx, const char *format, va_list arguments);
TARVIK_API ssize_t tarvik_ctx_printf(int ctx, const char *format, ...) TARVIK_PRINTF(2, 3);

/* The record of an open context bound to a valid plugin, or null; owned by the context. */
TARVIK_API tarvik_ctx_t *tarvik_get_valid_ctx(int ctx);
/* The bound plugin's hint list, or null. */
TARVIK_API const char *tarvik_get_ctx_mime_type_hint(int ctx);
/* 0 when mime_type matches the bound plugin's hint list, else -1. */
TARVIK_API int tarvik_compare_ctx_mime_type_hint(int ctx, const char *mime_type);

/* ---- control helpers ---- */

/* Fills info for a framebuffer context; 0, or -1. */
TARVIK_API int tarvik_ctx_get_fbinfo(int ctx, tarvik_ctx_fbinfo_t *info);
TARVIK_API int tarvik_ctx_db_set_query_puts(int ctx, const char *query);
TARVIK_API int tarvik_ctx_db_get_query_puts(int ctx, const char *query);
/* The index the plugin reports, -1 by default. */
TARVIK_API int tarvik_ctx_db_get_field_index(int ctx, int row, int column, const char *name);
/* printf-style forms; -1 with error 8 when formatting fails. */
TARVIK_API int tarvik_ctx_db_set_vquery(int ctx, const char *format, va_list arguments);
TARVIK_API int tarvik_ctx_db_get_vquery(int ctx, const char *format, va_list arguments);
TARVIK_API int tarvik_ctx_db_get_field_index_v(int ctx, int row, int column, const char *format,
                                               va_list arguments);

/* ---- stream helpers ---- */

/* A context with "src", "mode" and "debug" opened as "application/qvl_stream"; the handle,
 * or -1 (the context destroyed). */
TARVIK_API int tarvik_open_ctx_stream(const char *src, const char *mode, int debug);
/* The same over a descriptor ("fd"); the descriptor stays the caller's. */
TARVIK_API int tarvik_open_ctx_stream_fd(int fd, const char *mode, int debug);
/* Reads url (one "httpheader" option per CR/LF-separated line of header_lines) while it is
 * readable within timeout_ms. 0 with the body in *data_out (NUL-terminated, the caller
 * frees it) and its size in *size_out; -1 on any failure or when the body reaches max_size
 * (0: no limit). */
TARVIK_API int tarvik_ctx_simple_http_get(const char *url, const char *header_lines,
                                          size_t max_size, int timeout_ms, void **data_out,
                                          size_t *size_out);

/* ---- the base plugin (built in, loaded under the empty name) ---- */

TARVIK_API int tarvik_plugin_initialize_builtin_plugin(const char **hint_out,
                                                       const void **interface_out,
                                                       uint32_t *size_out);
TARVIK_API int tarvik_plugin_uninitialize_builtin_plugin(void);

TARVIK_END_DECLS

#endif
