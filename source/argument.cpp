// Command-line argument handle: options are asked for one at a time by an alternatives
// spec ("t|timeout"), and searches mark what they touched so that the operands can be
// listed afterwards. Owns node copies of argv and envp texts; one thread per handle.
#include "argument.h"

#include "ctype.h"
#include "detail/common.hpp"
#include "scan.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

constexpr uint32_t PREFIX_SHORT = 2;
constexpr uint32_t PREFIX_LONG = 4;
constexpr uint32_t FLAG_TOUCHED = 0x1;
constexpr uint32_t FLAG_END_OF_OPTIONS = 0x8;

// Prefix and argument nodes; the text follows the node in the same allocation.
struct ArgumentNode {
    ArgumentNode *m_next;
    uint32_t m_flags; // prefix kind, or touched / end-of-options
    size_t m_length;
    char *m_text;
};

// One allocation: the node, then "name\0value\0".
struct EnvironNode {
    EnvironNode *m_next;
    EnvironNode *m_newer; // the last later node with the same name (ignoring case)
    size_t m_name_length;
    char *m_name;
    size_t m_value_length;
    char *m_value;
};

} // namespace

struct tarvik_argument_s {
    int m_argc;
    char **m_argv;
    unsigned int m_environ_count;
    char **m_envp;
    char *m_program_name; // behind the handle, same allocation
    ArgumentNode *m_prefixes;
    ArgumentNode *m_arguments;
    EnvironNode *m_environ;
};

extern "C" char **environ;

