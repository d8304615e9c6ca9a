// The process table read from /proc into a list of records owned by its head, the XML
// report, signalling by pid, mapped library or name, and the processor count query.
#include "process.h"

#include "buffer.h"
#include "console.h"
#include "time.h"
#include "utf8.h"

#include "detail/common.hpp"
#include "detail/cpu_ticks.hpp"
#include "detail/process.hpp"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

// Names of user ids for one report: a few users own most processes, so a small table of
// the latest answers saves asking again for every record.
struct tarvik_ps_users_s {
    static constexpr size_t COUNT = 16;
    static constexpr size_t NAME_SIZE = 64; // longer names are cut
    uint32_t m_uid[COUNT];
    char m_name[COUNT][NAME_SIZE];
    size_t m_used;
    size_t m_next;
    bool m_passwd_read;
    char *m_passwd; // /etc/passwd, read on the first lookup
    size_t m_passwd_length;
};

namespace {

using tarvik::detail::PS_SCRATCH_SIZE;

// The affinity mask the kernel is asked for: 1024 processors, 128 bytes.
constexpr size_t AFFINITY_BITS = 1024;
static_assert(sizeof(cpu_set_t) * 8 >= AFFINITY_BITS, "cpu_set_t holds the whole mask");

// Passes of the kill loops run every 100 ms; before this pass only every tenth one signals.
constexpr int LATE_PASS = 600;
// Bytes one directory entry takes at most (header and a 255-byte name, aligned).
constexpr size_t DIRENT_ROOM = 280;

using tarvik::detail::Cursor;
using tarvik::detail::is_digit;
using tarvik::detail::is_space;
using tarvik::detail::Text;
using tarvik::detail::to_lower;

bool is_word_separator(int c)
{
    return c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n';
}

// Leading decimal number of a range as the C library's atoi reads it (white space, sign,
// digits), widened so that ids and sizes beyond 31 bits survive.
uint64_t decimal_value(const char *p, const char *end)
{
    Cursor cursor(p, end);
    cursor.skip_space();
    int64_t value = 0;
    cursor.signed_decimal(&value);
    return static_cast<uint64_t>(value);
}

// The stat line as scanf reads it: " %*s" skips words, "%llu" and "%ld" take a number.
bool skip_words(Cursor &cursor, int count)
{
    for (int i = 0; i < count; ++i) {
        cursor.skip_space();
        if (cursor.take_until(is_space).empty()) {
            return false;
        }
    }
    return true;
}

bool stat_number(Cursor &cursor, uint64_t *out)
{
    cursor.skip_space();
    int64_t value = 0;
    bool found = cursor.signed_decimal(&value);
    *out = static_cast<uint64_t>(value);
    return found;
}

// "<pid>/" into out (room for 12 bytes); returns its length. Every file of every record
// goes through it, so it stays clear of the formatter.
size_t pid_prefix(char *out, uint32_t pid)
{
    return tarvik::detail::Writer(out, 12).decimal(pid).put('/').length();
}

// Reads a /proc file relative to the table's directory into the scratch buffer (at most
// size - 1 bytes plus a NUL). Returns the length, or -1 when it cannot be opened or read.
// The kernel hands out a process's stat, status and command line whole in one read when
// the buffer is large enough, so for those (single_read) a short read is the end and the
// extra read that would return 0 is spared; other files are read until their end.
ssize_t read_small(int directory, const char *path, char *scratch, size_t size,
                   bool single_read = true)
{
    int fd = openat(directory, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    size_t used = 0;
    while (used + 1 < size) {
        ssize_t n = read(fd, scratch + used, size - 1 - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            scratch[used] = '\0';
            return used > 0 ? static_cast<ssize_t>(used) : -1;
        }
        if (n == 0) {
            break;
        }
        used += static_cast<size_t>(n);
        if (single_read && used + 1 < size) {
            break;
        }
    }
    close(fd);
    scratch[used] = '\0';
    return static_cast<ssize_t>(used);
}

// Everything one table read shares. Files of a record are opened relative to /proc by
// "<pid>/<leaf>", which spares an open and a close of each process directory.
struct Reader {
    uint32_t m_flags;
    uint32_t m_self;
    int m_directory; // /proc
    char m_path[64]; // "<pid>/" and the leaf being read
    size_t m_prefix; // length of "<pid>/"
    char *m_scratch;
    uint64_t m_page_kb;
    uint64_t m_uptime;
    uint64_t m_hertz;

    const char *path(const char *leaf)
    {
        size_t length = strlen(leaf);
        memcpy(m_path + m_prefix, leaf, length + 1);
        return m_path;
    }
};

// Line-oriented files (status, maps) are normally far below the scratch size; one that
// fills it is read again whole, up to the /proc file limit.
// False when the file could not be read at all.
template <typename Parse>
bool read_text_file(Reader &reader, const char *leaf, bool single_read, Parse parse)
{
    ssize_t length = read_small(reader.m_directory, reader.path(leaf), reader.m_scratch,
                                PS_SCRATCH_SIZE, single_read);
    if (length < 0) {
        return false;
    }
    if (static_cast<size_t>(length) + 1 < PS_SCRATCH_SIZE) {
        parse(reader.m_scratch, static_cast<size_t>(length));
        return true;
    }
    char full[80];
    memcpy(full, "/proc/", 6);
    memcpy(full + 6, reader.path(leaf), sizeof(reader.m_path));
    size_t whole_length = 0;
    char *whole =
        tarvik::detail::read_whole_file(full, tarvik::detail::PROC_FILE_LIMIT, &whole_length);
    if (whole != nullptr) {
        parse(whole, whole_length);
        tarvik_free_tag(whole, TARVIK_TAG);
    } else {
        parse(reader.m_scratch, static_cast<size_t>(length));
    }
    return true;
}

void read_cmdline(Reader &reader, tarvik_ps_t *record)
{
    // The command line may fill the whole scratch size; the byte kept for the NUL behind it
    // is the one the scratch has beyond that size.
    ssize_t length = read_small(reader.m_directory, reader.path("cmdline"), reader.m_scratch,
                                PS_SCRATCH_SIZE + 1);
    if (length > 0) {
        tarvik::detail::ps_parse_cmdline(record, reader.m_scratch, static_cast<size_t>(length));
    }
}

void read_stat(Reader &reader, tarvik_ps_t *record)
{
    ssize_t length =
        read_small(reader.m_directory, reader.path("stat"), reader.m_scratch, PS_SCRATCH_SIZE);
    if (length > 0) {
        tarvik::detail::ps_parse_stat(record, reader.m_scratch, static_cast<size_t>(length),
                                      reader.m_page_kb);
    }
}

void read_exe(Reader &reader, tarvik_ps_t *record)
{
    ssize_t length =
        readlinkat(reader.m_directory, reader.path("exe"), reader.m_scratch, PS_SCRATCH_SIZE - 1);
    if (length > 0) {
        record->m_exe = tarvik::detail::copy_range_tag(reader.m_scratch,
                                                       static_cast<size_t>(length), TARVIK_TAG);
    }
}

bool prepend_inode(tarvik_ps_t *record, uint32_t fd, uint64_t inode)
{
    tarvik_ps_inode_t *node =
        static_cast<tarvik_ps_inode_t *>(tarvik_alloc_tag(sizeof(tarvik_ps_inode_t), TARVIK_TAG));
    if (node == nullptr) {
        return false;
    }
    node->m_next = record->m_inodes;
    node->m_fd = fd;
    node->m_inode = inode;
    record->m_inodes = node;
    return true;
}

// One descriptor entry: counted; a link to a socket or pipe adds its inode.
void read_descriptor(int directory, const char *name, unsigned char type, bool keep_inodes,
                     tarvik_ps_t *record)
{
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
        return;
    }
    ++record->m_fd_count;
    if (!keep_inodes) {
        return;
    }
    if (type == DT_UNKNOWN) {
        struct stat status;
        type =
            fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)
                ? DT_LNK
                : DT_REG;
    }
    if (type != DT_LNK) {
        return;
    }
    // Socket and pipe targets are short; a longer one is a path and of no interest.
    char target[64];
    ssize_t length = readlinkat(directory, name, target, sizeof(target));
    uint64_t inode = 0;
    if (length > 0 && static_cast<size_t>(length) < sizeof(target) &&
        tarvik::detail::ps_parse_fd_target(target, static_cast<size_t>(length), &inode)) {
        prepend_inode(record, static_cast<uint32_t>(decimal_value(name, name + strlen(name))),
                      inode);
    }
}

