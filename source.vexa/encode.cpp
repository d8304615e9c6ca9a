// The encoding applets: base64 and quoted_printable encode (or decode, -d) every input into
// one output, standard output unless -o names a file.
#include "applet.hpp"
#include "applets.h"
#include "input.hpp"

#include "base64.h"
#include "console.h"
#include "heap.h"
#include "quoted_printable.h"
#include "socket.h"

#include "detail/common.hpp"

namespace {

// Rows shared by both applets come first; base64's own follow.
enum : size_t { HELP, OUTPUT, DECODE, WRAP, WRAP_EXTENSION, IGNORE_GARBAGE, URL_SAFE };

constexpr vexa::Option HELP_ROW = {"h|help", vexa::Takes::NOTHING,
                                   "\t-h, --help                       : help\n"};
constexpr vexa::Option OUTPUT_ROW = {"o|output", vexa::Takes::VALUE,
                                     "\t-o, --output <pathname>          : output file (stdout)\n"};
constexpr vexa::Option DECODE_ROW = {"d|decode", vexa::Takes::NOTHING,
                                     "\t-d, --decode                     : decode\n"};

// "-w" is the wrap width; the extension flag keeps its long names only, so that "-w 76" never
// asks for backslashes too.
constexpr vexa::Option BASE64_OPTIONS[] = {
    HELP_ROW,
    OUTPUT_ROW,
    DECODE_ROW,
    {"w|wrap|ws|wrap-size|wrap_size", vexa::Takes::VALUE,
     "\t-w, --wrap <columns>             : wrap lines (default 74, 0: no wrapping)\n"},
    {"we|wrape|wrap-ext|wrap-extension|wrap_ext|wrap_extension", vexa::Takes::NOTHING,
     "\t    --wrap-ext                   : a backslash before each line break\n"},
    {"i|ig|ignore|ignore-garbage|ignore_garbage|use_ignore|use-ignore", vexa::Takes::NOTHING,
     "\t-i, --ignore-garbage             : skip other characters when decoding\n"},
    {"u|url|url-safe|url_safe|filename-safe|filename_safe", vexa::Takes::NOTHING,
     "\t-u, --url-safe                   : encode with - and _ for + and /\n"},
};
constexpr vexa::Option QUOTED_PRINTABLE_OPTIONS[] = {HELP_ROW, OUTPUT_ROW, DECODE_ROW};

constexpr const char *USAGE_HEAD = "usage: %s [<options>] [<pathname> ...]\noptions:\n";
constexpr vexa::Usage BASE64_USAGE = vexa::usage_of(USAGE_HEAD, BASE64_OPTIONS, "\n");
constexpr vexa::Usage QUOTED_PRINTABLE_USAGE =
    vexa::usage_of(USAGE_HEAD, QUOTED_PRINTABLE_OPTIONS, "\n");

constexpr long long MAX_WRAP = 1 << 20;

// The two encoders behind one face: open with the options, push, take what was produced.
struct Codec {
    const char *m_name; // in messages: "base64", "quoted_printable"
    void *(*m_open)(const vexa::Arguments &arguments, long long wrap);
    int (*m_close)(void *handle);
    int (*m_push)(void *handle, bool decode, const void *data, size_t size);
    char *(*m_take)(void *handle, size_t *size);
};

void *open_base64(const vexa::Arguments &arguments, long long wrap)
{
    tarvik_base64_t *handle = tarvik_open_base64();
    if (handle != nullptr) {
        handle->m_wrap = static_cast<uint32_t>(wrap);
        handle->m_wrap_extension = arguments.has(WRAP_EXTENSION) ? 1 : 0;
        handle->m_ignore_garbage = arguments.has(IGNORE_GARBAGE) ? 1 : 0;
        handle->m_url_safe = arguments.has(URL_SAFE) ? 1 : 0;
    }
    return handle;
}
int close_base64(void *handle)
{
    return tarvik_close_base64(static_cast<tarvik_base64_t *>(handle));
}
int push_base64(void *handle, bool decode, const void *data, size_t size)
{
    auto *codec = static_cast<tarvik_base64_t *>(handle);
    return decode ? tarvik_push_decode_base64(codec, data, size)
                  : tarvik_push_encode_base64(codec, data, size);
}
char *take_base64(void *handle, size_t *size)
{
    return tarvik_get_base64(static_cast<tarvik_base64_t *>(handle), size);
}

void *open_quoted_printable(const vexa::Arguments &, long long)
{
    return tarvik_open_quoted_printable();
}
int close_quoted_printable(void *handle)
{
    return tarvik_close_quoted_printable(static_cast<tarvik_quoted_printable_t *>(handle));
}
int push_quoted_printable(void *handle, bool decode, const void *data, size_t size)
{
    auto *codec = static_cast<tarvik_quoted_printable_t *>(handle);
    return decode ? tarvik_push_decode_quoted_printable(codec, data, size)
                  : tarvik_push_encode_quoted_printable(codec, data, size);
}
char *take_quoted_printable(void *handle, size_t *size)
{
    return tarvik_get_quoted_printable(static_cast<tarvik_quoted_printable_t *>(handle), size);
}

constexpr Codec BASE64 = {"base64", open_base64, close_base64, push_base64, take_base64};
constexpr Codec QUOTED_PRINTABLE = {"quoted_printable", open_quoted_printable,
                                    close_quoted_printable, push_quoted_printable,
                                    take_quoted_printable};

struct Job {
    const Codec *m_codec;
    const vexa::Arguments *m_arguments;
    long long m_wrap;
    bool m_decode;
    int m_output;
    const char *m_output_name;
    uint8_t *m_buffer;
    bool m_output_broken;
};

// Writes what the codec produced so far; false when the output refused it.
bool flush_codec(const Job &job, void *handle)
{
    size_t size = 0;
    char *text = job.m_codec->m_take(handle, &size);
    bool written = text == nullptr || vexa::write_output(job.m_output, text, size);
    tarvik_check_free_tag(text, TARVIK_TAG);
    if (!written) {
        tarvik_error_printf("Write failed \"%s\" !\n", job.m_output_name);
    }
    return written;
}

// Encodes (decodes) one input into the output; false when anything failed, with the output
// marked broken when it refused what was written.
bool convert(Job &job, const char *name)
{
    const char *shown = name != nullptr ? name : "stdin";
    int input = vexa::open_input(name, false);
    if (input < 0) {
        tarvik_error_printf("Can not open \"%s\" ! (read)\n", shown);
        return false;
    }
    void *handle = job.m_codec->m_open(*job.m_arguments, job.m_wrap);
    bool ok = handle != nullptr;
    if (!ok) {
        tarvik_error_printf("Not enough memory \"%s\" ! (%s handle)\n", shown, job.m_codec->m_name);
    }
    for (ssize_t length = 1; ok && length > 0;) {
        length = vexa::read_input(input, job.m_buffer, vexa::PIECE_SIZE);
        if (length < 0) {
            tarvik_error_printf("Read failed \"%s\" !\n", shown);
            ok = false;
        } else if (job.m_codec->m_push(handle, job.m_decode, job.m_buffer,
                                       static_cast<size_t>(length)) != 0) {
            const char *step = job.m_decode ? "decode" : "encode";
            if (job.m_codec == &BASE64) {
                tarvik_error_printf("Base64 %s failed \"%s\" !\n", step, shown);
            } else {
                tarvik_error_printf("Quoted-printable %s failed \"%s\" !\n", step, shown);
            }
            ok = false;
        } else {
            ok = flush_codec(job, handle);
            job.m_output_broken = !ok;
        }
    }
    if (handle != nullptr) {
        job.m_codec->m_close(handle);
    }
    vexa::close_input(input);
    return ok;
}

int encode_main(int argc, char **argv, const vexa::Usage &usage, const Codec &codec)
{
    vexa::Arguments arguments(argc, argv, usage);
    if (!arguments.ok()) {
        return 1;
    }
    Job job{&codec, &arguments, 0, arguments.has(DECODE), -1, nullptr, nullptr, false};
    bool wrap_ok = &codec != &BASE64 || arguments.number(WRAP, 0, MAX_WRAP, 74, &job.m_wrap);
    if (arguments.has(HELP) || !wrap_ok || (arguments.has(OUTPUT) && !arguments.value(OUTPUT))) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    // Every input is compared with the output before the output is opened (and truncated).
    const char *output = arguments.value(OUTPUT);
    job.m_output_name = output != nullptr ? output : "stdout";
    int count = arguments.operand_count();
    job.m_buffer = static_cast<uint8_t *>(tarvik_alloc_tag(vexa::PIECE_SIZE, TARVIK_TAG));
    if (job.m_buffer == nullptr) {
        tarvik_error_printf("not enough memory !\n");
        return 1;
    }
    // Opening the output truncates it, so an input that is the output refuses the whole run
    // before anything is opened.
    bool all_ok = true;
    for (int index = 0; index < count; ++index) {
        if (vexa::same_file(arguments.operand(index), output)) {
            tarvik_error_printf("Same input/output pathname \"%s\" !\n", arguments.operand(index));
            all_ok = false;
        }
    }
    // One output for all inputs: opening it again for each would keep only the last.
    job.m_output = all_ok ? vexa::open_output(output) : -1;
    if (all_ok && job.m_output < 0) {
        tarvik_error_printf("Can not open \"%s\" ! (write)\n", job.m_output_name);
        all_ok = false;
    }
    tarvik_init_network();
    for (int index = 0;
         job.m_output >= 0 && !job.m_output_broken && index < (count > 0 ? count : 1); ++index) {
        all_ok = convert(job, arguments.operand(index)) && all_ok;
    }
    tarvik_uninit_network();
    vexa::close_output(job.m_output);
    tarvik_free_tag(job.m_buffer, TARVIK_TAG);
    return all_ok ? 0 : 1;
}

} // namespace

int tarvik_multicall_base64_main(int argc, char **argv)
{
    return encode_main(argc, argv, BASE64_USAGE, BASE64);
}

int tarvik_multicall_quoted_printable_main(int argc, char **argv)
{
    return encode_main(argc, argv, QUOTED_PRINTABLE_USAGE, QUOTED_PRINTABLE);
}
