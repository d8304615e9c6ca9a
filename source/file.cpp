// Descriptor and file helpers: portable open flags, reads and writes with time-outs, directory
// creation with undo, tree removal, links, mount table and stat records. Nothing here prints;
// errno is left as the system call set it, and every returned string is tagged heap.
#include "file.h"

#include "format.h"
#include "select.h"
#include "time.h"

#include "detail/common.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <type_traits>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t LOCK_PATIENCE_MSEC = 60000;
constexpr size_t READLINK_FIRST = 256;
constexpr size_t READLINK_LIMIT = 65536;
constexpr mode_t PARENT_MODE = 0755;
constexpr mode_t SIMPLE_WRITE_MODE = 0644;
constexpr uint32_t SIMPLE_WRITE_FLAGS = def_tarvik_open_write | def_tarvik_open_create |
                                        def_tarvik_open_truncate | def_tarvik_open_large_file |
                                        def_tarvik_open_binary;

struct FlagMap {
    uint32_t m_portable;
    int m_system;
};

// Access bits are handled apart: read-and-write wins over write-only, read is the default.
constexpr FlagMap OPEN_FLAGS[] = {
    {def_tarvik_open_create, O_CREAT},         {def_tarvik_open_truncate, O_TRUNC},
    {def_tarvik_open_exclusive, O_EXCL},       {def_tarvik_open_append, O_APPEND},
    {def_tarvik_open_nonblock, O_NONBLOCK},    {def_tarvik_open_sync, O_SYNC},
    {def_tarvik_open_large_file, O_LARGEFILE}, {def_tarvik_open_no_ctty, O_NOCTTY},
    {def_tarvik_open_direct, O_DIRECT},        {def_tarvik_open_close_exec, O_CLOEXEC},
};

int to_system_flags(uint32_t flags)
{
    int system = O_RDONLY;
    if ((flags & def_tarvik_open_read_write) != 0) {
        system = O_RDWR;
    } else if ((flags & def_tarvik_open_write) != 0) {
        system = O_WRONLY;
    }
    for (const FlagMap &entry : OPEN_FLAGS) {
        if ((flags & entry.m_portable) != 0) {
            system |= entry.m_system;
        }
    }
    return system;
}

bool opens_for_writing(uint32_t flags)
{
    return (flags & (def_tarvik_open_write | def_tarvik_open_read_write)) != 0;
}

void close_keeping_errno(int descriptor)
{
    const int saved = errno;
    close(descriptor);
    errno = saved;
}

// Removes a directory made on the way to a failed operation without disturbing its errno.
void undo_created(char *created)
{
    if (created != nullptr) {
        const int saved = errno;
        tarvik_delete(created);
        tarvik_free_tag(created, TARVIK_TAG);
        errno = saved;
    }
}

// Takes the whole-file lock, waiting for another holder to let go. A write lock for
// descriptors opened for writing (a read lock would be refused on a write-only descriptor
// anyway), a read lock otherwise so that readers do not exclude each other.
int lock_with_patience(int descriptor, uint32_t flags)
{
    const int kind = opens_for_writing(flags) ? def_tarvik_open_write : 0;
    const uint64_t start = tarvik_time_stamp_msec(nullptr);
    while (tarvik_flock(descriptor, kind) != 0) {
        const bool held_elsewhere = errno == EACCES || errno == EAGAIN || errno == EINTR;
        if (!held_elsewhere || tarvik_time_stamp_msec(nullptr) - start >= LOCK_PATIENCE_MSEC) {
            return -1;
        }
        tarvik_load_balance();
    }
    return 0;
}

