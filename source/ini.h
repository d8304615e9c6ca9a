/* Incremental parser for a loose INI dialect and the tree it builds: sections, name/value
 * nodes and environment entries in three append-only lists that callers walk directly;
 * substitution, includes, search, normalised save and a coloured dump. */
#ifndef TARVIK_INI_H
#define TARVIK_INI_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Name flags of sections, nodes and environment entries. */
#define TARVIK_INI_VARIABLE 0x1u    /* the name began with the variable prefix */
#define TARVIK_INI_SUBSTITUTED 0x2u /* at least one substitution was made in the value */
#define TARVIK_INI_MARKED 0x4u      /* the name began with the mark prefix */

/* Defaults of the option record. */
#define TARVIK_INI_DEFAULT_MAX_SIZE 16777216u

struct tarvik_buffer_s;
struct tarvik_ini_node_s;

typedef struct tarvik_ini_option_s {
    uint32_t m_max_size;     /* most bytes waiting unparsed; 0: no limit */
    int32_t m_substitute;    /* non-zero: $(name), $name and {current_...} expand in values */
    int32_t m_include_depth; /* include lines obeyed when -1 (no limit) or above 0 */
    char m_variable_prefix;  /* '$' */
    char m_mark_prefix;      /* '!' */
} tarvik_ini_option_t;

typedef struct tarvik_ini_section_s {
    struct tarvik_ini_section_s *m_next;
    struct tarvik_ini_node_s *m_node; /* first node of the section, or null */
    uint32_t m_flags;
    uint32_t m_line; /* physical line of the section line; 0 for the implicit section */
    char *m_name;    /* null only for the implicit section */
    char *m_value;   /* text after ":" inside the brackets, or null */
} tarvik_ini_section_t;

/* A name/value node; environment entries use the same record. */
typedef struct tarvik_ini_node_s {
    struct tarvik_ini_node_s *m_next;            /* global list, file order */
    struct tarvik_ini_node_s *m_next_in_line;    /* next node of the same physical line */
    struct tarvik_ini_node_s *m_next_in_section; /* next node of the same section */
    tarvik_ini_section_t *m_section;             /* null for environment entries */
    uint32_t m_flags;
    uint32_t m_line; /* where the logical line began; 0 for environment entries */
    char *m_name;    /* never null for parsed nodes */
    char *m_value;   /* null when the item had no "=" */
} tarvik_ini_node_t;

typedef struct tarvik_ini_data_s {
    struct tarvik_buffer_s *m_queue; /* unparsed input, created on the first push */
    int32_t m_end;                   /* end of input signalled */
    uint32_t m_line_count;           /* physical lines parsed so far */
    tarvik_ini_section_t *m_section_head;
    tarvik_ini_section_t *m_section_tail; /* the current section */
    tarvik_ini_node_t *m_node_head;
    tarvik_ini_node_t *m_node_tail;
    tarvik_ini_node_t *m_env_head;
    tarvik_ini_node_t *m_env_tail;
} tarvik_ini_data_t;

/* The handle: one heap block holding both records the pointers lead to. */
typedef struct tarvik_ini_s {
    tarvik_ini_option_t *m_option;
    tarvik_ini_data_t *m_data;
    tarvik_ini_option_t m_option_record;
    tarvik_ini_data_t m_data_record;
} tarvik_ini_t;

/* New handle with default options, or null; close it. */
TARVIK_API tarvik_ini_t *tarvik_open_ini(void);
/* Frees every list, the queue and the handle (null accepted); returns 0. */
TARVIK_API int tarvik_close_ini(tarvik_ini_t *ini);
/* Free a chain following m_next (null accepted); return 0. */
TARVIK_API int tarvik_ini_free_node(tarvik_ini_node_t *node);
TARVIK_API int tarvik_ini_free_section(tarvik_ini_section_t *section);

/* Appends size bytes (queue flags of the buffer; 4 hands a heap block over, freed here
 * even when refused) and parses every complete line; size 0 ends the input. 0 more input
 * expected, 1 input ended, -1 for a refused push or a malformed line. */
TARVIK_API int tarvik_ini_push_ex(tarvik_ini_t *ini, const void *data, size_t size,
                                  uint32_t queue_flags);
TARVIK_API int tarvik_ini_push(tarvik_ini_t *ini, const void *data, size_t size);
/* Formats and pushes the text (an empty text ends the input); -1 when formatting fails. */
TARVIK_API int tarvik_ini_vprintf(tarvik_ini_t *ini, const char *format, va_list arguments);
TARVIK_API int tarvik_ini_printf(tarvik_ini_t *ini, const char *format, ...) TARVIK_PRINTF(2, 3);
/* Pushes the line name="value" (nulls as empty, the value unescaped); as tarvik_ini_push. */
TARVIK_API int tarvik_ini_set_value(tarvik_ini_t *ini, const char *name, const char *value);
/* Parses one logical line (a trailing line break is dropped) straight away; 0 or -1. */
TARVIK_API int tarvik_ini_do_parse_line(tarvik_ini_t *ini, const char *line, size_t size);
/* Pushes the whole file and ends the input; -1 when it cannot be opened or read whole
 * (malformed lines do not fail it). */
TARVIK_API int tarvik_ini_load_file(tarvik_ini_t *ini, const char *path);

/* Replaces the value of the entry named exactly name, or appends one; 0 or -1. */
TARVIK_API int tarvik_ini_set_env(tarvik_ini_t *ini, const char *name, const char *value);
/* Splits "NAME=VALUE" (value to the end of the line) and sets it; 0 or -1. */
TARVIK_API int tarvik_ini_set_env_line(tarvik_ini_t *ini, const char *text);
/* Sets every entry of the process environment; 0 or -1. */
TARVIK_API int tarvik_ini_load_env(tarvik_ini_t *ini);

/* First node from *start (or the head) whose section matches a "|"-separated pattern
 * and whose name is name (each when given); null when none. Owned by the handle. */
TARVIK_API tarvik_ini_node_t *tarvik_ini_search_node(tarvik_ini_t *ini, tarvik_ini_node_t **start,
                                                     const char *section_patterns,
                                                     const char *name);
/* Value of that node (null for an item without "="), or fallback when none is found. */
TARVIK_API const char *tarvik_ini_get_value(tarvik_ini_t *ini, const char *section_patterns,
                                            const char *name, const char *fallback);
/* With out: *out = fallback, then the converted value; 0 when found, -1 when not.
 * Without out: the converted value, or fallback. */
TARVIK_API int tarvik_ini_get_int(tarvik_ini_t *ini, const char *section_patterns, const char *name,
                                  int *out, int fallback);

/* New heap string of size bytes with a backslash before each byte of escape_set and each
 * NUL (null set: quotes, LF, CR); length in out_size (0 on failure); null on failure. */
TARVIK_API char *tarvik_ini_value_encode_ex(const char *escape_set, const char *text, size_t size,
                                            size_t *out_size);
/* The same over a whole string with quotes, LF and CR; null for null. Caller frees. */
TARVIK_API char *tarvik_ini_value_encode(const char *text);

/* Writes the normalised form (created 0644, truncated); 0 or -1. */
TARVIK_API int tarvik_ini_save_file(tarvik_ini_t *ini, const char *path);
/* Prints the tree in colour, each line after prefix; 0, or -1 when out of memory. */
TARVIK_API int tarvik_ini_dump(tarvik_ini_t *ini, const char *prefix);

TARVIK_END_DECLS

#endif
