/* A plugin written in C and built without the library: every tarvik_* call below is
 * resolved from the program that loads it, which is what plugin files rely on. */
#include <string.h>

#include "tarvik.h"

/* Exported probe: 0 when the program's functions answered as expected, else the number
 * of the first check that failed. */
__attribute__((visibility("default"))) int vexa_plugin_probe(void);

int vexa_plugin_probe(void)
{
    size_t count_before = tarvik_get_alloc_count();
    char *text = tarvik_alloc_sprintf("%d-%s", 42, "ok");
    int result = 0;

    if (text == NULL)
        return 1;
    if (strcmp(text, "42-ok") != 0)
        result = 2;
    else if (tarvik_get_alloc_count() != count_before + 1)
        result = 3;
    tarvik_free_tag(text, "vexa_plugin_probe", (unsigned long)__LINE__);
    if (result != 0)
        return result;
    if (tarvik_get_alloc_count() != count_before)
        return 4;
    if (tarvik_check_pattern("*.so|*.so.*", "libc.so.6") != -1)
        return 5;
    if (tarvik_check_pattern("*.so.*", "libc.so.6") != 0)
        return 6;
    return 0;
}
