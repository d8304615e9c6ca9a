// The dump applet: a hex dump of every input (a part of it with an offset and a size) and the
// MD5 digest of the bytes shown.
#include "applet.hpp"
#include "applets.h"
#include "input.hpp"

#include "console.h"
#include "heap.h"
#include "md5.h"
#include "scan.h"

#include "detail/common.hpp"

namespace {

enum : size_t { HELP, DEBUG, OFFSET, SIZE };
constexpr vexa::Option OPTIONS[] = {
    {"h|help", vexa::Takes::NOTHING, "\t-h, --help                       : help\n"},
    {"d|debug", vexa::Takes::NOTHING, "\t-d, --debug                      : debug mode\n"},
    {"o|offset", vexa::Takes::VALUE, "\t-o, --offset <offset>            : start at offset\n"},
    {"s|size", vexa::Takes::VALUE,
     "\t-s, --size <size>                : dump at most size bytes\n"},
};
constexpr vexa::Usage USAGE =
    vexa::usage_of("usage: %s [<options>] [<pathname> ...]\noptions:\n", OPTIONS,
                   "\tnumbers may be written in hexadecimal (0x...)\n\n");

// A whole non-negative number in decimal or, after "0x", hexadecimal.
bool read_number(const vexa::Arguments &arguments, size_t row, uint64_t *out)
{
    const char *text = arguments.value(row);
    if (!arguments.has(row)) {
        return true;
    }
    char *end = nullptr;
    intmax_t value = text != nullptr ? tarvik_strtointmax(text, &end, 0) : -1;
    if (text == nullptr || text[0] == '\0' || *end != '\0' || value < 0 || text[0] == '-') {
        tarvik_error_printf("%s: invalid number \"%s\"\n", arguments.program_name(),
                            text != nullptr ? text : "");
        return false;
    }
    *out = static_cast<uint64_t>(value);
    return true;
}

// Dumps one input; false when it could not be opened or read.
bool dump(const char *name, bool debug, uint64_t offset, uint64_t size, uint8_t *buffer)
{
    const char *shown = name != nullptr ? name : "stdin";
    int input = vexa::open_input(name, debug);
    if (input < 0) {
        tarvik_error_printf("Can not open \"%s\" !\n", shown);
        return false;
    }
    tarvik_printf("%s\n", shown);
    tarvik_md5_t md5;
    tarvik_init_md5(&md5);
    // A stream that ends before the offset leaves nothing to dump; a failed read shows below.
    vexa::skip_input(input, offset);
    bool read_ok = true;
    for (uint64_t left = size; read_ok && left > 0;) {
        ssize_t length =
            vexa::read_input(input, buffer, left < vexa::PIECE_SIZE ? left : vexa::PIECE_SIZE);
        if (length <= 0) {
            read_ok = length == 0;
            break;
        }
        tarvik_dump_ex(0, 0, buffer, static_cast<size_t>(length), offset);
        tarvik_md5_push(&md5, buffer, static_cast<size_t>(length));
        offset += static_cast<uint64_t>(length);
        left -= static_cast<uint64_t>(length);
    }
    vexa::close_input(input);
    if (!read_ok) {
        tarvik_error_printf("Read failed \"%s\" !\n", shown);
    }
    tarvik_printf("  MD5SUM: %s\n\n", tarvik_md5_digest(&md5, nullptr));
    return read_ok;
}

} // namespace

int tarvik_multicall_dump_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    uint64_t offset = 0;
    uint64_t size = UINT64_MAX;
    if (arguments.has(HELP) || !read_number(arguments, OFFSET, &offset) ||
        !read_number(arguments, SIZE, &size)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    auto *buffer = static_cast<uint8_t *>(tarvik_alloc_tag(vexa::PIECE_SIZE, TARVIK_TAG));
    if (buffer == nullptr) {
        tarvik_error_printf("not enough memory !\n");
        return 1;
    }
    bool all_ok = true;
    int count = arguments.operand_count();
    for (int index = 0; index < (count > 0 ? count : 1); ++index) {
        all_ok =
            dump(arguments.operand(index), arguments.has(DEBUG), offset, size, buffer) && all_ok;
    }
    tarvik_free_tag(buffer, TARVIK_TAG);
    return all_ok && vexa::output_ok(arguments.program_name()) ? 0 : 1;
}
