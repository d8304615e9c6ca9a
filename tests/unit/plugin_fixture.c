/* A plugin file for the unit tests of the plugin registry. It calls nothing of the program
 * (the test executables export no symbols), so every answer comes from its own tables:
 * the standard pair serves "application/x-unit*" with a version-1 table and a main entry,
 * the other initialise functions give a version-0 table, a table of the wrong type, or
 * refuse. It counts its initialisations so that a test sees how often they ran. */
#include "plugin.h"

#include <string.h>

#define EXPORT __attribute__((visibility("default")))

static int s_initialized;
static int s_uninitialized;
static const char UNIT_DATA[] = "unit plugin data";

static int unit_open(int ctx)
{
    (void)ctx;
    return 0;
}

static ssize_t unit_read(int ctx, void *buffer, size_t size)
{
    (void)ctx;
    if (size > sizeof(UNIT_DATA) - 1)
        size = sizeof(UNIT_DATA) - 1;
    memcpy(buffer, UNIT_DATA, size);
    return (ssize_t)size;
}

static int unit_main(int argc, char **argv)
{
    (void)argv;
    return 40 + argc;
}

static tarvik_ctx0_v1_interface_t s_v1;
static tarvik_ctx0_v0_interface_t s_v0;

static void fill(tarvik_ctx0_v0_interface_t *table, uint32_t type, uint32_t size,
                 uint32_t version)
{
    memset(table, 0, sizeof(*table));
    table->m_type = type;
    table->m_size = size;
    table->m_version = version;
    table->m_open = unit_open;
    table->m_read = unit_read;
    table->m_main = unit_main;
}

EXPORT int tarvik_plugin_initialize(const char **hint, const void **interface, uint32_t *size);
EXPORT int tarvik_plugin_uninitialize(void);
EXPORT int unit_v0_initialize(const char **hint, const void **interface, uint32_t *size);
EXPORT int unit_wrong_type_initialize(const char **hint, const void **interface, uint32_t *size);
EXPORT int unit_failing_initialize(const char **hint, const void **interface, uint32_t *size);
EXPORT int unit_initialized(void);
EXPORT int unit_uninitialized(void);

int tarvik_plugin_initialize(const char **hint, const void **interface, uint32_t *size)
{
    memset(&s_v1, 0, sizeof(s_v1));
    fill(&s_v1.m_v0, TARVIK_INTERFACE_TYPE_CTX0, sizeof(s_v1), TARVIK_CTX0_VERSION_1);
    *hint = "application/x-unit*";
    *interface = &s_v1;
    *size = sizeof(s_v1);
    ++s_initialized;
    return 0;
}

int tarvik_plugin_uninitialize(void)
{
    ++s_uninitialized;
    return 0;
}

int unit_v0_initialize(const char **hint, const void **interface, uint32_t *size)
{
    fill(&s_v0, TARVIK_INTERFACE_TYPE_CTX0, sizeof(s_v0), TARVIK_CTX0_VERSION_0);
    *hint = "application/x-unit-v0";
    *interface = &s_v0;
    *size = sizeof(s_v0);
    ++s_initialized;
    return 0;
}

int unit_wrong_type_initialize(const char **hint, const void **interface, uint32_t *size)
{
    fill(&s_v0, 2, sizeof(s_v0), TARVIK_CTX0_VERSION_0);
    *hint = NULL;
    *interface = &s_v0;
    *size = sizeof(s_v0);
    ++s_initialized;
    return 0;
}

int unit_failing_initialize(const char **hint, const void **interface, uint32_t *size)
{
    (void)hint;
    (void)interface;
    (void)size;
    ++s_initialized;
    return -1;
}

int unit_initialized(void) { return s_initialized; }
int unit_uninitialized(void) { return s_uninitialized; }
