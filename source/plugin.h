/* Plugins: shared objects (or tables built into the program) that serve stream contexts
 * through the ctx0 interface and may carry a main entry; loaded by name with a use count,
 * each one a handle of the process-wide instance table. */
#ifndef TARVIK_PLUGIN_H
#define TARVIK_PLUGIN_H

#include "tarvik_abi.h"
#include "lock.h"
#include "multicall.h"

#include <sys/types.h>

TARVIK_BEGIN_DECLS

typedef uint64_t tarvik_uintmax_t;

/* MIME type of a plugin handle in the instance table. */
#define TARVIK_PLUGIN_MIME_TYPE "application/qvl_base_plugin"
/* Names of the two functions every plugin file exports. */
#define TARVIK_PLUGIN_INITIALIZE_NAME "tarvik_plugin_initialize"
#define TARVIK_PLUGIN_UNINITIALIZE_NAME "tarvik_plugin_uninitialize"
/* Default directories searched for a plugin file, in order; "$ORIGIN" is the program's own
 * directory. The working directory is searched first only when the environment variable
 * below is set to anything but "" or "0" (for developing plugins). */
#define TARVIK_PLUGIN_SEARCH_PATH "$ORIGIN:/lib:/usr/lib:/lib64:/usr/lib64"
#define TARVIK_PLUGIN_DEVELOPMENT_VARIABLE "TARVIK_PLUGIN_DEVELOPMENT"

/* Interface types and the ctx0 versions. */
#define TARVIK_INTERFACE_TYPE_CTX0 1u
#define TARVIK_CTX0_VERSION_0 0u
#define TARVIK_CTX0_VERSION_1 1u

/* The ctx0 interface: a table of word-sized fields that a plugin fills and keeps alive while
 * it is loaded. Every slot takes the context handle; a null slot means "not supported". */
typedef struct tarvik_ctx0_v0_interface_s {
    uint32_t m_type; /* TARVIK_INTERFACE_TYPE_CTX0 */
    uint32_t m_size; /* bytes of the table */
    uint32_t m_version;
    uint32_t m_flags;
    int (*m_open)(int ctx);
    int (*m_close)(int ctx);
    int (*m_vbcontrol)(int ctx, void *argument);
    int (*m_vxcontrol)(int ctx, uint32_t command, void *data, size_t size);
    int (*m_vcontrol)(int ctx, uint32_t command, va_list arguments);
    int (*m_is_readable)(int ctx, int timeout_ms);
    ssize_t (*m_read)(int ctx, void *buffer, size_t size);
    int (*m_is_writable)(int ctx, int timeout_ms);
    ssize_t (*m_write)(int ctx, const void *data, size_t size);
    int64_t (*m_seek)(int ctx, uint64_t offset, int whence);
    int (*m_flush)(int ctx);
    int (*m_db_query)(int ctx, void *argument);
    int (*m_db_fetch)(int ctx, void *argument);
    int (*m_get_error)(int ctx);
    int (*m_set_error)(int ctx, int code);
    tarvik_main_entry_t m_main;
} tarvik_ctx0_v0_interface_t;

/* Version 1: the same table with room kept for later slots (null). */
typedef struct tarvik_ctx0_v1_interface_s {
    tarvik_ctx0_v0_interface_t m_v0;
    void *m_reserved[9];
} tarvik_ctx0_v1_interface_t;

/* What a plugin file's initialise function fills: hint list (";" or "|" separated MIME
 * patterns), interface table and its size. 0 on success. */
typedef int (*tarvik_plugin_initialize_t)(const char **hint_out, const void **interface_out,
                                          uint32_t *size_out);
typedef int (*tarvik_plugin_uninitialize_t)(void);

/* State bits of a plugin record. */
#define TARVIK_PLUGIN_STATE_INITIALIZED 0x1u
#define TARVIK_PLUGIN_STATE_BUILTIN 0x2u
#define TARVIK_PLUGIN_STATE_FAILED 0x4u /* its initialise function refused */
#define TARVIK_PLUGIN_STATE_VALID 0x10000u

/* One loaded plugin, in one allocation with its path and base-name texts. */
typedef struct tarvik_plugin_s {
    char m_magic[4]; /* "WULP" */
    struct tarvik_plugin_s *m_prev;
    struct tarvik_plugin_s *m_next;
    tarvik_spin_lock_t m_lock; /* exclusive while the use count changes */
    uint32_t m_state;
    int32_t m_handle; /* -1 until registered */
    tarvik_uintmax_t m_used_count;
    void *m_shared_object; /* null for built-in plugins */
    char *m_path;
    char *m_base_name;
    tarvik_plugin_initialize_t m_initialize;
    tarvik_plugin_uninitialize_t m_uninitialize;
    const char *m_mime_type_hint; /* "" until initialised */
    uint32_t m_interface_size;
    const void *m_interface;
} tarvik_plugin_t;

/* The registry: loaded plugins, most recently loaded first; walk it under m_lock. */
typedef struct tarvik_plugin_info_s {
    tarvik_lock_t m_lock;
    tarvik_plugin_t *m_head;
} tarvik_plugin_info_t;

/* Loads name (a built-in name, a path with "/", or a file looked up in the ":"-separated
 * search_path, null: the default) with the named functions (null: the standard names);
 * a plugin already loaded gains a use. The handle, or -1. */
TARVIK_API int tarvik_load_plugin_ex(const char *name, const char *search_path,
                                     const char *init_name, const char *uninit_name);
/* tarvik_load_plugin_ex over the default search path. */
TARVIK_API int tarvik_load_plugin(const char *name, const char *init_name, const char *uninit_name);
/* Releases one use (the last one unloads the plugin); always -1. */
TARVIK_API int tarvik_unload_plugin(int handle);
/* Unloads every plugin at once, whatever its use count; returns 0. */
TARVIK_API int tarvik_unload_all_plugins(void);
/* Why the calling thread's last load failed (empty when it did not); owned by the library. */
TARVIK_API const char *tarvik_plugin_get_load_error(void);
/* The record of a plugin handle, or null. */
TARVIK_API tarvik_plugin_t *tarvik_plugin_search(int handle);
/* The interface table, or null when handle is no plugin or the table is under 16 bytes. */
TARVIK_API const void *tarvik_plugin_get_interface(int handle);
/* The hint list, or null when handle is no plugin. */
TARVIK_API const char *tarvik_plugin_get_mime_type_hint(int handle);
/* The main entry of a type-1 interface with a non-zero version, or null. */
TARVIK_API tarvik_main_entry_t tarvik_plugin_get_main_entry(int handle);
/* The main entry's result, or 1 when the plugin has none. */
TARVIK_API int tarvik_plugin_execute_main(int handle, int argc, char **argv);
/* Loads name, runs its main entry and unloads it; 1 when it cannot be loaded or has none. */
TARVIK_API int tarvik_execute_plugin(const char *name, int argc, char **argv);
/* The process-wide registry (never null). */
TARVIK_API tarvik_plugin_info_t *tarvik_get_plugin_info(void);

TARVIK_END_DECLS

#endif