namespace {

ArgumentNode *tarvik_new_argument_node(const char *text, uint32_t flags)
{
    size_t length = strlen(text);
    auto *node = static_cast<ArgumentNode *>(
        tarvik_alloc_tag(sizeof(ArgumentNode) + length + 1, TARVIK_TAG));
    if (node == nullptr) {
        return nullptr;
    }
    node->m_next = nullptr;
    node->m_flags = flags;
    node->m_length = length;
    node->m_text = reinterpret_cast<char *>(node + 1);
    memcpy(node->m_text, text, length + 1);
    return node;
}

void tarvik_free_argument_node(ArgumentNode *node)
{
    tarvik::detail::free_chain_tag(node, TARVIK_TAG);
}

EnvironNode *tarvik_new_environ_node(const char *entry)
{
    entry = tarvik_skip_space(entry);
    size_t length = strlen(entry);
    auto *node =
        static_cast<EnvironNode *>(tarvik_alloc_tag(sizeof(EnvironNode) + length + 2, TARVIK_TAG));
    if (node == nullptr) {
        return nullptr;
    }
    char *copy = reinterpret_cast<char *>(node + 1);
    memcpy(copy, entry, length + 1);
    // An entry without "=" gets the empty value from the spare byte behind the name.
    copy[length + 1] = '\0';
    char *equal = strchr(copy, '=');
    if (equal != nullptr) {
        *equal = '\0';
    } else {
        equal = copy + length;
    }
    node->m_next = nullptr;
    node->m_newer = nullptr;
    node->m_name = copy;
    node->m_name_length = static_cast<size_t>(equal - copy);
    node->m_value = equal + 1;
    node->m_value_length = strlen(node->m_value);
    return node;
}

void tarvik_free_environ_node(EnvironNode *node)
{
    tarvik::detail::free_chain_tag(node, TARVIK_TAG);
}

using tarvik::detail::equal_ignoring_case;
using tarvik::detail::SinglyLinked;
using tarvik::detail::Text;

// Text behind the last "/" or "\"; "." when there is no argv[0].
const char *last_component(const char *path)
{
    if (path == nullptr) {
        return ".";
    }
    const char *name = path;
    for (const char *at = path; *at != '\0'; ++at) {
        if (*at == '/' || *at == '\\') {
            name = at + 1;
        }
    }
    return name;
}

// Null for a plain argument, else the option text behind the longest matching prefix.
const char *option_text(const tarvik_argument_t *handle, const ArgumentNode *node)
{
    const ArgumentNode *best = nullptr;
    for (const ArgumentNode *prefix = handle->m_prefixes; prefix != nullptr;
         prefix = prefix->m_next) {
        bool longer = best == nullptr || prefix->m_length > best->m_length;
        if (longer && prefix->m_length <= node->m_length &&
            memcmp(node->m_text, prefix->m_text, prefix->m_length) == 0) {
            best = prefix;
        }
    }
    if (best == nullptr) {
        return nullptr;
    }
    const char *rest = node->m_text + best->m_length;
    // Negative numbers such as -5 or -1-2 are values, not options.
    if (best->m_flags == PREFIX_SHORT && tarvik_is_decimal_string(rest) != 0) {
        return nullptr;
    }
    return rest;
}

void add_prefixes(tarvik_argument_t *handle)
{
    ArgumentNode *tail = nullptr;
    const struct {
        const char *m_text;
        uint32_t m_kind;
    } prefixes[] = {{"--", PREFIX_LONG}, {"-", PREFIX_SHORT}};
    for (const auto &prefix : prefixes) {
        ArgumentNode *node = tarvik_new_argument_node(prefix.m_text, prefix.m_kind);
        if (node != nullptr) {
            SinglyLinked<ArgumentNode>(&handle->m_prefixes, &tail).push_back(node);
        }
    }
}

void add_arguments(tarvik_argument_t *handle)
{
    ArgumentNode *tail = nullptr;
    for (int i = 0; i < handle->m_argc; ++i) {
        if (handle->m_argv[i] == nullptr) {
            continue;
        }
        ArgumentNode *node = tarvik_new_argument_node(handle->m_argv[i], 0);
        if (node != nullptr) {
            SinglyLinked<ArgumentNode>(&handle->m_arguments, &tail).push_back(node);
        }
    }
}

void add_environ(tarvik_argument_t *handle)
{
    EnvironNode *tail = nullptr;
    for (char **entry = handle->m_envp; *entry != nullptr; ++entry) {
        ++handle->m_environ_count;
        if (**entry == '\0') {
            continue;
        }
        EnvironNode *node = tarvik_new_environ_node(*entry);
        if (node == nullptr) {
            continue;
        }
        for (EnvironNode *older = handle->m_environ; older != nullptr; older = older->m_next) {
            if (equal_ignoring_case(older->m_name, older->m_name_length, node->m_name,
                                    node->m_name_length)) {
                older->m_newer = node;
            }
        }
        SinglyLinked<EnvironNode>(&handle->m_environ, &tail).push_back(node);
    }
}

void mark_end_of_options(tarvik_argument_t *handle)
{
    for (ArgumentNode *node = handle->m_arguments; node != nullptr; node = node->m_next) {
        const char *option = option_text(handle, node);
        if (option != nullptr && *option == '\0') {
            node->m_flags |= FLAG_END_OF_OPTIONS;
            return;
        }
    }
}

const char *search_nodes(tarvik_argument_t *handle, const char *spec, int index, const char *def)
{
    const bool empty_alternative = tarvik::detail::list_has(spec, Text());
    int k = 0;
    bool matching = false;
    for (ArgumentNode *node = handle->m_arguments; node != nullptr; node = node->m_next) {
        if ((node->m_flags & FLAG_END_OF_OPTIONS) != 0) {
            break;
        }
        const char *option = option_text(handle, node);
        const char *value = nullptr;
        if (option != nullptr) {
            const char *equal = strchr(option, '=');
            size_t name_length =
                equal != nullptr ? static_cast<size_t>(equal - option) : strlen(option);
            if (equal != nullptr && equal[1] != '\0') {
                value = equal + 1;
            }
            matching = tarvik::detail::list_has(spec, Text(option, name_length));
        } else if (k == 0) {
            matching = empty_alternative;
        }
        if (!matching) {
            continue;
        }
        node->m_flags |= FLAG_TOUCHED;
        // A repeated occurrence of the option only keeps the sequence going.
        if (k > 0 && option != nullptr) {
            continue;
        }
        if (k++ == index) {
            return node->m_text;
        }
        if (value != nullptr && k++ == index) {
            return value;
        }
    }
    return def;
}

} // namespace

