// Tests of the process control helpers: the restart launcher, daemonising, pid files, the
// system/exec wrappers, child waits and processor affinity. Everything that signals a
// process runs inside a private PID namespace, so nothing outside the test is touched.
#include "tarvik_test.hpp"

#include "capture.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int NAMESPACE_UNAVAILABLE = -2;
constexpr int NAMESPACE_SETUP_FAILED = 200;
constexpr unsigned NAMESPACE_ALARM_SECONDS = 60;

// Runs body as the first process of a private PID (and mount) namespace and returns its
// exit status. When body's process ends, the kernel ends every process it left behind.
// The helpers die with the test (parent-death signals), and an alarm bounds a hang.
int in_pid_namespace(const std::function<int()> &body)
{
    fflush(stdout);
    fflush(stderr);
    pid_t outer = fork();
    if (outer < 0) {
        return NAMESPACE_UNAVAILABLE;
    }
    if (outer == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        alarm(NAMESPACE_ALARM_SECONDS);
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
            _exit(NAMESPACE_SETUP_FAILED);
        }
        pid_t init = fork();
        if (init < 0) {
            _exit(NAMESPACE_SETUP_FAILED);
        }
        if (init == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            // Children crash on purpose: no core files from them.
            struct rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
            mount("proc", "/proc", "proc", 0, nullptr);
            _exit(body());
        }
        int status = 0;
        waitpid(init, &status, 0);
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }
    int status = 0;
    waitpid(outer, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return code == NAMESPACE_SETUP_FAILED ? NAMESPACE_UNAVAILABLE : code;
}

#define RUN_IN_PID_NAMESPACE(...)                                                                  \
    do {                                                                                           \
        int code_ = in_pid_namespace(__VA_ARGS__);                                                 \
        if (code_ == NAMESPACE_UNAVAILABLE) {                                                      \
            GTEST_SKIP() << "no private PID namespace here (needs root and unshare)";              \
        }                                                                                          \
        EXPECT_EQ(code_, 0) << "failure code from the namespaced body";                            \
    } while (0)

double monotonic_seconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void append_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::app) << text;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

void sleep_ms(long milliseconds)
{
    struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

// The launcher logs through the log channel; the tests catch it in a file.
int s_log_fd = -1;
int log_to_file(const char *text, const char *, unsigned long)
{
    size_t length = strlen(text);
    return static_cast<int>(write(s_log_fd, text, length));
}

volatile sig_atomic_t s_interruptions = 0;
void count_interruption(int) { s_interruptions = s_interruptions + 1; }

// A handler installed without SA_RESTART, so that blocking calls fail with EINTR.
void interrupt_on(int signum)
{
    struct sigaction action {};
    action.sa_handler = count_interruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signum, &action, nullptr);
}

class ProcessControlTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        char pattern[] = "/tmp/tarvik_process_control_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_base = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_base, ignored);
        TarvikTest::TearDown();
    }
    std::string path(const std::string &name) const { return m_base + "/" + name; }

    std::string m_base;
};

// ---- launcher ---------------------------------------------------------------------------

