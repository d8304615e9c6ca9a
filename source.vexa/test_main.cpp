// The "test" applet: diagnostic exercises of the library, chosen by the first operand.
// "all" runs every self-checking exercise; the others are demonstrations or deliberate
// faults (a leak for the exit dump, loading a plugin file) run only when named.
#include "applet.hpp"
#include "applets.h"
#include "test_exercises.h"

#include "argument.h"
#include "console.h"
#include "ctx.h"
#include "ctype.h"
#include "detail/common.hpp"
#include "exception.h"
#include "file.h"
#include "format.h"
#include "heap.h"
#include "memory.h"
#include "pattern.h"
#include "scan.h"
#include "time.h"
#include "version.h"

#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

using tarvik::test::Checker;
using tarvik::test::exercise_buffer;
using tarvik::test::exercise_fragment;
using tarvik::test::exercise_lock;
using tarvik::test::exercise_regular;
using tarvik::test::exercise_service;
using tarvik::test::exercise_timer;

enum : size_t { HELP };
constexpr vexa::Option OPTIONS[] = {{"h|help", vexa::Takes::NOTHING, nullptr}};
// The exercises follow the usage, one line each from their table.
constexpr vexa::Usage USAGE =
    vexa::usage_of("Usage: %s <exercise> [<operand>]\n"
                   "       %s all       runs every self-checking exercise\n"
                   "Exercises:\n",
                   OPTIONS, "");

using ExerciseFunction = int (*)(const char *operand);

int exercise_heap(const char *);
int exercise_alloca(const char *);
int exercise_exception(const char *);
int exercise_format(const char *);
int exercise_argument(const char *);
int exercise_scan(const char *);
int exercise_pattern(const char *);
int exercise_version(const char *);
int exercise_console(const char *);
int exercise_leak(const char *);
int exercise_quiet_leak(const char *);
int exercise_dlopen(const char *);
int exercise_ctx_write(const char *);
int exercise_http_get(const char *);

struct Exercise {
    const char *m_name;
    ExerciseFunction m_run;
    bool m_in_all;
    const char *m_help;
};

constexpr Exercise EXERCISES[] = {
    {"heap", exercise_heap, true, "tagged heap: allocate, resize, free, statistics, block list"},
    {"alloca", exercise_alloca, true, "stack-scoped blocks are reclaimed from a shallower frame"},
    {"exception", exercise_exception, true, "scope trace entries"},
    {"format", exercise_format, true, "formatter cases against expected text"},
    {"argument", exercise_argument, true, "argument parser over a built-in command line"},
    {"scan", exercise_scan, true, "character classes, tokenizer and number scanning"},
    {"pattern", exercise_pattern, true, "wildcard patterns and pattern lists"},
    {"lock", exercise_lock, true, "traced locks, conditions and spin locks between threads"},
    {"timer", exercise_timer, true, "millisecond clock, timers, sleeps and dates"},
    {"buffer", exercise_buffer, true, "byte-buffer queue: push, pop, lines, handler service"},
    {"service", exercise_service, true, "services, the thread pool and signal handlers"},
    {"regular", exercise_regular, true, "regular expressions with captures"},
    {"fragment", exercise_fragment, true, "range sets: merge, split, allocate, text form"},
    {"inet", tarvik::test::exercise_inet, true,
     "addresses: grammar, printing, classes; <address>: parses and prints it"},
    {"socket", tarvik::test::exercise_socket, true,
     "pairs, time-outs, loopback openers; \"multicast\": groups on every interface"},
    {"xml", tarvik::test::exercise_xml, true,
     "XML scanner and tree; <file>: dumps its events; \"@ps\": the process table as XML"},
    {"uri", tarvik::test::exercise_uri, true, "locators and percent coding; <uri>: its parts"},
    {"event", tarvik::test::exercise_event, true,
     "event base: pairs, timers, levels, threads, SIGINT; \"signal\": waits for one"},
    {"version", exercise_version, true, "prints the build and platform facts"},
    {"console", exercise_console, false, "spinner and progress bar demonstration"},
    {"leak", exercise_leak, false, "leaks one tagged block for the exit dump"},
    {"quiet_leak", exercise_quiet_leak, false, "leaks one block with the exit dump switched off"},
    {"dlopen", exercise_dlopen, false, "<path>: loads a plugin file and calls its probe"},
    {"ctx_write", exercise_ctx_write, false,
     "\"<mode> <url>\": copies standard input into a stream context"},
    {"http_get", exercise_http_get, false,
     "<url>: fetches it whole, header lines from standard input, to standard output"},
    {"cgi", tarvik::test::exercise_cgi, false,
     "<user>:<password>: a CGI answer behind Basic and Digest authentication"},
    {"udev", tarvik::test::exercise_udev, false,
     "[<seconds>]: prints kernel device events and the devices present"},
};

