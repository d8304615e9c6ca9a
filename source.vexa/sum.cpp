// The sum applets: md5, sha1, sha256 (digests) and crc, adler (checksums) of every input, with a
// progress line and expected values; the digests also verify check files (-c) as written by
// the GNU and BSD sum tools.
#include "applet.hpp"
#include "applets.h"
#include "input.hpp"

#include "buffer.h"
#include "console.h"
#include "crc.h"
#include "ctype.h"
#include "digest_check.h"
#include "format.h"
#include "heap.h"
#include "md5.h"
#include "sha1.h"
#include "sha256.h"
#include "socket.h"
#include "terminal.h"

#include "detail/common.hpp"

#include <cstring>

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::Text;

// ---- algorithms ---------------------------------------------------------------------------

union State {
    tarvik_md5_t m_md5;
    tarvik_sha1_t m_sha1;
    tarvik_sha256_t m_sha256;
    uint64_t m_value;
};

struct Algorithm {
    const char *m_name; // the applet, its expected-value option and the BSD tag in lower case
    const char *m_tag;  // the name in BSD-style check lines
    unsigned m_digits;  // hex digits of the result
    bool m_digest;      // digests compare texts, checksums numbers
    void (*m_start)(State *state);
    void (*m_push)(State *state, const void *data, size_t size);
    const char *(*m_finish)(State *state); // upper-case hex (digests only)
};

constexpr size_t HEX_SIZE = 65;

// Every checksum starts from 0 in the non-raw convention, so a result passed back in continues
// it; Adler-32 starts from 1.
void start_zero(State *state) { state->m_value = 0; }
void start_one(State *state) { state->m_value = 1; }
void push_crc16(State *state, const void *data, size_t size)
{
    state->m_value = tarvik_crc16_ibm(0, static_cast<uint32_t>(state->m_value), data, size);
}
void push_crc32(State *state, const void *data, size_t size)
{
    state->m_value = tarvik_crc32_ieee_802_3(0, static_cast<uint32_t>(state->m_value), data, size);
}
void push_crc64(State *state, const void *data, size_t size)
{
    state->m_value = tarvik_crc64_iso(0, state->m_value, data, size);
}
void push_adler(State *state, const void *data, size_t size)
{
    state->m_value = tarvik_update_adler32(static_cast<uint32_t>(state->m_value), data, size);
}

void start_md5(State *state) { tarvik_init_md5(&state->m_md5); }
void push_md5(State *state, const void *data, size_t size)
{
    tarvik_md5_push(&state->m_md5, data, size);
}
const char *finish_md5(State *state) { return tarvik_md5_digest(&state->m_md5, nullptr); }
void start_sha1(State *state) { tarvik_init_sha1(&state->m_sha1); }
void push_sha1(State *state, const void *data, size_t size)
{
    tarvik_sha1_push(&state->m_sha1, data, size);
}
const char *finish_sha1(State *state) { return tarvik_sha1_digest(&state->m_sha1, nullptr); }
void start_sha256(State *state) { tarvik_init_sha256(&state->m_sha256); }
void push_sha256(State *state, const void *data, size_t size)
{
    tarvik_sha256_push(&state->m_sha256, data, size);
}
const char *finish_sha256(State *state) { return tarvik_sha256_digest(&state->m_sha256, nullptr); }

constexpr Algorithm MD5 = {"md5", "MD5", 32, true, start_md5, push_md5, finish_md5};
constexpr Algorithm SHA1 = {"sha1", "SHA1", 40, true, start_sha1, push_sha1, finish_sha1};
constexpr Algorithm SHA256 = {"sha256",     "SHA256",    64,           true,
                              start_sha256, push_sha256, finish_sha256};