// The first child crashes with SIGSEGV while a pinger keeps interrupting the supervisor's
// pause; the second child exits normally. Each run records its start time.
TEST_F(ProcessControlTest, LauncherRestartsCrashAfterFullPauseThenStopsOnExit)
{
    std::string runs = path("runs");
    std::string log = path("log");
    RUN_IN_PID_NAMESPACE([&] {
        s_log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        tarvik_set_log_puts_handler(log_to_file, nullptr);
        interrupt_on(SIGUSR2);
        if (tarvik_launcher() != 0) {
            return 10;
        }
        append_file(runs, std::to_string(monotonic_seconds()) + "\n");
        if (lines_of(read_file(runs)).size() == 1) {
            if (fork() == 0) {
                for (int i = 0; i < 6; ++i) {
                    sleep_ms(300);
                    kill(1, SIGUSR2);
                }
                _exit(0);
            }
            raise(SIGSEGV);
            return 11;
        }
        return 0;
    });

    std::vector<std::string> starts = lines_of(read_file(runs));
    ASSERT_EQ(starts.size(), 2u);
    double pause = std::stod(starts[1]) - std::stod(starts[0]);
    EXPECT_GE(pause, 2.9) << "the restart pause was cut short";

    std::vector<std::string> lines = lines_of(read_file(log));
    ASSERT_EQ(lines.size(), 4u) << read_file(log);
    unsigned first = 0;
    unsigned second = 0;
    int signum = 0;
    ASSERT_EQ(sscanf(lines[0].c_str(), "Start monitoring by tarvik_launcher ! (pid=%u)", &first),
              1);
    ASSERT_EQ(sscanf(lines[1].c_str(),
                     "Restarting by tarvik_launcher ! (pid=%u, signum=%d, restarts=1)", &second,
                     &signum),
              2)
        << lines[1];
    EXPECT_EQ(lines[1], "Restarting by tarvik_launcher ! (pid=" + std::to_string(first) +
                            ", signum=" + std::to_string(SIGSEGV) + ", restarts=1)")
        << "pid, signal and the count of restarts so far";
    EXPECT_EQ(second, first);
    EXPECT_EQ(signum, SIGSEGV);
    ASSERT_EQ(sscanf(lines[2].c_str(), "Start monitoring by tarvik_launcher ! (pid=%u)", &second),
              1);
    EXPECT_NE(second, first) << "a restart forks a new child";
    EXPECT_EQ(lines[3], "Stop monitoring by tarvik_launcher ! (pid=" + std::to_string(second) +
                            ", status=0)");
}

// Death by a signal outside the crash set ends the supervision with status 0.
TEST_F(ProcessControlTest, LauncherStopsOnSigkill)
{
    std::string runs = path("runs");
    std::string log = path("log");
    RUN_IN_PID_NAMESPACE([&] {
        s_log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        tarvik_set_log_puts_handler(log_to_file, nullptr);
        if (tarvik_launcher() != 0) {
            return 10;
        }
        append_file(runs, "run\n");
        kill(getpid(), SIGKILL);
        return 11;
    });
    EXPECT_EQ(lines_of(read_file(runs)).size(), 1u);
    std::vector<std::string> lines = lines_of(read_file(log));
    ASSERT_EQ(lines.size(), 2u) << read_file(log);
    unsigned pid = 0;
    ASSERT_EQ(sscanf(lines[0].c_str(), "Start monitoring by tarvik_launcher ! (pid=%u)", &pid), 1);
    EXPECT_EQ(lines[1],
              "Stop monitoring by tarvik_launcher ! (pid=" + std::to_string(pid) + ", signum=9)");
}

// Text still buffered in stdio when the launcher forks must come out once, although both
// the child and the exiting monitor hold a copy of the buffer.
TEST_F(ProcessControlTest, LauncherDoesNotRepeatBufferedOutput)
{
    std::string out = path("out");
    std::string log = path("log");
    RUN_IN_PID_NAMESPACE([&] {
        s_log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        tarvik_set_log_puts_handler(log_to_file, nullptr);
        if (freopen(out.c_str(), "w", stdout) == nullptr) {
            return 12;
        }
        static char buffer[4096];
        setvbuf(stdout, buffer, _IOFBF, sizeof(buffer));
        fputs("before the launcher\n", stdout);
        if (tarvik_launcher() != 0) {
            return 10;
        }
        fputs("child\n", stdout);
        fflush(stdout);
        _exit(0);
    });
    EXPECT_EQ(read_file(out), "before the launcher\nchild\n");
}

// ---- waiting ----------------------------------------------------------------------------

TEST_F(ProcessControlTest, SimpleWaitpidReportsExitCodesAndSignals)
{
    RUN_IN_PID_NAMESPACE([] {
        const int codes[] = {0, 1, 2, 42, 127, 128, 254, 255};
        for (int code : codes) {
            pid_t child = fork();
            if (child == 0) {
                _exit(code);
            }
            int signum = -1;
            if (tarvik_simple_waitpid_ex(child, &signum) != code || signum != 0) {
                fprintf(stderr, "exit code %d came back wrong\n", code);
                return 20;
            }
        }
        const int signals[] = {SIGTERM, SIGKILL, SIGSEGV, SIGUSR1};
        for (int sent : signals) {
            pid_t child = fork();
            if (child == 0) {
                signal(sent, SIG_DFL);
                kill(getpid(), sent);
                _exit(99);
            }
            int signum = 0;
            if (tarvik_simple_waitpid_ex(child, &signum) != 1 || signum != sent) {
                fprintf(stderr, "signal %d came back as %d\n", sent, signum);
                return 21;
            }
        }
        // No such child: failure, and the signal is cleared.
        int signum = 77;
        if (tarvik_simple_waitpid_ex(99999, &signum) != 1 || signum != 0) {
            return 22;
        }
        return tarvik_simple_waitpid_ex(99999, nullptr) == 1 ? 0 : 23;
    });
}