bool same_text(const char *left, const char *right)
{
    return left != nullptr && right != nullptr && strcmp(left, right) == 0;
}

struct BlockProbe {
    const void *m_data;
    const char *m_tag;
};

int remember_newest(const tarvik_heap_block_t *block, void *context)
{
    auto *probe = static_cast<BlockProbe *>(context);
    probe->m_data = block + 1;
    probe->m_tag = block->m_tag;
    return 0;
}

int exercise_heap(const char *)
{
    Checker check("heap");
    size_t count = 0;
    size_t bytes = 0;
    tarvik_get_alloc_info(&count, &bytes, nullptr);

    auto *block = static_cast<char *>(tarvik_alloc_tag(10, TARVIK_TAG));
    EXPECT(check, block != nullptr);
    if (block == nullptr) {
        return 1;
    }
    memcpy(block, "0123456789", 10);
    EXPECT(check, tarvik_get_alloc_count() == count + 1);
    EXPECT(check, tarvik_get_alloc_bytes() == bytes + 12 + TARVIK_HEAP_OVERHEAD);
    EXPECT(check, tarvik_get_alloc_peak() >= tarvik_get_alloc_bytes());

    BlockProbe probe = {nullptr, nullptr};
    EXPECT(check, tarvik_get_alloc_list(1, remember_newest, &probe) == 1);
    EXPECT(check, probe.m_data == block);
    EXPECT(check, same_text(probe.m_tag, __func__));

    EXPECT(check, tarvik_realloc_tag(block, 12, TARVIK_TAG) == block); // same rounded size
    auto *moved = static_cast<char *>(tarvik_realloc_tag(block, 40, TARVIK_TAG));
    EXPECT(check, moved != nullptr);
    if (moved == nullptr) {
        tarvik_free_tag(block, TARVIK_TAG);
        return 1;
    }
    EXPECT(check, memcmp(moved, "0123456789", 10) == 0);
    EXPECT(check, tarvik_get_alloc_count() == count + 1);
    EXPECT(check, tarvik_get_alloc_bytes() == bytes + 40 + TARVIK_HEAP_OVERHEAD);

    char *copy = tarvik_strdup_tag("tagged", TARVIK_TAG);
    EXPECT(check, same_text(copy, "tagged"));
    tarvik_free_tag(copy, TARVIK_TAG);
    tarvik_free_tag(moved, TARVIK_TAG);
    EXPECT(check, tarvik_get_alloc_count() == count);
    EXPECT(check, tarvik_get_alloc_bytes() == bytes);
    return check.status();
}

__attribute__((noinline)) unsigned long allocate_in_deeper_frame()
{
    void *block = tarvik_alloca(64);
    if (block != nullptr) {
        memset(block, 0x5A, 64);
    }
    return tarvik_get_alloca_count();
}

int exercise_alloca(const char *)
{
    Checker check("alloca");
    tarvik_alloca(0);
    unsigned long before = tarvik_get_alloca_count();
    EXPECT(check, allocate_in_deeper_frame() == before + 1);
    EXPECT(check, tarvik_get_alloca_count() == before + 1);
    EXPECT(check, tarvik_alloca(0) == nullptr);
    EXPECT(check, tarvik_get_alloca_count() == before);
    EXPECT(check, tarvik_detect_stack_direction() == 1 || tarvik_detect_stack_direction() == -1);
    return check.status();
}

int exercise_exception(const char *)
{
    Checker check("exception");
    unsigned long before = tarvik_get_exception_count();
    tarvik_exception_t *outer = tarvik_add_exception_tag("source.vexa/test_main", __func__, 1);
    tarvik_exception_t *inner = tarvik_add_exception_tag("source.vexa/test_main", __func__, 2);
    EXPECT(check, outer != nullptr && inner != nullptr);
    EXPECT(check, tarvik_get_exception_count() == before + 2);
    if (inner != nullptr) {
        EXPECT(check, inner->m_next == outer && inner->m_line == 2);
        tarvik_del_exception_tag(inner);
    }
    if (outer != nullptr) {
        tarvik_del_exception_tag(outer);
    }
    EXPECT(check, tarvik_get_exception_count() == before);
    return check.status();
}

