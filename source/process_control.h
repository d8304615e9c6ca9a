/* Process control: the restart-on-crash launcher, daemonising, pid files, system/exec
 * wrappers, waiting for children and processor affinity. */
#ifndef TARVIK_PROCESS_CONTROL_H
#define TARVIK_PROCESS_CONTROL_H

#include "tarvik_abi.h"
#include "fragment.h"

TARVIK_BEGIN_DECLS

/* Seconds the launcher pauses before restarting a crashed child. */
#define TARVIK_LAUNCHER_RESTART_DELAY 3
/* Processors covered by the affinity calls (a 128-byte mask). */
#define TARVIK_AFFINITY_CPUS 1024

/* 0 in the monitored child, -1 when fork fails; the monitoring parent exits instead. */
TARVIK_API int tarvik_launcher(void);
/* daemon(3), then quiet output unless noclose; 0, or -1 when detaching fails. */
TARVIK_API int tarvik_daemon(int nochdir, int noclose);
/* Replaces path with "%d\n" (mode 0644) through a new file renamed over it; 0, or -1 when
 * something other than a regular file stands at path or the text cannot be fully written. */
TARVIK_API int tarvik_write_pidfile(const char *path, int pid);

/* Runs command with text on its input; the pclose status, or -1 when it cannot start. */
TARVIK_API int tarvik_system_puts(const char *command, const char *text);
/* tarvik_system_puts without text. */
TARVIK_API int tarvik_system(const char *command);
/* Formats the command first; -1 also when the text cannot be allocated. */
TARVIK_API int tarvik_vsystem(const char *format, va_list arguments);
/* Variadic form of tarvik_vsystem; the same results. */
TARVIK_API int tarvik_system_format(const char *format, ...) TARVIK_PRINTF(1, 2);

/* Executes path with the NULL-terminated list arg0, ...; returns -1 only on failure. */
TARVIK_API int tarvik_exec(const char *path, const char *arg0, ...);
/* The same with the list (arg0 first) in arguments; -1 on failure. */
TARVIK_API int tarvik_vexec(const char *path, va_list arguments);
/* execvp; -1 for a null path or vector, or when the execution fails. */
TARVIK_API int tarvik_execvp(const char *path, char *const argv[]);

/* waitpid repeated while interrupted (at most 64 times); the waitpid result. */
TARVIK_API int tarvik_waitpid(int pid, int *status, int options);
/* Exit status 0..255; 1 on failure or death by signal (stored in signal_out, may be null). */
TARVIK_API int tarvik_simple_waitpid_ex(int pid, int *signal_out);

/* Processor the caller runs on, -1 on failure. */
TARVIK_API int tarvik_get_running_cpu(void);
/* Pins pid (-1: the caller) to cpu, or to every processor for cpu -1; -1 on failure. */
TARVIK_API int tarvik_set_running_cpu_ex(int pid, int cpu);
/* Affinity of pid (-1: the caller) as a new range set (caller closes it); null on failure. */
TARVIK_API tarvik_fragment_t *tarvik_get_cpu_mask_ex(int pid);

/* Thin wrappers over getpid, fork and setsid. */
TARVIK_API int tarvik_getpid(void);
TARVIK_API int tarvik_fork(void);
TARVIK_API int tarvik_setsid(void);

TARVIK_END_DECLS

#endif