// A stopped child is not an ended child: the wait goes on until it exits.
TEST_F(ProcessControlTest, SimpleWaitpidSkipsStopAndContinue)
{
    RUN_IN_PID_NAMESPACE([] {
        pid_t child = fork();
        if (child == 0) {
            raise(SIGSTOP);
            _exit(42);
        }
        if (fork() == 0) {
            sleep_ms(300);
            kill(child, SIGCONT);
            _exit(0);
        }
        int signum = -1;
        return tarvik_simple_waitpid_ex(child, &signum) == 42 && signum == 0 ? 0 : 30;
    });
}

// Signals without SA_RESTART interrupt waitpid; the wrapper waits on.
TEST_F(ProcessControlTest, WaitpidRepeatsWhenInterrupted)
{
    RUN_IN_PID_NAMESPACE([] {
        interrupt_on(SIGUSR1);
        pid_t me = getpid();
        pid_t slow = fork();
        if (slow == 0) {
            sleep_ms(800);
            _exit(7);
        }
        if (fork() == 0) {
            for (int i = 0; i < 5; ++i) {
                sleep_ms(100);
                kill(me, SIGUSR1);
            }
            _exit(0);
        }
        int status = 0;
        int result = tarvik_waitpid(slow, &status, 0);
        if (result != slow || !WIFEXITED(status) || WEXITSTATUS(status) != 7) {
            fprintf(stderr, "result=%d errno=%d\n", result, errno);
            return 40;
        }
        return s_interruptions > 0 ? 0 : 41;
    });
}

// ---- system -----------------------------------------------------------------------------

TEST_F(ProcessControlTest, SystemPutsFeedsTheCommandAndReturnsItsStatus)
{
    std::string out = path("out");
    int status = tarvik_system_puts(("cat > " + out).c_str(), "first line\nsecond\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_file(out), "first line\nsecond\n");

    status = tarvik_system_puts("cat >/dev/null; exit 3", "ignored\n");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);

    status = tarvik_system(("echo plain > " + out).c_str());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_file(out), "plain\n");

    status = tarvik_system_format("echo %s-%d > %s; exit %d", "formatted", 12, out.c_str(), 5);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 5);
    EXPECT_EQ(read_file(out), "formatted-12\n");

    EXPECT_EQ(tarvik_system_puts(nullptr, "text"), -1);
    EXPECT_EQ(tarvik_system(nullptr), -1);
    EXPECT_EQ(tarvik_system_format(nullptr), -1);
}

// A command that leaves its input unread must not take the caller down with SIGPIPE.
TEST_F(ProcessControlTest, SystemPutsSurvivesACommandThatDoesNotRead)
{
    Captured result = run_in_child([] {
        std::string big(1 << 20, 'x');
        int status = tarvik_system_puts("exit 4", big.c_str());
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 4) {
            return 50;
        }
        sigset_t pending;
        sigpending(&pending);
        return sigismember(&pending, SIGPIPE) ? 51 : 0;
    });
    EXPECT_EQ(result.status, 0) << "128 + 13 would mean the caller died of SIGPIPE";
}

// ---- exec -------------------------------------------------------------------------------

int vexec_forward(const char *path, ...)
{
    va_list arguments;
    va_start(arguments, path);
    int result = tarvik_vexec(path, arguments);
    va_end(arguments);
    return result;
}

// argv[0] is the caller's arg0, not the path: the shell's own /proc cmdline shows it.
TEST_F(ProcessControlTest, ExecPassesArg0ApartFromPath)
{
    std::string out = path("cmdline");
    std::string script = "tr '\\000' '\\n' < /proc/$$/cmdline > " + out;
    Captured result = run_in_child([&] {
        tarvik_exec("/bin/sh", "custom-zero", "-c", script.c_str(), nullptr);
        return 60;
    });
    ASSERT_EQ(result.status, 0);
    std::vector<std::string> lines = lines_of(read_file(out));
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "custom-zero");

    result = run_in_child([&] {
        vexec_forward("sh", "other-zero", "-c", script.c_str(), nullptr);
        return 61;
    });
    ASSERT_EQ(result.status, 0);
    lines = lines_of(read_file(out));
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0], "other-zero");
}

