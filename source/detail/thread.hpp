// Internals of the thread pool shared with the service layer.
#pragma once

namespace tarvik::detail {

// From inside a pool job: once the job has returned and its worker has done its own
// bookkeeping (back on the ready list, or its record freed and the thread count lowered), the
// worker calls done(context) as its very last step, so whoever waits for it knows the thread
// holds nothing any more. One per job; a later call replaces an earlier one.
void at_job_end(void (*done)(void *), void *context);

} // namespace tarvik::detail