constexpr Algorithm CRC16 = {"crc", "CRC16", 4, false, start_zero, push_crc16, nullptr};
constexpr Algorithm CRC32 = {"crc", "CRC32", 8, false, start_zero, push_crc32, nullptr};
constexpr Algorithm CRC64 = {"crc", "CRC64", 16, false, start_zero, push_crc64, nullptr};
constexpr Algorithm ADLER32 = {"adler", "ADLER32", 8, false, start_one, push_adler, nullptr};

// ---- options ------------------------------------------------------------------------------

// Rows shared by every sum applet come first; each applet's own rows follow from EXTRA on.
enum : size_t { HELP, DEBUG, NO_PROGRESS, LOWER, EXPECTED, EXTRA };
enum : size_t { CHECK = EXTRA, QUIET, STATUS };
enum : size_t { WIDTH16 = EXTRA, WIDTH32, WIDTH64 };

constexpr vexa::Option HELP_ROW = {"h|help", vexa::Takes::NOTHING,
                                   "\t-h, --help                       : help\n"};
constexpr vexa::Option DEBUG_ROW = {"d|debug", vexa::Takes::NOTHING,
                                    "\t-d, --debug                      : debug mode\n"};
constexpr vexa::Option NO_PROGRESS_ROW = {
    "n|no-progress|noprogress", vexa::Takes::NOTHING,
    "\t-n, --no-progress                : no progress line\n"};
constexpr vexa::Option LOWER_ROW = {"lower", vexa::Takes::NOTHING,
                                    "\t    --lower                      : lower case\n"};
constexpr vexa::Option CHECK_ROW = {
    "c|check", vexa::Takes::VALUE,
    "\t-c, --check <file>               : verify the sums listed in file\n"};
constexpr vexa::Option QUIET_ROW = {
    "quiet", vexa::Takes::NOTHING, "\t    --quiet                      : (check) no line for OK\n"};
constexpr vexa::Option STATUS_ROW = {
    "status", vexa::Takes::NOTHING,
    "\t    --status                     : (check) exit status only\n"};

// The three digests share their table; only the expected-value row differs.
struct DigestOptions {
    vexa::Option m_rows[8];
};
constexpr DigestOptions digest_options(const char *spec, const char *help)
{
    return {{HELP_ROW,
             DEBUG_ROW,
             NO_PROGRESS_ROW,
             LOWER_ROW,
             {spec, vexa::Takes::VALUE, help},
             CHECK_ROW,
             QUIET_ROW,
             STATUS_ROW}};
}
constexpr DigestOptions MD5_OPTIONS =
    digest_options("md5", "\t    --md5 <digest>               : expected digest\n");
constexpr DigestOptions SHA1_OPTIONS =
    digest_options("sha1", "\t    --sha1 <digest>              : expected digest\n");
constexpr DigestOptions SHA256_OPTIONS =
    digest_options("sha256", "\t    --sha256 <digest>            : expected digest\n");
constexpr vexa::Option CRC_OPTIONS[] = {
    HELP_ROW,
    DEBUG_ROW,
    NO_PROGRESS_ROW,
    LOWER_ROW,
    {"crc", vexa::Takes::VALUE, "\t    --crc <checksum>             : expected checksum\n"},
    {"16|crc16", vexa::Takes::NOTHING, "\t    --16, --crc16                : CRC-16/IBM\n"},
    {"32|crc32", vexa::Takes::NOTHING, "\t    --32, --crc32                : CRC-32 (default)\n"},
    {"64|crc64", vexa::Takes::NOTHING, "\t    --64, --crc64                : CRC-64/ISO\n"},
};
constexpr vexa::Option ADLER_OPTIONS[] = {
    HELP_ROW,
    DEBUG_ROW,
    NO_PROGRESS_ROW,
    LOWER_ROW,
    {"adler", vexa::Takes::VALUE, "\t    --adler <checksum>           : expected checksum\n"},
    {"32|adler32", vexa::Takes::NOTHING,
     "\t    --32, --adler32              : Adler-32 (default)\n"},
};

