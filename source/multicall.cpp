// The applet registry: one tagged allocation per record (its four strings right behind
// it), name matching with prefix and suffix lists, and the usage listing. The registry
// is built and searched on the main thread only, so nothing here is locked.
#include "multicall.h"

#include "console.h"
#include "detail/common.hpp"
#include "heap.h"
#include "pattern.h"
#include "plugin.h"
#include "process.h"
#include "terminal.h"
#include "version.h"

#include <cstring>

namespace {

using tarvik::detail::ListWalker;
using tarvik::detail::Text;

size_t length_of(const char *text) { return text != nullptr ? strlen(text) : 0; }

// Copies text (null reads as "") to *cursor, NUL included; returns where it landed.
char *place_string(char **cursor, const char *text)
{
    char *start = *cursor;
    size_t length = length_of(text);
    if (length != 0) {
        memcpy(start, text, length);
    }
    start[length] = '\0';
    *cursor = start + length + 1;
    return start;
}

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Cuts trailing separators in place and returns the text behind the last one left.
char *last_component(char *path)
{
    size_t length = strlen(path);
    while (length > 0 && is_separator(path[length - 1])) {
        path[--length] = '\0';
    }
    char *component = path;
    for (char *at = path; *at != '\0'; ++at) {
        if (is_separator(*at)) {
            component = at + 1;
        }
    }
    return component;
}

// Tests prefix + name + suffix as a case-insensitive wildcard pattern against component.
// Returns 0 on a hit, -1 on a miss, -2 when the pattern cannot be allocated.
int try_pattern(Text prefix, const char *name, Text suffix, const char *component)
{
    size_t size = prefix.m_length + strlen(name) + suffix.m_length + 1;
    char *pattern = static_cast<char *>(tarvik_alloc_tag(size, TARVIK_TAG));
    if (pattern == nullptr) {
        return -2;
    }
    tarvik::detail::Writer(pattern, size).puts(prefix).puts(name).puts(suffix);
    int result = tarvik_check_case_pattern(pattern, component) == 0 ? 0 : -1;
    tarvik_free_tag(pattern, TARVIK_TAG);
    return result;
}

// Worker of tarvik_compare_multicall over the extracted component.
int compare_component(const tarvik_multicall_t *record, const char *component)
{
    const char *name = record->m_name;
    if (tarvik::detail::equal_ignoring_case(component, name)) {
        return 0;
    }
    const Text none("", 0);
    Text prefix;
    Text suffix;
    int result;
    for (ListWalker prefixes(record->m_prefixes); prefixes.next(&prefix);) {
        if ((result = try_pattern(prefix, name, none, component)) != -1) {
            return result == 0 ? 0 : -1;
        }
    }
    for (ListWalker suffixes(record->m_suffixes); suffixes.next(&suffix);) {
        if ((result = try_pattern(none, name, suffix, component)) != -1) {
            return result == 0 ? 0 : -1;
        }
    }
    for (ListWalker prefixes(record->m_prefixes); prefixes.next(&prefix);) {
        for (ListWalker suffixes(record->m_suffixes); suffixes.next(&suffix);) {
            if ((result = try_pattern(prefix, name, suffix, component)) != -1) {
                return result == 0 ? 0 : -1;
            }
        }
    }
    return -1;
}

// Prints one piece of the platform line for a packed version; nothing when unknown.
void print_packed_version(const char *name, uint32_t version)
{
    if (version == 0) {
        return;
    }
    unsigned long major = (version >> 24) & 0xFFu;
    unsigned long minor = (version >> 16) & 0xFFu;
    unsigned long patch = (version >> 8) & 0xFFu;
    unsigned long build = version & 0xFFu;
    if ((version & 0xFFFFu) == 0) {
        tarvik_printf(", %s v%lu.%lu", name, major, minor);
    } else if ((version & 0xFFu) == 0) {
        tarvik_printf(", %s v%lu.%lu.%lu", name, major, minor, patch);
    } else {
        tarvik_printf(", %s v%lu.%lu.%lu.%lu", name, major, minor, patch, build);
    }
}

} // namespace