int exercise_format(const char *)
{
    Checker check("format");
    char text[64];
    tarvik_snprintf(text, sizeof(text), "%05d", -42);
    EXPECT(check, same_text(text, "-0042"));
    tarvik_snprintf(text, sizeof(text), "%5d|%-5d|", -42, 42);
    EXPECT(check, same_text(text, "  -42|42   |"));
    tarvik_snprintf(text, sizeof(text), "%x %X %o %u", 255u, 255u, 8u, 4000000000u);
    EXPECT(check, same_text(text, "ff FF 10 4000000000"));
    tarvik_snprintf(text, sizeof(text), "%lld|%llu", -1234567890123ll, 18446744073709551615ull);
    EXPECT(check, same_text(text, "-1234567890123|18446744073709551615"));
    tarvik_snprintf(text, sizeof(text), "[%.*s][%.*s]", 3, "abcdef", 5, "ab");
    EXPECT(check, same_text(text, "[abc][   ab]"));
    tarvik_snprintf(text, sizeof(text), "%.2f %.0f %f %.2f", 0.125, 2.5, 1.5, -0.25);
    EXPECT(check, same_text(text, "0.13 3 1.500000 -0.25"));
    EXPECT(check, tarvik_snprintf(text, 6, "%s", "abcdefgh") == 5);
    EXPECT(check, same_text(text, "abcde"));
    char *allocated = tarvik_alloc_sprintf("%s-%d", "vexa", 7);
    EXPECT(check, same_text(allocated, "vexa-7"));
    tarvik_check_free_tag(allocated, TARVIK_TAG);
    return check.status();
}

int exercise_argument(const char *)
{
    Checker check("argument");
    char words[][16] = {"/bin/prog", "-t", "5", "--name=x", "-12", "--", "-z"};
    char *argv[] = {words[0], words[1], words[2], words[3], words[4], words[5], words[6], nullptr};
    tarvik_argument_t *handle = tarvik_open_argument(7, argv);
    EXPECT(check, handle != nullptr);
    if (handle == nullptr) {
        return 1;
    }
    EXPECT(check, same_text(tarvik_argument_get_program_name(handle), "prog"));
    EXPECT(check, same_text(tarvik_search_argument(handle, "t|timeout", 0), "-t"));
    EXPECT(check, tarvik_search_argument_int(handle, "t|timeout", 1, -1) == 5);
    EXPECT(check, same_text(tarvik_search_argument(handle, "n|name", 1), "x"));
    EXPECT(check, tarvik_search_argument(handle, "z", 0) == nullptr); // behind the marker
    EXPECT(check, tarvik_search_argument(handle, "T", 0) == nullptr); // case-sensitive
    EXPECT(check, same_text(tarvik_notouch_argument(handle, 1), "-12"));
    EXPECT(check, same_text(tarvik_notouch_argument(handle, 2), "-z"));
    EXPECT(check, tarvik_notouch_argument(handle, 3) == nullptr);
    tarvik_close_argument(handle);
    return check.status();
}

int exercise_scan(const char *)
{
    Checker check("scan");
    EXPECT(check, tarvik_atointmax("0x1F", 0) == 31);
    EXPECT(check, tarvik_atointmax("  -42", 10) == -42);
    EXPECT(check, tarvik_atoi("017") == 17); // no octal
    EXPECT(check, tarvik_atofixed("3.14159", 2, nullptr) == 314);
    EXPECT(check, tarvik_is_decimal_string("12") == 1 && tarvik_is_decimal_string("1a") == 0);
    EXPECT(check, tarvik_to_upper('q') == 'Q' && tarvik_to_lower('Q') == 'q');
    EXPECT(check, tarvik_ctype_select('7', TARVIK_CTYPE_DIGIT) != 0);
    EXPECT(check, tarvik_ctype_select(' ', TARVIK_CTYPE_DIGIT) == 0);

    const char *cursor = "|v|vexa_";
    const char *expected[] = {"", "v", "vexa_"};
    size_t count = 0;
    while (*cursor != '\0' && count < 3) {
        char *word = tarvik_get_word_sep_alloc_c(0, "|", &cursor);
        EXPECT(check, same_text(word, expected[count]));
        tarvik_check_free_tag(word, TARVIK_TAG);
        ++count;
        if (*cursor == '|') {
            ++cursor;
        }
    }
    EXPECT(check, count == 3 && *cursor == '\0');
    return check.status();
}

