/* A plain C99 program against the umbrella header: proves the public interface links
 * from C and that C callers see the same heap and pattern behaviour as C++ ones. */
#include <stdio.h>
#include <string.h>

#include "tarvik.h"

static int s_failures;

static void expect(int condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "link_check: FAILED %s\n", what);
        s_failures++;
    }
}

int main(void)
{
    size_t count_before = tarvik_get_alloc_count();
    char *copy = tarvik_strdup_tag("tarvik", "main", (unsigned long)__LINE__);
    char *text = tarvik_alloc_sprintf("%d-%s", 42, "ok");
    void *block = tarvik_alloc_tag(100, "main", (unsigned long)__LINE__);

    expect(copy != NULL && strcmp(copy, "tarvik") == 0, "tarvik_strdup_tag copies");
    expect(text != NULL && strcmp(text, "42-ok") == 0, "tarvik_alloc_sprintf formats");
    expect(block != NULL, "tarvik_alloc_tag allocates");
    expect(tarvik_get_alloc_count() == count_before + 3, "three live blocks counted");

    expect(tarvik_check_pattern("*.so|x", "*.so|x") == 0, "literal pattern matches");
    expect(tarvik_check_pattern("lib*.so", "libc.so") == 0, "wildcard matches");
    expect(tarvik_check_pattern("lib?.so", "libcc.so") == -1, "? takes one character");
    expect(tarvik_check_pattern_list("*.so|*.so.*", "|", "libm.so.6") == 0, "pattern list");

    tarvik_free_tag(block, "main", (unsigned long)__LINE__);
    tarvik_free_tag(text, "main", (unsigned long)__LINE__);
    tarvik_free_tag(copy, "main", (unsigned long)__LINE__);
    expect(tarvik_get_alloc_count() == count_before, "every block released");

    if (s_failures == 0)
        printf("link_check: ok\n");
    return s_failures == 0 ? 0 : 1;
}
