// Process table: the /proc file parsers over byte ranges, list order, the live table of
// this process and of a child it holds, the XML report and the signal-free kill passes.
#include "tarvik_test.hpp"

#include "detail/process.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace tarvik::detail;

// A record with everything the parsers fill released at the end of the scope.
struct Record {
    tarvik_ps_t *m_record = ps_new_record(42);
    ~Record() { ps_free_record(m_record); }
    tarvik_ps_t *operator->() { return m_record; }
};

std::string drain(tarvik_buffer_t *buffer)
{
    std::string text(tarvik_get_buffer_size(buffer), '\0');
    text.resize(tarvik_pop_buffer(buffer, text.data(), text.size()));
    return text;
}

std::string cdata(const std::string &text)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    ps_push_cdata(buffer, text.c_str());
    std::string out = drain(buffer);
    tarvik_close_buffer(buffer);
    return out;
}

// A forked child that renames itself and waits until the parent lets it go; no signal is
// needed to end it.
class HeldChild {
  public:
    explicit HeldChild(const char *comm)
    {
        int ready[2];
        if (pipe(ready) != 0 || pipe(m_hold) != 0) {
            return;
        }
        m_pid = fork();
        if (m_pid == 0) {
            close(ready[0]);
            close(m_hold[1]);
            prctl(PR_SET_NAME, comm, 0, 0, 0);
            char byte = 1;
            (void)!write(ready[1], &byte, 1);
            (void)!read(m_hold[0], &byte, 1);
            _exit(0);
        }
        close(ready[1]);
        close(m_hold[0]);
        char byte = 0;
        (void)!read(ready[0], &byte, 1);
        close(ready[0]);
    }
    ~HeldChild()
    {
        close(m_hold[1]);
        if (m_pid > 0) {
            waitpid(m_pid, nullptr, 0);
        }
    }
    pid_t pid() const { return m_pid; }

  private:
    int m_hold[2] = {-1, -1};
    pid_t m_pid = -1;
};

class ProcessTest : public TarvikTest {};

struct CmdlineRow {
    std::string m_bytes;
    std::vector<std::string> m_argv;
    std::string m_command_line;
};

TEST_F(ProcessTest, CmdlineSplitsArgumentsWithOrWithoutFinalNul)
{
    const CmdlineRow rows[] = {
        {std::string("sleep\0"
                     "600\0",
                     10),
         {"sleep", "600"},
         "sleep 600 "},
        {std::string("sleep\0"
                     "600",
                     9),
         {"sleep", "600"},
         "sleep 600"},
        {std::string("a\0\0b\0", 5), {"a", "", "b"}, "a  b "},
        {std::string("\0", 1), {""}, " "},
        {std::string("single"), {"single"}, "single"},
        {std::string("x y\0(z)", 7), {"x y", "(z)"}, "x y (z)"},
    };
    for (const CmdlineRow &row : rows) {
        Record record;
        ASSERT_TRUE(ps_parse_cmdline(record.m_record, row.m_bytes.data(), row.m_bytes.size()));
        EXPECT_EQ(record->m_cmdline_size, row.m_bytes.size());
        EXPECT_EQ(std::string(record->m_cmdline_raw, row.m_bytes.size()), row.m_bytes);
        EXPECT_EQ(record->m_cmdline_raw[row.m_bytes.size()], '\0');
        ASSERT_EQ(record->m_argc, static_cast<int32_t>(row.m_argv.size())) << row.m_command_line;
        for (size_t i = 0; i < row.m_argv.size(); ++i) {
            EXPECT_EQ(record->m_argv[i], row.m_argv[i]);
        }
        EXPECT_EQ(record->m_command_line, row.m_command_line);
    }
    Record empty;
    EXPECT_FALSE(ps_parse_cmdline(empty.m_record, "", 0));
    EXPECT_EQ(empty->m_argv, nullptr);
    EXPECT_EQ(empty->m_command_line, nullptr);
}