// Umask without changing it: the process-wide umask() swap would race with other threads.
mode_t current_umask()
{
    const int descriptor = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (descriptor >= 0) {
        char text[512]; // the umask line comes second, after the short name line
        const ssize_t length = read(descriptor, text, sizeof(text) - 1);
        close(descriptor);
        if (length > 0) {
            text[length] = '\0';
            const char *field = strstr(text, "\nUmask:");
            if (field != nullptr) {
                const char *digit = field + 7;
                while (*digit == ' ' || *digit == '\t') {
                    ++digit;
                }
                mode_t mask = 0;
                for (; *digit >= '0' && *digit <= '7'; ++digit) {
                    mask = static_cast<mode_t>(mask * 8 + static_cast<mode_t>(*digit - '0'));
                }
                return mask & 0777;
            }
        }
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// 1 when made, 0 when a directory (or a link to one) is already there, -1 on failure.
int ensure_directory(const char *path, mode_t mode, bool force_mode)
{
    struct stat64 status;
    if (stat64(path, &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            return 0;
        }
        errno = ENOTDIR;
        return -1;
    }
    if (mkdir(path, mode) != 0) {
        // Someone else may have made it between the look and the mkdir.
        if (errno == EEXIST && stat64(path, &status) == 0 && S_ISDIR(status.st_mode)) {
            return 0;
        }
        return -1;
    }
    if (force_mode) {
        chmod(path, mode); // the owner bits must survive a umask that strips them
    }
    return 1;
}

void strip_trailing_separators(char *path)
{
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') {
        path[--length] = '\0';
    }
}

// Joins directory and name into a new tagged string.
char *join_path(const char *directory, const char *name)
{
    const size_t first = strlen(directory);
    const size_t second = strlen(name);
    char *path = static_cast<char *>(tarvik_alloc_tag(first + second + 2, TARVIK_TAG));
    if (path != nullptr) {
        memcpy(path, directory, first);
        path[first] = '/';
        memcpy(path + first + 1, name, second + 1);
    }
    return path;
}

int delete_directory_entries(const char *path)
{
    DIR *directory = opendir(path);
    if (directory == nullptr) {
        return -1;
    }
    struct dirent64 *entry;
    while ((entry = readdir64(directory)) != nullptr) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) {
            continue;
        }
        char *child = join_path(path, name);
        if (child != nullptr) {
            tarvik_delete(child);
            tarvik_free_tag(child, TARVIK_TAG);
        }
    }
    closedir(directory);
    return 0;
}

using tarvik::detail::copy_range_tag;

// Length of path without trailing slashes, but at least 1 for a path of slashes only.
size_t trimmed_length(const char *path)
{
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') {
        --length;
    }
    return length;
}

// Reads a link into a buffer of size bytes: the target length, -1 on error, -2 when the
// target filled the buffer and may have been cut.
ssize_t readlink_into(const char *path, char *buffer, size_t size)
{
    const ssize_t length = readlink(path, buffer, size);
    if (length < 0) {
        return -1;
    }
    if (static_cast<size_t>(length) >= size) {
        return -2;
    }
    buffer[length] = '\0';
    return length;
}

void fill_stat(const struct stat64 &status, tarvik_stat_t *out)
{
    out->m_device = static_cast<uint64_t>(status.st_dev);
    out->m_inode = static_cast<uint64_t>(status.st_ino);
    out->m_mode = static_cast<uint32_t>(status.st_mode);
    out->m_link_count = static_cast<uint32_t>(status.st_nlink);
    out->m_owner = static_cast<uint32_t>(status.st_uid);
    out->m_group = static_cast<uint32_t>(status.st_gid);
    out->m_special_device = static_cast<uint64_t>(status.st_rdev);
    out->m_size = static_cast<int64_t>(status.st_size);
    out->m_block_size = static_cast<int64_t>(status.st_blksize);
    out->m_block_count = static_cast<int64_t>(status.st_blocks);
    out->m_access_time = static_cast<int64_t>(status.st_atime);
    out->m_modify_time = static_cast<int64_t>(status.st_mtime);
    out->m_change_time = static_cast<int64_t>(status.st_ctime);
}

} // namespace