// The descriptor directory is walked with getdents64 straight into the scratch buffer: a
// directory stream would allocate and probe the descriptor for every process.
void read_descriptors(Reader &reader, tarvik_ps_t *record)
{
    bool keep_inodes = (reader.m_flags & TARVIK_PS_INODES) != 0;
    if (!keep_inodes) {
        // Newer kernels give the number of open descriptors as the size of the directory,
        // one call instead of a walk; older ones say 0, and so does a process without any,
        // which the walk then confirms.
        struct stat status;
        if (fstatat(reader.m_directory, reader.path("fd"), &status, 0) == 0 && status.st_size > 0) {
            record->m_fd_count = static_cast<uint64_t>(status.st_size);
            return;
        }
    }
    int directory =
        openat(reader.m_directory, reader.path("fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return;
    }
    for (;;) {
        long length = syscall(SYS_getdents64, directory, reader.m_scratch, PS_SCRATCH_SIZE);
        if (length <= 0) {
            break;
        }
        // The kernel stops filling only when the next entry does not fit; with room for
        // several more left, the directory has been read to its end.
        bool last = static_cast<size_t>(length) + DIRENT_ROOM < PS_SCRATCH_SIZE;
        for (long offset = 0; offset < length;) {
            struct dirent64 entry_head;
            memcpy(&entry_head, reader.m_scratch + offset, offsetof(struct dirent64, d_name));
            const char *name = reader.m_scratch + offset + offsetof(struct dirent64, d_name);
            read_descriptor(directory, name, entry_head.d_type, keep_inodes, record);
            if (entry_head.d_reclen == 0) {
                break;
            }
            offset += entry_head.d_reclen;
        }
        if (last) {
            break;
        }
    }
    close(directory);
}

// Fills one record from the files of its /proc directory; unreadable files leave fields as
// they are. False when not even the status file could be read (the process is gone, or the
// process is out of descriptors or memory): such a record would only be made-up zeros.
bool read_record(Reader &reader, tarvik_ps_t *record)
{
    uint64_t vmrss = tarvik::detail::PS_NO_VMRSS;
    if (!read_text_file(reader, "status", true, [record, &vmrss](const char *data, size_t length) {
            tarvik::detail::ps_parse_status(record, data, length, &vmrss);
        })) {
        return false;
    }
    read_cmdline(reader, record);
    read_stat(reader, record);
    // The stat line's page count comes from per-CPU counters that may lag by many pages;
    // the status file's figure is summed exactly, so it wins wherever the kernel gives it.
    if (vmrss != tarvik::detail::PS_NO_VMRSS) {
        record->m_rss = vmrss;
    }
    if ((reader.m_flags & TARVIK_PS_CPU) != 0) {
        // Asked once a record is there to use them: a table that cannot be read at all then
        // fails with its own reason alone.
        if (reader.m_hertz == 0) {
            reader.m_uptime = tarvik_uptime();
            reader.m_hertz = tarvik_get_hertz();
        }
        record->m_cpu =
            tarvik::detail::ps_cpu_usage(record->m_utime + record->m_stime, record->m_starttime,
                                         reader.m_uptime, reader.m_hertz);
    }
    tarvik::detail::ps_apply_state_suffixes(record);
    if ((reader.m_flags & TARVIK_PS_EXE) != 0) {
        read_exe(reader, record);
    }
    if ((reader.m_flags & (TARVIK_PS_INODES | TARVIK_PS_FD_COUNT)) != 0) {
        read_descriptors(reader, record);
    }
    if ((reader.m_flags & TARVIK_PS_MAPS) != 0) {
        read_text_file(reader, "maps", false, [record](const char *data, size_t length) {
            tarvik::detail::ps_parse_maps(record, data, length);
        });
    }
    return true;
}

// The pid a /proc entry names, or 0 when it is not a process directory.
uint32_t entry_pid(int directory, const struct dirent *entry)
{
    const char *name = entry->d_name;
    if (!is_digit(name[0])) {
        return 0;
    }
    if (entry->d_type != DT_DIR) {
        struct stat status;
        if (entry->d_type != DT_UNKNOWN || fstatat(directory, name, &status, 0) != 0 ||
            !S_ISDIR(status.st_mode)) {
            return 0;
        }
    }
    return static_cast<uint32_t>(decimal_value(name, name + strlen(name)));
}

tarvik_ps_t *open_ps_nolock(uint32_t flags)
{
    Reader reader{};
    reader.m_flags = flags;
    reader.m_self = static_cast<uint32_t>(getpid());
    reader.m_directory = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (reader.m_directory < 0) {
        return nullptr;
    }
    DIR *directory = fdopendir(reader.m_directory);
    if (directory == nullptr) {
        close(reader.m_directory);
        return nullptr;
    }
    reader.m_scratch = static_cast<char *>(tarvik_alloc_tag(PS_SCRATCH_SIZE + 1, TARVIK_TAG));
    if (reader.m_scratch == nullptr) {
        closedir(directory);
        return nullptr;
    }
    long page_size = sysconf(_SC_PAGESIZE);
    reader.m_page_kb = page_size > 0 ? static_cast<uint64_t>(page_size) / 1024u : 4u;
    tarvik_ps_t *head = nullptr;
    tarvik_ps_t *tail = nullptr;
    int failure = ENOENT; // what kept the table empty, for the caller's errno
    while (struct dirent *entry = readdir(directory)) {
        uint32_t pid = entry_pid(reader.m_directory, entry);
        if (pid == 0 || ((flags & TARVIK_PS_SELF) != 0 && pid != reader.m_self)) {
            continue;
        }
        tarvik_ps_t *record = tarvik::detail::ps_new_record(pid);
        if (record == nullptr) {
            failure = ENOMEM;
            continue;
        }
        reader.m_prefix = pid_prefix(reader.m_path, pid);
        if (!read_record(reader, record)) {
            failure = errno;
            tarvik::detail::ps_free_record(record);
            continue;
        }
        head = tarvik::detail::ps_insert(head, &tail, record, (flags & TARVIK_PS_SORT_RSS) != 0);
    }
    tarvik_free_tag(reader.m_scratch, TARVIK_TAG);
    closedir(directory);
    if (head == nullptr) {
        errno = failure;
    }
    return head;
}

void push_xml_record(tarvik_buffer_t *buffer, const tarvik_ps_t *record, int index, uint32_t self,
                     tarvik_ps_users_t *users)
{
    bool mine = record->m_pid == self || record->m_ppid == self;
    tarvik_push_printf(buffer,
                       "\t<item%s>\n\t\t<index>%d</index>\n\t\t<ppid>%lu</ppid>\n\t\t<pid>%lu</"
                       "pid>\n\t\t<username><![CDATA[",
                       mine ? " self=\"yes\"" : "", index,
                       static_cast<unsigned long>(record->m_ppid),
                       static_cast<unsigned long>(record->m_pid));
    tarvik::detail::ps_push_cdata(buffer, tarvik_ps_user_name(users, record->m_uid));
    tarvik_push_puts(buffer, "]]></username>\n\t\t<state><![CDATA[");
    tarvik::detail::ps_push_cdata(buffer, record->m_state);
    tarvik_push_printf(buffer,
                       "]]></state>\n\t\t<threads>%lu</threads>\n\t\t<vmsize>%llu</vmsize>\n\t\t<"
                       "rss>%llu</rss>\n\t\t<cpu>%u</cpu>\n\t\t<command_line><![CDATA[",
                       static_cast<unsigned long>(record->m_threads),
                       static_cast<unsigned long long>(record->m_vmsize),
                       static_cast<unsigned long long>(record->m_rss),
                       static_cast<unsigned>(record->m_cpu));
    tarvik::detail::ps_push_cdata(buffer, record->m_command_line);
    tarvik_push_puts(buffer, "]]></command_line>\n\t\t<process_name><![CDATA[");
    tarvik::detail::ps_push_cdata(buffer, record->m_name);
    tarvik_push_puts(buffer, "]]></process_name>\n\t</item>\n");
}

int push_ps_xml_nolock(tarvik_buffer_t *buffer)
{
    tarvik_ps_t *list = open_ps_nolock(0);
    if (list == nullptr) {
        return -1;
    }
    uint32_t self = static_cast<uint32_t>(getpid());
    tarvik_ps_users_t *users = tarvik_open_ps_users();
    if (users == nullptr) {
        tarvik_close_ps(list);
        return -1;
    }
    tarvik_push_puts(buffer, "<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\n<ps>\n");
    int index = 0;
    for (const tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        push_xml_record(buffer, record, index++, self, users);
    }
    tarvik_push_puts(buffer, "</ps>\n<!-- end of ps.xml -->\n");
    tarvik_close_ps_users(users);
    tarvik_close_ps(list);
    return 0;
}

// Prints a whole queue with one call of the output channel.
const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// Whether a pass signals, and with what (-1: a signal is due but none is to be sent).
bool pass_signal(int pass, int first_signal, int late_signal, int *signal_out)
{
    if (pass >= LATE_PASS) {
        *signal_out = late_signal;
        return true;
    }
    if (pass % 10 != 0) {
        return false;
    }
    *signal_out = first_signal != -1 ? first_signal : late_signal;
    return true;
}

void print_match(const tarvik_ps_t *record)
{
    tarvik_printf("%lu %s %s\n", static_cast<unsigned long>(record->m_pid),
                  record->m_name != nullptr ? record->m_name : "",
                  record->m_exe != nullptr ? record->m_exe : "");
}

bool maps_any(const tarvik_ps_t *record, const char *const *libraries, int count, uint32_t self)
{
    if (!tarvik::detail::ps_is_library_user(record, self)) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (tarvik::detail::ps_maps_library(record, libraries[i])) {
            return true;
        }
    }
    return false;
}

