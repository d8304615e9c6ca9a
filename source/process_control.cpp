// Process control: the restart launcher, daemonising, pid files, system/exec wrappers,
// child waits and processor affinity. No state of its own; every call is reentrant.
#include "process_control.h"

#include "console.h"
#include "file.h"
#include "format.h"
#include "heap.h"

#include "detail/common.hpp"

#include <cerrno>
#include <signal.h>
#include <cstdio>
#include <stdlib.h>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr size_t AFFINITY_BYTES = TARVIK_AFFINITY_CPUS / 8;
static_assert(sizeof(cpu_set_t) >= AFFINITY_BYTES, "cpu_set_t holds the whole mask");

// Arguments up to this count are collected on the stack; longer lists go to the heap.
constexpr size_t FIXED_ARGUMENTS = 32;
constexpr int WAITPID_EINTR_LIMIT = 64;
constexpr int WAIT_OPTIONS = WUNTRACED | WCONTINUED;
constexpr mode_t PIDFILE_MODE = 0644;
constexpr unsigned PIDFILE_ATTEMPTS = 16;

// Signals that mean the child crashed (or asked for a restart with SIGUSR1); any other
// death ends the supervision.
constexpr int RESTART_SIGNALS[] = {SIGUSR1, SIGILL, SIGFPE, SIGSEGV, SIGPIPE};
constexpr int CHILD_DEFAULT_SIGNALS[] = {SIGUSR1, SIGILL, SIGFPE, SIGSEGV};

bool is_restart_signal(int signum)
{
    for (int candidate : RESTART_SIGNALS) {
        if (candidate == signum) {
            return true;
        }
    }
    return false;
}

