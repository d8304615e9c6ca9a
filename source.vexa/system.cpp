// Small system tool applets over library calls: true, false, clear, reset, uptime, hertz,
// uuid, kelmor, ldd, reboot, poweroff.
#include "applet.hpp"
#include "applets.h"

#include "argument.h"
#include "buffer.h"
#include "console.h"
#include "format.h"
#include "heap.h"
#include "process_control.h"
#include "reboot.h"
#include "terminal.h"
#include "time.h"
#include "uuid.h"
#include "version.h"

#include "detail/common.hpp"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// An unsigned field of an ELF header in the file's byte order.
uint64_t elf_field(const uint8_t *bytes, size_t size, bool big_endian)
{
    uint64_t value = 0;
    for (size_t index = 0; index < size; ++index) {
        value |= static_cast<uint64_t>(bytes[index])
                 << (8 * (big_endian ? size - 1 - index : index));
    }
    return value;
}

// 1 for an ELF file of either class and byte order whose program headers name an
// interpreter (the dynamic loader), 0 for any other file, -1 when it cannot be read.
int dynamically_linked(const char *path)
{
    constexpr uint64_t PROGRAM_INTERPRETER = 3;
    size_t length = 0;
    auto *header = static_cast<uint8_t *>(tarvik_alloc_buffer_from_file(path, 0, 64, &length));
    bool found = false;
    if (header != nullptr && length >= 52 && memcmp(header, "\177ELF", 4) == 0 &&
        (header[4] == 1 || header[4] == 2) && (header[5] == 1 || header[5] == 2) &&
        (header[4] == 1 || length >= 64)) {
        bool wide = header[4] == 2;
        bool big = header[5] == 2;
        uint64_t offset = elf_field(header + (wide ? 32 : 28), wide ? 8 : 4, big);
        size_t entry = elf_field(header + (wide ? 54 : 42), 2, big);
        size_t count = elf_field(header + (wide ? 56 : 44), 2, big);
        size_t got = 0;
        auto *table = entry < 4 ? nullptr
                                : static_cast<uint8_t *>(tarvik_alloc_buffer_from_file(
                                      path, offset, entry * count, &got));
        for (size_t index = 0; table != nullptr && (index + 1) * entry <= got; ++index) {
            found = found || elf_field(table + index * entry, 4, big) == PROGRAM_INTERPRETER;
        }
        tarvik_check_free_tag(table, TARVIK_TAG);
    }
    int result = header == nullptr ? -1 : found ? 1 : 0;
    tarvik_check_free_tag(header, TARVIK_TAG);
    return result;
}

} // namespace

int tarvik_multicall_true_main(int, char **) { return 0; }

int tarvik_multicall_false_main(int, char **) { return 1; }

int tarvik_multicall_clear_main(int, char **)
{
    tarvik_clear_terminal();
    return 0;
}

int tarvik_multicall_uptime_main(int, char **)
{
    uint64_t seconds = tarvik_uptime();
    tarvik_printf(
        "uptime: \e[1;37m%u\e[0m days \e[1;37m%02u\e[0m:\e[1;37m%02u\e[0m:\e[1;37m%02u\e[0m "
        "(\e[1;34m%lu\e[0m sec)\n",
        static_cast<unsigned>(seconds / 86400u), static_cast<unsigned>(seconds / 3600u % 24u),
        static_cast<unsigned>(seconds / 60u % 60u), static_cast<unsigned>(seconds % 60u),
        static_cast<unsigned long>(seconds));
    return vexa::output_ok("uptime") ? 0 : 1;
}

int tarvik_multicall_hertz_main(int, char **)
{
    tarvik_printf("%llu\n", static_cast<unsigned long long>(tarvik_get_hertz()));
    return vexa::output_ok("hertz") ? 0 : 1;
}

// Both only come back when the machine stays up. Neither takes an argument: a restart is
// never what a mistyped command line (or --help) meant, so any argument prints the usage
// and nobody is signalled.
namespace {
int refuse_arguments(int argc, char **argv)
{
    if (argc <= 1) {
        return 0;
    }
    tarvik_error_printf("usage: %s\n", argv[0]);
    return 1;
}
} // namespace

int tarvik_multicall_reboot_main(int argc, char **argv)
{
    if (refuse_arguments(argc, argv) != 0) {
        return 1;
    }
    tarvik_reboot();
    return 1;
}

int tarvik_multicall_poweroff_main(int argc, char **argv)
{
    if (refuse_arguments(argc, argv) != 0) {
        return 1;
    }
    tarvik_poweroff();
    return 1;
}

int tarvik_multicall_uuid_main(int argc, char **argv)
{
    tarvik_uuid_t uuid;
    char text[37];
    tarvik_printf("%s\n", tarvik_uuid_to_string(tarvik_uuid_generate(&uuid), text));
    return vexa::output_ok(argc > 0 ? argv[0] : "uuid") ? 0 : 1;
}

int tarvik_multicall_kelmor_main(int argc, char **argv)
{
    tarvik_printf("%s\n", tarvik_get_qvl_sign());
    return vexa::output_ok(argc > 0 ? argv[0] : "kelmor") ? 0 : 1;
}

// Puts the terminal back into a usable state: reset, default character set, screen cleared
// from the cursor, plain colours, cursor shown, then the line discipline's sane settings.
int tarvik_multicall_reset_main(int, char **)
{
    if (tarvik_isatty(0) == 0 || tarvik_isatty(1) == 0) {
        return 0;
    }
    tarvik_puts("\033c\033(K\033[J\033[0m\033[?25h");
    tarvik_puts(nullptr);
    // stty works on its standard input, which must stay this terminal (so no popen).
    int pid = tarvik_fork();
    if (pid == 0) {
        char stty[] = "stty";
        char sane[] = "sane";
        char *words[] = {stty, sane, nullptr};
        tarvik_execvp(stty, words);
        _exit(127);
    }
    if (pid > 0) {
        tarvik_simple_waitpid_ex(pid, nullptr);
    }
    return 0;
}

int tarvik_multicall_ldd_main(int argc, char **argv)
{
    if (argc < 2) {
        tarvik_printf("Usage: %s <pathname>\n", argc > 0 ? argv[0] : "ldd");
        return 1;
    }
    // With the variable set the dynamic loader lists the libraries and stops before the
    // program's own code; a program without a loader would simply run, so it is refused.
    // A bare name means the file here, as for the check, not one found on the PATH.
    char *path = strchr(argv[1], '/') != nullptr ? tarvik_strdup_tag(argv[1], TARVIK_TAG)
                                                 : tarvik_alloc_sprintf("./%s", argv[1]);
    if (path == nullptr) {
        tarvik_error_printf("not enough memory !\n");
        return 1;
    }
    int linked = dynamically_linked(path);
    if (linked != 1) {
        tarvik_error_printf(linked == 0 ? "%s: \"%s\" is not a dynamic executable\n"
                                        : "%s: can not open \"%s\" !\n",
                            argv[0], argv[1]);
        tarvik_free_tag(path, TARVIK_TAG);
        return 1;
    }
    tarvik_setenv("LD_TRACE_LOADED_OBJECTS", "1", 1);
    fflush(nullptr);
    argv[1] = path;
    tarvik_execvp(path, argv + 1);
    tarvik_error_printf("can not execute \"%s\" !\n", path);
    tarvik_free_tag(path, TARVIK_TAG);
    return 1;
}