constexpr const char *USAGE_HEAD = "usage: %s [<options>] [<pathname> ...]\noptions:\n";
constexpr vexa::Usage MD5_USAGE = vexa::usage_of(USAGE_HEAD, MD5_OPTIONS.m_rows, "\n");
constexpr vexa::Usage SHA1_USAGE = vexa::usage_of(USAGE_HEAD, SHA1_OPTIONS.m_rows, "\n");
constexpr vexa::Usage SHA256_USAGE = vexa::usage_of(USAGE_HEAD, SHA256_OPTIONS.m_rows, "\n");
constexpr vexa::Usage CRC_USAGE = vexa::usage_of(USAGE_HEAD, CRC_OPTIONS, "\n");
constexpr vexa::Usage ADLER_USAGE = vexa::usage_of(USAGE_HEAD, ADLER_OPTIONS, "\n");

// ---- the command line ---------------------------------------------------------------------

// Inputs and expected values. Each occurrence of the expected-value option gives one value
// (attached with "=" or in the next argument), compared with the input at the same position;
// the argument parser would hand a later occurrence's value back as an input, so the command
// line is walked here, with the parser's rules: "-" or "--" ends the options, "-5" is no option,
// and an option the applet does not know is an input like any other.
struct Plan {
    const char **m_inputs;
    int m_input_count;
    const char **m_expected;
    int m_expected_count;
};

bool spec_names(const char *spec, Text name)
{
    Text alternative;
    for (tarvik::detail::ListWalker walker(spec); walker.next(&alternative);) {
        if (alternative.equals(name)) {
            return true;
        }
    }
    return false;
}

// The option's name ("md5" of "--md5=x"), or an empty text for an argument that is no option.
Text option_name(const char *argument)
{
    Cursor cursor = Cursor::of(argument);
    if (!cursor.take_if('-')) {
        return Text();
    }
    bool long_form = cursor.take_if('-');
    Text rest = cursor.rest();
    if (!long_form && !rest.empty() &&
        rest.m_length == Cursor(rest)
                             .take_while([](int c) {
                                 return tarvik::detail::is_digit(c) || c == '+' || c == '-';
                             })
                             .m_length) {
        return Text();
    }
    return cursor.take_until([](int c) { return c == '='; });
}

bool plan_command_line(int argc, char **argv, const vexa::Usage &usage, Plan *plan)
{
    size_t slots = static_cast<size_t>(argc > 0 ? argc : 1);
    plan->m_inputs =
        static_cast<const char **>(tarvik_alloc_tag(2 * slots * sizeof(char *), TARVIK_TAG));
    if (plan->m_inputs == nullptr) {
        return false;
    }
    plan->m_expected = plan->m_inputs + slots;
    bool options = true;
    for (int index = 1; index < argc; ++index) {
        const char *argument = argv[index];
        Text name = option_name(argument);
        if (options && (strcmp(argument, "-") == 0 || strcmp(argument, "--") == 0)) {
            options = false;
            continue;
        }
        size_t row = usage.m_count;
        for (size_t candidate = 0; options && !name.empty() && candidate < usage.m_count;
             ++candidate) {
            row = spec_names(usage.m_options[candidate].m_spec, name) ? candidate : row;
        }
        if (row == usage.m_count) {
            plan->m_inputs[plan->m_input_count++] = argument;
            continue;
        }
        if (usage.m_options[row].m_takes != vexa::Takes::VALUE) {
            continue;
        }
        const char *value = strchr(argument, '=');
        value = value != nullptr ? value + 1 : index + 1 < argc ? argv[++index] : nullptr;
        if (row == EXPECTED && value != nullptr) {
            plan->m_expected[plan->m_expected_count++] = value;
        }
    }
    return true;
}

// ---- summing ------------------------------------------------------------------------------

