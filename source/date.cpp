// Calendar helpers and the fixed time-stamp styles.
#include "date.h"

#include <cstdio>
#include <cstring>


extern "C" {

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

TARVIK_API struct tm *tarvik_localtime(time_t t, struct tm *tm_out)
{
    if (tm_out == nullptr) {
        return nullptr;
    }
    if (t == 0) {
        t = time(nullptr);
    }
    return localtime_r(&t, tm_out);
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
        snprintf(buffer, size, "%s", "ERR(tm)");
        return buffer;
    }
    // Literal formats per style, so that each is checked at compile time.
    size_t stored = 0;
    switch (style) {
    case 1:
        stored = strftime(buffer, size, "%a %b %-e %H:%M:%S %Y\n", tm);
        break;
    case 2:
        stored = strftime(buffer, size, "%Y%m%d%H%M%S", tm);
        break;
    case 3:
        stored = strftime(buffer, size, "%Y/%m/%d %H:%M:%S", tm);
        break;
    case 4:
        stored = strftime(buffer, size, "%a, %-e %b %Y %H:%M:%S %Z", tm);
        break;
    case 5:
        stored = strftime(buffer, size, "%Y-%m-%d %H:%M:%S", tm);
        break;
    case 6:
        stored = strftime(buffer, size, "%Y-%m-%dT%H:%M:%S", tm);
        break;
    default:
        stored = strftime(buffer, size, "%a %b %-e %H:%M:%S %Y", tm);
        break;
    }
    if (stored == 0) {
        buffer[0] = '\0';
    }
    return buffer;
}

} // extern "C"