// A shell waiting on its input, started with a name longer than the command-line limit.
TEST_F(ProcessTest, LongCommandLineIsKeptUpToTheScratchSize)
{
    if (access("/bin/sh", X_OK) != 0) {
        GTEST_SKIP() << "no /bin/sh to start";
    }
    std::string name(PS_SCRATCH_SIZE + 1000, 'n');
    int input[2];
    int output[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(pipe(output), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        close(input[1]);
        close(output[0]);
        execl("/bin/sh", "/bin/sh", "-c", "echo r; read x", name.c_str(), nullptr);
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    char byte = 0;
    ASSERT_EQ(read(output[0], &byte, 1), 1); // the shell runs: its command line is final
    tarvik_ps_t *list = tarvik_open_ps();
    uint32_t size = 0;
    int32_t argc = 0;
    std::string last;
    for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        if (record->m_pid == static_cast<uint32_t>(pid)) {
            size = record->m_cmdline_size;
            argc = record->m_argc;
            last = record->m_argc > 0 ? record->m_argv[record->m_argc - 1] : "";
        }
    }
    tarvik_close_ps(list);
    close(input[1]);
    close(output[0]);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(size, PS_SCRATCH_SIZE);
    ASSERT_EQ(argc, 4);
    // "/bin/sh", "-c", "echo r; read x", then the name cut where the limit falls.
    EXPECT_EQ(last, std::string(PS_SCRATCH_SIZE - 8 - 3 - 15, 'n'));
}

TEST_F(ProcessTest, CmdlineKeepsAtMostTheScratchCapacityOfArguments)
{
    std::string bytes(static_cast<size_t>(PS_MAX_ARGUMENTS) * 2 + 20, '\0');
    Record record;
    ASSERT_TRUE(ps_parse_cmdline(record.m_record, bytes.data(), bytes.size()));
    EXPECT_EQ(record->m_argc, PS_MAX_ARGUMENTS);
    EXPECT_EQ(record->m_cmdline_size, bytes.size());
}

TEST_F(ProcessTest, StatusTakesTheKnownKeysIgnoringCase)
{
    const char text[] = "Name:\ta b) (c\r\n"
                        "Umask:\t0022\n"
                        "STATE:\tZ (zombie)\n"
                        "Tgid:\t77\n"
                        "Pid:\t78\n"
                        "PPid:\t5\n"
                        "TracerPid:\t99\n"
                        "Uid:\t1000\t1001\t1002\t1003\n"
                        "gid:   4294967294\t0\t0\t0\n"
                        "VmSize:\t 8589934592 kB\n"
                        "VmRSS:\t  4096 kB\n"
                        "Threads:\t12\n"
                        "no colon line\n"
                        "Name:\tsecond";
    Record record;
    uint64_t vmrss = 0;
    ps_parse_status(record.m_record, text, sizeof(text) - 1, &vmrss);
    EXPECT_EQ(vmrss, 4096u);
    EXPECT_STREQ(record->m_name, "second");
    EXPECT_EQ(record->m_state[0], 'Z');
    EXPECT_EQ(record->m_pid, 78u);
    EXPECT_EQ(record->m_ppid, 5u);
    EXPECT_EQ(record->m_uid, 1000u);
    EXPECT_EQ(record->m_gid, 4294967294u);
    EXPECT_EQ(record->m_vmsize, 8589934592ull);
    EXPECT_EQ(record->m_threads, 12u);

    Record first;
    ps_parse_status(first.m_record, text, 15, &vmrss);
    EXPECT_EQ(vmrss, PS_NO_VMRSS);
    EXPECT_STREQ(first->m_name, "a b) (c");
}

TEST_F(ProcessTest, StatReadsBehindTheLastParenthesis)
{
    const char line[] = "4242 (a b) (c) S 1 4242 4242 0 -1 4194560 300 0 0 0 "
                        "17 23 5 7 20 -5 3 0 123456 10485760 250 18446744073709551615 1\n";
    Record record;
    ASSERT_TRUE(ps_parse_stat(record.m_record, line, sizeof(line) - 1, 4));
    EXPECT_EQ(record->m_utime, 17u);
    EXPECT_EQ(record->m_stime, 23u);
    EXPECT_EQ(record->m_cutime, 5u);
    EXPECT_EQ(record->m_cstime, 7u);
    EXPECT_EQ(record->m_nice, -5);
    EXPECT_EQ(record->m_starttime, 123456u);
    EXPECT_EQ(record->m_rss, 1000u);

    const char *short_lines[] = {
        "1 (x) S 1 1 1 0 -1 0 0 0 0 0 17 23 5 7 20 0 3 0 99 1024\n",  // no rss
        "1 (x S 1 1 1 0 -1 0 0 0 0 0 17 23 5 7 20 0 3 0 99 1024 2\n", // no ')'
        "1 (x) S 1 1 1 0 -1 0 0 0 0 0 17 abc 5 7 20 0 3 0 99 1024 2\n",
    };
    for (const char *text : short_lines) {
        Record partial;
        EXPECT_FALSE(ps_parse_stat(partial.m_record, text, strlen(text), 4)) << text;
        EXPECT_EQ(partial->m_utime, 0u);
        EXPECT_EQ(partial->m_rss, 0u);
        EXPECT_EQ(partial->m_starttime, 0u);
    }
}

TEST_F(ProcessTest, StateSuffixesSpareZombies)
{
    struct Row {
        char m_letter;
        uint64_t m_rss;
        int32_t m_nice;
        const char *m_state;
    } rows[] = {
        {'Z', 0, 0, "Z  "},   {'S', 0, 0, "SW "},   {'R', 12, 0, "R  "},
        {'S', 12, -3, "S <"}, {'I', 0, -20, "IW<"}, {'S', 4, 19, "S N"},
    };
    for (const Row &row : rows) {
        Record record;
        record->m_state[0] = row.m_letter;
        record->m_rss = row.m_rss;
        record->m_nice = row.m_nice;
        ps_apply_state_suffixes(record.m_record);
        EXPECT_STREQ(record->m_state, row.m_state);
    }
    // The same through the parsers, as the table reader chains them.
    const char status[] = "Name:\tdefunct\nState:\tZ (zombie)\n";
    const char stat[] = "9 (defunct) Z 1 1 1 0 -1 0 0 0 0 0 3 4 0 0 20 0 1 0 50 0 0\n";
    Record zombie;
    ps_parse_status(zombie.m_record, status, sizeof(status) - 1, nullptr);
    ASSERT_TRUE(ps_parse_stat(zombie.m_record, stat, sizeof(stat) - 1, 4));
    ps_apply_state_suffixes(zombie.m_record);
    EXPECT_STREQ(zombie->m_state, "Z  ");
}

TEST_F(ProcessTest, MapsKeepsNamedMappingsInFileOrder)
{
    const char text[] = "sl  local_address whatever\n"
                        "00400000-00452000 r-xp 00000000 08:02 173521      /usr/bin/dbus-daemon\n"
                        "00e03000-00e24000 rw-p 00000000 00:00 0           [heap]\n"
                        "35b1800000-35b1820000 r-xp 00000000 08:02 135522  /lib/libc.so.6\n"
                        "7f0000000000-7f0000021000 rw-p 00000000 00:00 0 \n"
                        "7f1-7f2 r-xp 00000000 08:02 135522  /lib/libc.so.6\n"
                        "7f3-7f4 r--p 00000000 08:02 1234  /opt/my lib/libx.so (deleted)\r\n"
                        "7f5-7f6 r--p 00000000 08:02 1235  /tmp/t,a.so";
    Record record;
    ASSERT_TRUE(ps_parse_maps(record.m_record, text, sizeof(text) - 1));
    std::vector<std::string> paths;
    for (tarvik_ps_maps_t *map = record->m_maps; map != nullptr; map = map->m_next) {
        paths.emplace_back(map->m_path);
    }
    const std::vector<std::string> expected = {"/usr/bin/dbus-daemon", "[heap]",
                                               "/lib/libc.so.6",       "/lib/libc.so.6",
                                               "/opt/my lib/libx.so",  "/tmp/t,a.so"};
    EXPECT_EQ(paths, expected);
    EXPECT_TRUE(ps_maps_library(record.m_record, "libc.so.6"));
    EXPECT_TRUE(ps_maps_library(record.m_record, "/opt/my lib/libx.so"));
    EXPECT_TRUE(ps_maps_library(record.m_record, "libx.so"));
    EXPECT_FALSE(ps_maps_library(record.m_record, "libc.so"));
    EXPECT_FALSE(ps_maps_library(record.m_record, "lib"));
}

TEST_F(ProcessTest, DescriptorTargetsNameSocketsAndPipes)
{
    struct Row {
        const char *m_target;
        bool m_found;
        uint64_t m_inode;
    } rows[] = {
        {"socket:[123456]", true, 123456},
        {"pipe:[98]", true, 98},
        {"pipe:[0x1f]", true, 31},
        {"socket:[017]", true, 15},
        {"socket:[4294967296000]", true, 4294967296000ull},
        {"socket:[12", false, 0},
        {"socket:[12x]", false, 0},
        {"pipe:[089]", false, 0},
        {"/dev/null", false, 0},
        {"anon_inode:[eventpoll]", false, 0},
        {"net:[4026531840]", false, 0},
        {"", false, 0},
    };
    for (const Row &row : rows) {
        uint64_t inode = 7;
        EXPECT_EQ(ps_parse_fd_target(row.m_target, strlen(row.m_target), &inode), row.m_found)
            << row.m_target;
        if (row.m_found) {
            EXPECT_EQ(inode, row.m_inode) << row.m_target;
        }
    }
}

TEST_F(ProcessTest, PasswdLinesNameTheirUid)
{
    const std::string text = "root:x:0:0:root:/root:/bin/sh\r\n"
                             "# comment\n"
                             ":x:5:5::/:\n"
                             "daemon:x:1:1::/:\n"
                             "odd:x:2x:2::/:\n"
                             "big:x:4294967295:0::/:\n"
                             "huge:x:4294967296:0::/:\n"
                             "cut:x:";
    struct Row {
        uint32_t m_uid;
        const char *m_name; // null: not found
    } rows[] = {{0, "root"},  {1, "daemon"},        {2, nullptr},
                {5, nullptr}, {4294967295u, "big"}, {0x12345, nullptr}};
    for (const Row &row : rows) {
        const char *name = nullptr;
        size_t length = 0;
        bool found = ps_passwd_name(text.data(), text.size(), row.m_uid, &name, &length);
        EXPECT_EQ(found, row.m_name != nullptr) << row.m_uid;
        if (found && row.m_name != nullptr) {
            EXPECT_EQ(std::string(name, length), row.m_name);
        }
    }
    // A line that ends right behind its second colon is not read past.
    const std::string cut = "socket:ocket:";
    const char *name = nullptr;
    size_t length = 0;
    EXPECT_FALSE(ps_passwd_name(cut.data(), cut.size(), 0, &name, &length));

    // The lookups answer like the password database, before and after the table fills.
    tarvik_ps_users_t *users = tarvik_open_ps_users();
    ASSERT_NE(users, nullptr);
    // Ids without a name show as their number.
    for (uint32_t uid : {0u, 1u, 2u, 3u, 7u, 12u, 33u, 39u, 999u, 54321u, 65534u, 4294967295u}) {
        struct passwd *entry = getpwuid(uid);
        std::string expected = entry != nullptr ? entry->pw_name : std::to_string(uid);
        EXPECT_EQ(tarvik_ps_user_name(users, uid), expected) << uid;
        EXPECT_EQ(tarvik_ps_user_name(nullptr, uid), expected) << uid;
        EXPECT_EQ(tarvik_ps_user_name(users, uid % 3),
                  std::string(tarvik_ps_user_name(nullptr, uid % 3)));
    }
    for (uint32_t uid = 100; uid < 140; ++uid) {
        struct passwd *entry = getpwuid(uid);
        std::string expected = entry != nullptr ? entry->pw_name : std::to_string(uid);
        EXPECT_EQ(tarvik_ps_user_name(users, uid), expected) << uid;
    }
    EXPECT_EQ(tarvik_close_ps_users(users), 0);
    EXPECT_EQ(tarvik_close_ps_users(nullptr), 0);
}

TEST_F(ProcessTest, CpuUsageIsLifetimeShareCapped)
{
    EXPECT_EQ(ps_cpu_usage(100, 0, 10, 100), 1000u);     // 1 s of 10 s: 10.00 %
    EXPECT_EQ(ps_cpu_usage(100, 500, 10, 100), 2000u);   // started at 5 s
    EXPECT_EQ(ps_cpu_usage(5000, 900, 10, 100), 10000u); // capped
    EXPECT_EQ(ps_cpu_usage(100, 1000, 10, 100), 0u);     // started "now"
    EXPECT_EQ(ps_cpu_usage(100, 0, 10, 0), 0u);
}

TEST_F(ProcessTest, RssInsertionOrdersLargestFirstTiesByPid)
{
    const struct {
        uint32_t m_pid;
        uint64_t m_rss;
    } input[] = {{5, 10}, {1, 30}, {9, 10}, {3, 10}, {7, 50}, {2, 0}, {8, 30}};
    tarvik_ps_t *head = nullptr;
    tarvik_ps_t *tail = nullptr;
    for (const auto &item : input) {
        tarvik_ps_t *record = ps_new_record(item.m_pid);
        ASSERT_NE(record, nullptr);
        record->m_rss = item.m_rss;
        head = ps_insert(head, &tail, record, true);
    }
    std::vector<uint32_t> forward;
    for (tarvik_ps_t *record = head; record != nullptr; record = record->m_next) {
        forward.push_back(record->m_pid);
        if (record->m_next != nullptr) {
            EXPECT_EQ(record->m_next->m_prev, record);
        }
    }
    EXPECT_EQ(forward, (std::vector<uint32_t>{7, 1, 8, 3, 5, 9, 2}));
    EXPECT_EQ(head->m_prev, nullptr);
    EXPECT_EQ(tail->m_pid, 2u);
    EXPECT_EQ(tarvik_close_ps(head), 0);
    EXPECT_EQ(tarvik_close_ps(nullptr), 0);
}

TEST_F(ProcessTest, CdataStaysWellFormed)
{
    EXPECT_EQ(cdata("plain name"), "plain name");
    EXPECT_EQ(cdata("a]]>b"), "a]]]]><![CDATA[>b");
    EXPECT_EQ(cdata("]]>]]>"), "]]]]><![CDATA[>]]]]><![CDATA[>");
    EXPECT_EQ(cdata("]] >"), "]] >");
    EXPECT_EQ(cdata("tab\there\nline\r"), "tab\there\nline\r");
    EXPECT_EQ(cdata("bell\a esc\x1b"), "bell? esc?");
    EXPECT_EQ(cdata("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
              "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
    EXPECT_EQ(cdata("bad\xff\xfe end"), "bad?? end");
    EXPECT_EQ(cdata("cut\xc3"), "cut?");
    EXPECT_EQ(cdata("overlong\xc0\xaf"), "overlong??");
    EXPECT_EQ(cdata("surrogate\xed\xa0\x80"), "surrogate???");
    EXPECT_EQ(cdata("nonchar\xef\xbf\xbf"), "nonchar???");
    EXPECT_EQ(cdata(""), "");
}

// Out of descriptors, no record is made up of zeros (PPID 0, no name, no threads): the table
// is refused with the reason in errno.
TEST_F(ProcessTest, TableThatCannotBeReadIsAnErrorNotMadeUpRows)
{
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int fd = 3; fd < 1024; ++fd) {
            close(fd);
        }
        struct rlimit limit = {4, 4}; // /proc itself, and nothing more
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            _exit(2);
        }
        errno = 0;
        tarvik_ps_t *list = tarvik_open_ps_ex(0);
        if (list != nullptr) {
            _exit(list->m_name == nullptr ? 3 : 4);
        }
        _exit(errno == EMFILE ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "3: rows of zeros, 5: another errno";
}

TEST_F(ProcessTest, SelfOnlyYieldsOneRecordForTheCaller)
{
    int pair[2];
    int pipe_ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ASSERT_EQ(pipe(pipe_ends), 0);
    struct stat socket_status;
    struct stat pipe_status;
    ASSERT_EQ(fstat(pair[1], &socket_status), 0);
    ASSERT_EQ(fstat(pipe_ends[0], &pipe_status), 0);

    tarvik_ps_t *list =
        tarvik_open_ps_ex(TARVIK_PS_SELF | TARVIK_PS_EXE | TARVIK_PS_INODES | TARVIK_PS_MAPS);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->m_next, nullptr);
    EXPECT_EQ(list->m_prev, nullptr);
    EXPECT_EQ(list->m_pid, static_cast<uint32_t>(getpid()));
    EXPECT_EQ(list->m_ppid, static_cast<uint32_t>(getppid()));
    EXPECT_EQ(list->m_uid, static_cast<uint32_t>(getuid()));
    EXPECT_NE(list->m_name, nullptr);
    ASSERT_GT(list->m_argc, 0);
    EXPECT_NE(list->m_exe, nullptr);
    EXPECT_GE(list->m_threads, 1u);
    EXPECT_GT(list->m_rss, 0u);
    EXPECT_NE(list->m_state[0], ' ');
    EXPECT_NE(list->m_maps, nullptr);
    EXPECT_GE(list->m_fd_count, 7u); // stdio, the pair, the pipe
    EXPECT_EQ(tarvik_ps_search_by_inode(list, socket_status.st_ino), list);
    EXPECT_EQ(tarvik_ps_search_by_inode(list, pipe_status.st_ino), list);
    EXPECT_EQ(tarvik_ps_search_by_inode(list, 0xFFFFFFFFFFFFull), nullptr);
    bool pair_fd_seen = false;
    for (tarvik_ps_inode_t *node = list->m_inodes; node != nullptr; node = node->m_next) {
        pair_fd_seen |=
            node->m_fd == static_cast<uint32_t>(pair[1]) && node->m_inode == socket_status.st_ino;
    }
    EXPECT_TRUE(pair_fd_seen);
    // Counting only: no inodes kept, the same count but for the directory descriptor the
    // walk itself holds open.
    uint64_t counted = list->m_fd_count;
    tarvik_close_ps(list);
    list = tarvik_open_ps_ex(TARVIK_PS_SELF | TARVIK_PS_FD_COUNT);
    ASSERT_NE(list, nullptr);
    EXPECT_GE(list->m_fd_count + 1, counted);
    EXPECT_LE(list->m_fd_count, counted);
    EXPECT_EQ(list->m_inodes, nullptr);
    tarvik_close_ps(list);

    // Without the descriptor bit nothing is scanned.
    list = tarvik_open_ps_ex(TARVIK_PS_SELF);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->m_fd_count, 0u);
    EXPECT_EQ(list->m_inodes, nullptr);
    EXPECT_EQ(list->m_exe, nullptr);
    EXPECT_EQ(list->m_maps, nullptr);
    tarvik_close_ps(list);
    close(pair[0]);
    close(pair[1]);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
}

