// Internals of the event base shared with its tests: the invariant check of a base's lists
// and counts, to be called while no loop runs on it (or with its lock held).
#pragma once

#include "../event.h"

namespace tarvik::detail {

// True when the event list, the timer list and every active queue are well linked, their
// counts match the base's counters, every member carries the flag of its list, the timer
// list is sorted by expiry and only holds added events, and every queued event sits at the
// level of its priority. Each broken rule is reported through the assertion report.
bool event_base_validate(const tarvik_event_base_t *base);

} // namespace tarvik::detail