// Forty arguments do not fit the fixed vector; every one must still arrive.
TEST_F(ProcessControlTest, ExecWithFortyArguments)
{
    std::string out = path("args");
    std::string script = "echo \"$#:$1:$36\" > " + out;
    const char *s = script.c_str();
    Captured result = run_in_child([&] {
        tarvik_exec("/bin/sh", "sh", "-c", s, "zero", "a1", "a2", "a3", "a4", "a5", "a6", "a7",
                    "a8", "a9", "a10", "a11", "a12", "a13", "a14", "a15", "a16", "a17", "a18",
                    "a19", "a20", "a21", "a22", "a23", "a24", "a25", "a26", "a27", "a28", "a29",
                    "a30", "a31", "a32", "a33", "a34", "a35", "a36", nullptr);
        return 70;
    });
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(read_file(out), "36:a1:a36\n");

    result = run_in_child([&] {
        vexec_forward("/bin/sh", "sh", "-c", s, "zero", "a1", "a2", "a3", "a4", "a5", "a6", "a7",
                      "a8", "a9", "a10", "a11", "a12", "a13", "a14", "a15", "a16", "a17", "a18",
                      "a19", "a20", "a21", "a22", "a23", "a24", "a25", "a26", "a27", "a28", "a29",
                      "a30", "a31", "a32", "a33", "a34", "a35", "a36", nullptr);
        return 71;
    });
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(read_file(out), "36:a1:a36\n");
}

// Failures return -1 and leave nothing on the heap, also on the long-vector path.
TEST_F(ProcessControlTest, ExecFailuresReturnMinusOne)
{
    char arg0[] = "x";
    char *argv[] = {arg0, nullptr};
    EXPECT_EQ(tarvik_execvp(nullptr, argv), -1);
    EXPECT_EQ(tarvik_execvp("/bin/true", nullptr), -1);
    EXPECT_EQ(tarvik_execvp("/nonexistent/program", argv), -1);
    EXPECT_EQ(tarvik_exec(nullptr, "x", nullptr), -1);
    EXPECT_EQ(tarvik_exec("/nonexistent/program", "x", "y", nullptr), -1);
    EXPECT_EQ(vexec_forward(nullptr, "x", nullptr), -1);
    EXPECT_EQ(tarvik_exec("/nonexistent/program", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                          "11", "12", "13", "14", "15", "16", "17", "18", "19", "20", "21", "22",
                          "23", "24", "25", "26", "27", "28", "29", "30", "31", "32", "33", "34",
                          "35", "36", "37", "38", "39", "40", nullptr),
              -1);
}

// ---- pid files and daemonising ----------------------------------------------------------