TEST_F(ProcessTest, MapsBeyondTheScratchBufferAreReadWhole)
{
    // A thousand one-page mappings of one file, none mergeable with its neighbour (all at
    // offset 0), make the maps file several times larger than the scratch buffer.
    char path[] = "/tmp/process_maps_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    long page = sysconf(_SC_PAGESIZE);
    ASSERT_EQ(ftruncate(fd, page), 0);
    constexpr int COUNT = 1000;
    std::vector<void *> maps;
    for (int i = 0; i < COUNT; ++i) {
        void *map = mmap(nullptr, static_cast<size_t>(page), PROT_READ, MAP_PRIVATE, fd, 0);
        ASSERT_NE(map, MAP_FAILED);
        maps.push_back(map);
    }
    tarvik_ps_t *list = tarvik_open_ps_ex(TARVIK_PS_SELF | TARVIK_PS_MAPS);
    ASSERT_NE(list, nullptr);
    int seen = 0;
    for (tarvik_ps_maps_t *map = list->m_maps; map != nullptr; map = map->m_next) {
        seen += strcmp(map->m_path, path) == 0 ? 1 : 0;
    }
    EXPECT_EQ(seen, COUNT);
    EXPECT_TRUE(ps_maps_library(list, strrchr(path, '/') + 1));
    tarvik_close_ps(list);
    for (void *map : maps) {
        munmap(map, static_cast<size_t>(page));
    }
    close(fd);
    unlink(path);
}

