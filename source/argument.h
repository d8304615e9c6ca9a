/* Command-line argument parser (options asked one by one by alternatives spec) and
 * environment helpers. Returned strings live until the handle is closed. */
#ifndef TARVIK_ARGUMENT_H
#define TARVIK_ARGUMENT_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

typedef struct tarvik_argument_s tarvik_argument_t;

/* Null only when the handle cannot be allocated; argv (and envp) must outlive it. */
TARVIK_API tarvik_argument_t *tarvik_open_argument(int argc, char **argv);
TARVIK_API tarvik_argument_t *tarvik_open_argument_ex(int argc, char **argv, char **envp);
/* Returns 0; null is ignored. */
TARVIK_API int tarvik_close_argument(tarvik_argument_t *handle);
/* index-th element of spec's match sequence, else def. A null spec reads argv[index]. */
TARVIK_API const char *tarvik_search_argument_ex(tarvik_argument_t *handle, const char *spec,
                                                 int index, const char *def);
TARVIK_API const char *tarvik_search_argument(tarvik_argument_t *handle, const char *spec,
                                              int index);
/* The element as a decimal integer, else def. */
TARVIK_API int tarvik_search_argument_int(tarvik_argument_t *handle, const char *spec, int index,
                                          int def);
/* n-th argument that no search touched (argv[0] is usually n = 0), or null. */
TARVIK_API const char *tarvik_notouch_argument(tarvik_argument_t *handle, int n);
TARVIK_API const char *tarvik_argument_get_program_name(tarvik_argument_t *handle);
/* Last definition of name (ignoring case) in the handle's environment, or null. */
TARVIK_API const char *tarvik_argument_search_environ(tarvik_argument_t *handle, const char *name);

/* Tagged copy of the first set variable of the "|"-separated names, or null. */
TARVIK_API char *tarvik_alloc_getenv(const char *names);
/* -1 for a null or empty name; a null value removes the variable. */
TARVIK_API int tarvik_setenv(const char *name, const char *value, int overwrite);
TARVIK_API int tarvik_putenv(char *string);
TARVIK_API char **tarvik_environ(void);

TARVIK_END_DECLS

#endif
