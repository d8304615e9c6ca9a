// Internals of the process table shared with its tests and fuzz target: the parsers of the
// per-process /proc files, each over a byte range, and the record helpers.
#pragma once

#include "../process.h"

#include <cstddef>
#include <cstdint>

struct tarvik_buffer_s;

namespace tarvik::detail {

// Prints everything queued in buffer through the standard-output channel as one text and
// flushes it; 0, or -1 when the text cannot be allocated (the queue is left as it was).
int print_buffer(struct tarvik_buffer_s *buffer);

// Size of the scratch buffer of one table read; bounds the command line and the stat line.
constexpr size_t PS_SCRATCH_SIZE = TARVIK_PS_CMDLINE_LIMIT;
// The most arguments split out of one command line (pointers that fit in the scratch).
constexpr int32_t PS_MAX_ARGUMENTS = static_cast<int32_t>(PS_SCRATCH_SIZE / 4);

// Zero-filled record with the given pid and state "   ", or null.
tarvik_ps_t *ps_new_record(uint32_t pid);
// Frees one record and everything it owns (null accepted).
void ps_free_record(tarvik_ps_t *record);

// Command-line bytes (NUL-separated, the last NUL optional): fills cmdline_size,
// cmdline_raw, argc, argv and command_line. False when empty or out of memory.
bool ps_parse_cmdline(tarvik_ps_t *record, const char *data, size_t length);
// Marks a status text without a VmRSS line (kernel threads, zombies).
constexpr uint64_t PS_NO_VMRSS = UINT64_MAX;
// Status text, line by line: name, state letter, pid, ppid, uid, gid, threads, vmsize; the
// VmRSS figure (kB) goes to vmrss_out (may be null), PS_NO_VMRSS when absent.
void ps_parse_status(tarvik_ps_t *record, const char *data, size_t length, uint64_t *vmrss_out);
// Stat line: times, nice, start time and rss (pages x page_kb) from behind the last ')';
// false (and nothing stored) when fewer than the seven values are there.
bool ps_parse_stat(tarvik_ps_t *record, const char *data, size_t length, uint64_t page_kb);
// State suffixes: 'W' for no resident pages (not for zombies), '<' or 'N' from nice.
void ps_apply_state_suffixes(tarvik_ps_t *record);
// Maps text: appends the path of every mapping that names one, in file order.
// False when memory ran out (the paths read so far stay).
bool ps_parse_maps(tarvik_ps_t *record, const char *data, size_t length);
// Descriptor link target "socket:[N]" or "pipe:[N]": true with the inode.
bool ps_parse_fd_target(const char *target, size_t length, uint64_t *inode_out);
// Life-time CPU usage in hundredths of a percent, 0..10000.
uint32_t ps_cpu_usage(uint64_t ticks, uint64_t starttime, uint64_t uptime_seconds, uint64_t hertz);
// Links record into the list (at the tail, or by resident size when by_rss); returns the head.
tarvik_ps_t *ps_insert(tarvik_ps_t *head, tarvik_ps_t **tail, tarvik_ps_t *record, bool by_rss);

// True for a record the library kill considers: not the caller, with arguments, an
// executable and a name (kernel threads and zombies have none of these).
bool ps_is_library_user(const tarvik_ps_t *record, uint32_t self);
// True when a mapped path of record equals library or has it as its last component.
bool ps_maps_library(const tarvik_ps_t *record, const char *library);

// Name of uid in a passwd-format text: true with the name's range.
bool ps_passwd_name(const char *text, size_t length, uint32_t uid, const char **name_out,
                    size_t *name_length_out);

// Appends text as CDATA content that keeps the document well-formed: "]]>" is split over
// two sections, and bytes XML cannot carry (control characters, broken UTF-8) become '?'.
void ps_push_cdata(struct tarvik_buffer_s *buffer, const char *text);

} // namespace tarvik::detail
