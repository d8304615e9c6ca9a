// Restart routine, run only as process 1 of a private PID namespace: there the kernel ends the
// namespace instead of the machine, and reports it to the parent as a death by SIGHUP.
#include "tarvik_test.hpp"

#include <csignal>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class RebootTest : public TarvikTest {};

enum Outcome { NO_NAMESPACE = 77, CAME_BACK = 78 };

// Runs body as process 1 of a new PID namespace and returns its wait status, or -1 when no
// namespace can be had here. body never runs outside such a namespace.
template <typename Body> int in_pid_namespace(Body body)
{
    pid_t outer = fork();
    if (outer == 0) {
        if (unshare(CLONE_NEWPID) != 0) {
            _exit(NO_NAMESPACE);
        }
        pid_t inner = fork();
        if (inner == 0) {
            if (getpid() != 1) {
                _exit(NO_NAMESPACE);
            }
            body();
            _exit(CAME_BACK);
        }
        int status = 0;
        if (inner < 0 || waitpid(inner, &status, 0) != inner) {
            _exit(NO_NAMESPACE);
        }
        // Hand the inner status on: the same signal, or the same exit code.
        if (WIFSIGNALED(status)) {
            signal(WTERMSIG(status), SIG_DFL);
            kill(getpid(), WTERMSIG(status));
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    int status = 0;
    if (outer < 0 || waitpid(outer, &status, 0) != outer) {
        return -1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == NO_NAMESPACE) {
        return -1;
    }
    return status;
}

TEST_F(RebootTest, FastRestartEndsTheNamespace)
{
    int status = in_pid_namespace([] { tarvik_reboot_fast(); });
    if (status == -1) {
        GTEST_SKIP() << "no private PID namespace here";
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGHUP) << "a restart shows as SIGHUP";
}

TEST_F(RebootTest, CallerWithoutThePrivilegeSignalsNobody)
{
    // A process of the same user outlives the refused attempt: nothing was signalled.
    int status = in_pid_namespace([] {
        pid_t sibling = fork();
        if (sibling == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0) {
                _exit(2);
            }
            pause();
            _exit(0);
        }
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        usleep(100000);
        int result = tarvik_reboot();
        int waited = 0;
        _exit(result == -1 && waitpid(sibling, &waited, WNOHANG) == 0 ? 0 : 4);
    });
    if (status == -1) {
        GTEST_SKIP() << "no private PID namespace here";
    }
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