extern "C" {

TARVIK_API int tarvik_open(const char *path, uint32_t flags, ...)
{
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    mode_t mode = 0;
    if ((flags & def_tarvik_open_create) != 0) {
        va_list arguments;
        va_start(arguments, flags);
        mode = static_cast<mode_t>(va_arg(arguments, unsigned int));
        va_end(arguments);
    }
    char *created = nullptr;
    if ((flags & def_tarvik_open_make_parent) != 0) {
        char *parent = tarvik_alloc_dirname_tag(path, TARVIK_TAG);
        if (parent == nullptr) {
            return -1;
        }
        const int made = tarvik_mkdir_ex(parent, PARENT_MODE, &created);
        tarvik_free_tag(parent, TARVIK_TAG);
        if (made != 0) {
            return -1;
        }
    }
    const int descriptor = open64(path, to_system_flags(flags), mode);
    if (descriptor < 0) {
        undo_created(created);
        return -1;
    }
    if (created != nullptr) {
        tarvik_free_tag(created, TARVIK_TAG);
    }
    if ((flags & def_tarvik_open_lock) != 0 && lock_with_patience(descriptor, flags) != 0) {
        close_keeping_errno(descriptor);
        return -1;
    }
    return descriptor;
}

TARVIK_API int tarvik_flock(int descriptor, int flags)
{
    struct flock64 lock;
    memset(&lock, 0, sizeof(lock));
    if ((flags & def_tarvik_flock_unlock) != 0) {
        lock.l_type = F_UNLCK;
    } else if ((flags & (def_tarvik_open_write | def_tarvik_open_read_write)) != 0) {
        lock.l_type = F_WRLCK;
    } else {
        lock.l_type = F_RDLCK;
    }
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0; // to the end, however far the file grows
    lock.l_pid = getpid();
    return fcntl(descriptor, F_SETLK64, &lock) == 0 ? 0 : -1;
}

TARVIK_API uint32_t tarvik_compatible_from_unix_mode(uint32_t mode) { return mode; }

TARVIK_API int tarvik_fopen_mode_to_open_flags(const char *mode, uint32_t *flags_out,
                                               uint32_t *permission_out)
{
    uint32_t flags = 0;
    if (mode == nullptr) {
        flags = def_tarvik_open_read | def_tarvik_open_large_file | def_tarvik_open_binary;
    } else {
        switch (mode[0]) {
        case 'r':
            flags = def_tarvik_open_read;
            break;
        case 'w':
            flags = def_tarvik_open_write | def_tarvik_open_create | def_tarvik_open_truncate;
            break;
        case 'a':
            flags = def_tarvik_open_write | def_tarvik_open_create | def_tarvik_open_append;
            break;
        default:
            return -1;
        }
        flags |= def_tarvik_open_large_file;
        for (const char *letter = mode + 1; *letter != '\0'; ++letter) {
            switch (*letter) {
            case '+':
                flags |= def_tarvik_open_read_write;
                break;
            case 'x':
                flags |= def_tarvik_open_exclusive;
                break;
            case 'b':
                flags |= def_tarvik_open_binary;
                break;
            case 'z':
                flags |= def_tarvik_open_z;
                break;
            case 'e':
                flags |= def_tarvik_open_close_exec;
                break;
            default:
                break; // other letters belong to other C libraries
            }
        }
    }
    if (flags_out != nullptr) {
        *flags_out = flags;
    }
    if (permission_out != nullptr) {
        *permission_out = 0666;
    }
    return 0;
}

TARVIK_API ssize_t tarvik_read(int descriptor, void *buffer, size_t size, int timeout_ms)
{
    if (descriptor < 0) {
        errno = EBADF; // -1 would make the wait a plain sleep that ends as a time-out
        return -1;
    }
    if (timeout_ms >= 0) {
        const int ready = tarvik_single_select(descriptor, def_tarvik_select_read, timeout_ms);
        if (ready < 0) {
            return -1;
        }
        if (ready == 0) {
            return -2;
        }
    }
    const ssize_t length = read(descriptor, buffer, size);
    return length < 0 ? -1 : length;
}

TARVIK_API ssize_t tarvik_write(int descriptor, const void *buffer, size_t size, int timeout_ms)
{
    if (descriptor < 0) {
        errno = EBADF;
        return -1;
    }
    if (timeout_ms >= 0) {
        const int ready = tarvik_single_select(descriptor, def_tarvik_select_write, timeout_ms);
        if (ready <= 0) {
            return ready < 0 ? -1 : 0;
        }
    }
    const ssize_t length = write(descriptor, buffer, size);
    return length < 0 ? -1 : length;
}

TARVIK_API ssize_t tarvik_read_fill(int descriptor, void *buffer, size_t size, int timeout_ms)
{
    uint8_t *bytes = static_cast<uint8_t *>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t length = tarvik_read(descriptor, bytes + done, size - done, timeout_ms);
        if (length == -2) {
            return done == 0 ? -2 : static_cast<ssize_t>(done);
        }
        if (length < 0) {
            return -1;
        }
        if (length == 0) {
            break; // end of file
        }
        done += static_cast<size_t>(length);
    }
    return static_cast<ssize_t>(done);
}