TEST_F(ProcessTest, WholeTableSortedByRssFindsAChildByItsInode)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    struct stat status;
    ASSERT_EQ(fstat(pair[0], &status), 0);
    HeldChild child("held child");
    ASSERT_GT(child.pid(), 0);
    close(pair[0]); // only the child holds this end now

    tarvik_ps_t *list = tarvik_open_ps_ex(TARVIK_PS_INODES | TARVIK_PS_SORT_RSS);
    ASSERT_NE(list, nullptr);
    bool self_seen = false;
    for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        self_seen |= record->m_pid == static_cast<uint32_t>(getpid());
        if (record->m_next != nullptr) {
            EXPECT_TRUE(
                record->m_rss > record->m_next->m_rss ||
                (record->m_rss == record->m_next->m_rss && record->m_pid < record->m_next->m_pid));
        }
    }
    EXPECT_TRUE(self_seen);
    tarvik_ps_t *owner = tarvik_ps_search_by_inode(list, status.st_ino);
    ASSERT_NE(owner, nullptr);
    EXPECT_EQ(owner->m_pid, static_cast<uint32_t>(child.pid()));
    EXPECT_STREQ(owner->m_name, "held child");
    uint64_t child_fds = owner->m_fd_count;
    tarvik_close_ps(list);

    // Counting without keeping the inodes sees the same descriptors of the child.
    list = tarvik_open_ps_ex(TARVIK_PS_FD_COUNT);
    ASSERT_NE(list, nullptr);
    bool child_seen = false;
    for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        if (record->m_pid == static_cast<uint32_t>(child.pid())) {
            child_seen = true;
            EXPECT_EQ(record->m_fd_count, child_fds);
            EXPECT_EQ(record->m_inodes, nullptr);
        }
    }
    EXPECT_TRUE(child_seen);
    tarvik_close_ps(list);
    close(pair[1]);
}