// One pass of the library kill: -1 when a match was due a signal of -1, else the matches;
// -2 when the table cannot be read.
int kill_libdepend_pass(const char *const *libraries, int count, int pass, int first_signal,
                        int late_signal, int verbose)
{
    tarvik_ps_t *list = open_ps_nolock(TARVIK_PS_EXE | TARVIK_PS_MAPS);
    if (list == nullptr) {
        return -2;
    }
    uint32_t self = static_cast<uint32_t>(getpid());
    int signal = -1;
    bool signalling = pass_signal(pass, first_signal, late_signal, &signal);
    int matches = 0;
    bool refused = false;
    for (const tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        if (!maps_any(record, libraries, count, self)) {
            continue;
        }
        if ((verbose & TARVIK_KILL_LIST_MATCHES) != 0) {
            print_match(record);
        }
        if (signalling) {
            if (signal == -1) {
                refused = true;
            } else {
                kill(static_cast<pid_t>(record->m_pid), signal);
            }
        }
        ++matches;
    }
    tarvik_close_ps(list);
    return refused ? -1 : matches;
}

bool name_matches(const tarvik_ps_t *record, const char *name)
{
    if (strchr(name, '/') != nullptr) {
        return record->m_argc > 0 && strcmp(record->m_argv[0], name) == 0;
    }
    if (record->m_name != nullptr && strcmp(record->m_name, name) == 0) {
        return true;
    }
    return record->m_argc > 0 && strcmp(base_name(record->m_argv[0]), name) == 0;
}

