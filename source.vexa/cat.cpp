// The cat applet: copies every input (standard input without any) to standard output.
#include "applet.hpp"
#include "applets.h"
#include "input.hpp"

#include "console.h"
#include "heap.h"
#include "socket.h"

#include "detail/common.hpp"

namespace {

enum : size_t { HELP, DEBUG };
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"d|debug", vexa::Takes::NOTHING, "\t-d, --debug                      : debug mode\n"},
};
constexpr vexa::Usage USAGE =
    vexa::usage_of("usage: %s [<options>] [<pathname> ...]\noptions:\n", OPTIONS, "\n");

enum class Copied { ALL, READ_FAILED, WRITE_FAILED };

Copied copy(int input, int output, uint8_t *buffer)
{
    for (;;) {
        ssize_t length = vexa::read_input(input, buffer, vexa::PIECE_SIZE);
        if (length <= 0) {
            return length == 0 ? Copied::ALL : Copied::READ_FAILED;
        }
        if (!vexa::write_output(output, buffer, static_cast<size_t>(length))) {
            return Copied::WRITE_FAILED;
        }
    }
}

} // namespace

int tarvik_multicall_cat_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    if (arguments.has(HELP)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    auto *buffer = static_cast<uint8_t *>(tarvik_alloc_tag(vexa::PIECE_SIZE, TARVIK_TAG));
    int output = buffer != nullptr ? vexa::open_output(nullptr) : -1;
    if (output < 0) {
        tarvik_error_printf("not enough memory !\n");
        tarvik_check_free_tag(buffer, TARVIK_TAG);
        return 1;
    }
    tarvik_init_network();
    bool all_ok = true;
    Copied copied = Copied::ALL;
    int count = arguments.operand_count();
    for (int index = 0; copied != Copied::WRITE_FAILED && index < (count > 0 ? count : 1);
         ++index) {
        const char *name = arguments.operand(index);
        const char *shown = name != nullptr ? name : "stdin";
        int input = vexa::open_input(name, arguments.has(DEBUG));
        if (input < 0) {
            tarvik_error_printf("Can not open \"%s\" ! (read)\n", shown);
            all_ok = false;
            continue;
        }
        copied = copy(input, output, buffer);
        vexa::close_input(input);
        if (copied == Copied::READ_FAILED) {
            tarvik_error_printf("Read failed \"%s\" !\n", shown);
        } else if (copied == Copied::WRITE_FAILED) {
            tarvik_error_printf("Write failed \"stdout\" !\n");
        }
        all_ok = all_ok && copied == Copied::ALL;
    }
    tarvik_uninit_network();
    vexa::close_output(output);
    tarvik_free_tag(buffer, TARVIK_TAG);
    return all_ok ? 0 : 1;
}