extern "C" {

TARVIK_API tarvik_argument_t *tarvik_open_argument_ex(int argc, char **argv, char **envp)
{
    if (argv == nullptr || argc < 0) {
        argc = 0;
    }
    const char *program = last_component(argc > 0 ? argv[0] : nullptr);
    size_t program_length = strlen(program);
    auto *handle = static_cast<tarvik_argument_t *>(
        tarvik_alloc_tag(sizeof(tarvik_argument_t) + program_length + 1, TARVIK_TAG));
    if (handle == nullptr) {
        return nullptr;
    }
    handle->m_argc = argc;
    handle->m_argv = argv;
    handle->m_environ_count = 0;
    handle->m_envp = envp;
    handle->m_program_name = reinterpret_cast<char *>(handle + 1);
    memcpy(handle->m_program_name, program, program_length + 1);
    handle->m_prefixes = nullptr;
    handle->m_arguments = nullptr;
    handle->m_environ = nullptr;

    add_prefixes(handle);
    add_arguments(handle);
    if (envp != nullptr) {
        add_environ(handle);
    }
    mark_end_of_options(handle);
    return handle;
}

TARVIK_API tarvik_argument_t *tarvik_open_argument(int argc, char **argv)
{
    return tarvik_open_argument_ex(argc, argv, nullptr);
}

TARVIK_API int tarvik_close_argument(tarvik_argument_t *handle)
{
    if (handle != nullptr) {
        tarvik_free_environ_node(handle->m_environ);
        tarvik_free_argument_node(handle->m_arguments);
        tarvik_free_argument_node(handle->m_prefixes);
        tarvik_free_tag(handle, TARVIK_TAG);
    }
    return 0;
}

TARVIK_API const char *tarvik_search_argument_ex(tarvik_argument_t *handle, const char *spec,
                                                 int index, const char *def)
{
    if (handle == nullptr || index < 0) {
        return def;
    }
    if (spec == nullptr) {
        if (index < handle->m_argc && handle->m_argv[index] != nullptr) {
            return handle->m_argv[index];
        }
        return def;
    }
    return search_nodes(handle, spec, index, def);
}

TARVIK_API const char *tarvik_search_argument(tarvik_argument_t *handle, const char *spec,
                                              int index)
{
    return tarvik_search_argument_ex(handle, spec, index, nullptr);
}

TARVIK_API int tarvik_search_argument_int(tarvik_argument_t *handle, const char *spec, int index,
                                          int def)
{
    const char *text = tarvik_search_argument_ex(handle, spec, index, nullptr);
    if (tarvik_is_decimal_string(text) == 0) {
        return def;
    }
    return tarvik_atox(text, 0);
}

TARVIK_API const char *tarvik_notouch_argument(tarvik_argument_t *handle, int n)
{
    if (handle == nullptr || n < 0) {
        return nullptr;
    }
    for (ArgumentNode *node = handle->m_arguments; node != nullptr; node = node->m_next) {
        if ((node->m_flags & (FLAG_TOUCHED | FLAG_END_OF_OPTIONS)) != 0) {
            continue;
        }
        if (n-- == 0) {
            return node->m_text;
        }
    }
    return nullptr;
}

TARVIK_API const char *tarvik_argument_get_program_name(tarvik_argument_t *handle)
{
    return handle != nullptr ? handle->m_program_name : nullptr;
}

TARVIK_API const char *tarvik_argument_search_environ(tarvik_argument_t *handle, const char *name)
{
    if (handle == nullptr || name == nullptr) {
        return nullptr;
    }
    size_t length = strlen(name);
    for (EnvironNode *node = handle->m_environ; node != nullptr; node = node->m_next) {
        if (equal_ignoring_case(node->m_name, node->m_name_length, name, length)) {
            return node->m_newer != nullptr ? node->m_newer->m_value : node->m_value;
        }
    }
    return nullptr;
}

TARVIK_API char *tarvik_alloc_getenv(const char *names)
{
    if (names == nullptr) {
        return nullptr;
    }
    tarvik::detail::ListWalker walker(names);
    for (Text name; walker.next(&name);) {
        for (char **entry = environ; !name.empty() && entry != nullptr && *entry != nullptr;
             ++entry) {
            if (strncmp(*entry, name.m_data, name.m_length) == 0 &&
                (*entry)[name.m_length] == '=') {
                return tarvik_strdup_tag(*entry + name.m_length + 1, TARVIK_TAG);
            }
        }
    }
    return nullptr;
}

TARVIK_API int tarvik_setenv(const char *name, const char *value, int overwrite)
{
    if (name == nullptr || *name == '\0') {
        return -1;
    }
    if (value == nullptr) {
        return unsetenv(name);
    }
    return setenv(name, value, overwrite);
}

TARVIK_API int tarvik_putenv(char *string)
{
    if (string == nullptr) {
        return -1;
    }
    return putenv(string);
}

TARVIK_API char **tarvik_environ(void) { return environ; }

} // extern "C"