TEST_F(ProcessControlTest, WritePidfile)
{
    std::string file = path("pid");
    std::ofstream(file) << "123456789012345\n";
    mode_t mask = umask(022);
    EXPECT_EQ(tarvik_write_pidfile(file.c_str(), 4321), 0);
    EXPECT_EQ(read_file(file), "4321\n") << "an older, longer content is truncated";
    std::string fresh = path("fresh");
    EXPECT_EQ(tarvik_write_pidfile(fresh.c_str(), -5), 0);
    EXPECT_EQ(read_file(fresh), "-5\n");
    struct stat info {};
    ASSERT_EQ(stat(fresh.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);
    umask(mask);

    EXPECT_EQ(tarvik_write_pidfile(nullptr, 1), -1);
    EXPECT_EQ(tarvik_write_pidfile(path("missing/dir/pid").c_str(), 1), -1);
    if (access("/dev/full", W_OK) == 0) {
        EXPECT_EQ(tarvik_write_pidfile("/dev/full", 1), -1) << "a failed write is a failure";
    }
}

// Runs body in a child whose alarm turns a hang into a failure; its exit status.
int in_child(const std::function<int()> &body)
{
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child == 0) {
        alarm(5);
        _exit(body());
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Only a regular file is ever replaced: a link is not followed (nor its target created), a
// FIFO does not block, and nothing but the pid file is left behind.
TEST_F(ProcessControlTest, PidfileIsNeverWrittenThroughWhatStandsAtThePath)
{
    std::string target = path("target");
    std::ofstream(target) << "precious\n";
    std::string symbolic = path("link");
    ASSERT_EQ(symlink(target.c_str(), symbolic.c_str()), 0);
    errno = 0;
    EXPECT_EQ(tarvik_write_pidfile(symbolic.c_str(), 7), -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(read_file(target), "precious\n");
    std::string dangling = path("dangling");
    ASSERT_EQ(symlink(path("created").c_str(), dangling.c_str()), 0);
    EXPECT_EQ(tarvik_write_pidfile(dangling.c_str(), 7), -1);
    EXPECT_FALSE(fs::exists(path("created")));

    std::string fifo = path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(in_child([&] { return tarvik_write_pidfile(fifo.c_str(), 7) == -1 ? 0 : 1; }), 0)
        << "a FIFO at the path must be refused at once";
    ASSERT_EQ(mkdir(path("directory").c_str(), 0700), 0);
    EXPECT_EQ(tarvik_write_pidfile(path("directory").c_str(), 7), -1);

    // A regular file is replaced, not rewritten in place: a second name of it keeps the old text.
    std::string pidfile = path("run.pid");
    std::ofstream(pidfile) << "1\n";
    ASSERT_EQ(link(pidfile.c_str(), path("other-name").c_str()), 0);
    EXPECT_EQ(tarvik_write_pidfile(pidfile.c_str(), 99), 0);
    EXPECT_EQ(read_file(pidfile), "99\n");
    EXPECT_EQ(read_file(path("other-name")), "1\n");
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(path(""))) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling", "directory", "fifo", "link",
                                               "other-name", "run.pid", "target"}));
}

// On a full file system the write fails and the old pid file stays whole (a private tmpfs of
// one page, in a private mount namespace).
TEST_F(ProcessControlTest, PidfileOnAFullDiskFailsAndKeepsTheOldFile)
{
    std::string mount_point = path("small");
    ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);
    RUN_IN_PID_NAMESPACE([&] {
        if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=4k") != 0) {
            return 0; // no tmpfs here: nothing to show
        }
        std::string pidfile = mount_point + "/run.pid";
        std::ofstream(pidfile) << "123\n";
        std::string filler = mount_point + "/filler";
        int fd = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
        char block[512] = {};
        while (write(fd, block, sizeof(block)) > 0) {
        }
        close(fd);
        if (tarvik_write_pidfile(pidfile.c_str(), 4321) != -1) {
            return 1;
        }
        if (read_file(pidfile) != "123\n") {
            return 2;
        }
        size_t entries = 0;
        for (const auto &entry : fs::directory_iterator(mount_point)) {
            (void)entry;
            ++entries;
        }
        return entries == 2 ? 0 : 3;
    });
}

// The daemon is in its own session, silenced unless the caller routed output elsewhere.
TEST_F(ProcessControlTest, DaemonDetachesAndQuietsUnroutedOutput)
{
    std::string report = path("report");
    RUN_IN_PID_NAMESPACE([&] {
        pid_t parent = fork();
        if (parent == 0) {
            tarvik_set_error_puts_handler(tarvik_log_puts, nullptr);
            if (tarvik_daemon(1, 0) != 0) {
                _exit(80);
            }
            tarvik_puts_handler_t out = nullptr;
            tarvik_puts_handler_t err = nullptr;
            tarvik_set_puts_handler(nullptr, &out);
            tarvik_set_error_puts_handler(nullptr, &err);
            std::ostringstream text;
            text << (getsid(0) == getpid()) << " " << (out == tarvik_quiet_puts) << " "
                 << (err == tarvik_log_puts) << " " << (fcntl(0, F_GETFD) >= 0) << "\n";
            std::string line = text.str();
            std::string temporary = report + ".tmp";
            std::ofstream(temporary) << line;
            rename(temporary.c_str(), report.c_str());
            _exit(0);
        }
        int signum = 0;
        if (tarvik_simple_waitpid_ex(parent, &signum) != 0) {
            return 81;
        }
        for (int i = 0; i < 100 && access(report.c_str(), F_OK) != 0; ++i) {
            sleep_ms(50);
        }
        return 0;
    });
    EXPECT_EQ(read_file(report), "1 1 1 1\n")
        << "own session, stdout quiet, routed stderr kept, descriptors reopened";
}