int exercise_pattern(const char *)
{
    Checker check("pattern");
    EXPECT(check, tarvik_check_pattern("*.so", "libc.so") == 0);
    EXPECT(check, tarvik_check_pattern("*.so", "libc.so.6") == -1);
    EXPECT(check, tarvik_check_pattern_list("*.so|*.so.*", "|", "libc.so.6") == 0);
    EXPECT(check, tarvik_check_pattern("a?c", "abc") == 0);
    EXPECT(check, tarvik_check_pattern("a?c", "ac") == -1);
    EXPECT(check, tarvik_check_pattern("a\\*c", "a*c") == 0);
    EXPECT(check, tarvik_check_pattern("a\\*c", "abc") == -1);
    EXPECT(check, tarvik_check_pattern("QX*", "qxtrue") == -1);
    EXPECT(check, tarvik_check_case_pattern("QX*", "qxtrue") == 0);
    return check.status();
}

void print_packed(const char *label, const char *name, uint32_t version)
{
    tarvik_printf("%-14s %s %lu.%lu.%lu.%lu\n", label, name,
                  static_cast<unsigned long>(version >> 24),
                  static_cast<unsigned long>((version >> 16) & 0xFFu),
                  static_cast<unsigned long>((version >> 8) & 0xFFu),
                  static_cast<unsigned long>(version & 0xFFu));
}

int exercise_version(const char *)
{
    Checker check("version");
    tarvik_printf("%-14s %s (%08lX)\n", "library", tarvik_get_version_string(),
                  static_cast<unsigned long>(tarvik_get_version()));
    tarvik_printf("%-14s %s %s\n", "built", tarvik_get_build_date(), tarvik_get_build_time());
    tarvik_printf("%-14s %s\n", "host", tarvik_get_build_host());
    tarvik_printf("%-14s %s\n", "profile", tarvik_get_build_profile());
    tarvik_printf("%-14s %s\n", "architecture", tarvik_get_architecture());
    tarvik_printf("%-14s %s\n", "runtime", tarvik_get_runtime_architecture());
    print_packed("compiler", tarvik_get_compiler_name(), tarvik_get_compiler_version());
    print_packed("libc", tarvik_get_libc_name(), tarvik_get_libc_version());
    tarvik_printf("%-14s %s %s\n", "os", tarvik_get_os_name(), tarvik_get_os_version_string());
    tarvik_printf("%-14s %lu\n", "page_size", tarvik_get_page_size());
    const char *codeset = tarvik_get_langinfo_codeset();
    tarvik_printf("%-14s %s\n", "LC_CTYPE", codeset != nullptr ? codeset : "(none)");

    EXPECT(check, tarvik_get_version() == 0x05000200u);
    EXPECT(check, same_text(tarvik_get_version_string(), "5.0.2.0"));
    EXPECT(check, tarvik_get_runtime_architecture()[0] != '\0');
    unsigned long page = tarvik_get_page_size();
    EXPECT(check, page >= 1024 && (page & (page - 1)) == 0);
    return check.status();
}

int exercise_console(const char *)
{
    constexpr uint64_t STEPS = 40;
    for (uint64_t step = 0; step <= STEPS; ++step) {
        tarvik_progress_bar(step, STEPS, tarvik_roll_string(), "console", " %lu/%lu",
                            static_cast<unsigned long>(step), static_cast<unsigned long>(STEPS));
        tarvik_sleep_wait(0, 50000);
    }
    tarvik_puts("\n");
    tarvik_puts(nullptr);
    return 0;
}

int exercise_leak(const char *)
{
    // Deliberately never freed: the exit dump of main must list exactly this block.
    void *block = tarvik_alloc_tag(24, TARVIK_TAG);
    tarvik_printf("leaked one block at %p\n", block);
    return block != nullptr ? 0 : 1;
}

int exercise_quiet_leak(const char *argument)
{
    // An applet may switch the exit dump off; the dump_exception option turns it back on.
    tarvik_set_force_dump_exception(0);
    return exercise_leak(argument);
}

