// Restart and power-off: one routine with four switches. The processes get SIGTERM, time to
// end, then SIGKILL; the file systems are synced between the stages and once more at the end.
// Holds no state; the caller's own process survives the signals to everybody.
#include "reboot.h"

#include "detail/common.hpp"
#include "time.h"

#include <cerrno>
#include <csignal>
#include <sys/reboot.h>
#include <unistd.h>

namespace {

// The kernel's reboot commands (the magic numbers are passed by the C library's reboot()).
constexpr unsigned int COMMAND_RESTART = 0x01234567u;
constexpr unsigned int COMMAND_POWER_OFF = 0x4321FEDCu;
// Ctrl-Alt-Del restarts at once in the kernel instead of signalling process 1, which is
// about to be told to end.
constexpr unsigned int COMMAND_CTRL_ALT_DEL_NOW = 0x89ABCDEFu;

enum : unsigned {
    POWER_OFF = 0x1u, // power off instead of restarting
    SIGNAL = 0x2u,    // ask, then force every process to end
    SYNC = 0x4u,      // write the file systems' caches back
    WAIT = 0x8u,      // give the processes time between the stages
};

int kernel_reboot(unsigned int command) { return reboot(static_cast<int>(command)); }

void stage(unsigned switches, int pid, int signal, long seconds)
{
    if ((switches & SYNC) != 0) {
        sync();
    }
    if ((switches & SIGNAL) != 0) {
        kill(pid, signal);
    }
    if ((switches & WAIT) != 0) {
        tarvik_sleep_wait(seconds, 0);
    }
}

int shut_down(const char *name, unsigned switches)
{
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    setpgid(0, 0);
    // Only a caller allowed to restart is answered by anything but EPERM here; one that is
    // not must not get as far as signalling every process it may signal.
    if (kernel_reboot(COMMAND_CTRL_ALT_DEL_NOW) != 0 && errno == EPERM) {
        tarvik_error_printf("%s: [ERROR] \e[1;31mnot permitted !\e[0m\n", name);
        return -1;
    }
    stage(switches, 1, SIGTERM, 1);
    stage(switches, -1, SIGTERM, 2);
    if ((switches & SIGNAL) != 0) {
        kill(-1, SIGKILL);
        kill(1, SIGQUIT);
    }
    if ((switches & WAIT) != 0) {
        tarvik_sleep_wait(1, 0);
    }
    if ((switches & SYNC) != 0) {
        sync();
    }
    kernel_reboot((switches & POWER_OFF) != 0 ? COMMAND_POWER_OFF : COMMAND_RESTART);
    tarvik_assert_fail_tag(__FILE__, __func__, __LINE__, "not supported reboot|halt|poweroff !");
    return -1;
}

} // namespace

extern "C" {

TARVIK_API int tarvik_reboot(void) { return shut_down(__func__, SIGNAL | SYNC | WAIT); }

TARVIK_API int tarvik_poweroff(void)
{
    return shut_down(__func__, POWER_OFF | SIGNAL | SYNC | WAIT);
}

TARVIK_API int tarvik_reboot_fast(void) { return shut_down(__func__, 0); }

} // extern "C"
