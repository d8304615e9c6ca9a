// Tests of the descriptor and file helpers: open flags and locks, time-outs, directory
// creation with undo, tree removal, links, path parts, mount table and stat records.
#include "tarvik_test.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long long elapsed_ms(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string take(char *heap_string)
{
    std::string copy = heap_string != nullptr ? heap_string : "(null)";
    tarvik_check_free_tag(heap_string, "test", 0);
    return copy;
}

class FileTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        char pattern[] = "/tmp/tarvik_file_test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_base = fs::canonical(pattern).string();
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_base, ignored);
        TarvikTest::TearDown();
    }
    std::string path(const std::string &relative) const { return m_base + "/" + relative; }
    void write_file(const std::string &relative, const std::string &content) const
    {
        std::ofstream(path(relative)) << content;
    }
    std::string read_file(const std::string &absolute) const
    {
        std::ifstream in(absolute);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::string m_base;
};

struct Pipe {
    int m_fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(m_fd), 0); }
    ~Pipe() { close_both(); }
    void close_end(int end)
    {
        if (m_fd[end] >= 0) {
            close(m_fd[end]);
            m_fd[end] = -1;
        }
    }
    void close_both()
    {
        close_end(0);
        close_end(1);
    }
};

// Fills a pipe until the kernel refuses more; the write end is left blocking again.
void fill_pipe(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    char chunk[4096] = {};
    while (write(fd, chunk, sizeof(chunk)) > 0) {
    }
    while (write(fd, chunk, 1) > 0) {
    }
    fcntl(fd, F_SETFL, flags);
}

// The lock kind another process sees on the whole file, or -1.
int lock_seen_by_other_process(const std::string &file)
{
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(file.c_str(), O_RDWR);
        struct flock probe = {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_GETLK, &probe) != 0) {
            _exit(100);
        }
        _exit(probe.l_type);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) != 100 ? WEXITSTATUS(status) : -1;
}

} // namespace

// ---- open flags, fopen modes, locks ------------------------------------------------------

TEST_F(FileTest, FopenModeRows)
{
    const struct {
        const char *m_mode;
        int m_result;
        uint32_t m_flags;
    } rows[] = {
        {"r", 0, 0x201},     {"w", 0, 0x21A},    {"a", 0, 0x24A},  {"r+", 0, 0x205},
        {"w+", 0, 0x21E},    {"a+", 0, 0x24E},   {"wx", 0, 0x23A}, {"rb", 0, 0x601},
        {"wbx+", 0, 0x63E},  {"re", 0, 0x80201}, {"rz", 0, 0xA01}, {"rt?", 0, 0x201},
        {nullptr, 0, 0x601}, {"", -1, 0},        {"x", -1, 0},     {"+r", -1, 0},
        {"R", -1, 0},
    };
    for (const auto &row : rows) {
        uint32_t flags = 0xDEAD;
        uint32_t permission = 0xDEAD;
        const char *shown = row.m_mode != nullptr ? row.m_mode : "(null)";
        ASSERT_EQ(tarvik_fopen_mode_to_open_flags(row.m_mode, &flags, &permission), row.m_result)
            << shown;
        if (row.m_result == 0) {
            EXPECT_EQ(flags, row.m_flags) << shown;
            EXPECT_EQ(permission, 0666u) << shown;
        }
    }
    EXPECT_EQ(tarvik_fopen_mode_to_open_flags("w", nullptr, nullptr), 0);
    EXPECT_EQ(tarvik_compatible_from_unix_mode(0755), 0755u);
}

