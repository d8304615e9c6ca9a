// The plugin registry: loaded plugins in one list under the registry lock, each record a
// handle of the process-wide instance table with a use count guarded by its spin lock.
// Initialise and uninitialise functions run without the registry lock (they may load other
// plugins); a second loader of a plugin still initialising waits for it. Plugin files are
// looked up only in trusted directories: the working directory joins the search only when
// the environment asks for it, so a daemon never loads a file someone put where it runs.
#include "plugin.h"

#include "ctx.h"
#include "detail/common.hpp"
#include "detail/plugin.hpp"
#include "heap.h"
#include "instance.h"
#include "time.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

// Defined by the linker in every dynamically linked program; absent from a static one,
// which has no dynamic symbol table for a plugin to call back into.
#pragma weak _DYNAMIC

namespace {

using tarvik::detail::Writer;

constexpr char MAGIC[4] = {'W', 'U', 'L', 'P'};
constexpr size_t ERROR_SIZE = 256;

// Plugins built into the program, found by base name instead of a file.
struct BuiltinPlugin {
    const BuiltinPlugin *m_next;
    const char *m_name;
    tarvik_plugin_initialize_t m_initialize;
    tarvik_plugin_uninitialize_t m_uninitialize;
};

constexpr BuiltinPlugin BUILTIN_BASE = {nullptr, "", tarvik_plugin_initialize_builtin_plugin,
                                        tarvik_plugin_uninitialize_builtin_plugin};

tarvik_plugin_info_t s_registry = {TARVIK_LOCK_INITIALIZER, nullptr};
thread_local char t_load_error[ERROR_SIZE];

// The plugins this thread is initialising, innermost first: an initialise function that
// loads its own plugin again (directly or through another) must not wait for itself.
struct InitializingFrame {
    const tarvik_plugin_t *m_plugin;
    const InitializingFrame *m_outer;
};
thread_local const InitializingFrame *t_initializing;

bool initializing_here(const tarvik_plugin_t *plugin)
{
    for (const InitializingFrame *frame = t_initializing; frame != nullptr;
         frame = frame->m_outer) {
        if (frame->m_plugin == plugin) {
            return true;
        }
    }
    return false;
}

using PluginList = tarvik::detail::DoublyLinked<tarvik_plugin_t>;

PluginList loaded() { return PluginList(&s_registry.m_head, nullptr); }

void lock_registry() { tarvik_lock_tag(&s_registry.m_lock, TARVIK_TAG); }
void unlock_registry() { tarvik_unlock_tag(&s_registry.m_lock, TARVIK_TAG); }

// "<name>: <reason>" (or the reason alone for a null name) as the thread's load error.
void set_load_error(const char *name, const char *reason, const char *detail = nullptr)
{
    Writer writer(t_load_error, sizeof(t_load_error));
    if (name != nullptr) {
        writer.puts(name).puts(": ");
    }
    writer.puts(reason).puts(detail);
}

const char *base_name_of(const char *name)
{
    const char *slash = strrchr(name, '/');
    return slash != nullptr ? slash + 1 : name;
}

const BuiltinPlugin *find_builtin(const char *name)
{
    for (const BuiltinPlugin *entry = &BUILTIN_BASE; entry != nullptr; entry = entry->m_next) {
        if (strcmp(entry->m_name, name) == 0) {
            return entry;
        }
    }
    return nullptr;
}

tarvik_plugin_t *new_record(const char *path, const char *base_name)
{
    const size_t path_size = strlen(path) + 1;
    const size_t base_size = strlen(base_name) + 1;
    auto *record = static_cast<tarvik_plugin_t *>(
        tarvik_alloc_tag(sizeof(tarvik_plugin_t) + path_size + base_size, TARVIK_TAG));
    if (record == nullptr) {
        set_load_error(path, "not enough memory");
        return nullptr;
    }
    memset(record, 0, sizeof(*record));
    memcpy(record->m_magic, MAGIC, sizeof(MAGIC));
    tarvik_init_spin_lock(&record->m_lock);
    record->m_handle = -1;
    record->m_used_count = 1;
    record->m_path = reinterpret_cast<char *>(record + 1);
    memcpy(record->m_path, path, path_size);
    record->m_base_name = record->m_path + path_size;
    memcpy(record->m_base_name, base_name, base_size);
    record->m_mime_type_hint = "";
    return record;
}

// The directory of the running program, for "$ORIGIN"; false when it cannot be read.
bool program_directory(char *buffer, size_t size)
{
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length <= 0) {
        return false;
    }
    buffer[length] = '\0';
    char *slash = strrchr(buffer, '/');
    if (slash == nullptr) {
        return false;
    }
    *slash = '\0';
    return true;
}

