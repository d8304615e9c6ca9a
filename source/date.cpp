// Calendar arithmetic, names, wall-clock time, the library's strftime (GNU fill and width
// rules, C locale), the fixed time-stamp styles and the date-text parser.
#include "date.h"

#include "format.h"
#include "detail/common.hpp"

#include <climits>
#include <cstring>

namespace {

constexpr const char *SHORT_WEEK[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *LONG_WEEK[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
constexpr const char *SHORT_MONTH[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr const char *LONG_MONTH[12] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
constexpr const char *BAD_NAME = "???";

// Days before each month of a year that starts in March, so that the leap day comes last.
constexpr int MARCH_MONTH_START[12] = {0, 31, 61, 92, 122, 153, 184, 214, 245, 275, 306, 337};
constexpr int64_t DAYS_PER_CYCLE = 146097;     // 400 Gregorian years
constexpr int64_t EPOCH_TO_MARCH_2000 = 11017; // 1970-01-01 .. 2000-03-01
constexpr int64_t SECONDS_PER_DAY = 86400;

int64_t floor_div(int64_t value, int64_t divisor)
{
    int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

bool leap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int month_length(int64_t year, int month)
{
    static constexpr int LENGTH[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : LENGTH[month - 1];
}

using tarvik::detail::is_alpha;
using tarvik::detail::is_blank;
using tarvik::detail::is_digit;

bool same_word(const char *a, size_t length, const char *b)
{
    return tarvik::detail::Text(a, length).equals_ignoring_case(b);
}

int name_index(const char *name, size_t length, const char *const *short_names,
               const char *const *long_names, int count)
{
    for (int i = 0; i < count; ++i) {
        if (same_word(name, length, short_names[i]) || same_word(name, length, long_names[i])) {
            return i;
        }
    }
    return -1;
}

// ---- strftime ---------------------------------------------------------------------------

enum class Case { KEEP, UPPER, LOWER };

// Output of the formatter: a bounded writer, or a counter for the width of a sub-format.
// force_upper applies after each item's own case (an upper-cased sub-format).
struct Out {
    tarvik::detail::Writer m_writer;
    bool m_force_upper;

    bool full() const { return m_writer.full(); }
    void put(char c, Case mode)
    {
        if (mode == Case::UPPER || m_force_upper) {
            c = tarvik::detail::to_upper(c);
        } else if (mode == Case::LOWER) {
            c = tarvik::detail::to_lower(c);
        }
        m_writer.put(c);
    }
    void fill(char c, size_t count) { m_writer.fill(c, count); }
};

// State of one conversion: flags, width and the case of its text.
struct Conversion {
    char m_pad;       // 0, '_', '-' or '0'
    int m_width;      // -1 when none was given
    char m_modifier;  // 0, 'E' or 'O'
    bool m_upper;     // "^"
    bool m_swap_case; // "#"
    Case m_case;
};

// Text with the width rule shared by every conversion: padding in front, zeros only for
// the "0" flag.
void emit(Out &out, const Conversion &c, const char *text, size_t length, int width)
{
    if (width > 0 && static_cast<size_t>(width) > length) {
        out.fill(c.m_pad == '0' ? '0' : ' ', static_cast<size_t>(width) - length);
    }
    for (size_t i = 0; i < length; ++i) {
        out.put(text[i], c.m_case);
    }
}

// Numbers: at least digits characters (zeros after a minus sign, or spaces with "_"),
// then the field width; "-" turns the digit fill off but not the width.
void emit_number(Out &out, Conversion c, int64_t value, int digits, bool space_pad)
{
    if (space_pad && c.m_pad != '0' && c.m_pad != '-') {
        c.m_pad = '_';
    }
    char text[32];
    uint64_t magnitude =
        value < 0 ? 0u - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
    int stored = tarvik_llxtoa_limit(text + 1, sizeof(text) - 1, magnitude, 10, 0, nullptr);
    size_t length = stored > 0 ? static_cast<size_t>(stored) : 0;
    const char *start = text + 1;
    if (value < 0) {
        text[0] = '-';
        start = text;
        ++length;
    }
    int width = c.m_width;
    if (c.m_pad != '-' && digits > static_cast<int>(length)) {
        size_t padding = static_cast<size_t>(digits) - length;
        if (c.m_pad == '_') {
            out.fill(' ', padding);
            width = width > static_cast<int>(padding) ? width - static_cast<int>(padding) : 0;
        } else {
            if (value < 0) {
                out.put('-', Case::KEEP);
                ++start;
                --length;
            }
            out.fill('0', padding);
            width = 0;
        }
    }
    emit(out, c, start, length, width);
}

void number(Out &out, const Conversion &c, int64_t value, int digits)
{
    emit_number(out, c, value, digits > c.m_width ? digits : c.m_width, false);
}

void space_number(Out &out, const Conversion &c, int64_t value, int digits)
{
    emit_number(out, c, value, digits > c.m_width ? digits : c.m_width, true);
}

void format_into(Out &out, const char *format, const struct tm *tm);

// A composite conversion: its whole text takes the width, and "^" upper-cases all of it.
void subformat(Out &out, const Conversion &c, const char *format, const struct tm *tm)
{
    Out counter{tarvik::detail::Writer::raw(nullptr, SIZE_MAX), false};
    format_into(counter, format, tm);
    size_t length = counter.m_writer.length();
    if (c.m_width > 0 && static_cast<size_t>(c.m_width) > length) {
        out.fill(c.m_pad == '0' ? '0' : ' ', static_cast<size_t>(c.m_width) - length);
    }
    bool outer_upper = out.m_force_upper;
    out.m_force_upper = outer_upper || c.m_upper;
    format_into(out, format, tm);
    out.m_force_upper = outer_upper;
}

// Days from the start of the ISO week-numbering year holding yday to that day; negative
// when the day belongs to the previous ISO year.
int64_t iso_week_days(int64_t yday, int64_t wday)
{
    constexpr int64_t BIG_MULTIPLE_OF_7 = (366 / 7 + 2) * 7;
    return yday - (yday - wday + 4 + BIG_MULTIPLE_OF_7) % 7 + 3;
}

void iso_week(const struct tm *tm, int64_t *year_out, int64_t *week_out)
{
    int64_t year = static_cast<int64_t>(tm->tm_year) + 1900;
    int64_t days = iso_week_days(tm->tm_yday, tm->tm_wday);
    if (days < 0) {
        --year;
        days = iso_week_days(static_cast<int64_t>(tm->tm_yday) + 365 + (leap(year) ? 1 : 0),
                             tm->tm_wday);
    } else {
        int64_t next = iso_week_days(static_cast<int64_t>(tm->tm_yday) - 365 - (leap(year) ? 1 : 0),
                                     tm->tm_wday);
        if (next >= 0) {
            ++year;
            days = next;
        }
    }
    *year_out = year;
    *week_out = days / 7 + 1;
}

const char *zone_name(const struct tm *tm)
{
    if (tm->tm_zone != nullptr && tm->tm_zone[0] != '\0') {
        return tm->tm_zone;
    }
    if (tm->tm_isdst < 0) {
        return "";
    }
    if (tm->tm_isdst > 1) {
        return "?";
    }
    const char *standard = nullptr;
    const char *daylight = nullptr;
    tarvik_get_timezone(&standard, &daylight, nullptr);
    return tm->tm_isdst == 0 ? standard : daylight;
}

void zone_offset(Out &out, Conversion c, const struct tm *tm)
{
    if (tm->tm_isdst < 0) {
        return;
    }
    const int64_t offset = tm->tm_gmtoff;
    // Unsigned: the most negative offset has no positive counterpart to negate into.
    const uint64_t minutes =
        (offset < 0 ? 0u - static_cast<uint64_t>(offset) : static_cast<uint64_t>(offset)) / 60u;
    emit(out, c, offset < 0 ? "-" : "+", 1, c.m_width);
    number(out, c, static_cast<int64_t>(minutes / 60u * 100u + minutes % 60u), 4);
}

// Whether a modifier is meaningless for a conversion; the whole directive is then copied.
bool bad_modifier(char modifier, char conversion)
{
    if (modifier == 'E') {
        return strchr("aAbBdDeFgGhHIjklmMSUVwW", conversion) != nullptr;
    }
    if (modifier == 'O') {
        return strchr("aAcDFxXY", conversion) != nullptr;
    }
    return false;
}

void text(Out &out, const Conversion &c, const char *value)
{
    emit(out, c, value, strlen(value), c.m_width);
}

// One conversion letter; false when it is unknown (the directive is copied as it stands).
bool convert(Out &out, Conversion c, char letter, const struct tm *tm)
{
    const int64_t year = static_cast<int64_t>(tm->tm_year) + 1900;
    int64_t hour12 = tm->tm_hour;
    if (hour12 > 12) {
        hour12 -= 12;
    } else if (hour12 == 0) {
        hour12 = 12;
    }
    const bool week_ok = tm->tm_wday >= 0 && tm->tm_wday <= 6;
    const bool month_ok = tm->tm_mon >= 0 && tm->tm_mon <= 11;
    if (c.m_swap_case && strchr("aAbBh", letter) != nullptr) {
        c.m_case = Case::UPPER;
    }
    switch (letter) {
    case '%':
        text(out, c, "%");
        return true;
    case 'n':
        text(out, c, "\n");
        return true;
    case 't':
        text(out, c, "\t");
        return true;
    case 'a':
        text(out, c, week_ok ? SHORT_WEEK[tm->tm_wday] : "?");
        return true;
    case 'A':
        text(out, c, week_ok ? LONG_WEEK[tm->tm_wday] : "?");
        return true;
    case 'b':
    case 'h':
        text(out, c, month_ok ? SHORT_MONTH[tm->tm_mon] : "?");
        return true;
    case 'B':
        text(out, c, month_ok ? LONG_MONTH[tm->tm_mon] : "?");
        return true;
    case 'c':
        subformat(out, c, "%a %b %e %H:%M:%S %Y", tm);
        return true;
    case '+':
        subformat(out, c, "%a %b %e %H:%M:%S %Z %Y", tm);
        return true;
    case 'D':
    case 'x':
        subformat(out, c, "%m/%d/%y", tm);
        return true;
    case 'F':
        subformat(out, c, "%Y-%m-%d", tm);
        return true;
    case 'r':
        subformat(out, c, "%I:%M:%S %p", tm);
        return true;
    case 'R':
        subformat(out, c, "%H:%M", tm);
        return true;
    case 'T':
    case 'X':
        subformat(out, c, "%H:%M:%S", tm);
        return true;
    case 'C':
        number(out, c, year / 100 - (year % 100 < 0 ? 1 : 0), 1);
        return true;
    case 'd':
        number(out, c, tm->tm_mday, 2);
        return true;
    case 'e':
        space_number(out, c, tm->tm_mday, 2);
        return true;
    case 'H':
        number(out, c, tm->tm_hour, 2);
        return true;
    case 'I':
        number(out, c, hour12, 2);
        return true;
    case 'k':
        space_number(out, c, tm->tm_hour, 2);
        return true;
    case 'l':
        space_number(out, c, hour12, 2);
        return true;
    case 'j':
        number(out, c, static_cast<int64_t>(tm->tm_yday) + 1, 3);
        return true;
    case 'M':
        number(out, c, tm->tm_min, 2);
        return true;
    case 'm':
        number(out, c, static_cast<int64_t>(tm->tm_mon) + 1, 2);
        return true;
    case 'P':
        c.m_case = Case::LOWER;
        text(out, c, tm->tm_hour > 11 ? "PM" : "AM");
        return true;
    case 'p':
        if (c.m_swap_case) {
            c.m_case = Case::LOWER;
        }
        text(out, c, tm->tm_hour > 11 ? "PM" : "AM");
        return true;
    case 'S':
        number(out, c, tm->tm_sec, 2);
        return true;
    case 's': {
        struct tm copy = *tm;
        // The seconds take the width as text: digits are never zero-filled to it.
        emit_number(out, c, static_cast<int64_t>(tarvik_mktime(&copy)), 1, false);
        return true;
    }
    case 'u':
        number(out, c, (static_cast<int64_t>(tm->tm_wday) - 1 + 7) % 7 + 1, 1);
        return true;
    case 'w':
        number(out, c, tm->tm_wday, 1);
        return true;
    case 'U':
        number(out, c, (static_cast<int64_t>(tm->tm_yday) - tm->tm_wday + 7) / 7, 2);
        return true;
    case 'W':
        number(out, c,
               (static_cast<int64_t>(tm->tm_yday) -
                (static_cast<int64_t>(tm->tm_wday) - 1 + 7) % 7 + 7) /
                   7,
               2);
        return true;
    case 'G':
    case 'g':
    case 'V': {
        int64_t iso_year = 0;
        int64_t week = 0;
        iso_week(tm, &iso_year, &week);
        if (letter == 'G') {
            number(out, c, iso_year, 1);
        } else if (letter == 'g') {
            number(out, c, (iso_year % 100 + 100) % 100, 2);
        } else {
            number(out, c, week, 2);
        }
        return true;
    }
    case 'Y':
        number(out, c, year, 1);
        return true;
    case 'y':
        number(out, c, (year % 100 + 100) % 100, 2);
        return true;
    case 'Z':
        if (c.m_swap_case) {
            c.m_case = Case::LOWER;
        }
        text(out, c, zone_name(tm));
        return true;
    case 'z':
        zone_offset(out, c, tm);
        return true;
    default:
        return false;
    }
}

// Parses the flags, width and modifier after a "%" at *cursor and converts; *cursor ends
// on the last character of the directive.
void directive(Out &out, const char **cursor, const struct tm *tm)
{
    const char *percent = *cursor;
    const char *f = percent + 1;
    Conversion c{0, -1, 0, false, false, Case::KEEP};
    for (;; ++f) {
        if (*f == '_' || *f == '-' || *f == '0') {
            c.m_pad = *f;
        } else if (*f == '^') {
            c.m_upper = true;
        } else if (*f == '#') {
            c.m_swap_case = true;
        } else {
            break;
        }
    }
    if (is_digit(*f)) {
        int64_t width = 0;
        for (; is_digit(*f); ++f) {
            width = width * 10 + (*f - '0');
            if (width > INT_MAX) {
                width = INT_MAX;
            }
        }
        c.m_width = static_cast<int>(width);
    }
    if (*f == 'E' || *f == 'O') {
        c.m_modifier = *f++;
    }
    if (c.m_upper) {
        c.m_case = Case::UPPER;
    }
    if (*f == '\0') {
        // A directive cut off by the end of the format is copied as it stands.
        --f;
    } else if (!bad_modifier(c.m_modifier, *f) && convert(out, c, *f, tm)) {
        *cursor = f;
        return;
    }
    c.m_case = c.m_upper ? Case::UPPER : Case::KEEP;
    emit(out, c, percent, static_cast<size_t>(f - percent) + 1, c.m_width);
    *cursor = f;
}

void format_into(Out &out, const char *format, const struct tm *tm)
{
    for (const char *f = format; *f != '\0' && !out.full(); ++f) {
        if (*f != '%') {
            out.put(*f, Case::KEEP);
            continue;
        }
        directive(out, &f, tm);
    }
}

// ---- time zone cache --------------------------------------------------------------------

tarvik_short_lock_t s_zone_lock;
bool s_zone_ready;
long s_zone_west;
int s_zone_daylight;
char s_zone_standard[16];
char s_zone_summer[16];

void copy_zone_name(char *target, size_t size, const char *name)
{
    if (name == nullptr) {
        name = "";
    }
    size_t length = strnlen(name, size - 1);
    memcpy(target, name, length);
    target[length] = '\0';
}

// ---- date-text parser -------------------------------------------------------------------

struct Fields {
    int m_year;
    int m_month; // 1-12
    int m_day;
    int m_hour;
    int m_minute;
    int m_second;
    int m_time_fields; // how many of hour, minute, second the text gave
    bool m_zone;       // the text named its zone
    int m_zone_east;   // seconds east of UTC given by the text
};

struct Cursor {
    const char *m_p;

    void skip_blanks()
    {
        while (is_blank(*m_p)) {
            ++m_p;
        }
    }
    bool take(char c)
    {
        if (*m_p != c) {
            return false;
        }
        ++m_p;
        return true;
    }
    bool take_any(const char *set)
    {
        if (*m_p == '\0' || strchr(set, *m_p) == nullptr) {
            return false;
        }
        ++m_p;
        return true;
    }
    // Up to max_digits digits; false when there are fewer than min_digits or more follow.
    bool number(size_t min_digits, size_t max_digits, int *value, size_t *digits_out = nullptr)
    {
        size_t digits = 0;
        int result = 0;
        while (is_digit(m_p[digits])) {
            if (digits == max_digits) {
                return false;
            }
            result = result * 10 + (m_p[digits] - '0');
            ++digits;
        }
        if (digits < min_digits) {
            return false;
        }
        m_p += digits;
        *value = result;
        if (digits_out != nullptr) {
            *digits_out = digits;
        }
        return true;
    }
    // Exactly count digits, whatever follows.
    bool fixed(size_t count, int *value)
    {
        int result = 0;
        for (size_t i = 0; i < count; ++i) {
            if (!is_digit(m_p[i])) {
                return false;
            }
            result = result * 10 + (m_p[i] - '0');
        }
        m_p += count;
        *value = result;
        return true;
    }
    size_t word_length() const
    {
        size_t length = 0;
        while (is_alpha(m_p[length])) {
            ++length;
        }
        return length;
    }
};

bool year_value(int value, size_t digits, int *year)
{
    if (digits == 2) {
        *year = value >= 70 ? 1900 + value : 2000 + value;
        return true;
    }
    if (digits == 4 && value >= 1970) {
        *year = value;
        return true;
    }
    return false;
}

bool parse_year(Cursor &cursor, int *year)
{
    int value = 0;
    size_t digits = 0;
    return cursor.number(2, 4, &value, &digits) && year_value(value, digits, year);
}

// H[:M[:S[.fraction]]], ":" or "-" between the fields (the same one both times, so that
// "13:07-05:00" keeps its zone).
bool parse_time(Cursor &cursor, Fields *fields)
{
    if (!cursor.number(1, 2, &fields->m_hour)) {
        return false;
    }
    fields->m_time_fields = 1;
    const char separator = *cursor.m_p;
    Cursor next = cursor;
    if (!next.take_any(":-") || !next.number(1, 2, &fields->m_minute)) {
        return true;
    }
    cursor = next;
    fields->m_time_fields = 2;
    if (!next.take(separator) || !next.number(1, 2, &fields->m_second)) {
        return true;
    }
    cursor = next;
    fields->m_time_fields = 3;
    if (cursor.m_p[0] == '.' && is_digit(cursor.m_p[1])) {
        ++cursor.m_p;
        while (is_digit(*cursor.m_p)) {
            ++cursor.m_p;
        }
    }
    return true;
}

// Optional zone: a name meaning UTC or a numeric offset (+hh, +hhmm, +hh:mm).
bool parse_zone(Cursor &cursor, Fields *fields)
{
    cursor.skip_blanks();
    size_t length = cursor.word_length();
    if (length > 0) {
        if (!same_word(cursor.m_p, length, "Z") && !same_word(cursor.m_p, length, "GMT") &&
            !same_word(cursor.m_p, length, "UTC") && !same_word(cursor.m_p, length, "UT")) {
            return false;
        }
        cursor.m_p += length;
        fields->m_zone = true;
        fields->m_zone_east = 0;
        return true;
    }
    if (*cursor.m_p != '+' && *cursor.m_p != '-') {
        return true;
    }
    int sign = *cursor.m_p == '-' ? -1 : 1;
    ++cursor.m_p;
    int hours = 0;
    int minutes = 0;
    if (!cursor.fixed(2, &hours)) {
        return false;
    }
    bool colon = cursor.take(':');
    if ((colon || is_digit(*cursor.m_p)) && !cursor.fixed(2, &minutes)) {
        return false;
    }
    if (hours > 23 || minutes > 59) {
        return false;
    }
    fields->m_zone = true;
    fields->m_zone_east = sign * (hours * 3600 + minutes * 60);
    return true;
}

// Only blanks and line ends may follow a date.
bool at_end(Cursor cursor)
{
    while (is_blank(*cursor.m_p) || *cursor.m_p == '\r' || *cursor.m_p == '\n') {
        ++cursor.m_p;
    }
    return *cursor.m_p == '\0';
}

size_t digit_run(const char *p)
{
    size_t run = 0;
    while (is_digit(p[run])) {
        ++run;
    }
    return run;
}

// YYYYMMDD, optionally followed by "T" and HHMM[SS], or YYYYMMDDHHMM[SS].
bool parse_compact(Cursor cursor, Fields *fields)
{
    size_t run = digit_run(cursor.m_p);
    int year = 0;
    if (!cursor.fixed(4, &year) || !year_value(year, 4, &fields->m_year) ||
        !cursor.fixed(2, &fields->m_month) || !cursor.fixed(2, &fields->m_day)) {
        return false;
    }
    size_t time_digits = run - 8;
    if (run == 8 && (*cursor.m_p == 'T' || *cursor.m_p == 't')) {
        ++cursor.m_p;
        time_digits = digit_run(cursor.m_p);
        if (time_digits != 4 && time_digits != 6) {
            return false;
        }
    }
    if (time_digits >= 4 &&
        (!cursor.fixed(2, &fields->m_hour) || !cursor.fixed(2, &fields->m_minute))) {
        return false;
    }
    if (time_digits == 6 && !cursor.fixed(2, &fields->m_second)) {
        return false;
    }
    fields->m_time_fields = static_cast<int>(time_digits / 2);
    return parse_zone(cursor, fields) && at_end(cursor);
}

// Y/M/D or Y-M-D with an optional time, or the compact digit forms.
bool parse_numeric(Cursor cursor, Fields *fields)
{
    size_t run = digit_run(cursor.m_p);
    if (run == 8 || run == 12 || run == 14) {
        return parse_compact(cursor, fields);
    }
    if (!parse_year(cursor, &fields->m_year)) {
        return false;
    }
    char separator = *cursor.m_p;
    if (!cursor.take_any("/-") || !cursor.number(1, 2, &fields->m_month) ||
        !cursor.take(separator) || !cursor.number(1, 2, &fields->m_day)) {
        return false;
    }
    Cursor time = cursor;
    bool blank = is_blank(*time.m_p);
    time.skip_blanks();
    if ((blank || time.take_any("Tt-")) && is_digit(*time.m_p)) {
        if (!parse_time(time, fields)) {
            return false;
        }
        cursor = time;
    }
    return parse_zone(cursor, fields) && at_end(cursor);
}

bool parse_month_name(Cursor &cursor, int *month)
{
    size_t length = cursor.word_length();
    int index = length > 0 ? name_index(cursor.m_p, length, SHORT_MONTH, LONG_MONTH, 12) : -1;
    if (index < 0) {
        return false;
    }
    cursor.m_p += length;
    *month = index + 1;
    return true;
}

// [weekday] month day time [zone] year
bool parse_asctime_form(Cursor cursor, Fields *fields)
{
    if (!parse_month_name(cursor, &fields->m_month)) {
        return false;
    }
    cursor.skip_blanks();
    if (!cursor.number(1, 2, &fields->m_day)) {
        return false;
    }
    cursor.skip_blanks();
    if (!parse_time(cursor, fields)) {
        return false;
    }
    cursor.skip_blanks();
    if (is_alpha(*cursor.m_p) && !parse_zone(cursor, fields)) {
        return false;
    }
    cursor.skip_blanks();
    return parse_year(cursor, &fields->m_year) && at_end(cursor);
}

// day month year [time] [zone], " ", "-" or "/" between the date fields.
bool parse_day_first_form(Cursor cursor, Fields *fields)
{
    if (!cursor.number(1, 2, &fields->m_day)) {
        return false;
    }
    char separator = is_blank(*cursor.m_p) ? ' ' : *cursor.m_p;
    if (separator == ' ') {
        cursor.skip_blanks();
    } else if (!cursor.take_any("-/")) {
        return false;
    }
    if (!parse_month_name(cursor, &fields->m_month)) {
        return false;
    }
    if (separator == ' ') {
        if (!is_blank(*cursor.m_p)) {
            return false;
        }
        cursor.skip_blanks();
    } else if (!cursor.take(separator)) {
        return false;
    }
    if (!parse_year(cursor, &fields->m_year)) {
        return false;
    }
    Cursor time = cursor;
    bool blank = is_blank(*time.m_p);
    time.skip_blanks();
    if ((blank || time.take_any("Tt-:")) && is_digit(*time.m_p)) {
        if (!parse_time(time, fields)) {
            return false;
        }
        cursor = time;
    }
    return parse_zone(cursor, fields) && at_end(cursor);
}

bool parse_word_forms(Cursor cursor, Fields *fields)
{
    size_t length = cursor.word_length();
    if (length > 0 && name_index(cursor.m_p, length, SHORT_WEEK, LONG_WEEK, 7) >= 0) {
        cursor.m_p += length;
        cursor.take(',');
        cursor.skip_blanks();
    }
    if (is_digit(*cursor.m_p)) {
        return parse_day_first_form(cursor, fields);
    }
    return parse_asctime_form(cursor, fields);
}

bool in_range(const Fields &f)
{
    return f.m_year >= 1970 && f.m_year <= 9999 && f.m_month >= 1 && f.m_month <= 12 &&
           f.m_day >= 1 && f.m_day <= month_length(f.m_year, f.m_month) && f.m_hour >= 0 &&
           f.m_hour <= 23 && f.m_minute >= 0 && f.m_minute <= 59 && f.m_second >= 0 &&
           f.m_second <= 59;
}

// Offset east of UTC in effect at the local wall-clock time given as if it were UTC.
int64_t local_offset_at(int64_t wall)
{
    long west = tarvik_get_timezone(nullptr, nullptr, nullptr);
    int64_t guess = wall + west;
    for (int round = 0; round < 2; ++round) {
        time_t t = static_cast<time_t>(guess);
        struct tm local;
        // Outside the system's time_t (32-bit targets after 2038) only the standard offset
        // is known.
        if (static_cast<int64_t>(t) != guess || localtime_r(&t, &local) == nullptr) {
            return -static_cast<int64_t>(west);
        }
        guess = wall - local.tm_gmtoff;
    }
    return wall - guess;
}

uint64_t parse_date_text(const char *text, int end_of_day, int local_time)
{
    if (text == nullptr) {
        return static_cast<uint64_t>(-1);
    }
    Cursor cursor{text};
    cursor.skip_blanks();
    Fields fields{};
    bool matched = is_digit(*cursor.m_p) && parse_numeric(cursor, &fields);
    if (!matched) {
        fields = Fields{};
        matched = parse_word_forms(cursor, &fields);
    }
    if (!matched) {
        return static_cast<uint64_t>(-1);
    }
    if (end_of_day != 0) {
        if (fields.m_time_fields < 1) {
            fields.m_hour = 23;
        }
        if (fields.m_time_fields < 2) {
            fields.m_minute = 59;
        }
        if (fields.m_time_fields < 3) {
            fields.m_second = 59;
        }
    }
    if (!in_range(fields)) {
        return static_cast<uint64_t>(-1);
    }
    int64_t seconds = tarvik_date_to_time(fields.m_year, fields.m_month, fields.m_day,
                                          fields.m_hour, fields.m_minute, fields.m_second);
    if (fields.m_zone) {
        seconds -= fields.m_zone_east;
    } else if (local_time != 0) {
        seconds -= local_offset_at(seconds);
    }
    return seconds < 0 ? static_cast<uint64_t>(-1) : static_cast<uint64_t>(seconds);
}

} // namespace

extern "C" {

TARVIK_API int tarvik_is_leap_year(int year) { return leap(year) ? 1 : 0; }

TARVIK_API int tarvik_check_tm_struct(const struct tm *tm)
{
    if (tm == nullptr) {
        return -1;
    }
    bool ok = tm->tm_sec >= 0 && tm->tm_sec < 61 && tm->tm_min >= 0 && tm->tm_min < 60 &&
              tm->tm_hour >= 0 && tm->tm_hour < 24 && tm->tm_mday >= 1 && tm->tm_mday <= 31 &&
              tm->tm_mon >= 0 && tm->tm_mon <= 11 && tm->tm_year >= 0 && tm->tm_wday >= 0 &&
              tm->tm_wday <= 6 && tm->tm_yday >= 0;
    return ok ? 0 : -1;
}

TARVIK_API int64_t tarvik_date_to_time(int year, int month, int day, int hour, int minute,
                                       int second)
{
    // Months outside 1-12 carry into the year; the year is then counted from March so
    // that February's leap day ends it, in whole 400-year cycles from 2000-03-01.
    int64_t month0 = static_cast<int64_t>(month) - 1;
    int64_t full_year = year + floor_div(month0, 12);
    month0 -= floor_div(month0, 12) * 12;
    int64_t march_month = (month0 + 10) % 12; // March 0 .. February 11
    if (march_month >= 10) {
        --full_year;
    }
    int64_t years = full_year - 2000;
    int64_t cycles = floor_div(years, 400);
    int64_t rest = years - cycles * 400;
    int64_t days = cycles * DAYS_PER_CYCLE + rest * 365 + rest / 4 - rest / 100 +
                   MARCH_MONTH_START[march_month] + (static_cast<int64_t>(day) - 1) +
                   EPOCH_TO_MARCH_2000;
    return days * SECONDS_PER_DAY + static_cast<int64_t>(hour) * 3600 +
           static_cast<int64_t>(minute) * 60 + second;
}

TARVIK_API const char *tarvik_short_week_name(int index)
{
    return index >= 0 && index < 7 ? SHORT_WEEK[index] : BAD_NAME;
}

TARVIK_API const char *tarvik_long_week_name(int index)
{
    return index >= 0 && index < 7 ? LONG_WEEK[index] : BAD_NAME;
}

TARVIK_API const char *tarvik_short_month_name(int index)
{
    return index >= 0 && index < 12 ? SHORT_MONTH[index] : BAD_NAME;
}

TARVIK_API const char *tarvik_long_month_name(int index)
{
    return index >= 0 && index < 12 ? LONG_MONTH[index] : BAD_NAME;
}

TARVIK_API int tarvik_month_index(const char *name)
{
    return name == nullptr ? -1 : name_index(name, strlen(name), SHORT_MONTH, LONG_MONTH, 12);
}

TARVIK_API int tarvik_week_index(const char *name)
{
    return name == nullptr ? -1 : name_index(name, strlen(name), SHORT_WEEK, LONG_WEEK, 7);
}

TARVIK_API uint64_t tarvik_time_ex(time_t *seconds_out, uint32_t *milliseconds_out)
{
    struct timespec now;
    time_t seconds = 0;
    uint32_t milliseconds = 0;
    if (clock_gettime(CLOCK_REALTIME, &now) == 0) {
        seconds = now.tv_sec;
        milliseconds = static_cast<uint32_t>(now.tv_nsec / 1000000);
    } else {
        seconds = time(nullptr);
    }
    if (seconds_out != nullptr) {
        *seconds_out = seconds;
    }
    if (milliseconds_out != nullptr) {
        *milliseconds_out = milliseconds;
    }
    return static_cast<uint64_t>(seconds) * 1000u + milliseconds;
}

TARVIK_API time_t tarvik_time(time_t *seconds_out)
{
    time_t seconds = 0;
    tarvik_time_ex(&seconds, nullptr);
    if (seconds_out != nullptr) {
        *seconds_out = seconds;
    }
    return seconds;
}

TARVIK_API time_t tarvik_mktime(struct tm *tm)
{
    return tm == nullptr ? static_cast<time_t>(-1) : mktime(tm);
}

TARVIK_API struct tm *tarvik_localtime(time_t t, struct tm *tm_out)
{
    if (tm_out == nullptr) {
        return nullptr;
    }
    if (t == 0) {
        t = tarvik_time(nullptr);
    }
    return localtime_r(&t, tm_out);
}

TARVIK_API struct tm *tarvik_gmtime(time_t t, struct tm *tm_out)
{
    if (tm_out == nullptr) {
        return nullptr;
    }
    if (t == 0) {
        t = tarvik_time(nullptr);
    }
    return gmtime_r(&t, tm_out);
}

TARVIK_API long tarvik_get_timezone(const char **standard_name_out, const char **daylight_name_out,
                                    int *daylight_out)
{
    tarvik::detail::ShortLockGuard guard(&s_zone_lock);
    if (!s_zone_ready) {
        tzset();
        s_zone_west = timezone;
        s_zone_daylight = daylight;
        copy_zone_name(s_zone_standard, sizeof(s_zone_standard), tzname[0]);
        copy_zone_name(s_zone_summer, sizeof(s_zone_summer), tzname[1]);
        s_zone_ready = true;
    }
    if (standard_name_out != nullptr) {
        *standard_name_out = s_zone_standard;
    }
    if (daylight_name_out != nullptr) {
        *daylight_name_out = s_zone_summer;
    }
    if (daylight_out != nullptr) {
        *daylight_out = s_zone_daylight;
    }
    return s_zone_west;
}

TARVIK_API size_t tarvik_strftime(char *buffer, size_t size, const char *format,
                                  const struct tm *tm)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    buffer[0] = '\0';
    if (format == nullptr) {
        return 0;
    }
    struct tm now;
    if (tm == nullptr) {
        tm = tarvik_localtime(0, &now);
        if (tm == nullptr) {
            return 0;
        }
    }
    Out out{tarvik::detail::Writer(buffer, size), false};
    format_into(out, format, tm);
    return out.m_writer.length();
}

TARVIK_API char *tarvik_asctime(char *buffer, size_t size, const struct tm *tm, int style)
{
    if (buffer == nullptr || size == 0) {
        return buffer;
    }
    struct tm now;
    if (tm == nullptr) {
        tm = tarvik_localtime(0, &now);
    }
    if (tarvik_check_tm_struct(tm) != 0) {
        static constexpr char ERROR_TEXT[] = "ERR(tm)";
        size_t length = size - 1 < sizeof(ERROR_TEXT) - 1 ? size - 1 : sizeof(ERROR_TEXT) - 1;
        memcpy(buffer, ERROR_TEXT, length);
        buffer[length] = '\0';
        return buffer;
    }
    const char *format = "%a %b %-e %H:%M:%S %Y";
    switch (style) {
    case 1:
        format = "%a %b %-e %H:%M:%S %Y%n";
        break;
    case 2:
        format = "%Y%m%d%H%M%S";
        break;
    case 3:
        format = "%Y/%m/%d %H:%M:%S";
        break;
    case 4:
        format = "%a, %-e %b %Y %H:%M:%S %Z";
        break;
    case 5:
        format = "%Y-%m-%d %H:%M:%S";
        break;
    case 6:
        format = "%Y-%m-%dT%H:%M:%S";
        break;
    default:
        break;
    }
    tarvik_strftime(buffer, size, format, tm);
    return buffer;
}

TARVIK_API uint64_t tarvik_parse_asctime(const char *text, int end_of_day, int local_time)
{
    return parse_date_text(text, end_of_day, local_time);
}

} // extern "C"