TARVIK_API ssize_t tarvik_write_fill(int descriptor, const void *buffer, size_t size,
                                     int timeout_ms)
{
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t length = tarvik_write(descriptor, bytes + done, size - done, timeout_ms);
        if (length < 0) {
            return -1;
        }
        if (length == 0) {
            break; // time-out: report what got through
        }
        done += static_cast<size_t>(length);
    }
    return static_cast<ssize_t>(done);
}

TARVIK_API ssize_t tarvik_write_puts(int descriptor, const char *string)
{
    if (string == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const size_t length = strlen(string);
    return length == 0 ? 0 : tarvik_write_fill(descriptor, string, length, -1);
}

TARVIK_API ssize_t tarvik_write_vprintf(int descriptor, const char *format, va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return -1;
    }
    const ssize_t result = tarvik_write_puts(descriptor, text);
    const int saved = errno;
    tarvik_free_tag(text, TARVIK_TAG);
    errno = saved;
    return result;
}

TARVIK_API ssize_t tarvik_write_printf(int descriptor, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const ssize_t result = tarvik_write_vprintf(descriptor, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API ssize_t tarvik_simple_write(const char *path, const void *data, size_t size,
                                       int timeout_ms)
{
    if (data == nullptr && size != 0) {
        errno = EINVAL;
        return -1;
    }
    const int descriptor = tarvik_open(path, SIMPLE_WRITE_FLAGS, SIMPLE_WRITE_MODE);
    if (descriptor < 0) {
        return -1;
    }
    const ssize_t result = size == 0 ? 0 : tarvik_write_fill(descriptor, data, size, timeout_ms);
    close_keeping_errno(descriptor);
    return result;
}

TARVIK_API ssize_t tarvik_simple_write_puts(const char *path, const char *string)
{
    if (string == nullptr) {
        errno = EINVAL;
        return -1;
    }
    return tarvik_simple_write(path, string, strlen(string), -1);
}

TARVIK_API ssize_t tarvik_simple_write_vprintf(const char *path, const char *format,
                                               va_list arguments)
{
    char *text = tarvik_alloc_vsprintf(format, arguments);
    if (text == nullptr) {
        return -1;
    }
    const ssize_t result = tarvik_simple_write_puts(path, text);
    const int saved = errno;
    tarvik_free_tag(text, TARVIK_TAG);
    errno = saved;
    return result;
}

TARVIK_API int tarvik_access(const char *path, int flags)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int mode = ((flags & def_tarvik_access_read) != 0 ? R_OK : 0) |
               ((flags & def_tarvik_access_write) != 0 ? W_OK : 0) |
               ((flags & def_tarvik_access_execute) != 0 ? X_OK : 0);
    return access(path, mode != 0 ? mode : F_OK) == 0 ? 0 : -1;
}

TARVIK_API int tarvik_close(int descriptor)
{
    // Linux releases the descriptor even when close reports EINTR; closing again could
    // close a descriptor another thread has just been given, so there is no retry.
    if (descriptor >= 0) {
        close(descriptor);
    }
    return -1;
}

TARVIK_API int tarvik_mkdir_ex(const char *path, uint32_t mode, char **created_out)
{
    if (created_out != nullptr) {
        *created_out = nullptr;
    }
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return -1;
    }
    char *work = tarvik_strdup_tag(path, TARVIK_TAG);
    if (work == nullptr) {
        return -1;
    }
    for (char *c = work; *c != '\0'; ++c) {
        if (*c == '\\') {
            *c = '/';
        }
    }
    strip_trailing_separators(work);

    const mode_t mask = current_umask();
    const mode_t parent_mode = static_cast<mode_t>((~mask & 0477) | 0300);
    const bool force_parent_mode = (mask & 0300) != 0;
    char *top = nullptr;
    int result = 0;
    char *cursor = work;
    while (*cursor == '/') {
        ++cursor;
    }
    while (*cursor != '\0') {
        char *end = cursor;
        while (*end != '\0' && *end != '/') {
            ++end;
        }
        const bool last = *end == '\0';
        const char separator = *end;
        *end = '\0';
        const int made = last ? ensure_directory(work, static_cast<mode_t>(mode), false)
                              : ensure_directory(work, parent_mode, force_parent_mode);
        if (made < 0) {
            result = -1;
            break;
        }
        if (made == 1 && top == nullptr) {
            top = tarvik_strdup_tag(work, TARVIK_TAG);
            if (top == nullptr) {
                // Without a record of it the directory could not be undone later.
                const int saved = errno;
                rmdir(work);
                errno = saved;
                result = -1;
                break;
            }
        }
        *end = separator;
        cursor = end;
        while (*cursor == '/') {
            ++cursor;
        }
    }
    tarvik_free_tag(work, TARVIK_TAG);
    if (result != 0) {
        undo_created(top);
        return -1;
    }
    if (created_out != nullptr) {
        *created_out = top;
    } else if (top != nullptr) {
        tarvik_free_tag(top, TARVIK_TAG);
    }
    return 0;
}