bool development_loading()
{
    const char *value = getenv(TARVIK_PLUGIN_DEVELOPMENT_VARIABLE);
    return value != nullptr && *value != '\0' && strcmp(value, "0") != 0;
}

void *open_file(const char *path)
{
    void *shared_object = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (shared_object == nullptr) {
        const char *reason = dlerror();
        set_load_error(reason != nullptr ? nullptr : path,
                       reason != nullptr ? reason : "cannot be loaded");
    }
    return shared_object;
}

// Opens name from the first directory of search_path that holds it.
void *open_in_path(const char *name, const char *search_path)
{
    char origin[PATH_MAX];
    bool have_origin = program_directory(origin, sizeof(origin));
    set_load_error(name, "not found in ", search_path);
    tarvik::detail::ListWalker walker(search_path, ':');
    tarvik::detail::Text directory;
    while (walker.next(&directory)) {
        if (directory.empty()) {
            continue;
        }
        char path[PATH_MAX];
        Writer writer(path, sizeof(path));
        if (directory.equals("$ORIGIN")) {
            if (!have_origin) {
                continue;
            }
            writer.puts(origin);
        } else {
            writer.write(directory.m_data, directory.m_length);
        }
        writer.puts("/").puts(name);
        if (writer.truncated() || access(path, F_OK) != 0) {
            continue;
        }
        if (void *shared_object = open_file(path)) {
            return shared_object;
        }
    }
    return nullptr;
}

void *open_shared_object(const char *name, const char *search_path)
{
    if (_DYNAMIC == nullptr) {
        set_load_error(name, "this program is linked statically and cannot load plugin files "
                             "(the dynamically linked vexa can)");
        return nullptr;
    }
    if (strchr(name, '/') != nullptr) {
        return open_file(name);
    }
    if (search_path != nullptr) {
        return open_in_path(name, search_path);
    }
    return open_in_path(name, development_loading() ? "."
                                                      ":" TARVIK_PLUGIN_SEARCH_PATH
                                                    : TARVIK_PLUGIN_SEARCH_PATH);
}

tarvik_plugin_t *find_loaded_nolock(const tarvik_plugin_t *record)
{
    for (tarvik_plugin_t *plugin = s_registry.m_head; plugin != nullptr; plugin = plugin->m_next) {
        bool same = record->m_shared_object != nullptr
                        ? plugin->m_shared_object == record->m_shared_object
                        : plugin->m_shared_object == nullptr &&
                              strcmp(plugin->m_base_name, record->m_base_name) == 0;
        if (same) {
            return plugin;
        }
    }
    return nullptr;
}

void add_use(tarvik_plugin_t *plugin)
{
    tarvik_spin_lock_tag(&plugin->m_lock, TARVIK_TAG);
    ++plugin->m_used_count;
    tarvik_spin_unlock_tag(&plugin->m_lock, TARVIK_TAG);
}

uint32_t state_of(tarvik_plugin_t *plugin)
{
    tarvik_spin_lock_tag(&plugin->m_lock, TARVIK_TAG);
    uint32_t state = plugin->m_state;
    tarvik_spin_unlock_tag(&plugin->m_lock, TARVIK_TAG);
    return state;
}

void set_state(tarvik_plugin_t *plugin, uint32_t bits)
{
    tarvik_spin_lock_tag(&plugin->m_lock, TARVIK_TAG);
    plugin->m_state |= bits;
    tarvik_spin_unlock_tag(&plugin->m_lock, TARVIK_TAG);
}

bool is_valid_interface(const void *interface, uint32_t size)
{
    if (interface == nullptr || size < 16) {
        return false;
    }
    const auto *header = static_cast<const tarvik_ctx0_v0_interface_t *>(interface);
    if (header->m_type != TARVIK_INTERFACE_TYPE_CTX0) {
        return false;
    }
    return (header->m_version == TARVIK_CTX0_VERSION_1 &&
            header->m_size >= sizeof(tarvik_ctx0_v1_interface_t)) ||
           (header->m_version == TARVIK_CTX0_VERSION_0 &&
            header->m_size >= sizeof(tarvik_ctx0_v0_interface_t));
}

// Frees a record no list holds any more: uninitialise, close the file, drop the handle.
void release(tarvik_plugin_t *plugin)
{
    if ((plugin->m_state & TARVIK_PLUGIN_STATE_INITIALIZED) != 0 &&
        plugin->m_uninitialize != nullptr) {
        plugin->m_uninitialize();
    }
    if (plugin->m_shared_object != nullptr) {
        dlclose(plugin->m_shared_object);
    }
    if (plugin->m_handle >= 0) {
        tarvik_ginstance_delete(plugin->m_handle);
    }
    tarvik_uninit_spin_lock(&plugin->m_lock);
    tarvik_free_tag(plugin, TARVIK_TAG);
}