TEST_F(ProcessTest, XmlDocumentIsWellFormedWhateverTheNames)
{
    HeldChild tricky("x]]>y\x01z");
    HeldChild accented("caf\xc3\xa9 \xe2\x82\xac");
    HeldChild broken("bad\xff\xfe");
    ASSERT_GT(tricky.pid(), 0);
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    ASSERT_EQ(tarvik_push_ps_xml(buffer), 0);
    std::string xml = drain(buffer);
    tarvik_close_buffer(buffer);

    EXPECT_EQ(xml.rfind("<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n<ps>\n", 0), 0u);
    EXPECT_NE(xml.find("</ps>\n<!-- end of ps.xml -->\n"), std::string::npos);
    EXPECT_NE(xml.find("<process_name><![CDATA[x]]]]><![CDATA[>y?z]]></process_name>"),
              std::string::npos);
    EXPECT_NE(xml.find("<process_name><![CDATA[caf\xc3\xa9 \xe2\x82\xac]]></process_name>"),
              std::string::npos);
    EXPECT_NE(xml.find("<process_name><![CDATA[bad??]]></process_name>"), std::string::npos);
    std::string me = "\t<item self=\"yes\">\n\t\t<index>";
    EXPECT_NE(xml.find(me), std::string::npos);
    std::string pid = "<pid>" + std::to_string(getpid()) + "</pid>";
    EXPECT_NE(xml.find(pid), std::string::npos);
    EXPECT_NE(xml.find("\t\t<index>0</index>\n"), std::string::npos);

    if (system("command -v xmllint >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "xmllint is not installed";
    }
    char path[] = "/tmp/process_test_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, xml.data(), xml.size()), static_cast<ssize_t>(xml.size()));
    close(fd);
    std::string command = std::string("xmllint --noout ") + path + " 2>&1";
    int status = system(command.c_str());
    unlink(path);
    EXPECT_EQ(status, 0) << xml;
}

TEST_F(ProcessTest, KillPassesWithoutSignalsCountMatches)
{
    // Names of this run only, so that a second run of the suite beside it never matches.
    char held[32], absent[32];
    snprintf(held, sizeof(held), "kp-held-%d", static_cast<int>(getpid()));
    snprintf(absent, sizeof(absent), "kp-none-%d", static_cast<int>(getpid()));
    HeldChild child(held);
    ASSERT_GT(child.pid(), 0);
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    const char *base = strrchr(exe, '/') + 1;
    // The child maps this test program; the caller itself never counts.
    EXPECT_EQ(tarvik_kill_libdepend(base, -1, -1, 0), -1);
    EXPECT_EQ(tarvik_kill_libdepend(exe, -1, -1, 0), -1);
    EXPECT_EQ(tarvik_kill_libdepend("no-such-library-7731.so", -1, -1, 0), 0);
    // Several libraries: any one mapped makes a match; the record test agrees.
    const char *libraries[] = {"no-such-library-7731.so", base};
    EXPECT_EQ(tarvik_kill_libdepend_ex(libraries, 1, -1, -1, 0), 0);
    EXPECT_EQ(tarvik_kill_libdepend_ex(libraries, 2, -1, -1, 0), -1);
    tarvik_ps_t *list = tarvik_open_ps_ex(TARVIK_PS_EXE | TARVIK_PS_MAPS);
    int mapping = 0;
    for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        int maps = tarvik_ps_maps_library(record, base);
        EXPECT_EQ(maps, record->m_pid == static_cast<uint32_t>(getpid()) ? 0 : maps);
        mapping += record->m_pid == static_cast<uint32_t>(child.pid()) ? maps : 0;
        EXPECT_EQ(tarvik_ps_maps_library(record, libraries[0]), 0);
    }
    tarvik_close_ps(list);
    EXPECT_EQ(mapping, 1);
    EXPECT_EQ(tarvik_kill_name(held, -1), 1);
    EXPECT_EQ(tarvik_kill_name(absent, -1), 0);
    EXPECT_EQ(tarvik_kill_name_ex(held, -1, -1, 0), -1);
    EXPECT_EQ(tarvik_kill_name_ex(absent, -1, -1, 0), 0);
    // A path matches argv[0] only; the child's argv[0] is this program's.
    tarvik_ps_t *self = tarvik_open_ps_ex(TARVIK_PS_SELF);
    ASSERT_NE(self, nullptr);
    ASSERT_GT(self->m_argc, 0);
    std::string argv0 = std::string(self->m_argv[0]);
    tarvik_close_ps(self);
    if (argv0.find('/') != std::string::npos) {
        EXPECT_GE(tarvik_kill_name(argv0.c_str(), -1), 1);
    }
}

