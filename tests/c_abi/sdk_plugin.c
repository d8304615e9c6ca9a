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
    int result = 0;

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
    stream = tarvik_fopen("/dev/null", "w");
    if (stream == NULL || tarvik_fprintf(stream, "%s %d", "answer", 42) != 9)
        result = 6;
    if (stream != NULL && tarvik_fclose(stream) != 0)
        result = 7;
    return result;
}
