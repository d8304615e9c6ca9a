/* Instance tables: small non-negative integer handles for objects of any kind, each slot
 * with three context words (word 0 is the object), a MIME-type text and a delete handler.
 * One process-wide table (the "ginstance" table) serves every context, plugin and terminal. */
#ifndef TARVIK_INSTANCE_H
#define TARVIK_INSTANCE_H

#include "tarvik_abi.h"
#include "fragment.h"
#include "lock.h"

TARVIK_BEGIN_DECLS

/* Context words per slot. */
#define TARVIK_INSTANCE_CONTEXT_COUNT 3

/* Called after a handle was deleted and the table lock released, with the slot's words. */
typedef void (*tarvik_instance_delete_handler_t)(int handle, void **context);

typedef struct tarvik_instance_slot_s {
    void *m_context[TARVIK_INSTANCE_CONTEXT_COUNT]; /* word 0: the object */
    char *m_mime_type;                              /* heap copy, null when none */
    tarvik_instance_delete_handler_t m_delete_handler;
} tarvik_instance_slot_t;

/* The slot array grows as handles are taken and is released when the last handle goes. */
typedef struct tarvik_instance_s {
    tarvik_lock_t m_lock;
    tarvik_fragment_t m_handles; /* handles in use */
    tarvik_instance_slot_t *m_slots;
    uint32_t m_capacity; /* slots allocated */
} tarvik_instance_t;

/* New empty table, or null; the caller closes it. */
TARVIK_API tarvik_instance_t *tarvik_open_instance(void);
/* Deletes every handle (calling delete handlers) and frees the table (null accepted); null. */
TARVIK_API tarvik_instance_t *tarvik_close_instance(tarvik_instance_t *table);
/* Prepares a caller-provided table; 0, or -1 for a null table. */
TARVIK_API int tarvik_init_instance(tarvik_instance_t *table);
/* Deletes every handle (calling delete handlers) and releases the storage; 0. */
TARVIK_API int tarvik_uninit_instance(tarvik_instance_t *table);

/* Lowest free handle, holding object and a copy of mime_type (both may be null); -1 on
 * failure. */
TARVIK_API int tarvik_instance_new_ex(tarvik_instance_t *table, void *object,
                                      const char *mime_type);
/* Stores object and a copy of mime_type in the slot; 0, or -1 for an unknown handle. */
TARVIK_API int tarvik_instance_set(tarvik_instance_t *table, int handle, void *object,
                                   const char *mime_type);
/* The object (null when unknown); mime_out (may be null) gets the slot's MIME text, valid
 * while the handle lives. */
TARVIK_API void *tarvik_instance_search(tarvik_instance_t *table, int handle,
                                        const char **mime_out);
/* The slot's MIME text (valid while the handle lives), or null. */
TARVIK_API const char *tarvik_instance_get_mime_type(tarvik_instance_t *table, int handle);
/* Sets context word index (0..2); 0, or -1 for an unknown handle or index. */
TARVIK_API int tarvik_instance_set_context(tarvik_instance_t *table, int handle, int index,
                                           void *value);
/* Context word index (0..2), or null. */
TARVIK_API void *tarvik_instance_get_context(tarvik_instance_t *table, int handle, int index);
/* 0, or -1 for an unknown handle. */
TARVIK_API int tarvik_instance_set_delete_handler(tarvik_instance_t *table, int handle,
                                                  tarvik_instance_delete_handler_t handler);
/* Frees the handle and its MIME text, then calls its delete handler; always -1. */
TARVIK_API int tarvik_instance_delete(tarvik_instance_t *table, int handle);

/* The same calls on the process-wide table, made on first use. */
TARVIK_API int tarvik_ginstance_new(void);
TARVIK_API int tarvik_ginstance_new_ex(void *object, const char *mime_type);
TARVIK_API int tarvik_ginstance_set(int handle, void *object, const char *mime_type);
TARVIK_API void *tarvik_ginstance_search(int handle, const char **mime_out);
TARVIK_API const char *tarvik_ginstance_get_mime_type(int handle);
TARVIK_API int tarvik_ginstance_set_context(int handle, int index, void *value);
TARVIK_API void *tarvik_ginstance_get_context(int handle, int index);
TARVIK_API int tarvik_ginstance_set_delete_handler(int handle,
                                                   tarvik_instance_delete_handler_t handler);
/* Always -1. */
TARVIK_API int tarvik_ginstance_delete(int handle);

/* 0 when both texts are equal (null counts as empty), else non-zero. */
TARVIK_API int tarvik_compare_mime_type(const char *a, const char *b);

TARVIK_END_DECLS

#endif
