/* A plugin as its author builds it out of the tree: against the installed SDK only,
 *     cc -shared -fPIC plugin.c $(pkg-config --cflags --libs tarvik)
 * The library's headers (time.h and signal.h among them) must not hide the C library's:
 * this file uses both of those next to the umbrella header. */
#define _POSIX_C_SOURCE 200809L

#include <tarvik/tarvik.h>

#include <signal.h>
#include <string.h>
#include <time.h>

/* Exported probe: 0 when the program's functions answered as expected, else the number
 * of the first check that failed. */
__attribute__((visibility("default"))) int vexa_plugin_probe(void);

int vexa_plugin_probe(void)
{
    struct timespec now;
    sigset_t set;
    char line[32];
    FILE *stream;
    char *text;
    char first[32];
    int result = 0;
    int ctx;
    ssize_t got;
    size_t length;

    /* The C library's time.h and signal.h. */
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0 || sigemptyset(&set) != 0 ||
        sigaddset(&set, SIGUSR1) != 0 || sigismember(&set, SIGUSR1) != 1)
        return 1;
    /* The library's time.h and the tagged heap, through the program. */
    if (tarvik_time_stamp_msec(NULL) == 0)
        return 2;
    text = tarvik_alloc_sprintf("%d-%s", 42, "ok");
    if (text == NULL || strcmp(text, "42-ok") != 0)
        result = 3;
    tarvik_free_tag(text, "vexa_plugin_probe", (unsigned long)__LINE__);
    if (result != 0)
        return result;
    /* The standard stream wrappers. */
    stream = tarvik_fopen("/proc/self/stat", "r");
    if (stream == NULL)
        return 4;
    if (tarvik_fgets(line, (int)sizeof(line), stream) == NULL)
        result = 5;
    tarvik_fclose(stream);
    if (result != 0)
        return result;
    /* A stream context of the program over the same file gives the same first field. */
    ctx = tarvik_open_ctx_stream("/proc/self/stat", "rb", 0);
    if (ctx < 0)
        return 8;
    got = tarvik_ctx_read(ctx, first, sizeof(first));
    length = strcspn(line, " ");
    if (got <= (ssize_t)length || memcmp(first, line, length) != 0)
        result = 9;
    if (tarvik_destroy_ctx(ctx) != -1 || tarvik_get_valid_ctx(ctx) != NULL)
        result = 10;
    if (result != 0)
        return result;
    /* Options kept in order, replaced by name. */
    ctx = tarvik_new_ctx();
    if (ctx < 0 || tarvik_ctx_set_option_string(ctx, 0, "httpheader", "A: 1") != 0 ||
        tarvik_ctx_set_option_string(ctx, 0, "httpheader", "B: 2") != 0 ||
        tarvik_ctx_set_option_string(ctx, 1, "httpheader", "C: 3") != 0 ||
        strcmp(tarvik_ctx_get_option_string(ctx, "httpheader"), "B: 2") != 0)
        result = 11;
    tarvik_destroy_ctx(ctx);
    if (result != 0)
        return result;
    stream = tarvik_fopen("/dev/null", "w");
    if (stream == NULL || tarvik_fprintf(stream, "%s %d", "answer", 42) != 9)
        result = 6;
    if (stream != NULL && tarvik_fclose(stream) != 0)
        result = 7;
    return result;
}