struct Run {
    const Algorithm *m_algorithm;
    bool m_debug;
    bool m_progress;
    bool m_lower;
    bool m_terminal; // progress is flushed as it goes only where someone watches it
    uint8_t *m_buffer;
};

enum class Outcome { SUMMED, NOT_OPENED, READ_FAILED };

void show_progress(const Run &run, uint64_t done, int64_t total)
{
    if (total > 0) {
        uint64_t ratio = done * 10000u / static_cast<uint64_t>(total);
        tarvik_printf("\r[%s] %d.%02d%%", tarvik_roll_string(), static_cast<int>(ratio / 100u),
                      static_cast<int>(ratio % 100u));
    } else {
        tarvik_printf("\r[%s] %llu bytes", tarvik_roll_string(),
                      static_cast<unsigned long long>(done));
    }
    if (run.m_terminal) {
        tarvik_puts(nullptr);
    }
}

// Sums one input (null: standard input) into hex (upper case unless lower was asked).
Outcome sum_input(const Run &run, const char *name, char *hex)
{
    int input = vexa::open_input(name, run.m_debug);
    if (input < 0) {
        return Outcome::NOT_OPENED;
    }
    State state;
    run.m_algorithm->m_start(&state);
    int64_t total = vexa::input_size(input);
    uint64_t done = 0;
    ssize_t length;
    while ((length = vexa::read_input(input, run.m_buffer, vexa::PIECE_SIZE)) > 0) {
        run.m_algorithm->m_push(&state, run.m_buffer, static_cast<size_t>(length));
        done += static_cast<uint64_t>(length);
        if (run.m_progress) {
            show_progress(run, done, total);
        }
    }
    vexa::close_input(input);
    if (run.m_progress) {
        tarvik_printf("\r%20s\r", " ");
    }
    if (run.m_algorithm->m_digest) {
        memcpy(hex, run.m_algorithm->m_finish(&state), run.m_algorithm->m_digits + 1);
    } else {
        tarvik_snprintf(hex, HEX_SIZE, "%0*llX", static_cast<int>(run.m_algorithm->m_digits),
                        static_cast<unsigned long long>(state.m_value));
    }
    if (run.m_lower) {
        tarvik_strlower(hex);
    }
    return length == 0 ? Outcome::SUMMED : Outcome::READ_FAILED;
}

// Digests compare as texts in either case; checksums as numbers, so "0x1a" and "0000001A" are
// the same CRC-32, and a value wider than the checksum (or no number at all) never matches.
bool matches(const Algorithm &algorithm, const char *hex, const char *expected)
{
    if (algorithm.m_digest) {
        return tarvik::detail::equal_ignoring_case(hex, expected);
    }
    Cursor cursor = Cursor::of(expected);
    if (!cursor.take_text("0x")) {
        cursor.take_text("0X");
    }
    uint64_t value = 0;
    uint64_t actual = 0;
    Cursor(Text::of(hex)).hexadecimal(&actual);
    uint64_t limit =
        algorithm.m_digits >= 16 ? UINT64_MAX : (uint64_t{1} << (4 * algorithm.m_digits)) - 1;
    return cursor.hexadecimal(&value) && cursor.at_end() && value <= limit && value == actual;
}

bool report_failure(Outcome outcome, const char *shown)
{
    if (outcome == Outcome::NOT_OPENED) {
        tarvik_error_printf("Can not open \"%s\" !\n", shown);
    } else if (outcome == Outcome::READ_FAILED) {
        tarvik_error_printf("Read failed \"%s\" !\n", shown);
    }
    return outcome == Outcome::SUMMED;
}

