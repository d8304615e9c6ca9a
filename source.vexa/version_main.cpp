// The version applet: one item of the library's build information per option, the first
// option of the table that is given deciding; without one, the version XML document.
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "process.h"
#include "version.h"

#include <climits>
#include <cstdint>

namespace {

// Rows of the option table, in the order in which they are tried.
enum : size_t {
    VERSION_STRING,
    HEXADECIMAL,
    DECIMAL,
    DOTTED,
    MAJOR,
    MINOR,
    EXTRA,
    BUILD,
    DATE,
    COMPANY,
    COPYRIGHT,
    HOST,
    RUNTIME_ARCHITECTURE,
    ARCHITECTURE,
    COMPILER,
    LIBC,
    OS,
    CPU_COUNT,
    BUILD_PROFILE,
    CHAR_SIZE,
    INT_SIZE,
    LONG_SIZE,
    LONGLONG_SIZE,
    WORD_SIZE,
    CODESET,
};
constexpr vexa::Option OPTIONS[] = {
    {"ver|version", vexa::Takes::NOTHING, nullptr},
    {"hex|hexa|code", vexa::Takes::NOTHING, nullptr},
    {"dec|decimal", vexa::Takes::NOTHING, nullptr},
    {"dot", vexa::Takes::NOTHING, nullptr},
    {"major", vexa::Takes::NOTHING, nullptr},
    {"minor", vexa::Takes::NOTHING, nullptr},
    {"extra", vexa::Takes::NOTHING, nullptr},
    {"build", vexa::Takes::NOTHING, nullptr},
    {"date", vexa::Takes::NOTHING, nullptr},
    {"company", vexa::Takes::NOTHING, nullptr},
    {"copy|copyrights", vexa::Takes::NOTHING, nullptr},
    {"host|hostname", vexa::Takes::NOTHING, nullptr},
    {"rarch|runtime_architecture", vexa::Takes::NOTHING, nullptr},
    {"arch|architecture", vexa::Takes::NOTHING, nullptr},
    {"cc|compiler", vexa::Takes::NOTHING, nullptr},
    {"libc", vexa::Takes::NOTHING, nullptr},
    {"os", vexa::Takes::NOTHING, nullptr},
    {"cpu_count", vexa::Takes::NOTHING, nullptr},
    {"target_build_profile", vexa::Takes::NOTHING, nullptr},
    {"char_size|char", vexa::Takes::NOTHING, nullptr},
    {"int_size|int", vexa::Takes::NOTHING, nullptr},
    {"long_size|long", vexa::Takes::NOTHING, nullptr},
    {"longlong_size|longlong", vexa::Takes::NOTHING, nullptr},
    {"word_size|word|arch_size|arch_bits", vexa::Takes::NOTHING, nullptr},
    {"langinfo_codeset", vexa::Takes::NOTHING, nullptr},
};
constexpr vexa::Usage USAGE = vexa::usage_of("", OPTIONS, "");

constexpr const char *OPTION_COMMENT =
    "<!-- Option: -version | -hex | -dec | -dot | -major | -minor | -extra | -build | -date | "
    "-company | -copyrights | -host | -rarch | -arch | -cc | -libc | -os | -cpu_count | "
    "-target_build_profile | -[char|int|long|longlong|word]_size | -langinfo_codeset -->\n";

// Every value is what this very build and machine are, never a fixed claim.
const char *text_item(size_t row)
{
    switch (row) {
    case VERSION_STRING:
        return tarvik_get_version_string();
    case COMPANY:
        return tarvik_get_company_string();
    case COPYRIGHT:
        return tarvik_get_copyright_string();
    case HOST:
        return tarvik_get_build_host();
    case RUNTIME_ARCHITECTURE:
        return tarvik_get_runtime_architecture();
    case ARCHITECTURE:
        return tarvik_get_architecture();
    case COMPILER:
        return tarvik_get_compiler_name();
    case LIBC:
        return tarvik_get_libc_name();
    case OS:
        return tarvik_get_os_name();
    case BUILD_PROFILE:
        return tarvik_get_build_profile();
    case CODESET: {
        const char *codeset = tarvik_get_langinfo_codeset();
        return codeset != nullptr ? codeset : "ANSI_X3.4-1968";
    }
    default:
        return nullptr;
    }
}

unsigned long number_item(size_t row)
{
    uint32_t version = tarvik_get_version();
    switch (row) {
    case MAJOR:
    case MINOR:
    case EXTRA:
    case BUILD:
        return version >> (8 * (BUILD - row)) & 0xFFu;
    case CPU_COUNT:
        return static_cast<unsigned long>(tarvik_get_cpu_count_ex(-1));
    case CHAR_SIZE:
        return sizeof(char);
    case INT_SIZE:
        return sizeof(int);
    case LONG_SIZE:
        return sizeof(long);
    case LONGLONG_SIZE:
        return sizeof(long long);
    case WORD_SIZE:
        return sizeof(void *) * CHAR_BIT;
    default:
        return version;
    }
}

void print_item(size_t row)
{
    uint32_t version = tarvik_get_version();
    const char *text = text_item(row);
    if (text != nullptr) {
        tarvik_printf("%s\n", text);
    } else if (row == HEXADECIMAL) {
        tarvik_printf("%08lX\n", static_cast<unsigned long>(version));
    } else if (row == DOTTED) {
        tarvik_printf("%lu.%lu.%lu.%lu\n", static_cast<unsigned long>(version >> 24),
                      static_cast<unsigned long>(version >> 16 & 0xFFu),
                      static_cast<unsigned long>(version >> 8 & 0xFFu),
                      static_cast<unsigned long>(version & 0xFFu));
    } else if (row == DATE) {
        tarvik_printf("%s %s\n", tarvik_get_build_date(), tarvik_get_build_time());
    } else if (row == CPU_COUNT) {
        tarvik_printf("%d\n", tarvik_get_cpu_count_ex(-1));
    } else {
        tarvik_printf("%lu\n", number_item(row));
    }
}

} // namespace

int tarvik_multicall_version_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    for (size_t row = 0; row < sizeof(OPTIONS) / sizeof(OPTIONS[0]); ++row) {
        if (arguments.has(row)) {
            print_item(row);
            return vexa::output_ok(arguments.program_name()) ? 0 : 1;
        }
    }
    tarvik_push_version_xml(nullptr, nullptr);
    tarvik_puts(OPTION_COMMENT);
    return vexa::output_ok(arguments.program_name()) ? 0 : 1;
}