// A use of a plugin that a concurrent loader is initialising: wait until it is done.
int join_loaded(tarvik_plugin_t *plugin)
{
    const int handle = plugin->m_handle;
    uint32_t state = 0;
    while (!initializing_here(plugin)) {
        state = state_of(plugin);
        if ((state & (TARVIK_PLUGIN_STATE_INITIALIZED | TARVIK_PLUGIN_STATE_FAILED)) != 0) {
            break;
        }
        tarvik_load_balance_short();
    }
    if ((state & TARVIK_PLUGIN_STATE_FAILED) != 0) {
        set_load_error(plugin->m_path, "its initialise function failed");
        return tarvik_unload_plugin(handle);
    }
    return handle;
}

int initialize(tarvik_plugin_t *plugin)
{
    const char *hint = nullptr;
    const void *interface = nullptr;
    uint32_t size = 0;
    const int handle = plugin->m_handle;
    const InitializingFrame frame = {plugin, t_initializing};
    t_initializing = &frame;
    const int result = plugin->m_initialize(&hint, &interface, &size);
    t_initializing = frame.m_outer;
    if (result != 0) {
        set_load_error(plugin->m_path, "its initialise function failed");
        set_state(plugin, TARVIK_PLUGIN_STATE_FAILED);
        return tarvik_unload_plugin(handle);
    }
    tarvik_spin_lock_tag(&plugin->m_lock, TARVIK_TAG);
    plugin->m_mime_type_hint = hint != nullptr ? hint : "";
    plugin->m_interface = interface;
    plugin->m_interface_size = size;
    plugin->m_state |= TARVIK_PLUGIN_STATE_INITIALIZED;
    if (is_valid_interface(interface, size)) {
        plugin->m_state |= TARVIK_PLUGIN_STATE_VALID;
    }
    tarvik_spin_unlock_tag(&plugin->m_lock, TARVIK_TAG);
    return handle;
}

const tarvik_ctx0_v0_interface_t *open_slot_of(const tarvik_plugin_t *plugin)
{
    if ((plugin->m_state & TARVIK_PLUGIN_STATE_VALID) == 0) {
        return nullptr;
    }
    const auto *interface = static_cast<const tarvik_ctx0_v0_interface_t *>(plugin->m_interface);
    return interface->m_open != nullptr ? interface : nullptr;
}

} // namespace