// One line per input; true when every input was read and every expected value matched.
bool sum_inputs(const Run &run, const Plan &plan)
{
    bool all_ok = true;
    int count = plan.m_input_count > 0 ? plan.m_input_count : 1;
    for (int index = 0; index < count; ++index) {
        const char *name = plan.m_input_count > 0 ? plan.m_inputs[index] : nullptr;
        char shown[512];
        vexa::printable(name != nullptr ? name : "stdin", shown, sizeof(shown));
        char hex[HEX_SIZE];
        if (!report_failure(sum_input(run, name, hex), shown)) {
            all_ok = false;
            continue;
        }
        const char *expected = index < plan.m_expected_count ? plan.m_expected[index] : nullptr;
        char mark = expected == nullptr                        ? '-'
                    : matches(*run.m_algorithm, hex, expected) ? 'O'
                                                               : 'X';
        all_ok = all_ok && mark != 'X';
        tarvik_printf("\e[0m%s \e[1;32m%s\e[0m [\e[1;33m%c\e[0m]\n", hex, shown, mark);
    }
    return all_ok;
}

// ---- check files --------------------------------------------------------------------------

struct CheckCounts {
    int m_lines;     // properly formatted lines
    int m_malformed; // lines that are not
    int m_failed;    // sums that did not match
    int m_unread;    // listed files that could not be read
};

struct Check {
    const Run *m_run;
    bool m_quiet;
    bool m_status;
    CheckCounts m_counts;
};

void check_line(Check *check, const char *text)
{
    const Algorithm &algorithm = *check->m_run->m_algorithm;
    char expected[HEX_SIZE];
    char *path = nullptr;
    if (text[0] == '\0' || text[0] == '#') {
        return;
    }
    if (tarvik_parse_digest_check_line(text, algorithm.m_tag, algorithm.m_digits, expected,
                                       &path) != 0) {
        ++check->m_counts.m_malformed;
        return;
    }
    ++check->m_counts.m_lines;
    char shown[512];
    vexa::printable(path, shown, sizeof(shown));
    char hex[HEX_SIZE];
    Outcome outcome = sum_input(*check->m_run, path, hex);
    const char *verdict = "OK";
    if (outcome != Outcome::SUMMED) {
        if (!check->m_status) {
            report_failure(outcome, shown);
        }
        verdict = "FAILED open or read";
        ++check->m_counts.m_unread;
    } else if (!tarvik::detail::equal_ignoring_case(hex, expected)) {
        verdict = "FAILED";
        ++check->m_counts.m_failed;
    }
    if (!check->m_status && (!check->m_quiet || verdict[0] != 'O')) {
        tarvik_printf("%s: %s\n", shown, verdict);
    }
    tarvik_free_tag(path, TARVIK_TAG);
}

// Reads one check file line by line; false when it cannot be read or holds no proper line.
bool check_list(Check *check, const char *name, const char *program)
{
    char shown[512];
    vexa::printable(name != nullptr ? name : "stdin", shown, sizeof(shown));
    int input = vexa::open_input(name, check->m_run->m_debug);
    tarvik_buffer_t *lines = input >= 0 ? tarvik_open_buffer() : nullptr;
    if (lines == nullptr) {
        tarvik_error_printf("Can not open \"%s\" !\n", shown);
        vexa::close_input(input);
        return false;
    }
    int before = check->m_counts.m_lines;
    ssize_t length;
    for (bool more = true; more;) {
        length = vexa::read_input(input, check->m_run->m_buffer, vexa::PIECE_SIZE);
        more = length > 0;
        if (more) {
            tarvik_push_buffer(lines, check->m_run->m_buffer, static_cast<size_t>(length));
        } else {
            tarvik_end_buffer(lines);
        }
        for (char *text; (text = tarvik_pop_buffer_line(lines)) != nullptr;) {
            check_line(check, text);
            tarvik_free_tag(text, TARVIK_TAG);
        }
    }
    tarvik_close_buffer(lines);
    vexa::close_input(input);
    if (length < 0) {
        tarvik_error_printf("Read failed \"%s\" !\n", shown);
        return false;
    }
    if (check->m_counts.m_lines == before) {
        tarvik_error_printf("%s: %s: no properly formatted %s checksum lines found\n", program,
                            shown, check->m_run->m_algorithm->m_tag);
        return false;
    }
    return true;
}

