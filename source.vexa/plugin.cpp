// The plugin applet: describes plugins (as a list or as XML) and runs a plugin's main entry.
// "@self" (or an empty name) is the program's own base plugin.
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "plugin.h"
#include "version.h"

#include <cstring>

namespace {

// Rows of the option table, in usage order.
enum : size_t { HELP, XML, EXEC };
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"xml", vexa::Takes::NOTHING,
     "\t    --xml                        : dump information (xml format)\n"},
    {"x|exec", vexa::Takes::NOTHING, "\t-x, --exec <plugin-name> [<args>]: execute plugin\n"},
};
constexpr vexa::Usage USAGE =
    vexa::usage_of("usage: %s [<options>] <plugin-name> ...\noptions:\n", OPTIONS, "\n");

constexpr const char *SELF = "@self";

// The name to load: the base plugin for "@self" and "".
const char *load_name(const char *name)
{
    return name == nullptr || *name == '\0' || strcmp(name, SELF) == 0 ? nullptr : name;
}

int load(const char *name)
{
    int handle = tarvik_load_plugin(load_name(name), nullptr, nullptr);
    if (handle < 0) {
        tarvik_error_printf("\e[1;31mcan not load plugin\e[0m : \"\e[1;37m%s\e[0m\"\n",
                            tarvik_plugin_get_load_error());
    }
    return handle;
}

const tarvik_ctx0_v0_interface_t *interface_of(int handle)
{
    return static_cast<const tarvik_ctx0_v0_interface_t *>(tarvik_plugin_get_interface(handle));
}

bool has_main_slot(const tarvik_ctx0_v0_interface_t *interface)
{
    return interface->m_type == TARVIK_INTERFACE_TYPE_CTX0 &&
           interface->m_version != TARVIK_CTX0_VERSION_0;
}

void print_item(int handle)
{
    tarvik_printf("  - mime-type-hint=\"\e[1;37m%s\e[0m\"\n",
                  tarvik_plugin_get_mime_type_hint(handle));
    const tarvik_ctx0_v0_interface_t *interface = interface_of(handle);
    if (interface == nullptr) {
        return;
    }
    const unsigned long type = interface->m_type;
    const unsigned long size = interface->m_size;
    const unsigned long version = interface->m_version;
    tarvik_printf("  - interface-type=\"\e[1;37mctx%lu\e[0m\" (\e[1;37m%08lXH\e[0m)\n", type - 1,
                  type);
    tarvik_printf("  - interface-struct-size=\"\e[1;37m%lu\e[0m\" (\e[1;37m%08lXH\e[0m)\n", size,
                  size);
    tarvik_printf("  - interface-version=\"\e[1;37m%lu\e[0m\" (\e[1;37m%08lXH\e[0m)\n", version,
                  version);
    tarvik_printf("  - interface-flags=\"\e[1;37m%08lXH\e[0m\"\n",
                  static_cast<unsigned long>(interface->m_flags));
    if (has_main_slot(interface)) {
        tarvik_main_entry_t entry = tarvik_plugin_get_main_entry(handle);
        tarvik_printf("  - main-entry=\"\e[1;37m%s\e[0m\" (\e[1;37m%p\e[0m)\n",
                      entry != nullptr ? "executable" : "none", reinterpret_cast<void *>(entry));
    }
}

// Text inside a CDATA section: a "]]>" in it would end the section, so it is split.
void print_cdata(const char *tag, const char *text)
{
    tarvik_printf("    <%s><![CDATA[", tag);
    for (const char *end; (end = strstr(text, "]]>")) != nullptr; text = end + 2) {
        tarvik_printf("%.*s]]]]><![CDATA[", static_cast<int>(end - text + 2), text);
    }
    tarvik_printf("%s]]></%s>\n", text, tag);
}

void print_xml_item(int index, const char *name, int handle)
{
    // The attribute value is quoted: XML knows no bare values.
    tarvik_printf("  <item index=\"%d\">\n", index);
    print_cdata("name", name);
    tarvik_printf("    <valid>%s</valid>\n", handle >= 0 ? "yes" : "no");
    const tarvik_ctx0_v0_interface_t *interface = handle >= 0 ? interface_of(handle) : nullptr;
    if (handle >= 0) {
        print_cdata("mime-type-hint", tarvik_plugin_get_mime_type_hint(handle));
    }
    if (interface != nullptr) {
        const unsigned long type = interface->m_type;
        tarvik_printf("    <interface>\n      <type value=\"%lu\">ctx%lu</type>\n", type, type - 1);
        tarvik_printf("      <size>%lu</size>\n      <version>%lu</version>\n",
                      static_cast<unsigned long>(interface->m_size),
                      static_cast<unsigned long>(interface->m_version));
        tarvik_printf("      <flags>0x%08lX</flags>\n    </interface>\n",
                      static_cast<unsigned long>(interface->m_flags));
        if (has_main_slot(interface)) {
            tarvik_printf("    <main>\n      <executable>%s</executable>\n    </main>\n",
                          tarvik_plugin_get_main_entry(handle) != nullptr ? "yes" : "no");
        }
    }
    tarvik_printf("  </item>\n");
}

int describe(const vexa::Arguments &arguments, bool xml)
{
    if (xml) {
        tarvik_printf("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n"
                      "<!-- tarvik v%s (%s %s) -->\n<plugin>\n",
                      tarvik_get_version_string(), tarvik_get_build_date(),
                      tarvik_get_build_time());
    }
    const int count = arguments.operand_count();
    int status = 0;
    for (int index = 0; index < (count > 0 ? count : 1); ++index) {
        const char *name = count > 0 ? arguments.operand(index) : SELF;
        if (!xml) {
            tarvik_printf("\e[1;33m*\e[0m plugin-name: \"\e[1;37m%s\e[0m\"\n", name);
        }
        const int handle = load(name);
        if (handle < 0) {
            status = 1;
        }
        if (xml) {
            print_xml_item(index, name, handle);
        } else if (handle >= 0) {
            print_item(handle);
        }
        tarvik_unload_plugin(handle);
    }
    if (xml) {
        tarvik_printf("</plugin>\n<!-- end of plugin.xml -->\n");
    }
    return status;
}

// Everything from the plugin's name on is the plugin's own command line, options included.
int execute(const vexa::Arguments &arguments, int argc, char **argv)
{
    const char *name = arguments.operand(0);
    int first = 1;
    while (first < argc && strcmp(argv[first], name) != 0) {
        ++first;
    }
    if (first >= argc) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    const int handle = load(name);
    if (handle < 0) {
        return 1;
    }
    int status = 1;
    tarvik_main_entry_t entry = tarvik_plugin_get_main_entry(handle);
    if (entry == nullptr) {
        tarvik_error_printf("not executable !\n");
    } else {
        tarvik_puts(nullptr);
        status = entry(argc - first, argv + first);
    }
    tarvik_unload_plugin(handle);
    return status;
}

} // namespace

int tarvik_multicall_plugin_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    if (arguments.has(EXEC) && arguments.operand_count() > 0) {
        return execute(arguments, argc, argv);
    }
    if (arguments.has(HELP) || arguments.has(EXEC)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    const int status = describe(arguments, arguments.has(XML));
    return vexa::output_ok(arguments.program_name()) ? status : 1;
}