// One pass of the name kill: the matches (signalled unless signal is -1), -1 when the
// table cannot be read.
int kill_name_pass(const char *name, int signal, bool verbose)
{
    // The verbose line names the executable, so the link is read only then.
    tarvik_ps_t *list = open_ps_nolock(verbose ? TARVIK_PS_EXE : 0);
    if (list == nullptr) {
        return -1;
    }
    uint32_t self = static_cast<uint32_t>(getpid());
    int matches = 0;
    for (const tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        // A zombie keeps its name until its parent reaps it, and no signal ends it sooner:
        // counting it would keep the loop of tarvik_kill_name_ex running for ever.
        if (record->m_pid == self || record->m_state[0] == 'Z' || !name_matches(record, name)) {
            continue;
        }
        if (verbose) {
            print_match(record);
        }
        if (signal != -1) {
            kill(static_cast<pid_t>(record->m_pid), signal);
        }
        ++matches;
    }
    tarvik_close_ps(list);
    return matches;
}

// The UTF-8 sequence length at p when it encodes a character XML 1.0 allows, else 0.
size_t xml_character_length(const unsigned char *p, const unsigned char *end)
{
    uint32_t scalar = 0;
    size_t length = tarvik_utf8_character_decode(reinterpret_cast<const char *>(p),
                                                 static_cast<size_t>(end - p), &scalar);
    bool allowed = scalar >= 0x20 ? scalar != 0xFFFE && scalar != 0xFFFF
                                  : scalar == '\t' || scalar == '\n' || scalar == '\r';
    return allowed ? length : 0;
}