// A held process that only a signal ends.
pid_t start_victim(const char *comm)
{
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        prctl(PR_SET_NAME, comm, 0, 0, 0);
        char byte = 1;
        (void)!write(ready[1], &byte, 1);
        for (;;) {
            pause();
        }
    }
    close(ready[1]);
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    return pid;
}

bool ended_by(pid_t pid, int signal)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

// Runs as process 1 of a private PID namespace with its own /proc: the only processes the
// kill loops can see are the victims started here. Returns the number of the failed check.
int kill_in_namespace()
{
    // Nothing matches: no pass signals and both loops end at once.
    if (tarvik_kill_libdepend("no-such-library-7731.so", SIGTERM, SIGKILL, 0) != 0 ||
        tarvik_kill_name_ex("ns-nobody", SIGTERM, SIGKILL, 0) != 0) {
        return 5;
    }
    pid_t victim = start_victim("ns-victim");
    if (tarvik_kill_name("ns-victim", -1) != 1) {
        return 10;
    }
    // The victim dies but stays a zombie until reaped below: the loop must end anyway.
    if (tarvik_kill_name_ex("ns-victim", SIGTERM, SIGKILL, 0) != 1) {
        return 11;
    }
    if (!ended_by(victim, SIGTERM)) {
        return 12;
    }
    if (tarvik_kill_name_ex("ns-victim", SIGTERM, SIGKILL, 0) != 0) {
        return 13;
    }
    // Both signals -1: reported, nothing sent.
    victim = start_victim("ns-library");
    char exe[4096] = {};
    if (readlink("/proc/self/exe", exe, sizeof(exe) - 1) <= 0) {
        return 20;
    }
    const char *base = strrchr(exe, '/') + 1;
    if (tarvik_kill_libdepend(base, -1, -1, 0) != -1 || tarvik_kill(victim, 0) != 0) {
        return 21;
    }
    // The victim maps this program; the caller, which maps it too, is spared.
    if (tarvik_kill_libdepend(base, SIGTERM, SIGKILL, 0) != 0) {
        return 22;
    }
    if (!ended_by(victim, SIGTERM)) {
        return 23;
    }
    victim = start_victim("ns-late");
    if (tarvik_kill_name_ex("ns-late", -1, SIGKILL, 0) != 1 || !ended_by(victim, SIGKILL)) {
        return 30;
    }
    return 0;
}