namespace tarvik::detail {

tarvik_plugin_t *plugin_next_server(tarvik_plugin_t *after, const char *mime_type)
{
    lock_registry();
    tarvik_plugin_t *plugin = after != nullptr ? after->m_next : s_registry.m_head;
    while (plugin != nullptr &&
           (open_slot_of(plugin) == nullptr ||
            tarvik_compare_mime_type_hint(plugin->m_mime_type_hint, mime_type) != 0)) {
        plugin = plugin->m_next;
    }
    if (plugin != nullptr) {
        add_use(plugin);
    }
    unlock_registry();
    return plugin;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_load_plugin_ex(const char *name, const char *search_path,
                                     const char *init_name, const char *uninit_name)
{
    t_load_error[0] = '\0';
    const char *path = name != nullptr ? name : "";
    const char *base_name = base_name_of(path);
    const BuiltinPlugin *builtin = strchr(path, '/') == nullptr ? find_builtin(path) : nullptr;
    tarvik_plugin_t *record = new_record(path, base_name);
    if (record == nullptr) {
        return -1;
    }
    if (builtin != nullptr) {
        record->m_initialize = builtin->m_initialize;
        record->m_uninitialize = builtin->m_uninitialize;
        record->m_state = TARVIK_PLUGIN_STATE_BUILTIN;
    } else {
        record->m_shared_object = open_shared_object(path, search_path);
        if (record->m_shared_object == nullptr) {
            release(record);
            return -1;
        }
        record->m_initialize = reinterpret_cast<tarvik_plugin_initialize_t>(
            dlsym(record->m_shared_object,
                  init_name != nullptr ? init_name : TARVIK_PLUGIN_INITIALIZE_NAME));
        record->m_uninitialize = reinterpret_cast<tarvik_plugin_uninitialize_t>(
            dlsym(record->m_shared_object,
                  uninit_name != nullptr ? uninit_name : TARVIK_PLUGIN_UNINITIALIZE_NAME));
    }

    lock_registry();
    if (tarvik_plugin_t *found = find_loaded_nolock(record)) {
        add_use(found);
        unlock_registry();
        release(record);
        return join_loaded(found);
    }
    if (record->m_initialize == nullptr || record->m_uninitialize == nullptr) {
        unlock_registry();
        set_load_error(path, record->m_initialize == nullptr ? "no initialise function"
                                                             : "no uninitialise function");
        release(record);
        return -1;
    }
    record->m_handle = tarvik_ginstance_new_ex(record, TARVIK_PLUGIN_MIME_TYPE);
    if (record->m_handle < 0) {
        unlock_registry();
        set_load_error(path, "no handle left");
        release(record);
        return -1;
    }
    loaded().push_front(record);
    unlock_registry();
    return initialize(record);
}

TARVIK_API int tarvik_load_plugin(const char *name, const char *init_name, const char *uninit_name)
{
    return tarvik_load_plugin_ex(name, nullptr, init_name, uninit_name);
}

TARVIK_API int tarvik_unload_plugin(int handle)
{
    lock_registry();
    tarvik_plugin_t *s_plugin = tarvik_plugin_search(handle);
    if (s_plugin == nullptr) {
        unlock_registry();
        return -1;
    }
    tarvik_spin_lock_tag(&s_plugin->m_lock, TARVIK_TAG);
    bool last = false;
    if (TARVIK_CHECK(s_plugin->m_used_count > ((tarvik_uintmax_t)0u))) {
        last = --s_plugin->m_used_count == 0;
    }
    tarvik_spin_unlock_tag(&s_plugin->m_lock, TARVIK_TAG);
    if (last) {
        loaded().remove(s_plugin);
    }
    unlock_registry();
    if (last) {
        release(s_plugin);
    }
    return -1;
}

TARVIK_API int tarvik_unload_all_plugins(void)
{
    // One record at a time, each brought down to its last use: an uninitialise function that
    // unloads further plugins finds them still registered.
    for (;;) {
        lock_registry();
        tarvik_plugin_t *plugin = s_registry.m_head;
        if (plugin != nullptr) {
            tarvik_spin_lock_tag(&plugin->m_lock, TARVIK_TAG);
            plugin->m_used_count = 1;
            tarvik_spin_unlock_tag(&plugin->m_lock, TARVIK_TAG);
        }
        unlock_registry();
        if (plugin == nullptr) {
            return 0;
        }
        tarvik_unload_plugin(plugin->m_handle);
    }
}

TARVIK_API const char *tarvik_plugin_get_load_error(void) { return t_load_error; }

TARVIK_API tarvik_plugin_t *tarvik_plugin_search(int handle)
{
    const char *mime_type = nullptr;
    auto *plugin = static_cast<tarvik_plugin_t *>(tarvik_ginstance_search(handle, &mime_type));
    if (plugin == nullptr || tarvik_compare_mime_type(mime_type, TARVIK_PLUGIN_MIME_TYPE) != 0 ||
        memcmp(plugin->m_magic, MAGIC, sizeof(MAGIC)) != 0) {
        return nullptr;
    }
    return plugin;
}

TARVIK_API const void *tarvik_plugin_get_interface(int handle)
{
    const tarvik_plugin_t *plugin = tarvik_plugin_search(handle);
    return plugin != nullptr && plugin->m_interface_size >= 16 ? plugin->m_interface : nullptr;
}

TARVIK_API const char *tarvik_plugin_get_mime_type_hint(int handle)
{
    const tarvik_plugin_t *plugin = tarvik_plugin_search(handle);
    return plugin != nullptr ? plugin->m_mime_type_hint : nullptr;
}

TARVIK_API tarvik_main_entry_t tarvik_plugin_get_main_entry(int handle)
{
    // The name is the one the assertion report shows.
    const auto *s_interface_header =
        static_cast<const tarvik_ctx0_v0_interface_t *>(tarvik_plugin_get_interface(handle));
    if (s_interface_header == nullptr || s_interface_header->m_type != TARVIK_INTERFACE_TYPE_CTX0 ||
        s_interface_header->m_version == TARVIK_CTX0_VERSION_0 ||
        !TARVIK_CHECK(s_interface_header->m_size >= sizeof(tarvik_ctx0_v1_interface_t))) {
        return nullptr;
    }
    return s_interface_header->m_main;
}

TARVIK_API int tarvik_plugin_execute_main(int handle, int argc, char **argv)
{
    tarvik_main_entry_t entry = tarvik_plugin_get_main_entry(handle);
    return entry != nullptr ? entry(argc, argv) : 1;
}

TARVIK_API int tarvik_execute_plugin(const char *name, int argc, char **argv)
{
    int handle = tarvik_load_plugin(name, nullptr, nullptr);
    if (handle < 0) {
        return 1;
    }
    int status = tarvik_plugin_execute_main(handle, argc, argv);
    tarvik_unload_plugin(handle);
    return status;
}

TARVIK_API tarvik_plugin_info_t *tarvik_get_plugin_info(void) { return &s_registry; }

} // extern "C"