extern "C" {

TARVIK_API tarvik_multicall_t *tarvik_add_multicall_ex(tarvik_multicall_t *list, uint32_t flags,
                                                       const char *plugin_path,
                                                       tarvik_main_entry_t entry, const char *name,
                                                       const char *prefixes, const char *suffixes,
                                                       const char *path)
{
    flags &= ~TARVIK_MULTICALL_PLUGIN;
    int plugin = -1;
    if (entry == nullptr) {
        // The entry is a plugin's main: without the plugin the name is not registered.
        plugin = tarvik_load_plugin(plugin_path, nullptr, nullptr);
        entry = tarvik_plugin_get_main_entry(plugin);
        if (entry == nullptr) {
            tarvik_unload_plugin(plugin);
            return list;
        }
        flags |= plugin_path != nullptr ? TARVIK_MULTICALL_PLUGIN
                                        : TARVIK_MULTICALL_PLUGIN | TARVIK_MULTICALL_BUILTIN;
    }
    const size_t lengths[] = {length_of(name), length_of(prefixes), length_of(suffixes),
                              length_of(path)};
    size_t size = sizeof(tarvik_multicall_t);
    for (size_t length : lengths) {
        if (length > static_cast<size_t>(-1) - size - 1) {
            tarvik_unload_plugin(plugin);
            return list;
        }
        size += length + 1;
    }
    auto *record = static_cast<tarvik_multicall_t *>(tarvik_alloc_tag(size, TARVIK_TAG));
    if (record == nullptr) {
        tarvik_unload_plugin(plugin);
        return list;
    }
    char *cursor = reinterpret_cast<char *>(record + 1);
    record->m_next = nullptr;
    record->m_flags = flags;
    record->m_plugin = plugin;
    record->m_entry = entry;
    record->m_name = place_string(&cursor, name);
    record->m_prefixes = place_string(&cursor, prefixes);
    record->m_suffixes = place_string(&cursor, suffixes);
    record->m_path = place_string(&cursor, path);
    if (list == nullptr) {
        return record;
    }
    tarvik_multicall_t *tail = list;
    while (tail->m_next != nullptr) {
        tail = tail->m_next;
    }
    tail->m_next = record;
    return list;
}

TARVIK_API tarvik_multicall_t *tarvik_add_multicall(tarvik_multicall_t *list, uint32_t flags,
                                                    tarvik_main_entry_t entry, const char *name,
                                                    const char *prefixes, const char *suffixes,
                                                    const char *path)
{
    return tarvik_add_multicall_ex(list, flags, nullptr, entry, name, prefixes, suffixes, path);
}

TARVIK_API int tarvik_compare_multicall(const tarvik_multicall_t *record, const char *program_name)
{
    if (record == nullptr || program_name == nullptr || record->m_name == nullptr) {
        return -1;
    }
    char *copy = tarvik_strdup_tag(program_name, TARVIK_TAG);
    if (copy == nullptr) {
        return -1;
    }
    int result = compare_component(record, last_component(copy));
    tarvik_free_tag(copy, TARVIK_TAG);
    return result;
}

TARVIK_API tarvik_multicall_t *tarvik_search_multicall(tarvik_multicall_t *list,
                                                       const char *program_name)
{
    for (tarvik_multicall_t *record = list; record != nullptr; record = record->m_next) {
        if (tarvik_compare_multicall(record, program_name) == 0) {
            return record;
        }
    }
    return nullptr;
}

TARVIK_API tarvik_multicall_t *tarvik_free_multicall(tarvik_multicall_t *list)
{
    while (list != nullptr) {
        tarvik_multicall_t *next = list->m_next;
        if (list->m_plugin != -1) {
            tarvik_unload_plugin(list->m_plugin);
        }
        tarvik_free_tag(list, TARVIK_TAG);
        list = next;
    }
    return nullptr;
}

TARVIK_API void tarvik_print_multicall(const tarvik_multicall_t *list)
{
    int width = 0;
    tarvik_get_terminal_size(&width, nullptr);
    if (width <= 0) {
        width = 80;
    }
    size_t column = 0;
    bool printed = false;
    for (const tarvik_multicall_t *record = list; record != nullptr; record = record->m_next) {
        if ((record->m_flags & TARVIK_MULTICALL_HIDDEN) != 0) {
            continue;
        }
        size_t length = strlen(record->m_name);
        if (printed) {
            tarvik_puts(", ");
            column += 2;
        }
        if (length + 1 + column >= static_cast<size_t>(width)) {
            tarvik_puts("\n    ");
            column = 4;
        } else if (column == 0) {
            tarvik_puts("    ");
            column = 4;
        }
        column += length;
        const uint32_t kind =
            record->m_flags & (TARVIK_MULTICALL_PLUGIN | TARVIK_MULTICALL_BUILTIN);
        if (kind == TARVIK_MULTICALL_PLUGIN) {
            tarvik_printf("\033[1;32m%s\033[0m", record->m_name);
        } else {
            tarvik_printf("\033[1;33m%s\033[0m", record->m_name);
        }
        printed = true;
    }
}

TARVIK_API void tarvik_usage_multicall(const char *program_name, const tarvik_multicall_t *list)
{
    const char *name = program_name != nullptr ? program_name : "";
    tarvik_printf("\033[1;37m%s\033[0m v%s, multicall program of the %s library\n"
                  "Built %s %s on %s (%s, for %s)\n%s\n\n",
                  name, tarvik_get_version_string(), tarvik_get_company_string(),
                  tarvik_get_build_date(), tarvik_get_build_time(), tarvik_get_build_host(),
                  tarvik_get_build_profile(), tarvik_get_architecture(),
                  tarvik_get_copyright_string());
    tarvik_printf("Usage: %s <applet> [<arguments>...], or through a link named after the "
                  "applet.\nApplets:\n",
                  name);
    tarvik_print_multicall(list);
    tarvik_printf("\n\nEnd of %s. (%s", name, tarvik_get_runtime_architecture());
    print_packed_version(tarvik_get_compiler_name(), tarvik_get_compiler_version());
    print_packed_version(tarvik_get_libc_name(), tarvik_get_libc_version());
    tarvik_printf(", %s v%s", tarvik_get_os_name(), tarvik_get_os_version_string());
    tarvik_printf(", page_size=%lu", tarvik_get_page_size());
    int cpus = tarvik_get_cpu_count_ex(-1);
    if (cpus != -1) {
        tarvik_printf(", CPU x %d", cpus);
    }
    const char *codeset = tarvik_get_langinfo_codeset();
    if (codeset != nullptr) {
        tarvik_printf(", LC_CTYPE=%s", codeset);
    }
    tarvik_puts(")\n");
    tarvik_puts(nullptr);
}

} // extern "C"
