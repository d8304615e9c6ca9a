/* The applet registry: records, name matching with prefixes and suffixes, listing. */
#ifndef TARVIK_MULTICALL_H
#define TARVIK_MULTICALL_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* An applet's entry; the same signature as main. */
typedef int (*tarvik_main_entry_t)(int argc, char **argv);

#define TARVIK_MULTICALL_HIDDEN 0x1u  /* left out of the listing */
#define TARVIK_MULTICALL_PLUGIN 0x2u  /* entry taken from a plugin file */
#define TARVIK_MULTICALL_BUILTIN 0x4u /* entry taken from the built-in plugins */

/* One allocation: the four strings follow the record. */
typedef struct tarvik_multicall_s {
    struct tarvik_multicall_s *m_next;
    uint32_t m_flags;
    int32_t m_plugin; /* plugin handle, -1 for none */
    tarvik_main_entry_t m_entry;
    char *m_name;
    char *m_prefixes; /* "|"-separated; an empty element is the bare name */
    char *m_suffixes;
    char *m_path;
} tarvik_multicall_t;

/* New list head; the list unchanged when the record or plugin cannot be had. */
TARVIK_API tarvik_multicall_t *tarvik_add_multicall_ex(tarvik_multicall_t *list, uint32_t flags,
                                                       const char *plugin_path,
                                                       tarvik_main_entry_t entry, const char *name,
                                                       const char *prefixes, const char *suffixes,
                                                       const char *path);
TARVIK_API tarvik_multicall_t *tarvik_add_multicall(tarvik_multicall_t *list, uint32_t flags,
                                                    tarvik_main_entry_t entry, const char *name,
                                                    const char *prefixes, const char *suffixes,
                                                    const char *path);
/* 0 when program_name selects record, else -1. */
TARVIK_API int tarvik_compare_multicall(const tarvik_multicall_t *record, const char *program_name);
/* First matching record in list order, or null. */
TARVIK_API tarvik_multicall_t *tarvik_search_multicall(tarvik_multicall_t *list,
                                                       const char *program_name);
/* Frees every record; returns null for the caller to store as the new head. */
TARVIK_API tarvik_multicall_t *tarvik_free_multicall(tarvik_multicall_t *list);
TARVIK_API void tarvik_print_multicall(const tarvik_multicall_t *list);
TARVIK_API void tarvik_usage_multicall(const char *program_name, const tarvik_multicall_t *list);

TARVIK_END_DECLS

#endif
