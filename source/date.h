/* Calendar helpers and the fixed time-stamp styles. */
#ifndef TARVIK_DATE_H
#define TARVIK_DATE_H

#include "tarvik_abi.h"
#include <time.h>

TARVIK_BEGIN_DECLS

/* 0 when every field is in range, else -1 (also for null). */
TARVIK_API int tarvik_check_tm_struct(const struct tm *tm);
/* Local time of t (0: now) into tm_out; returns tm_out or null. */
TARVIK_API struct tm *tarvik_localtime(time_t t, struct tm *tm_out);
/* Formats tm (null: now, local) in a fixed style; "ERR(tm)" for a bad tm. Returns buffer. */
TARVIK_API char *tarvik_asctime(char *buffer, size_t size, const struct tm *tm, int style);

TARVIK_END_DECLS

#endif
