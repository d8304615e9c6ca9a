// Program entry and applet registration. The registry lives only while the top entry
// runs, so its records are gone before the exit dump looks for leftovers.
#include "applets.h"

#include "argument.h"
#include "exception.h"
#include "memory.h"
#include "multicall.h"

namespace {

constexpr const char *PREFIXES = "|v|vexa|vexa_|tarvik|qx";
constexpr const char *SUFFIXES = "|0|1|.exe|.EXE";
constexpr const char *INSTALL_PATH = "/usr/bin";
constexpr const char *PROGRAM_NAME = "vexa";

tarvik_multicall_t *s_registry;

tarvik_multicall_t *register_applets(tarvik_multicall_t *list)
{
#define TARVIK_APPLET(name, entry, flags)                                                          \
    list = tarvik_add_multicall(list, (flags), entry, (name), PREFIXES, SUFFIXES, INSTALL_PATH);
#define TARVIK_PLUGIN_APPLET(name, plugin, flags)                                                  \
    list = tarvik_add_multicall_ex(list, (flags), (plugin), nullptr, (name), PREFIXES, SUFFIXES,   \
                                   INSTALL_PATH);
#include "applets.def"
#undef TARVIK_PLUGIN_APPLET
#undef TARVIK_APPLET
    return list;
}

// The option may be written anywhere before an end-of-options marker; it is left in
// the command line for the applet to see.
bool wants_dump_exception(int argc, char **argv)
{
    tarvik_argument_t *handle = tarvik_open_argument(argc, argv);
    bool found = tarvik_search_argument(handle, "dump_exception", 0) != nullptr;
    tarvik_close_argument(handle);
    return found;
}

} // namespace

int tarvik_multicall_vexa_top_main(int argc, char **argv)
{
    bool dump_exception = wants_dump_exception(argc, argv);
    s_registry = register_applets(s_registry);
    const char *program_name = argc > 0 && argv[0] != nullptr ? argv[0] : PROGRAM_NAME;
    tarvik_multicall_t *record = tarvik_search_multicall(s_registry, program_name);
    int status =
        record != nullptr ? record->m_entry(argc, argv) : tarvik_multicall_vexa_main(argc, argv);
    s_registry = tarvik_free_multicall(s_registry);
    // The applet may have switched the exit dump off; the option switches it back on.
    if (dump_exception) {
        tarvik_set_force_dump_exception(1);
    }
    return status;
}

int tarvik_multicall_vexa_main(int argc, char **argv)
{
    if (argc >= 2) {
        tarvik_multicall_t *record = tarvik_search_multicall(s_registry, argv[1]);
        if (record != nullptr) {
            return record->m_entry(argc - 1, argv + 1);
        }
    }
    tarvik_usage_multicall(PROGRAM_NAME, s_registry);
    return 0;
}

// Visible like the library's C ABI: the export list names the entry too.
__attribute__((visibility("default"))) int main(int argc, char **argv)
{
    int status = tarvik_multicall_vexa_top_main(argc, argv);
    tarvik_alloca(0);
    tarvik_dump_exception_tag(0, "source.vexa/main", "main", __LINE__);
    return status;
}