TEST_F(FileTest, OpenTranslatesFlags)
{
    const mode_t mask = umask(022);
    const std::string file = path("f");
    int fd = tarvik_open(file.c_str(),
                         def_tarvik_open_write | def_tarvik_open_create |
                             def_tarvik_open_exclusive | def_tarvik_open_close_exec,
                         0640u);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_WRONLY);
    EXPECT_EQ(write(fd, "abc", 3), 3);
    tarvik_close(fd);
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);

    // Exclusive creation of an existing file fails with the system's errno.
    errno = 0;
    EXPECT_EQ(
        tarvik_open(file.c_str(),
                    def_tarvik_open_write | def_tarvik_open_create | def_tarvik_open_exclusive,
                    0600u),
        -1);
    EXPECT_EQ(errno, EEXIST);

    fd = tarvik_open(file.c_str(), def_tarvik_open_write | def_tarvik_open_append);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(write(fd, "de", 2), 2);
    tarvik_close(fd);
    EXPECT_EQ(read_file(file), "abcde");

    fd = tarvik_open(file.c_str(), def_tarvik_open_read);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(write(fd, "x", 1), -1);
    tarvik_close(fd);

    fd = tarvik_open(file.c_str(), def_tarvik_open_read_write | def_tarvik_open_write |
                                       def_tarvik_open_truncate | def_tarvik_open_nonblock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_ACCMODE | O_NONBLOCK), O_RDWR | O_NONBLOCK);
    tarvik_close(fd);
    EXPECT_EQ(read_file(file), "");

    EXPECT_EQ(tarvik_open(nullptr, def_tarvik_open_read), -1);
    EXPECT_EQ(tarvik_open(path("missing").c_str(), def_tarvik_open_read), -1);
    EXPECT_EQ(errno, ENOENT);
    umask(mask);
}