int exercise_dlopen(const char *path)
{
    if (path == nullptr) {
        tarvik_error_printf("dlopen: a plugin path is needed\n");
        return 1;
    }
    void *library = dlopen(path, RTLD_NOW);
    if (library == nullptr) {
        tarvik_printf("dlopen: %s\n", dlerror());
        return 1;
    }
    using Probe = int (*)(void);
    auto probe = reinterpret_cast<Probe>(dlsym(library, "vexa_plugin_probe"));
    if (probe == nullptr) {
        tarvik_printf("dlopen: %s\n", dlerror());
        dlclose(library);
        return 1;
    }
    int result = probe();
    if (result == 0) {
        tarvik_printf("dlopen: ok\n");
    } else {
        tarvik_printf("dlopen: probe failed (%d)\n", result);
    }
    dlclose(library);
    return result;
}

int exercise_ctx_write(const char *operand)
{
    const char *space = operand != nullptr ? strchr(operand, ' ') : nullptr;
    char mode[8];
    if (space == nullptr || space == operand ||
        static_cast<size_t>(space - operand) >= sizeof(mode)) {
        tarvik_error_printf("ctx_write: \"<mode> <url>\" is needed\n");
        return 1;
    }
    memcpy(mode, operand, static_cast<size_t>(space - operand));
    mode[space - operand] = '\0';
    int ctx = tarvik_open_ctx_stream(space + 1, mode, 0);
    if (ctx < 0) {
        tarvik_error_printf("ctx_write: %s cannot be opened\n", space + 1);
        return 1;
    }
    static char buffer[65536];
    bool ok = true;
    for (ssize_t got; ok && (got = read(STDIN_FILENO, buffer, sizeof(buffer))) != 0;) {
        ok = got > 0 && tarvik_ctx_write(ctx, buffer, static_cast<size_t>(got)) == got;
    }
    // An upload counts once the close confirmed it.
    ok = tarvik_close_ctx(ctx) == 0 && ok;
    tarvik_destroy_ctx(ctx);
    tarvik_printf("ctx_write: %s\n", ok ? "ok" : "failed");
    return ok ? 0 : 1;
}

int exercise_http_get(const char *url)
{
    static char headers[4096];
    size_t length = 0;
    for (ssize_t got;
         length < sizeof(headers) - 1 &&
         (got = read(STDIN_FILENO, headers + length, sizeof(headers) - 1 - length)) > 0;) {
        length += static_cast<size_t>(got);
    }
    headers[length] = '\0';
    void *body = nullptr;
    size_t size = 0;
    if (tarvik_ctx_simple_http_get(url, headers, 0, 16000, &body, &size) != 0) {
        tarvik_error_printf("http_get: %s failed\n", url != nullptr ? url : "");
        return 1;
    }
    bool ok = tarvik_write_fill(STDOUT_FILENO, body, size, -1) == static_cast<ssize_t>(size);
    tarvik_free_tag(body, TARVIK_TAG);
    return ok ? 0 : 1;
}

void print_usage(const vexa::Arguments &arguments, const char *name)
{
    arguments.usage(name, name);
    for (const Exercise &exercise : EXERCISES) {
        tarvik_printf("  %-10s %s%s\n", exercise.m_name, exercise.m_help,
                      exercise.m_in_all ? "" : " (not in all)");
    }
}

int run_all()
{
    int ran = 0;
    int failed = 0;
    for (const Exercise &exercise : EXERCISES) {
        if (!exercise.m_in_all) {
            continue;
        }
        int status = exercise.m_run(nullptr);
        ++ran;
        if (status == 0) {
            tarvik_printf("test %-10s \033[1;32mok\033[0m\n", exercise.m_name);
        } else {
            tarvik_printf("test %-10s \033[1;31mFAILED\033[0m\n", exercise.m_name);
            ++failed;
        }
    }
    tarvik_printf("test all: %d exercises run, %d failed\n", ran, failed);
    return failed == 0 ? 0 : 1;
}

} // namespace

int tarvik_multicall_test_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    const char *name = arguments.operand(0);
    const char *operand = arguments.operand(1);
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "test";
    int status = 1;
    if (arguments.has(HELP) || name == nullptr) {
        print_usage(arguments, program);
        status = 0;
    } else if (strcmp(name, "all") == 0) {
        status = run_all();
    } else {
        const Exercise *chosen = nullptr;
        for (const Exercise &exercise : EXERCISES) {
            if (strcmp(exercise.m_name, name) == 0) {
                chosen = &exercise;
            }
        }
        if (chosen != nullptr) {
            status = chosen->m_run(operand);
        } else {
            tarvik_error_printf("test: unknown exercise \"%s\"\n", name);
            print_usage(arguments, program);
        }
    }
    tarvik_puts(nullptr);
    return status;
}