// One "key: value" line of the status file. The first letter picks the few candidates, so
// the fifty-odd other lines cost one comparison each.
void status_field(tarvik_ps_t *record, const char *key, size_t key_length, const char *value,
                  const char *end, uint64_t *vmrss_out)
{
    auto is = [key, key_length](const char *word) {
        return Text(key, key_length).equals_ignoring_case(word);
    };
    switch (to_lower(key[0])) {
    case 'n':
        if (is("name")) {
            tarvik_check_free_tag(record->m_name, TARVIK_TAG);
            record->m_name =
                tarvik::detail::copy_range_tag(value, static_cast<size_t>(end - value), TARVIK_TAG);
        }
        break;
    case 's':
        if (is("state") && value < end) {
            record->m_state[0] = *value;
        }
        break;
    case 'p':
        if (is("pid")) {
            record->m_pid = static_cast<uint32_t>(decimal_value(value, end));
        } else if (is("ppid")) {
            record->m_ppid = static_cast<uint32_t>(decimal_value(value, end));
        }
        break;
    case 'u':
        if (is("uid")) {
            record->m_uid = static_cast<uint32_t>(decimal_value(value, end));
        }
        break;
    case 'g':
        if (is("gid")) {
            record->m_gid = static_cast<uint32_t>(decimal_value(value, end));
        }
        break;
    case 't':
        if (is("threads")) {
            record->m_threads = static_cast<uint32_t>(decimal_value(value, end));
        }
        break;
    case 'v':
        if (is("vmsize")) {
            record->m_vmsize = decimal_value(value, end);
        } else if (vmrss_out != nullptr && is("vmrss")) {
            *vmrss_out = decimal_value(value, end);
        }
        break;
    default:
        break;
    }
}

} // namespace