TEST_F(FileTest, OpenCreatesParentsAndUndoesThemOnFailure)
{
    ASSERT_EQ(mkdir(path("a").c_str(), 0755), 0);
    const uint32_t create =
        def_tarvik_open_write | def_tarvik_open_create | def_tarvik_open_make_parent;
    int fd = tarvik_open(path("a/b/c/file").c_str(), create, 0644u);
    ASSERT_GE(fd, 0);
    tarvik_close(fd);
    EXPECT_TRUE(fs::is_regular_file(path("a/b/c/file")));

    // The open itself fails (no create flag): the parents made for it go again.
    errno = 0;
    EXPECT_EQ(tarvik_open(path("a/x/y/file").c_str(),
                          def_tarvik_open_write | def_tarvik_open_make_parent),
              -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(fs::exists(path("a/x")));
    EXPECT_TRUE(fs::is_directory(path("a")));

    // The target is a directory: only what was made for this call is removed.
    ASSERT_EQ(mkdir(path("a/b/c/dir").c_str(), 0755), 0);
    EXPECT_EQ(tarvik_open(path("a/b/c/dir").c_str(), create, 0644u), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(fs::is_directory(path("a/b/c/dir")));

    // A parent that cannot be made (a file is in the way) fails before any open.
    write_file("plain", "x");
    EXPECT_EQ(tarvik_open(path("plain/sub/file").c_str(), create, 0644u), -1);
    EXPECT_EQ(read_file(path("plain")), "x");
}

TEST_F(FileTest, LockKindFollowsAccess)
{
    const std::string file = path("locked");
    write_file("locked", "data");

    int fd = tarvik_open(file.c_str(), def_tarvik_open_read | def_tarvik_open_lock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(lock_seen_by_other_process(file), F_RDLCK);
    tarvik_close(fd);
    EXPECT_EQ(lock_seen_by_other_process(file), F_UNLCK);

    // A read lock would be refused on a write-only descriptor.
    fd = tarvik_open(file.c_str(), def_tarvik_open_write | def_tarvik_open_lock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(lock_seen_by_other_process(file), F_WRLCK);
    EXPECT_EQ(tarvik_flock(fd, def_tarvik_flock_unlock), 0);
    EXPECT_EQ(lock_seen_by_other_process(file), F_UNLCK);
    tarvik_close(fd);

    fd = tarvik_open(file.c_str(), def_tarvik_open_read_write | def_tarvik_open_lock);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(lock_seen_by_other_process(file), F_WRLCK);
    tarvik_close(fd);

    EXPECT_EQ(tarvik_flock(-1, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(FileTest, LockWaitsForAnotherHolder)
{
    const std::string file = path("contended");
    write_file("contended", "data");
    Pipe held;
    Pipe released;
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(file.c_str(), O_RDWR);
        struct flock lock = {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        if (fd < 0 || fcntl(fd, F_SETLK, &lock) != 0) {
            _exit(1);
        }
        (void)!write(held.m_fd[1], "h", 1);
        usleep(300 * 1000);
        (void)!write(released.m_fd[1], "r", 1); // before the lock goes with the process
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(read(held.m_fd[0], &byte, 1), 1);
    const int fd = tarvik_open(file.c_str(), def_tarvik_open_read_write | def_tarvik_open_lock);
    EXPECT_GE(fd, 0);
    // Had the open not waited, the holder would not have announced its release yet.
    EXPECT_EQ(tarvik_rx_poll_fd(released.m_fd[0], 0), 1);
    tarvik_close(fd);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// ---- reads and writes with time-outs ------------------------------------------------------

TEST_F(FileTest, ReadTimesOutWithMinusTwo)
{
    Pipe p;
    const auto start = Clock::now();
    char buffer[8];
    EXPECT_EQ(tarvik_read(p.m_fd[0], buffer, sizeof(buffer), 100), -2);
    EXPECT_GE(elapsed_ms(start), 90);

    ASSERT_EQ(write(p.m_fd[1], "abc", 3), 3);
    EXPECT_EQ(tarvik_read(p.m_fd[0], buffer, sizeof(buffer), 100), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");

    // No wait with a negative time-out: a non-blocking empty pipe answers at once.
    fcntl(p.m_fd[0], F_SETFL, O_NONBLOCK);
    errno = 0;
    EXPECT_EQ(tarvik_read(p.m_fd[0], buffer, sizeof(buffer), -1), -1);
    EXPECT_EQ(errno, EAGAIN);

    p.close_end(1);
    EXPECT_EQ(tarvik_read(p.m_fd[0], buffer, sizeof(buffer), 100), 0);
    // -1 is "no descriptor", not the sleep form of the wait: an error, not a time-out.
    errno = 0;
    EXPECT_EQ(tarvik_read(-1, buffer, sizeof(buffer), 100), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(tarvik_write(-1, "x", 1, 100), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(FileTest, WriteTimesOutWithZeroOnFullPipe)
{
    Pipe p;
    fill_pipe(p.m_fd[1]);
    const auto start = Clock::now();
    EXPECT_EQ(tarvik_write(p.m_fd[1], "x", 1, 100), 0);
    EXPECT_GE(elapsed_ms(start), 90);
    EXPECT_EQ(tarvik_write_fill(p.m_fd[1], "xyz", 3, 50), 0);

    char drain[4096];
    ASSERT_GT(read(p.m_fd[0], drain, sizeof(drain)), 0);
    EXPECT_EQ(tarvik_write(p.m_fd[1], "x", 1, 100), 1);

    p.close_end(0);
    signal(SIGPIPE, SIG_IGN);
    errno = 0;
    EXPECT_EQ(tarvik_write(p.m_fd[1], "x", 1, 100), -1);
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(tarvik_write_fill(p.m_fd[1], "x", 1, 100), -1);
    signal(SIGPIPE, SIG_DFL);
}

TEST_F(FileTest, FillMovesMoreThanAPipeHolds)
{
    Pipe p;
    std::string sent(300000, '\0');
    for (size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<char>(i * 7 + i / 251);
    }
    ssize_t written = -5;
    std::thread writer([&] {
        written = tarvik_write_fill(p.m_fd[1], sent.data(), sent.size(), 5000);
        p.close_end(1);
    });
    std::string received(sent.size() + 10, '\0');
    const ssize_t got = tarvik_read_fill(p.m_fd[0], received.data(), received.size(), 5000);
    writer.join();
    EXPECT_EQ(written, static_cast<ssize_t>(sent.size()));
    ASSERT_EQ(got, static_cast<ssize_t>(sent.size())); // stopped by end of file
    received.resize(sent.size());
    EXPECT_TRUE(received == sent);
}

TEST_F(FileTest, ReadFillTimeOuts)
{
    Pipe p;
    char buffer[16];
    EXPECT_EQ(tarvik_read_fill(p.m_fd[0], buffer, sizeof(buffer), 50), -2);
    ASSERT_EQ(write(p.m_fd[1], "12345", 5), 5);
    // A later wait that times out returns what came before it.
    EXPECT_EQ(tarvik_read_fill(p.m_fd[0], buffer, sizeof(buffer), 50), 5);
    EXPECT_EQ(tarvik_read_fill(p.m_fd[0], buffer, 0, 50), 0);
    EXPECT_EQ(tarvik_read_fill(-1, buffer, sizeof(buffer), 50), -1);
}

namespace {
ssize_t simple_printf(const char *path, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const ssize_t result = tarvik_simple_write_vprintf(path, format, arguments);
    va_end(arguments);
    return result;
}
} // namespace

TEST_F(FileTest, FormattedWrites)
{
    Pipe p;
    EXPECT_EQ(tarvik_write_puts(p.m_fd[1], "hello "), 6);
    EXPECT_EQ(tarvik_write_puts(p.m_fd[1], ""), 0);
    EXPECT_EQ(tarvik_write_puts(p.m_fd[1], nullptr), -1);
    EXPECT_EQ(tarvik_write_printf(p.m_fd[1], "%d-%s", 42, "ab"), 5);
    EXPECT_EQ(tarvik_write_printf(p.m_fd[1], "%s", ""), 0);
    char buffer[32] = {};
    EXPECT_EQ(read(p.m_fd[0], buffer, sizeof(buffer)), 11);
    EXPECT_STREQ(buffer, "hello 42-ab");
}

TEST_F(FileTest, SimpleWriteReplacesTheFile)
{
    const mode_t mask = umask(022);
    const std::string file = path("simple");
    EXPECT_EQ(tarvik_simple_write(file.c_str(), "first content", 13, 1000), 13);
    struct stat status;
    ASSERT_EQ(stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_EQ(tarvik_simple_write_puts(file.c_str(), "short"), 5);
    EXPECT_EQ(read_file(file), "short");
    EXPECT_EQ(simple_printf(file.c_str(), "%s=%d\n", "value", 7), 8);
    EXPECT_EQ(read_file(file), "value=7\n");
    EXPECT_EQ(tarvik_simple_write(file.c_str(), "", 0, 1000), 0);
    EXPECT_EQ(read_file(file), "");
    EXPECT_EQ(tarvik_simple_write(path("no/such/dir").c_str(), "x", 1, 1000), -1);
    EXPECT_EQ(tarvik_simple_write(file.c_str(), nullptr, 3, 1000), -1);
    EXPECT_EQ(tarvik_simple_write_puts(file.c_str(), nullptr), -1);
    umask(mask);
}

TEST_F(FileTest, CloseReturnsMinusOneAndIgnoresNone)
{
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    fd = tarvik_close(fd);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(tarvik_close(fd), -1);
}

// ---- directories, removal, links ----------------------------------------------------------

TEST_F(FileTest, MkdirReportsTopmostCreated)
{
    ASSERT_EQ(mkdir(path("a").c_str(), 0755), 0);
    char *created = reinterpret_cast<char *>(1);
    EXPECT_EQ(tarvik_mkdir_ex(path("a/b/c").c_str(), 0755, &created), 0);
    EXPECT_EQ(take(created), path("a/b"));
    EXPECT_TRUE(fs::is_directory(path("a/b/c")));

    created = reinterpret_cast<char *>(1);
    EXPECT_EQ(tarvik_mkdir_ex(path("a/b/c").c_str(), 0755, &created), 0); // all there
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(tarvik_mkdir_ex(path("a\\d\\e///").c_str(), 0755, &created), 0);
    EXPECT_EQ(take(created), path("a/d"));
    EXPECT_TRUE(fs::is_directory(path("a/d/e")));
    EXPECT_EQ(tarvik_mkdir((path("a") + "//f/./g").c_str(), 0755), 0);
    EXPECT_TRUE(fs::is_directory(path("a/f/g")));
    EXPECT_EQ(tarvik_mkdir("/", 0755), 0);
    EXPECT_EQ(tarvik_mkdir("", 0755), -1);
    EXPECT_EQ(tarvik_mkdir(nullptr, 0755), -1);

    // A link to a directory counts as a directory on the way.
    ASSERT_EQ(symlink(path("a/b").c_str(), path("link").c_str()), 0);
    EXPECT_EQ(tarvik_mkdir(path("link/h").c_str(), 0755), 0);
    EXPECT_TRUE(fs::is_directory(path("a/b/h")));
}

TEST_F(FileTest, MkdirUndoesWhatItMadeOnFailure)
{
    ASSERT_EQ(mkdir(path("a").c_str(), 0755), 0);
    write_file("a/file", "x");
    char *created = reinterpret_cast<char *>(1);
    errno = 0;
    EXPECT_EQ(tarvik_mkdir_ex(path("a/file").c_str(), 0755, &created), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(created, nullptr);
    EXPECT_EQ(tarvik_mkdir_ex(path("a/file/b").c_str(), 0755, &created), -1);
    EXPECT_EQ(read_file(path("a/file")), "x");

    // Made new/deeper, then the last component cannot be made: new goes again.
    const std::string too_long = path("a/new/deeper/") + std::string(300, 'n');
    errno = 0;
    EXPECT_EQ(tarvik_mkdir_ex(too_long.c_str(), 0755, &created), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(created, nullptr);
    EXPECT_FALSE(fs::exists(path("a/new")));
    EXPECT_TRUE(fs::is_regular_file(path("a/file")));
}

TEST_F(FileTest, MkdirParentsKeepOwnerAccessUnderStrictUmask)
{
    const mode_t mask = umask(0277);
    EXPECT_EQ(tarvik_mkdir(path("p/q/r").c_str(), 0700), 0);
    umask(mask);
    struct stat status;
    ASSERT_EQ(stat(path("p").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path("p/q").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(path("p/q/r").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0500u); // the last one takes the mode as given

    umask(022);
    EXPECT_EQ(tarvik_mkdir(path("s/t").c_str(), 0711), 0);
    umask(mask);
    ASSERT_EQ(stat(path("s").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0755u);
    ASSERT_EQ(stat(path("s/t").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0711u);
}

TEST_F(FileTest, DeleteRemovesTreeWithoutFollowingLinks)
{
    fs::create_directories(path("outside/keep"));
    write_file("outside/keep/precious", "p");
    fs::create_directories(path("tree/sub/deeper"));
    write_file("tree/file", "1");
    write_file("tree/sub/deeper/file", "2");
    write_file("tree/.hidden", "3");
    ASSERT_EQ(symlink(path("outside").c_str(), path("tree/sub/link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", path("tree/dangling").c_str()), 0);
    ASSERT_EQ(mkfifo(path("tree/fifo").c_str(), 0600), 0);

    EXPECT_EQ(tarvik_delete(path("tree").c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("tree"))));
    EXPECT_EQ(read_file(path("outside/keep/precious")), "p");

    // A trailing slash must not turn the link into the directory it names.
    ASSERT_EQ(symlink(path("outside").c_str(), path("link").c_str()), 0);
    EXPECT_EQ(tarvik_delete((path("link") + "/").c_str()), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(path("link"))));
    EXPECT_EQ(read_file(path("outside/keep/precious")), "p");

    EXPECT_EQ(tarvik_delete(path("outside/keep/precious").c_str()), 0);
    EXPECT_FALSE(fs::exists(path("outside/keep/precious")));
    EXPECT_EQ(tarvik_delete(path("missing").c_str()), 0);
    EXPECT_EQ(tarvik_delete(path("missing/deeper").c_str()), 0);
    EXPECT_EQ(tarvik_delete(nullptr), -1);
}

TEST_F(FileTest, ReadlinkTargets)
{
    write_file("file", "x");
    EXPECT_EQ(tarvik_readlink(path("file").c_str()), nullptr);
    EXPECT_EQ(tarvik_readlink(path("missing").c_str()), nullptr);
    EXPECT_EQ(tarvik_readlink(nullptr), nullptr);

    for (size_t length : {1u, 63u, 64u, 255u, 256u, 257u, 3000u, 4095u}) {
        const std::string target(length, 't');
        const std::string link = path("link" + std::to_string(length));
        ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
        EXPECT_EQ(take(tarvik_readlink(link.c_str())), target) << length;
    }

    // /proc links report a size of 0 or 64 whatever their target's length.
    const std::string long_dir = path(std::string(200, 'd'));
    fs::create_directories(long_dir);
    const std::string long_file = long_dir + "/" + std::string(200, 'f');
    const int fd = open(long_file.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(take(tarvik_readlink(("/proc/self/fd/" + std::to_string(fd)).c_str())), long_file);
    close(fd);
    EXPECT_EQ(take(tarvik_readlink("/proc/self/exe")), fs::read_symlink("/proc/self/exe").string());
}

TEST_F(FileTest, DirnameAndBasenameRows)
{
    const struct {
        const char *m_path;
        const char *m_dirname;
        const char *m_basename;
    } rows[] = {
        {"/usr/lib", "/usr", "lib"},
        {"/usr/lib/", "/usr", "lib"},
        {"/usr/", "/", "usr"},
        {"usr", ".", "usr"},
        {"/", "/", "/"},
        {"//", "/", "/"},
        {".", ".", "."},
        {"..", ".", ".."},
        {"", ".", "."},
        {"a/b", "a", "b"},
        {"a//b//", "a", "b"},
        {"/a", "/", "a"},
        {"dir/file.tar.gz", "dir", "file.tar.gz"},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(take(tarvik_alloc_dirname_tag(row.m_path, "test", 1)), row.m_dirname)
            << row.m_path;
        EXPECT_EQ(take(tarvik_alloc_basename_tag(row.m_path, "test", 1)), row.m_basename)
            << row.m_path;
    }
    EXPECT_EQ(tarvik_alloc_dirname_tag(nullptr, "test", 1), nullptr);
    EXPECT_EQ(tarvik_alloc_basename_tag(nullptr, "test", 1), nullptr);
}

// ---- mount table and stat -----------------------------------------------------------------

TEST_F(FileTest, MountWalkFindsRoot)
{
    FILE *table = tarvik_setmntent(nullptr, nullptr);
    ASSERT_NE(table, nullptr);
    bool root = false;
    for (struct mntent *entry; (entry = tarvik_getmntent(table)) != nullptr;) {
        root = root || strcmp(entry->mnt_dir, "/") == 0;
    }
    EXPECT_TRUE(root);
    EXPECT_EQ(tarvik_endmntent(table), 1);
    EXPECT_EQ(tarvik_endmntent(nullptr), 1);
    EXPECT_EQ(tarvik_getmntent(nullptr), nullptr);

    write_file("mtab", "dev0 /mnt/a ext4 rw,noatime 0 0\n# comment\nnone /proc proc rw 0 0\n");
    table = tarvik_setmntent(path("mtab").c_str(), "r");
    ASSERT_NE(table, nullptr);
    struct mntent *entry = tarvik_getmntent(table);
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->mnt_fsname, "dev0");
    EXPECT_STREQ(entry->mnt_dir, "/mnt/a");
    EXPECT_STREQ(entry->mnt_type, "ext4");
    EXPECT_STREQ(entry->mnt_opts, "rw,noatime");
    entry = tarvik_getmntent(table);
    ASSERT_NE(entry, nullptr);
    EXPECT_STREQ(entry->mnt_dir, "/proc");
    EXPECT_EQ(tarvik_getmntent(table), nullptr);
    tarvik_endmntent(table);
    EXPECT_EQ(tarvik_setmntent(path("no-mtab").c_str(), nullptr), nullptr);
}

TEST_F(FileTest, StatFieldsMatchSystem)
{
    write_file("file", std::string(5000, 'x'));
    ASSERT_EQ(symlink("file", path("link").c_str()), 0);
    const char *checked[] = {"file", "link", ""};
    for (const char *name : checked) {
        const std::string p = path(name);
        struct stat64 expect;
        tarvik_stat_t got;
        ASSERT_EQ(stat64(p.c_str(), &expect), 0);
        ASSERT_EQ(tarvik_stat(p.c_str(), &got), 0);
        EXPECT_EQ(got.m_device, static_cast<uint64_t>(expect.st_dev));
        EXPECT_EQ(got.m_inode, static_cast<uint64_t>(expect.st_ino));
        EXPECT_EQ(got.m_mode, static_cast<uint32_t>(expect.st_mode));
        EXPECT_EQ(got.m_link_count, static_cast<uint32_t>(expect.st_nlink));
        EXPECT_EQ(got.m_owner, static_cast<uint32_t>(expect.st_uid));
        EXPECT_EQ(got.m_group, static_cast<uint32_t>(expect.st_gid));
        EXPECT_EQ(got.m_special_device, static_cast<uint64_t>(expect.st_rdev));
        EXPECT_EQ(got.m_size, static_cast<int64_t>(expect.st_size));
        EXPECT_EQ(got.m_block_size, static_cast<int64_t>(expect.st_blksize));
        EXPECT_EQ(got.m_block_count, static_cast<int64_t>(expect.st_blocks));
        EXPECT_EQ(got.m_access_time, static_cast<int64_t>(expect.st_atime));
        EXPECT_EQ(got.m_modify_time, static_cast<int64_t>(expect.st_mtime));
        EXPECT_EQ(got.m_change_time, static_cast<int64_t>(expect.st_ctime));
    }
    tarvik_stat_t got;
    ASSERT_EQ(tarvik_lstat(path("link").c_str(), &got), 0);
    EXPECT_TRUE(S_ISLNK(got.m_mode));
    EXPECT_EQ(got.m_size, 4);
    ASSERT_EQ(tarvik_stat(path("link").c_str(), &got), 0);
    EXPECT_EQ(got.m_size, 5000);

    ASSERT_EQ(tarvik_stat("/dev/null", &got), 0);
    struct stat64 null_device;
    ASSERT_EQ(stat64("/dev/null", &null_device), 0);
    EXPECT_EQ(got.m_special_device, static_cast<uint64_t>(null_device.st_rdev));
    EXPECT_TRUE(S_ISCHR(got.m_mode));

    const int fd = open(path("file").c_str(), O_RDONLY);
    ASSERT_EQ(tarvik_fstat(fd, &got), 0);
    EXPECT_EQ(got.m_size, 5000);
    close(fd);
    EXPECT_EQ(tarvik_fstat(fd, &got), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(tarvik_stat(path("missing").c_str(), &got), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(tarvik_stat(path("file").c_str(), nullptr), -1);

    EXPECT_EQ(tarvik_is_directory(m_base.c_str()), 1);
    EXPECT_EQ(tarvik_is_directory(path("file").c_str()), 0);
    EXPECT_EQ(tarvik_is_directory(path("missing").c_str()), -1);
    ASSERT_EQ(symlink(m_base.c_str(), path("dirlink").c_str()), 0);
    EXPECT_EQ(tarvik_is_directory(path("dirlink").c_str()), 1);
    EXPECT_EQ(tarvik_get_file_size(path("file").c_str()), 5000);
    EXPECT_EQ(tarvik_get_file_size(path("missing").c_str()), -1);
}

TEST_F(FileTest, StandardStreamsPassThroughAndRefuseNulls)
{
    const std::string file = path("stream");
    FILE *out = tarvik_fopen(file.c_str(), "w+");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(tarvik_fprintf(out, "%s=%d\n", "answer", 42), 10);
    EXPECT_GE(tarvik_fputs("second line\n", out), 0);
    EXPECT_EQ(tarvik_fwrite("0123456789", 1, 10, out), 10u);
    EXPECT_EQ(tarvik_fflush(out), 0);
    EXPECT_EQ(tarvik_ftell(out), 32);
    // Offsets past 4 GiB survive on a 32-bit target (a sparse file costs no space).
    const int64_t far = (int64_t(5) << 30) + 7;
    ASSERT_EQ(tarvik_fseek(out, far, SEEK_SET), 0);
    EXPECT_EQ(tarvik_ftell(out), far);
    ASSERT_EQ(tarvik_fseek(out, 0, SEEK_SET), 0);
    char line[64];
    ASSERT_NE(tarvik_fgets(line, sizeof(line), out), nullptr);
    EXPECT_STREQ(line, "answer=42\n");
    ASSERT_NE(tarvik_fgets(line, sizeof(line), out), nullptr);
    EXPECT_STREQ(line, "second line\n");
    char digits[16] = {};
    EXPECT_EQ(tarvik_fread(digits, 1, sizeof(digits), out), 10u);
    EXPECT_STREQ(digits, "0123456789");
    EXPECT_EQ(tarvik_fgets(line, sizeof(line), out), nullptr); // end of the file
    EXPECT_EQ(tarvik_fclose(out), 0);
    EXPECT_EQ(tarvik_fopen(path("missing/file").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT); // the C library's own report

    // Null arguments fail as each call reports failure; nothing crashes.
    EXPECT_EQ(tarvik_fopen(nullptr, "r"), nullptr);
    EXPECT_EQ(tarvik_fopen(file.c_str(), nullptr), nullptr);
    EXPECT_EQ(tarvik_fclose(nullptr), EOF);
    EXPECT_EQ(tarvik_fread(digits, 1, 1, nullptr), 0u);
    EXPECT_EQ(tarvik_fwrite(nullptr, 1, 1, stdout), 0u);
    EXPECT_EQ(tarvik_fgets(line, sizeof(line), nullptr), nullptr);
    EXPECT_EQ(tarvik_fputs(nullptr, stdout), EOF);
    EXPECT_EQ(tarvik_fprintf(nullptr, "%d", 1), -1);
    EXPECT_EQ(tarvik_fseek(nullptr, 0, SEEK_SET), -1);
    EXPECT_EQ(tarvik_ftell(nullptr), -1);
    EXPECT_EQ(tarvik_fflush(nullptr), 0); // every output stream, as fflush(NULL)
}