TEST_F(ProcessControlTest, ThinWrappers)
{
    EXPECT_EQ(tarvik_getpid(), static_cast<int>(getpid()));
    Captured result = run_in_child([] {
        int child = tarvik_fork();
        if (child == 0) {
            _exit(tarvik_setsid() == static_cast<int>(getpid()) ? 0 : 1);
        }
        return child > 0 ? tarvik_simple_waitpid_ex(child, nullptr) : 2;
    });
    EXPECT_EQ(result.status, 0);
}

// ---- affinity ---------------------------------------------------------------------------

TEST_F(ProcessControlTest, SetRunningCpuRejectsOutOfRange)
{
    EXPECT_EQ(tarvik_set_running_cpu_ex(-1, -2), -1);
    EXPECT_EQ(tarvik_set_running_cpu_ex(-1, 1024), -1);
    EXPECT_EQ(tarvik_set_running_cpu_ex(-1, INT32_MAX), -1);
    EXPECT_EQ(tarvik_set_running_cpu_ex(-2, 0), -1);
    EXPECT_EQ(tarvik_get_cpu_mask_ex(-2), nullptr);
}

TEST_F(ProcessControlTest, CpuMaskEqualsTheKernelMask)
{
    cpu_set_t kernel;
    CPU_ZERO(&kernel);
    if (sched_getaffinity(0, sizeof(kernel), &kernel) != 0) {
        GTEST_SKIP() << "sched_getaffinity is not available here (emulator)";
    }
    tarvik_fragment_t *mask = tarvik_get_cpu_mask_ex(-1);
    ASSERT_NE(mask, nullptr);
    for (int cpu = 0; cpu < 1024; ++cpu) {
        EXPECT_EQ(tarvik_check_fragment(mask, static_cast<uint64_t>(cpu), 1) == 0,
                  CPU_ISSET(cpu, &kernel) != 0)
            << "cpu " << cpu;
    }
    EXPECT_EQ(mask->m_covered, static_cast<uint64_t>(CPU_COUNT(&kernel)));
    EXPECT_EQ(tarvik_get_cpu_count_ex(-1), CPU_COUNT(&kernel));
    tarvik_close_fragment(mask);

    tarvik_fragment_t *by_pid = tarvik_get_cpu_mask_ex(static_cast<int>(getpid()));
    ASSERT_NE(by_pid, nullptr);
    EXPECT_EQ(by_pid->m_covered, static_cast<uint64_t>(CPU_COUNT(&kernel)));
    tarvik_close_fragment(by_pid);
}

// Pinning happens in a child, so the test process keeps its own mask.
TEST_F(ProcessControlTest, SetRunningCpuPinsAndReleases)
{
    cpu_set_t kernel;
    CPU_ZERO(&kernel);
    if (sched_getaffinity(0, sizeof(kernel), &kernel) != 0) {
        GTEST_SKIP() << "sched_getaffinity is not available here (emulator)";
    }
    int last = -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &kernel)) {
            last = cpu;
        }
    }
    ASSERT_GE(last, 0);
    Captured result = run_in_child([&] {
        if (tarvik_set_running_cpu_ex(-1, last) != 0) {
            return 90;
        }
        tarvik_fragment_t *mask = tarvik_get_cpu_mask_ex(-1);
        char *text = tarvik_fragment_to_string(mask);
        bool single = text != nullptr && std::string(text) == std::to_string(last);
        tarvik_free_tag(text, "test", 0);
        tarvik_close_fragment(mask);
        if (!single) {
            return 91;
        }
        int running = tarvik_get_running_cpu();
        if (running != -1 && running != last) {
            return 92;
        }
        if (tarvik_set_running_cpu_ex(static_cast<int>(getpid()), -1) != 0) {
            return 93;
        }
        return tarvik_get_cpu_count_ex(-1) == CPU_COUNT(&kernel) ? 0 : 94;
    });
    if (result.status == 90) {
        GTEST_SKIP() << "sched_setaffinity is refused here (emulator)";
    }
    EXPECT_EQ(result.status, 0);
}

} // namespace
