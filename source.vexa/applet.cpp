// The applet kit: option tables asked in one place, usage texts printed from them, and the
// small output helpers every applet shares.
#include "applet.hpp"

#include "console.h"
#include "event.h"
#include "format.h"
#include "heap.h"
#include "scan.h"

#include "detail/common.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vexa {

Arguments::Arguments(int argc, char **argv, const Usage &usage, char **envp)
    : m_usage(usage), m_handle(tarvik_open_argument_ex(argc, argv, envp)), m_found{}
{
    if (m_handle == nullptr) {
        return;
    }
    // Every question is asked here, flags and first values alike, so that what is left
    // for operand() never depends on the order in which the applet reads its options. The
    // front end's own option, accepted by every applet, is never an operand either.
    tarvik_search_argument(m_handle, "dump_exception", 0);
    for (size_t row = 0; row < m_usage.m_count; ++row) {
        const Option &option = m_usage.m_options[row];
        if (option.m_spec == nullptr) {
            continue;
        }
        m_found[row] = tarvik_search_argument(m_handle, option.m_spec, 0);
        if (option.m_takes == Takes::VALUE && m_found[row] != nullptr) {
            tarvik_search_argument(m_handle, option.m_spec, 1);
        }
    }
}

Arguments::~Arguments() { tarvik_close_argument(m_handle); }

const char *Arguments::program_name() const
{
    const char *name = tarvik_argument_get_program_name(m_handle);
    return name != nullptr ? name : "vexa";
}

const char *Arguments::value(size_t option, int index, const char *fallback) const
{
    if (!has(option)) {
        return fallback;
    }
    return tarvik_search_argument_ex(m_handle, m_usage.m_options[option].m_spec, index, fallback);
}

int Arguments::integer(size_t option, int fallback) const
{
    if (!has(option)) {
        return fallback;
    }
    return tarvik_search_argument_int(m_handle, m_usage.m_options[option].m_spec, 1, fallback);
}

bool Arguments::number(size_t option, long long minimum, long long maximum, long long fallback,
                       long long *out) const
{
    if (!has(option)) {
        *out = fallback;
        return true;
    }
    return number_value(program_name(), m_usage.m_options[option].m_spec, value(option), minimum,
                        maximum, out);
}

const char *Arguments::operand(int n) const
{
    return n < 0 ? nullptr : tarvik_notouch_argument(m_handle, n + 1);
}

int Arguments::operand_count() const
{
    int count = 0;
    while (operand(count) != nullptr) {
        ++count;
    }
    return count;
}

// The usage text as one format: head, every help line, tail.
char *Arguments::usage_format() const
{
    size_t length = strlen(m_usage.m_head) + strlen(m_usage.m_tail) + 1;
    for (size_t row = 0; row < m_usage.m_count; ++row) {
        const char *help = m_usage.m_options[row].m_help;
        length += help != nullptr ? strlen(help) : 0;
    }
    char *format = static_cast<char *>(tarvik_alloc_tag(length, TARVIK_TAG));
    if (format == nullptr) {
        tarvik_error_printf("not enough memory !\n");
        return nullptr;
    }
    tarvik::detail::Writer writer(format, length);
    writer.puts(m_usage.m_head);
    for (size_t row = 0; row < m_usage.m_count; ++row) {
        writer.puts(m_usage.m_options[row].m_help);
    }
    writer.puts(m_usage.m_tail);
    return format;
}

void Arguments::print_format(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    tarvik_vprintf(format, arguments);
    va_end(arguments);
}

void Arguments::release_format(char *format) { tarvik_free_tag(format, TARVIK_TAG); }

bool number_value(const char *program_name, const char *spec, const char *text, long long minimum,
                  long long maximum, long long *out)
{
    int64_t parsed = 0;
    tarvik::detail::Cursor cursor = tarvik::detail::Cursor::of(text);
    if (text != nullptr && cursor.signed_decimal(&parsed, minimum, maximum) && cursor.at_end()) {
        *out = parsed;
        return true;
    }
    tarvik::detail::Text name;
    tarvik::detail::ListWalker(spec).next(&name);
    tarvik_error_printf("%s: invalid value for --%.*s: \"%s\" (expected %lld..%lld)\n",
                        program_name, static_cast<int>(name.m_length), name.m_data,
                        text != nullptr ? text : "", minimum, maximum);
    return false;
}

void report_failure(const char *program_name, const char *what)
{
    const int error = errno != 0 ? errno : EIO;
    tarvik_error_printf("%s: %s: %s\n", program_name, what, strerror(error));
}

char *printable(const char *text, char *buffer, size_t size)
{
    if (size == 0) {
        return buffer;
    }
    size_t length = 0;
    for (; text != nullptr && text[length] != '\0' && length + 1 < size; ++length) {
        unsigned char c = static_cast<unsigned char>(text[length]);
        buffer[length] = tarvik::detail::is_control(c) ? '?' : static_cast<char>(c);
    }
    buffer[length] = '\0';
    return buffer;
}

bool watch_exit_signals(tarvik_event_base_t *base, tarvik_event_t *events)
{
    static constexpr int SIGNALS[EXIT_SIGNAL_COUNT] = {SIGINT, SIGQUIT, SIGSEGV, SIGTERM};
    bool ok = true;
    for (size_t i = 0; ok && i < EXIT_SIGNAL_COUNT; ++i) {
        ok = tarvik_assign_event(base, &events[i], SIGNALS[i],
                                 def_tarvik_event_signal | def_tarvik_event_persist,
                                 tarvik_event_default_handler_exit, nullptr) == 0 &&
             tarvik_add_event(&events[i], -1) == 0;
    }
    return ok;
}

bool run_event_loop(tarvik_event_base_t *base)
{
    while (tarvik_event_base_get_exit(base) == 0) {
        if (tarvik_event_base_dispatch(base) != 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

bool output_ok(const char *program_name)
{
    int failed = fflush(stdout) != 0 || ferror(stdout) != 0;
    if (!failed) {
        return true;
    }
    int error = errno != 0 ? errno : EIO;
    tarvik_error_printf("%s: write error: %s\n", program_name, strerror(error));
    return false;
}

} // namespace vexa