namespace tarvik::detail {

int print_buffer(tarvik_buffer_t *buffer)
{
    size_t size = tarvik_get_buffer_size(buffer);
    char *text = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
    if (text == nullptr) {
        return -1;
    }
    size_t length = tarvik_pop_buffer(buffer, text, size);
    text[length] = '\0';
    tarvik_puts(text);
    tarvik_puts(nullptr);
    tarvik_free_tag(text, TARVIK_TAG);
    return 0;
}

tarvik_ps_t *ps_new_record(uint32_t pid)
{
    tarvik_ps_t *record =
        static_cast<tarvik_ps_t *>(tarvik_alloc_tag(sizeof(tarvik_ps_t), TARVIK_TAG));
    if (record == nullptr) {
        return nullptr;
    }
    memset(record, 0, sizeof(*record));
    memcpy(record->m_state, "   ", 4);
    record->m_pid = pid;
    return record;
}

void ps_free_record(tarvik_ps_t *record)
{
    if (record == nullptr) {
        return;
    }
    // The raw bytes, the spaced copy and the argument pointers share one block.
    tarvik_check_free_tag(record->m_cmdline_raw, TARVIK_TAG);
    tarvik_check_free_tag(record->m_name, TARVIK_TAG);
    tarvik_check_free_tag(record->m_exe, TARVIK_TAG);
    free_chain_tag(record->m_inodes, TARVIK_TAG);
    free_chain_tag(record->m_maps, TARVIK_TAG);
    tarvik_free_tag(record, TARVIK_TAG);
}

bool ps_parse_cmdline(tarvik_ps_t *record, const char *data, size_t length)
{
    if (length == 0 || length > UINT32_MAX / 2) {
        return false;
    }
    // Arguments: every NUL ends one; bytes after the last NUL form a final one.
    size_t count = 0;
    for (size_t i = 0; i < length; ++i) {
        count += data[i] == '\0' ? 1 : 0;
    }
    if (data[length - 1] != '\0') {
        ++count;
    }
    if (count > static_cast<size_t>(PS_MAX_ARGUMENTS)) {
        count = static_cast<size_t>(PS_MAX_ARGUMENTS);
    }
    size_t text_size = 2 * (length + 1);
    size_t pointers = (text_size + alignof(char *) - 1) / alignof(char *) * alignof(char *);
    char *block =
        static_cast<char *>(tarvik_alloc_tag(pointers + count * sizeof(char *), TARVIK_TAG));
    if (block == nullptr) {
        return false;
    }
    char *raw = block;
    char *spaced = block + length + 1;
    char **argv = reinterpret_cast<char **>(block + pointers);
    memcpy(raw, data, length);
    raw[length] = '\0';
    size_t argc = 0;
    for (size_t start = 0; start < length && argc < count;) {
        argv[argc++] = raw + start;
        start += strlen(raw + start) + 1;
    }
    for (size_t i = 0; i < length; ++i) {
        spaced[i] = data[i] == '\0' ? ' ' : data[i];
    }
    spaced[length] = '\0';
    record->m_cmdline_size = static_cast<uint32_t>(length);
    record->m_cmdline_raw = raw;
    record->m_argc = static_cast<int32_t>(argc);
    record->m_argv = argv;
    record->m_command_line = spaced;
    return true;
}

void ps_parse_status(tarvik_ps_t *record, const char *data, size_t length, uint64_t *vmrss_out)
{
    if (vmrss_out != nullptr) {
        *vmrss_out = PS_NO_VMRSS;
    }
    Cursor cursor(data, length);
    for (Text line; cursor.line(&line);) {
        Cursor fields(line);
        Text key = fields.take_until([](int c) { return c == ':'; });
        if (!key.empty() && fields.take_if(':')) {
            fields.skip_blanks();
            status_field(record, key.m_data, key.m_length, fields.position(), line.end(),
                         vmrss_out);
        }
    }
}

bool ps_parse_stat(tarvik_ps_t *record, const char *data, size_t length, uint64_t page_kb)
{
    const char *close = nullptr;
    for (size_t i = length; i > 0; --i) {
        if (data[i - 1] == ')') {
            close = data + i;
            break;
        }
    }
    if (close == nullptr) {
        return false;
    }
    Cursor cursor(close, data + length);
    uint64_t utime = 0, stime = 0, cutime = 0, cstime = 0, nice = 0, starttime = 0, rss = 0;
    // After the name: state and ten more fields, the four times, priority, nice, two more,
    // the start time, the virtual size and the resident pages.
    if (!skip_words(cursor, 11) || !stat_number(cursor, &utime) || !stat_number(cursor, &stime) ||
        !stat_number(cursor, &cutime) || !stat_number(cursor, &cstime) || !skip_words(cursor, 1) ||
        !stat_number(cursor, &nice) || !skip_words(cursor, 2) || !stat_number(cursor, &starttime) ||
        !skip_words(cursor, 1) || !stat_number(cursor, &rss)) {
        return false;
    }
    record->m_utime = utime;
    record->m_stime = stime;
    record->m_cutime = cutime;
    record->m_cstime = cstime;
    record->m_nice = static_cast<int32_t>(nice);
    record->m_starttime = starttime;
    record->m_rss = rss * page_kb;
    return true;
}

void ps_apply_state_suffixes(tarvik_ps_t *record)
{
    if (record->m_rss == 0 && record->m_state[0] != 'Z') {
        record->m_state[1] = 'W';
    }
    if (record->m_nice < 0) {
        record->m_state[2] = '<';
    } else if (record->m_nice > 0) {
        record->m_state[2] = 'N';
    }
}

bool ps_parse_maps(tarvik_ps_t *record, const char *data, size_t length)
{
    tarvik_ps_maps_t *tail = SinglyLinked<tarvik_ps_maps_t>(&record->m_maps, nullptr).back();
    SinglyLinked<tarvik_ps_maps_t> maps(&record->m_maps, &tail);
    Cursor cursor(data, length);
    bool first_line = true;
    for (Text line; cursor.line(&line); first_line = false) {
        // Five words (address, permissions, offset, device, inode), then the path. A table
        // header line ("sl ...") is not a mapping.
        Cursor words(line);
        Text word = words.word(is_word_separator);
        if (first_line && word.equals_ignoring_case("sl")) {
            continue;
        }
        for (int i = 1; i < 6 && !word.empty(); ++i) {
            word = words.word(is_word_separator);
        }
        if (word.empty()) {
            continue;
        }
        // The path runs to the end of the line, blanks included; the kernel marks a
        // replaced file with " (deleted)", which is not part of its name.
        const char *path_end = line.end();
        while (path_end > word.m_data && is_word_separator(path_end[-1])) {
            --path_end;
        }
        Text path(word.m_data, static_cast<size_t>(path_end - word.m_data));
        static constexpr char DELETED[] = " (deleted)";
        if (path.m_length > sizeof(DELETED) - 1 &&
            memcmp(path_end - (sizeof(DELETED) - 1), DELETED, sizeof(DELETED) - 1) == 0) {
            path.m_length -= sizeof(DELETED) - 1;
        }
        tarvik_ps_maps_t *node = static_cast<tarvik_ps_maps_t *>(
            tarvik_alloc_tag(sizeof(tarvik_ps_maps_t) + path.m_length + 1, TARVIK_TAG));
        if (node == nullptr) {
            return false;
        }
        node->m_path = reinterpret_cast<char *>(node + 1);
        path.copy_to(node->m_path, path.m_length + 1);
        maps.push_back(node);
    }
    return true;
}

bool ps_parse_fd_target(const char *target, size_t length, uint64_t *inode_out)
{
    if (length == 0 || target[0] == '/') {
        return false;
    }
    size_t prefix = 0;
    if (length >= 8 && memcmp(target, "socket:[", 8) == 0) {
        prefix = 8;
    } else if (length >= 6 && memcmp(target, "pipe:[", 6) == 0) {
        prefix = 6;
    } else {
        return false;
    }
    // The number's base follows its form (0x hexadecimal, leading 0 octal), as strtoull does.
    const char *p = target + prefix;
    const char *end = target + length;
    unsigned base = 10;
    if (end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit_value(p[2]) >= 0) {
        base = 16;
        p += 2;
    } else if (p < end && p[0] == '0') {
        base = 8;
    }
    uint64_t value = 0;
    for (; p < end; ++p) {
        int digit = hex_digit_value(static_cast<unsigned char>(*p));
        if (digit < 0 || static_cast<unsigned>(digit) >= base) {
            break;
        }
        value = value * base + static_cast<unsigned>(digit);
    }
    if (p == end || *p != ']') {
        return false;
    }
    *inode_out = value;
    return true;
}

uint32_t ps_cpu_usage(uint64_t ticks, uint64_t starttime, uint64_t uptime_seconds, uint64_t hertz)
{
    if (hertz == 0) {
        return 0;
    }
    uint64_t start = starttime / hertz;
    if (start >= uptime_seconds) {
        return 0;
    }
    uint64_t usage = (ticks * 10000u / hertz) / (uptime_seconds - start);
    return static_cast<uint32_t>(usage > 10000u ? 10000u : usage);
}

tarvik_ps_t *ps_insert(tarvik_ps_t *head, tarvik_ps_t **tail, tarvik_ps_t *record, bool by_rss)
{
    // Walk from the tail: /proc lists pids in ascending order, so ties land there at once.
    tarvik_ps_t *after = *tail;
    if (by_rss) {
        while (after != nullptr &&
               (after->m_rss < record->m_rss ||
                (after->m_rss == record->m_rss && after->m_pid > record->m_pid))) {
            after = after->m_prev;
        }
    }
    record->m_prev = after;
    record->m_next = after != nullptr ? after->m_next : head;
    if (record->m_next != nullptr) {
        record->m_next->m_prev = record;
    } else {
        *tail = record;
    }
    if (after != nullptr) {
        after->m_next = record;
        return head;
    }
    return record;
}

void ps_push_cdata(struct tarvik_buffer_s *buffer, const char *text)
{
    if (text == nullptr) {
        return;
    }
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    const unsigned char *end = p + strlen(text);
    const unsigned char *run = p;
    while (p < end) {
        if (end - p >= 3 && p[0] == ']' && p[1] == ']' && p[2] == '>') {
            // "]]" closes this section, the '>' opens the next one.
            tarvik_push_buffer(buffer, run, static_cast<size_t>(p + 2 - run));
            tarvik_push_puts(buffer, "]]><![CDATA[");
            p += 2;
            run = p;
            continue;
        }
        size_t length = xml_character_length(p, end);
        if (length == 0) {
            tarvik_push_buffer(buffer, run, static_cast<size_t>(p - run));
            tarvik_push_buffer(buffer, "?", 1);
            ++p;
            run = p;
            continue;
        }
        p += length;
    }
    tarvik_push_buffer(buffer, run, static_cast<size_t>(p - run));
}

bool ps_passwd_name(const char *text, size_t length, uint32_t uid, const char **name_out,
                    size_t *name_length_out)
{
    auto colon = [](int c) { return c == ':'; };
    Cursor cursor(text, length);
    for (Text line; cursor.line(&line);) {
        // name:password:uid:...
        Cursor fields(line);
        Text name = fields.take_until(colon);
        fields.take_if(':');
        fields.take_until(colon); // the password
        uint64_t value = 0;
        if (name.empty() || !fields.take_if(':') || !fields.decimal(&value, UINT32_MAX) ||
            fields.peek() != ':' || value != uid) {
            continue;
        }
        *name_out = name.m_data;
        *name_length_out = name.m_length;
        return true;
    }
    return false;
}

bool ps_is_library_user(const tarvik_ps_t *record, uint32_t self)
{
    return record->m_pid != self && record->m_argv != nullptr && record->m_exe != nullptr &&
           record->m_name != nullptr && record->m_argv[0][0] != '\0';
}

bool ps_maps_library(const tarvik_ps_t *record, const char *library)
{
    for (const tarvik_ps_maps_t *map = record->m_maps; map != nullptr; map = map->m_next) {
        if (strcmp(map->m_path, library) == 0 || strcmp(base_name(map->m_path), library) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API tarvik_ps_t *tarvik_open_ps_ex(uint32_t flags) { return open_ps_nolock(flags); }

TARVIK_API tarvik_ps_t *tarvik_open_ps(void) { return open_ps_nolock(0); }

TARVIK_API int tarvik_close_ps(tarvik_ps_t *list)
{
    tarvik::detail::release_all(list, tarvik::detail::ps_free_record);
    return 0;
}

TARVIK_API tarvik_ps_t *tarvik_ps_search_by_inode(tarvik_ps_t *list, uint64_t inode)
{
    for (tarvik_ps_t *record = list; record != nullptr; record = record->m_next) {
        for (const tarvik_ps_inode_t *node = record->m_inodes; node != nullptr;
             node = node->m_next) {
            if (node->m_inode == inode) {
                return record;
            }
        }
    }
    return nullptr;
}

TARVIK_API int tarvik_ps_maps_library(const tarvik_ps_t *record, const char *library)
{
    if (record == nullptr || library == nullptr || library[0] == '\0') {
        return 0;
    }
    uint32_t self = static_cast<uint32_t>(getpid());
    return maps_any(record, &library, 1, self) ? 1 : 0;
}

TARVIK_API tarvik_ps_users_t *tarvik_open_ps_users(void)
{
    auto *users =
        static_cast<tarvik_ps_users_t *>(tarvik_alloc_tag(sizeof(tarvik_ps_users_t), TARVIK_TAG));
    if (users != nullptr) {
        memset(users, 0, sizeof(*users));
    }
    return users;
}

TARVIK_API int tarvik_close_ps_users(tarvik_ps_users_t *users)
{
    if (users != nullptr) {
        tarvik_check_free_tag(users->m_passwd, TARVIK_TAG);
        tarvik_free_tag(users, TARVIK_TAG);
    }
    return 0;
}

TARVIK_API const char *tarvik_ps_user_name(tarvik_ps_users_t *users, uint32_t uid)
{
    if (users == nullptr) {
        struct passwd *entry = getpwuid(static_cast<uid_t>(uid));
        if (entry != nullptr && entry->pw_name != nullptr) {
            return entry->pw_name;
        }
        // A board without a password file still tells its users apart: the number is true
        // where any stand-in name would not be.
        static char number[11];
        tarvik::detail::Writer(number, sizeof(number)).decimal(uid);
        return number;
    }
    for (size_t i = 0; i < users->m_used; ++i) {
        if (users->m_uid[i] == uid) {
            return users->m_name[i];
        }
    }
    // The local file answers first: asking the name service loads its modules, which costs
    // more memory than the whole table on a small device. Other ids go to the service.
    if (!users->m_passwd_read) {
        users->m_passwd_read = true;
        users->m_passwd = tarvik::detail::read_whole_file(
            "/etc/passwd", tarvik::detail::PROC_FILE_LIMIT, &users->m_passwd_length);
    }
    const char *name = nullptr;
    size_t length = 0;
    if (users->m_passwd == nullptr ||
        !tarvik::detail::ps_passwd_name(users->m_passwd, users->m_passwd_length, uid, &name,
                                        &length)) {
        name = tarvik_ps_user_name(nullptr, uid);
        length = strlen(name);
    }
    if (length >= tarvik_ps_users_t::NAME_SIZE) {
        length = tarvik_ps_users_t::NAME_SIZE - 1;
    }
    size_t slot = users->m_used < tarvik_ps_users_t::COUNT
                      ? users->m_used++
                      : (users->m_next++ % tarvik_ps_users_t::COUNT);
    users->m_uid[slot] = uid;
    memcpy(users->m_name[slot], name, length);
    users->m_name[slot][length] = '\0';
    return users->m_name[slot];
}

TARVIK_API int tarvik_push_ps_xml(struct tarvik_buffer_s *buffer)
{
    if (buffer != nullptr) {
        return push_ps_xml_nolock(buffer);
    }
    tarvik_buffer_t *temporary = tarvik_open_buffer();
    if (temporary == nullptr) {
        return -1;
    }
    int result = push_ps_xml_nolock(temporary);
    if (result == 0) {
        result = tarvik::detail::print_buffer(temporary);
    }
    tarvik_close_buffer(temporary);
    return result;
}

TARVIK_API int tarvik_kill(int pid, int signal)
{
    // Zero and negative pids address process groups or every process; a pid read from a
    // stale or empty file must never turn into that.
    if (pid <= 0 || signal < 0) {
        errno = EINVAL;
        return -1;
    }
    return kill(static_cast<pid_t>(pid), signal) == 0 ? 0 : -1;
}

TARVIK_API int tarvik_kill_libdepend_ex(const char *const *libraries, int count, int first_signal,
                                        int late_signal, int verbose)
{
    for (int i = 0; libraries != nullptr && i < count; ++i) {
        if (libraries[i] == nullptr || libraries[i][0] == '\0') {
            return -1;
        }
    }
    if (libraries == nullptr || count <= 0) {
        return -1;
    }
    for (int pass = 0;;) {
        int result =
            kill_libdepend_pass(libraries, count, pass, first_signal, late_signal, verbose);
        if (result <= 0) {
            return result == -2 ? -1 : result;
        }
        ++pass;
        if ((verbose & TARVIK_KILL_WAIT_LINES) != 0) {
            tarvik_error_printf("Wait until the process is terminated... (%d.%1d sec)\n", pass / 10,
                                pass % 10);
        }
        tarvik_sleep_wait(0, 100000);
    }
}

TARVIK_API int tarvik_kill_libdepend(const char *library, int first_signal, int late_signal,
                                     int verbose)
{
    int bits = verbose != 0 ? TARVIK_KILL_LIST_MATCHES | TARVIK_KILL_WAIT_LINES : 0;
    return tarvik_kill_libdepend_ex(&library, 1, first_signal, late_signal, bits);
}

TARVIK_API int tarvik_kill_name_ex(const char *name, int first_signal, int late_signal, int verbose)
{
    if (name == nullptr || name[0] == '\0') {
        return -1;
    }
    int first_count = 0;
    for (int pass = 0;;) {
        // Pass 0 and every tenth pass signal; the passes between only count, silently.
        int signal = -1;
        bool signalling = pass_signal(pass, first_signal, late_signal, &signal);
        int count = kill_name_pass(name, signalling ? signal : -1, verbose != 0 && signalling);
        if (count < 0) {
            return -1;
        }
        if (pass == 0) {
            first_count = count;
        }
        if (count == 0) {
            return first_count;
        }
        if (signalling && signal == -1) {
            return -1;
        }
        ++pass;
        if (verbose) {
            tarvik_error_printf(
                "Wait until the process is terminated... (%d.%1d sec, signaling=%d/%d)\n",
                pass / 10, pass % 10, count, first_count);
        }
        tarvik_sleep_wait(0, 100000);
    }
}

TARVIK_API int tarvik_kill_name(const char *name, int signal)
{
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    int count = kill_name_pass(name, signal, false);
    return count < 0 ? 0 : count;
}

TARVIK_API int tarvik_get_cpu_count_ex(int pid)
{
    if (pid < -1) {
        return -1;
    }
    cpu_set_t mask;
    CPU_ZERO_S(AFFINITY_BITS / 8, &mask);
    if (sched_getaffinity(pid == -1 ? 0 : static_cast<pid_t>(pid), AFFINITY_BITS / 8, &mask) != 0) {
        return -1;
    }
    return CPU_COUNT_S(AFFINITY_BITS / 8, &mask);
}

} // extern "C"
