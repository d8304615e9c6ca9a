// The applet kit: an applet declares its options once, in a table beside the lines of
// its usage text; the kit asks every option question when it opens the command line,
// prints the usage from the same table, and hands out values and operands.
#pragma once

#include "argument.h"
#include "event.h"

#include <cstddef>
#include <cstdint>

struct tarvik_event_s;
struct tarvik_event_base_s;

namespace vexa {

enum class Takes : uint8_t {
    NOTHING, // a flag: only its presence is asked
    VALUE,   // its first value is asked too, so it never comes back as an operand
};

// One row of an applet's option table. A row without a spec is a usage line that names
// no option (a heading, an example); a row without help is an option the usage leaves out.
struct Option {
    const char *m_spec;
    Takes m_takes;
    const char *m_help; // printf format, printed with the arguments given to usage()
};

// Up to this many rows per applet.
constexpr size_t MAX_OPTIONS = 40;

struct Usage {
    const char *m_head; // printf format, usually "usage: %s [<options>]\n..."
    const Option *m_options;
    size_t m_count;
    const char *m_tail;
};

template <size_t N>
constexpr Usage usage_of(const char *head, const Option (&options)[N], const char *tail)
{
    static_assert(N <= MAX_OPTIONS, "too many option rows for the applet kit");
    return Usage{head, options, N, tail};
}

// An applet's command line, opened over argc/argv with every option of its table asked.
// Options are named by their row index in the table (applets keep an enum beside it).
class Arguments {
  public:
    Arguments(int argc, char **argv, const Usage &usage, char **envp = nullptr);
    ~Arguments();
    Arguments(const Arguments &) = delete;
    Arguments &operator=(const Arguments &) = delete;

    // False when the handle could not be opened (out of memory).
    bool ok() const { return m_handle != nullptr; }
    tarvik_argument_t *handle() const { return m_handle; }
    const char *program_name() const;

    bool has(size_t option) const { return option < m_usage.m_count && m_found[option] != nullptr; }
    // The index-th element of the option's match sequence (1: its first value), or fallback.
    const char *value(size_t option, int index = 1, const char *fallback = nullptr) const;
    // The value as tarvik_search_argument_int reads it.
    int integer(size_t option, int fallback) const;
    // The value as a whole decimal number within [minimum, maximum]. Absent: fallback and
    // true. Present but empty, not a number or out of range: a message naming the option
    // on the error output and false.
    bool number(size_t option, long long minimum, long long maximum, long long fallback,
                long long *out) const;

    // Operands: what no question took, behind the applet's own name (n from 0).
    const char *operand(int n) const;
    int operand_count() const;

    // Prints the usage text (head, every help line, tail) formatted with the values, for
    // example usage(program_name()).
    template <typename... Values> void usage(Values... values) const
    {
        char *format = usage_format();
        if (format != nullptr) {
            print_format(format, values...);
            release_format(format);
        }
    }

  private:
    char *usage_format() const;
    static void print_format(const char *format, ...);
    static void release_format(char *format);

    const Usage &m_usage;
    tarvik_argument_t *m_handle;
    const char *m_found[MAX_OPTIONS];
};

// The whole decimal number text within [minimum, maximum] into out. Otherwise (also for a
// null or empty text) a message naming the option by the first spelling of spec on the error
// output, and false: what Arguments::number does for a value it has asked.
bool number_value(const char *program_name, const char *spec, const char *text, long long minimum,
                  long long maximum, long long *out);

// One error line "<program>: <what>: <reason of errno>" on the error output, for a data source
// or resource the applet could not do without.
void report_failure(const char *program_name, const char *what);

// Shows control characters of text taken from elsewhere (process names, command lines) as
// "?", so that it cannot move the cursor, retitle a terminal or forge lines. Writes at most
// size - 1 characters and a terminator into buffer; returns buffer.
char *printable(const char *text, char *buffer, size_t size);

// ---- applets that run an event base ----

// The signals that end an event-base applet's loop: SIGINT, SIGQUIT, SIGSEGV and SIGTERM.
constexpr size_t EXIT_SIGNAL_COUNT = 4;
// Watches the exit signals on base with events (EXIT_SIGNAL_COUNT zeroed records that live as
// long as the base); false when one of them cannot be added.
bool watch_exit_signals(tarvik_event_base_t *base, tarvik_event_t *events);
// Dispatches base until its exit flag is set; false when select fails for another reason than
// an interruption by a signal.
bool run_event_loop(tarvik_event_base_t *base);

// Reports a failed write of standard output (full device, closed descriptor) with one line
// on the error output; true when everything written so far reached its descriptor.
bool output_ok(const char *program_name);

} // namespace vexa