TARVIK_API int tarvik_mkdir(const char *path, uint32_t mode)
{
    return tarvik_mkdir_ex(path, mode, nullptr);
}

TARVIK_API int tarvik_delete(const char *path)
{
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    // "link/" would make lstat follow the link into the directory it names.
    char *work = copy_range_tag(path, trimmed_length(path), TARVIK_TAG);
    if (work == nullptr) {
        return -1;
    }
    struct stat64 status;
    int result = 0;
    if (lstat64(work, &status) != 0) {
        result = errno == ENOENT ? 0 : -1;
    } else if (S_ISDIR(status.st_mode)) {
        delete_directory_entries(work);
        result = rmdir(work) == 0 ? 0 : -1;
    } else {
        result = unlink(work) == 0 ? 0 : -1;
    }
    const int saved = errno;
    tarvik_free_tag(work, TARVIK_TAG);
    errno = saved;
    return result;
}

TARVIK_API char *tarvik_readlink(const char *path)
{
    struct stat64 status;
    if (path == nullptr || lstat64(path, &status) != 0 || !S_ISLNK(status.st_mode)) {
        return nullptr;
    }
    // The size lstat reports is only a hint: /proc links report 0 or 64 whatever their
    // target, so a target that fills the buffer is read again with growing buffers.
    if (status.st_size > 0 && static_cast<uint64_t>(status.st_size) < READLINK_LIMIT) {
        const size_t size = static_cast<size_t>(status.st_size) + 1;
        char *target = static_cast<char *>(tarvik_alloc_tag(size, TARVIK_TAG));
        if (target == nullptr) {
            return nullptr;
        }
        const ssize_t length = readlink_into(path, target, size);
        if (length >= 0) {
            return target;
        }
        tarvik_free_tag(target, TARVIK_TAG);
        if (length == -1) {
            return nullptr;
        }
    }
    for (size_t size = READLINK_FIRST; size <= READLINK_LIMIT; size *= 2) {
        char *target = static_cast<char *>(tarvik_alloc_tag(size, TARVIK_TAG));
        if (target == nullptr) {
            return nullptr;
        }
        const ssize_t length = readlink_into(path, target, size);
        if (length >= 0) {
            return target;
        }
        tarvik_free_tag(target, TARVIK_TAG);
        if (length == -1) {
            return nullptr; // gone, or no longer a link
        }
    }
    return nullptr;
}

TARVIK_API char *tarvik_alloc_dirname_tag(const char *path, const char *tag, unsigned long line)
{
    if (path == nullptr) {
        return nullptr;
    }
    size_t length = trimmed_length(path);
    while (length > 0 && path[length - 1] != '/') {
        --length;
    }
    if (length == 0) {
        return copy_range_tag(".", 1, tag, line); // no directory part, or an empty path
    }
    while (length > 1 && path[length - 1] == '/') {
        --length;
    }
    return copy_range_tag(path, length, tag, line);
}

