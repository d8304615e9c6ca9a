/* Calendar arithmetic, English names, wall-clock time, the library's own strftime, the
 * fixed time-stamp styles and the date-text parser. */
#ifndef TARVIK_DATE_H
#define TARVIK_DATE_H

#include "tarvik_abi.h"
#include <time.h>

TARVIK_BEGIN_DECLS

/* 1 when year (full, e.g. 2024) is a Gregorian leap year, else 0. */
TARVIK_API int tarvik_is_leap_year(int year);
/* 0 when every field is in range, else -1 (also for null). */
TARVIK_API int tarvik_check_tm_struct(const struct tm *tm);
/* Seconds since the epoch of a UTC date (full year, month 1-12, day 1-31; fields outside
 * their range carry over, as timegm does). Proleptic Gregorian; never fails. */
TARVIK_API int64_t tarvik_date_to_time(int year, int month, int day, int hour, int minute,
                                       int second);

/* English names ("Sun", "Sunday", "Jan", "January"); "???" for an index out of range. */
TARVIK_API const char *tarvik_short_week_name(int index);
TARVIK_API const char *tarvik_long_week_name(int index);
TARVIK_API const char *tarvik_short_month_name(int index);
TARVIK_API const char *tarvik_long_month_name(int index);
/* Index (month 0-11, weekday 0-6 from Sunday) of a short or long name in any case, or -1. */
TARVIK_API int tarvik_month_index(const char *name);
TARVIK_API int tarvik_week_index(const char *name);

/* Real-time clock in milliseconds since the epoch; each output may be null. */
TARVIK_API uint64_t tarvik_time_ex(time_t *seconds_out, uint32_t *milliseconds_out);
/* Real-time clock in seconds; seconds_out may be null. */
TARVIK_API time_t tarvik_time(time_t *seconds_out);
/* The system's mktime; -1 for null or an unrepresentable time. */
TARVIK_API time_t tarvik_mktime(struct tm *tm);
/* Local time of t (0: now) into tm_out; returns tm_out or null. */
TARVIK_API struct tm *tarvik_localtime(time_t t, struct tm *tm_out);
/* UTC time of t (0: now) into tm_out; returns tm_out or null. */
TARVIK_API struct tm *tarvik_gmtime(time_t t, struct tm *tm_out);
/* Standard-time offset in seconds west of UTC (as the system's timezone variable), read once
 * and cached; the names (static, never null) and the daylight flag go to the outputs,
 * each of which may be null. */
TARVIK_API long tarvik_get_timezone(const char **standard_name_out, const char **daylight_name_out,
                                    int *daylight_out);

/* GNU-style strftime in the C locale (flags "_", "-", "0", "^", "#", a field width, the E
 * and O modifiers, and %+); tm null means now, local. Stops at size - 1 characters and
 * NUL-terminates; returns the characters stored. */
TARVIK_API size_t tarvik_strftime(char *buffer, size_t size, const char *format,
                                  const struct tm *tm);
/* Formats tm (null: now, local) in a fixed style; "ERR(tm)" for a bad tm. Returns buffer.
 * 1 "%a %b %-e %H:%M:%S %Y%n", 2 "%Y%m%d%H%M%S", 3 "%Y/%m/%d %H:%M:%S",
 * 4 "%a, %-e %b %Y %H:%M:%S %Z", 5 "%Y-%m-%d %H:%M:%S", 6 "%Y-%m-%dT%H:%M:%S",
 * any other "%a %b %-e %H:%M:%S %Y". */
TARVIK_API char *tarvik_asctime(char *buffer, size_t size, const struct tm *tm, int style);

/* Seconds since the epoch of a date text, or (uint64_t)-1 when it matches no form or a
 * field is out of range. Forms (names in any case, short or long; runs of blanks count
 * as one):
 *   numeric   Y/M/D or Y-M-D, then optionally " ", "T", "t" or "-" and the time
 *             (2024-03-05T13:07:09, 2024/03/05 13:07, 24-03-05)
 *   compact   YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS (20240305130709)
 *   asctime   [weekday] month day time [zone] year (Thu Mar  5 13:07:09 2024)
 *   day-first [weekday[,]] day month year [time] with " ", "-" or "/" between the date
 *             fields and " ", "T", "-" or ":" before the time
 *             (Thu, 05 Mar 2024 13:07:09 GMT; Thursday, 05-Mar-24 13:07:09 GMT;
 *             05/Mar/2024:13:07:09 +0000)
 * time is H[:M[:S[.fraction]]] with ":" or "-"; zone is Z, GMT, UTC, UT or +hhmm / -hh:mm.
 * Years: four digits from 1970 to 9999, or two digits (70-99 = 19xx, 00-69 = 20xx).
 * Ranges: month 1-12, day within the month, hour 0-23, minute and second 0-59.
 * Missing time fields are 0, or the last second of the day (hour, minute) when end_of_day
 * is non-zero. Without a zone in the text, a non-zero local_time reads the date as local
 * time; a zone in the text always decides. */
TARVIK_API uint64_t tarvik_parse_asctime(const char *text, int end_of_day, int local_time);

TARVIK_END_DECLS

#endif