TEST_F(ProcessTest, KillLoopsEndTheirProcessesInAPrivateNamespace)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a private PID namespace needs root";
    }
    constexpr int NO_NAMESPACE = 77;
    pid_t outer = fork();
    ASSERT_GE(outer, 0);
    if (outer == 0) {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) {
            _exit(NO_NAMESPACE);
        }
        pid_t init = fork();
        if (init == 0) {
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("proc", "/proc", "proc", 0, nullptr) != 0) {
                _exit(NO_NAMESPACE);
            }
            // A kill loop that never ends must not outlive the test: the alarm ends this
            // process, and with it the namespace and everything in it.
            alarm(30);
            _exit(kill_in_namespace());
        }
        int status = 0;
        if (init < 0 || waitpid(init, &status, 0) != init || !WIFEXITED(status)) {
            _exit(99);
        }
        _exit(WEXITSTATUS(status));
    }
    int status = 0;
    ASSERT_EQ(waitpid(outer, &status, 0), outer);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_NE(WEXITSTATUS(status), 99) << "the namespace's first process did not exit (stuck?)";
    if (WEXITSTATUS(status) == NO_NAMESPACE) {
        GTEST_SKIP() << "private PID and mount namespaces are not available here";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check number";
}

TEST_F(ProcessTest, KillRefusesGroupsAndEveryone)
{
    EXPECT_EQ(tarvik_kill(0, 0), -1);
    EXPECT_EQ(tarvik_kill(-1, 0), -1);
    EXPECT_EQ(tarvik_kill(getpid(), -1), -1);
    EXPECT_EQ(tarvik_kill(getpid(), 0), 0); // signal 0 only probes
    EXPECT_EQ(tarvik_kill_libdepend(nullptr, -1, -1, 0), -1);
    const char *libraries[] = {"libc.so.6", ""};
    EXPECT_EQ(tarvik_kill_libdepend_ex(libraries, 2, -1, -1, 0), -1);
    EXPECT_EQ(tarvik_kill_libdepend_ex(libraries, 0, -1, -1, 0), -1);
    EXPECT_EQ(tarvik_kill_libdepend_ex(nullptr, 1, -1, -1, 0), -1);
    EXPECT_EQ(tarvik_ps_maps_library(nullptr, "libc.so.6"), 0);
    EXPECT_EQ(tarvik_kill_name(nullptr, -1), 0);
}

} // namespace