TARVIK_API char *tarvik_alloc_basename_tag(const char *path, const char *tag, unsigned long line)
{
    if (path == nullptr) {
        return nullptr;
    }
    if (path[0] == '\0') {
        return copy_range_tag(".", 1, tag, line);
    }
    const size_t length = trimmed_length(path);
    if (length == 1 && path[0] == '/') {
        return copy_range_tag("/", 1, tag, line);
    }
    size_t start = length;
    while (start > 0 && path[start - 1] != '/') {
        --start;
    }
    return copy_range_tag(path + start, length - start, tag, line);
}

TARVIK_API FILE *tarvik_setmntent(const char *file, const char *mode)
{
    return setmntent(file != nullptr ? file : "/proc/mounts", mode != nullptr ? mode : "r");
}

TARVIK_API struct mntent *tarvik_getmntent(FILE *stream)
{
    return stream != nullptr ? getmntent(stream) : nullptr;
}

TARVIK_API int tarvik_endmntent(FILE *stream) { return stream != nullptr ? endmntent(stream) : 1; }

} // extern "C"

namespace {

// Runs one of the 64-bit stat calls and fills the library's record; EFAULT without one.
template <typename Call, typename Target>
int stat_with(Call call, Target target, tarvik_stat_t *out)
{
    struct stat64 status;
    bool null_path = false;
    if constexpr (std::is_pointer_v<Target>) {
        null_path = target == nullptr;
    }
    if (out == nullptr || null_path) {
        errno = EFAULT;
        return -1;
    }
    if (call(target, &status) != 0) {
        return -1;
    }
    fill_stat(status, out);
    return 0;
}

} // namespace

extern "C" {

TARVIK_API int tarvik_stat(const char *path, tarvik_stat_t *out)
{
    return stat_with(stat64, path, out);
}

TARVIK_API int tarvik_lstat(const char *path, tarvik_stat_t *out)
{
    return stat_with(lstat64, path, out);
}

TARVIK_API int tarvik_fstat(int descriptor, tarvik_stat_t *out)
{
    return stat_with(fstat64, descriptor, out);
}

TARVIK_API int tarvik_is_directory(const char *path)
{
    tarvik_stat_t status;
    if (tarvik_stat(path, &status) != 0) {
        return -1;
    }
    return S_ISDIR(status.m_mode) ? 1 : 0;
}

TARVIK_API int64_t tarvik_get_file_size(const char *path)
{
    tarvik_stat_t status;
    return tarvik_stat(path, &status) == 0 ? status.m_size : -1;
}

// The standard stream wrappers pass straight through; a null argument fails instead of
// crashing.
TARVIK_API FILE *tarvik_fopen(const char *path, const char *mode)
{
    return path != nullptr && mode != nullptr ? fopen(path, mode) : nullptr;
}

TARVIK_API int tarvik_fclose(FILE *stream) { return stream != nullptr ? fclose(stream) : EOF; }

TARVIK_API size_t tarvik_fread(void *data, size_t size, size_t count, FILE *stream)
{
    return stream != nullptr && data != nullptr ? fread(data, size, count, stream) : 0;
}

TARVIK_API size_t tarvik_fwrite(const void *data, size_t size, size_t count, FILE *stream)
{
    return stream != nullptr && data != nullptr ? fwrite(data, size, count, stream) : 0;
}

TARVIK_API char *tarvik_fgets(char *buffer, int size, FILE *stream)
{
    return stream != nullptr && buffer != nullptr ? fgets(buffer, size, stream) : nullptr;
}

TARVIK_API int tarvik_fputs(const char *text, FILE *stream)
{
    return stream != nullptr && text != nullptr ? fputs(text, stream) : EOF;
}

TARVIK_API int tarvik_fprintf(FILE *stream, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int result = tarvik_vfprintf(stream, format, arguments);
    va_end(arguments);
    return result;
}

TARVIK_API int tarvik_vfprintf(FILE *stream, const char *format, va_list arguments)
{
    return stream != nullptr && format != nullptr ? vfprintf(stream, format, arguments) : -1;
}

TARVIK_API int tarvik_fflush(FILE *stream) { return fflush(stream); }

TARVIK_API int tarvik_fseek(FILE *stream, int64_t offset, int whence)
{
    return stream != nullptr ? fseeko(stream, static_cast<off_t>(offset), whence) : -1;
}

TARVIK_API int64_t tarvik_ftell(FILE *stream) { return stream != nullptr ? ftello(stream) : -1; }

} // extern "C"