void warn(const char *program, int count, const char *singular, const char *plural)
{
    if (count > 0) {
        tarvik_error_printf("%s: WARNING: %d %s\n", program, count, count == 1 ? singular : plural);
    }
}

// Verifies the check files (the option's and the inputs; standard input without any).
bool check_lists(const Run &run, const vexa::Arguments &arguments, const Plan &plan)
{
    Check check{&run, arguments.has(QUIET), arguments.has(STATUS), {}};
    const char *program = arguments.program_name();
    const char *first = arguments.value(CHECK);
    bool all_ok = true;
    if (first != nullptr || plan.m_input_count == 0) {
        all_ok = check_list(&check, first, program);
    }
    for (int index = 0; index < plan.m_input_count; ++index) {
        all_ok = check_list(&check, plan.m_inputs[index], program) && all_ok;
    }
    if (!check.m_status) {
        warn(program, check.m_counts.m_malformed, "line is improperly formatted",
             "lines are improperly formatted");
        warn(program, check.m_counts.m_unread, "listed file could not be read",
             "listed files could not be read");
        warn(program, check.m_counts.m_failed, "computed checksum did NOT match",
             "computed checksums did NOT match");
    }
    return all_ok && check.m_counts.m_failed == 0 && check.m_counts.m_unread == 0;
}

// ---- the applets --------------------------------------------------------------------------

int sum_main(int argc, char **argv, const vexa::Usage &usage, const Algorithm *algorithm)
{
    vexa::Arguments arguments(argc, argv, usage);
    if (!arguments.ok()) {
        return 1;
    }
    if (arguments.has(HELP)) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    // The width options are asked in table order: the first one given decides.
    if (&usage == &CRC_USAGE) {
        algorithm = arguments.has(WIDTH16)   ? &CRC16
                    : arguments.has(WIDTH32) ? &CRC32
                    : arguments.has(WIDTH64) ? &CRC64
                                             : &CRC32;
    }
    bool checking = algorithm->m_digest && arguments.has(CHECK);
    Run run{algorithm,
            arguments.has(DEBUG),
            !arguments.has(NO_PROGRESS) && !checking,
            arguments.has(LOWER),
            tarvik_isatty(1) != 0,
            static_cast<uint8_t *>(tarvik_alloc_tag(vexa::PIECE_SIZE, TARVIK_TAG))};
    Plan plan{};
    if (run.m_buffer == nullptr || !plan_command_line(argc, argv, usage, &plan)) {
        tarvik_error_printf("not enough memory !\n");
        tarvik_check_free_tag(run.m_buffer, TARVIK_TAG);
        return 1;
    }
    tarvik_init_network();
    bool all_ok = checking ? check_lists(run, arguments, plan) : sum_inputs(run, plan);
    tarvik_uninit_network();
    tarvik_free_tag(plan.m_inputs, TARVIK_TAG);
    tarvik_free_tag(run.m_buffer, TARVIK_TAG);
    return vexa::output_ok(arguments.program_name()) && all_ok ? 0 : 1;
}

} // namespace

int tarvik_multicall_md5_main(int argc, char **argv)
{
    return sum_main(argc, argv, MD5_USAGE, &MD5);
}

int tarvik_multicall_sha1_main(int argc, char **argv)
{
    return sum_main(argc, argv, SHA1_USAGE, &SHA1);
}

int tarvik_multicall_sha256_main(int argc, char **argv)
{
    return sum_main(argc, argv, SHA256_USAGE, &SHA256);
}

int tarvik_multicall_crc_main(int argc, char **argv)
{
    return sum_main(argc, argv, CRC_USAGE, &CRC32);
}

int tarvik_multicall_adler_main(int argc, char **argv)
{
    return sum_main(argc, argv, ADLER_USAGE, &ADLER32);
}
