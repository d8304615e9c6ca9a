// Internals of the clock module exposed to its tests: the tick-rate table and the
// tick-rate estimate from a /proc/stat text, and the sleep rounding.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

// Tick rate whose range holds estimate, or 0 when no range does.
uint64_t lookup_hertz(uint64_t estimate);

// Tick rate from a /proc/stat text (null: unreadable) read uptime_msec after boot; reports
// and gives 100 when it has no "cpu" line, no aggregate or per-CPU line, or no range fits.
// In the first minute the counters are too young to estimate: stated_hertz (the system's
// own unit of the counters) without a report.
uint64_t hertz_from_stat(const char *text, size_t length, uint64_t uptime_msec,
                         uint64_t stated_hertz);

// Milliseconds a sleep of seconds + microseconds waits: rounded up, never negative.
int64_t sleep_milliseconds(long seconds, long microseconds);

} // namespace tarvik::detail