// Sleeps the whole time even when signals arrive: a child that crashes at once must not
// turn the launcher into a fork loop.
void sleep_fully(unsigned seconds)
{
    struct timespec left = {static_cast<time_t>(seconds), 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Waits for the child until it ends; stop and continue reports are not an end. The
// supervisor has nothing else to do, so interruptions are retried without limit.
int wait_for_end(pid_t child, int *status)
{
    for (;;) {
        pid_t result = waitpid(child, status, WAIT_OPTIONS);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (WIFSTOPPED(*status) || WIFCONTINUED(*status)) {
            continue;
        }
        return 0;
    }
}

// Decides after the child ended: returns only when it is to be restarted. The restart line
// carries the running count, so a child that dies on every start shows in the log as a
// climbing number rather than as the same line over and over.
void supervise_child(pid_t child, unsigned restarts)
{
    unsigned pid = static_cast<unsigned>(child);
    tarvik_log_printf("Start monitoring by tarvik_launcher ! (pid=%u)\n", pid);
    int status = 0;
    if (wait_for_end(child, &status) != 0) {
        tarvik_log_printf("Waitpid failed by tarvik_launcher ! (pid=%u)\n", pid);
        exit(0);
    }
    if (WIFEXITED(status)) {
        // The monitor itself ends with 0 whatever happened; the log keeps the child's status.
        tarvik_log_printf("Stop monitoring by tarvik_launcher ! (pid=%u, status=%d)\n", pid,
                          WEXITSTATUS(status));
        exit(0);
    }
    int signum = WTERMSIG(status);
    if (!is_restart_signal(signum)) {
        tarvik_log_printf("Stop monitoring by tarvik_launcher ! (pid=%u, signum=%d)\n", pid,
                          signum);
        exit(0);
    }
    tarvik_log_printf("Restarting by tarvik_launcher ! (pid=%u, signum=%d, restarts=%u)\n", pid,
                      signum, restarts);
}

// Installs the quiet handler on a channel that still writes to its descriptor; a channel
// the caller already routed elsewhere (to the system log, say) keeps its route.
void quiet_unrouted(int (*set)(tarvik_puts_handler_t, tarvik_puts_handler_t *),
                    tarvik_puts_handler_t own)
{
    tarvik_puts_handler_t old = nullptr;
    set(tarvik_quiet_puts, &old);
    if (old != nullptr && old != own) {
        set(old, nullptr);
    }
}

// Feeds the command and closes the pipe with SIGPIPE held back: a command that exits
// without reading its input must cost the write, not the calling process.
int feed_and_close(FILE *pipe, const char *text)
{
    sigset_t pipe_only;
    sigset_t old_mask;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
    sigset_t pending;
    sigpending(&pending);
    bool already_pending = sigismember(&pending, SIGPIPE) == 1;

    if (text != nullptr) {
        fputs(text, pipe);
    }
    fflush(pipe);
    int status = pclose(pipe);

    sigpending(&pending);
    if (!already_pending && sigismember(&pending, SIGPIPE) == 1) {
        struct timespec zero = {0, 0};
        sigtimedwait(&pipe_only, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return status;
}

// Collects first and the NULL-terminated rest into a vector and executes it.
int exec_list(const char *path, const char *first, va_list rest)
{
    if (path == nullptr) {
        return -1;
    }
    size_t count = 0;
    if (first != nullptr) {
        va_list counting;
        va_copy(counting, rest);
        count = 1;
        while (va_arg(counting, const char *) != nullptr) {
            ++count;
        }
        va_end(counting);
    }
    char *fixed[FIXED_ARGUMENTS + 1];
    char **argv = fixed;
    if (count > FIXED_ARGUMENTS) {
        if (count >= SIZE_MAX / sizeof(char *)) {
            return -1;
        }
        argv = static_cast<char **>(tarvik_alloc_tag((count + 1) * sizeof(char *), TARVIK_TAG));
        if (argv == nullptr) {
            return -1;
        }
    }
    if (count > 0) {
        argv[0] = const_cast<char *>(first);
        for (size_t i = 1; i < count; ++i) {
            argv[i] = const_cast<char *>(va_arg(rest, const char *));
        }
    }
    argv[count] = nullptr;
    int result = tarvik_execvp(path, argv);
    if (argv != fixed) {
        tarvik_free_tag(argv, TARVIK_TAG);
    }
    return result;
}

pid_t target_pid(int pid) { return pid == -1 ? 0 : static_cast<pid_t>(pid); }

} // namespace

extern "C" {

TARVIK_API int tarvik_launcher(void)
{
    for (unsigned restarts = 1;; ++restarts) {
        // Both sides keep a copy of unwritten stdio buffers across fork, and the monitor
        // flushes its copy when it exits: empty them first, or the text comes out twice.
        fflush(nullptr);
        pid_t child = fork();
        if (child < 0) {
            return -1;
        }
        if (child == 0) {
            for (int signum : CHILD_DEFAULT_SIGNALS) {
                signal(signum, SIG_DFL);
            }
            return 0;
        }
        supervise_child(child, restarts);
        sleep_fully(TARVIK_LAUNCHER_RESTART_DELAY);
    }
}

TARVIK_API int tarvik_daemon(int nochdir, int noclose)
{
    if (daemon(nochdir, noclose) != 0) {
        return -1;
    }
    if (noclose == 0) {
        quiet_unrouted(tarvik_set_puts_handler, tarvik_puts);
        quiet_unrouted(tarvik_set_error_puts_handler, tarvik_error_puts);
    }
    return 0;
}

// A pid file is replaced whole: the text goes to a new file beside it, renamed over the path
// once complete. Whatever stands at the path is never opened, so a link there cannot lead
// the write elsewhere and a FIFO cannot block it, and a full disk leaves the old file as it
// was instead of an empty one.
TARVIK_API int tarvik_write_pidfile(const char *path, int pid)
{
    if (path == nullptr) {
        return -1;
    }
    struct stat info;
    if (lstat(path, &info) == 0 && !S_ISREG(info.st_mode)) {
        errno = S_ISLNK(info.st_mode) ? ELOOP : (S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        return -1;
    }
    char text[24];
    int length = snprintf(text, sizeof(text), "%d\n", pid);
    int fd = -1;
    char *temporary = nullptr;
    // A name left by an earlier process of the same id is stepped over, not reused.
    for (unsigned attempt = 0; fd < 0 && attempt < PIDFILE_ATTEMPTS; ++attempt) {
        tarvik_check_free_tag(temporary, TARVIK_TAG);
        temporary = tarvik_alloc_sprintf("%s.%d.%u", path, static_cast<int>(getpid()), attempt);
        if (temporary == nullptr) {
            return -1;
        }
        fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, PIDFILE_MODE);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    bool done = fd >= 0 && tarvik_write_fill(fd, text, static_cast<size_t>(length), -1) == length;
    // A full disk may only show at close time on some file systems.
    if (fd >= 0 && close(fd) != 0) {
        done = false;
    }
    if (done && rename(temporary, path) != 0) {
        done = false;
    }
    if (!done && fd >= 0) {
        const int saved = errno;
        unlink(temporary);
        errno = saved;
    }
    tarvik_free_tag(temporary, TARVIK_TAG);
    return done ? 0 : -1;
}

TARVIK_API int tarvik_system_puts(const char *command, const char *text)
{
    if (command == nullptr) {
        return -1;
    }
    fflush(nullptr);
    FILE *pipe = popen(command, "w");
    if (pipe == nullptr) {
        return -1;
    }
    return feed_and_close(pipe, text);
}

TARVIK_API int tarvik_system(const char *command) { return tarvik_system_puts(command, nullptr); }

TARVIK_API int tarvik_vsystem(const char *format, va_list arguments)
{
    if (format == nullptr) {
        return -1;
    }
    char *command = tarvik_alloc_vsprintf(format, arguments);
    if (command == nullptr) {
        return -1;
    }
    int status = tarvik_system_puts(command, nullptr);
    tarvik_free_tag(command, TARVIK_TAG);
    return status;
}

TARVIK_API int tarvik_system_format(const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int status = tarvik_vsystem(format, arguments);
    va_end(arguments);
    return status;
}

TARVIK_API int tarvik_exec(const char *path, const char *arg0, ...)
{
    va_list rest;
    va_start(rest, arg0);
    int result = exec_list(path, arg0, rest);
    va_end(rest);
    return result;
}

TARVIK_API int tarvik_vexec(const char *path, va_list arguments)
{
    if (path == nullptr) {
        return -1;
    }
    va_list rest;
    va_copy(rest, arguments);
    const char *first = va_arg(rest, const char *);
    int result = exec_list(path, first, rest);
    va_end(rest);
    return result;
}

TARVIK_API int tarvik_execvp(const char *path, char *const argv[])
{
    if (path == nullptr || argv == nullptr) {
        return -1;
    }
    execvp(path, argv);
    return -1;
}

TARVIK_API int tarvik_waitpid(int pid, int *status, int options)
{
    int result = -1;
    for (int attempt = 0; attempt < WAITPID_EINTR_LIMIT; ++attempt) {
        result = waitpid(static_cast<pid_t>(pid), status, options);
        if (result >= 0 || errno != EINTR) {
            break;
        }
    }
    return result;
}

TARVIK_API int tarvik_simple_waitpid_ex(int pid, int *signal_out)
{
    if (signal_out != nullptr) {
        *signal_out = 0;
    }
    for (;;) {
        int status = 0;
        if (tarvik_waitpid(pid, &status, WAIT_OPTIONS) < 0) {
            return 1;
        }
        if (WIFEXITED(status)) {
            return WEXITSTATUS(status);
        }
        if (WIFSIGNALED(status)) {
            if (signal_out != nullptr) {
                *signal_out = WTERMSIG(status);
            }
            return 1;
        }
        // Stopped or continued: the child has not ended yet.
    }
}

TARVIK_API int tarvik_get_running_cpu(void) { return sched_getcpu(); }

TARVIK_API int tarvik_set_running_cpu_ex(int pid, int cpu)
{
    if (pid < -1 || cpu < -1 || cpu >= TARVIK_AFFINITY_CPUS) {
        return -1;
    }
    cpu_set_t mask;
    CPU_ZERO_S(AFFINITY_BYTES, &mask);
    if (cpu == -1) {
        for (int index = 0; index < TARVIK_AFFINITY_CPUS; ++index) {
            CPU_SET_S(static_cast<size_t>(index), AFFINITY_BYTES, &mask);
        }
    } else {
        CPU_SET_S(static_cast<size_t>(cpu), AFFINITY_BYTES, &mask);
    }
    return sched_setaffinity(target_pid(pid), AFFINITY_BYTES, &mask) == 0 ? 0 : -1;
}

TARVIK_API tarvik_fragment_t *tarvik_get_cpu_mask_ex(int pid)
{
    if (pid < -1) {
        return nullptr;
    }
    cpu_set_t mask;
    CPU_ZERO_S(AFFINITY_BYTES, &mask);
    if (sched_getaffinity(target_pid(pid), AFFINITY_BYTES, &mask) != 0) {
        return nullptr;
    }
    tarvik_fragment_t *set = tarvik_open_fragment();
    if (set == nullptr) {
        return nullptr;
    }
    for (size_t index = 0; index < TARVIK_AFFINITY_CPUS; ++index) {
        if (CPU_ISSET_S(index, AFFINITY_BYTES, &mask) && tarvik_add_fragment(set, index, 1) != 0) {
            tarvik_close_fragment(set);
            return nullptr;
        }
    }
    return set;
}

TARVIK_API int tarvik_getpid(void) { return static_cast<int>(getpid()); }

TARVIK_API int tarvik_fork(void) { return static_cast<int>(fork()); }

TARVIK_API int tarvik_setsid(void) { return static_cast<int>(setsid()); }

} // extern "C"
