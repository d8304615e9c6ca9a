// Stream applets' inputs and outputs over descriptors: standard input and output are
// duplicated, so every handle is closed the same way and the process's own stay open. A name
// with a scheme ("tftp://", "ftp://", "pipe://", "http://" with the curl plugin, ...) is read
// through a stream context instead; its handle carries a mark bit beside the context handle.
#include "input.hpp"

#include "ctx.h"
#include "file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vexa {

namespace {

constexpr int CTX_MARK = 0x40000000;

bool is_ctx(int input) { return input >= 0 && (input & CTX_MARK) != 0; }

} // namespace

int open_input(const char *name, bool debug)
{
    if (name == nullptr) {
        return fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
    }
    if (strstr(name, "://") != nullptr) {
        const int ctx = tarvik_open_ctx_stream(name, "rb", debug ? 1 : 0);
        return ctx >= 0 && ctx < CTX_MARK ? (ctx | CTX_MARK) : tarvik_destroy_ctx(ctx);
    }
    return tarvik_open(name, def_tarvik_open_read | def_tarvik_open_large_file |
                                 def_tarvik_open_close_exec | def_tarvik_open_no_ctty);
}

// A blocking descriptor's read waits by itself until data comes; one left non-blocking by
// whoever passed it waits for readability in 1000 ms steps.
ssize_t read_input(int input, void *buffer, size_t size)
{
    if (is_ctx(input)) {
        return tarvik_ctx_read(input & ~CTX_MARK, buffer, size);
    }
    for (int wait_ms = -1;;) {
        ssize_t length = tarvik_read(input, buffer, size, wait_ms);
        if (length >= 0) {
            return length;
        }
        if (length != -2 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return -1;
        }
        wait_ms = errno == EINTR ? wait_ms : 1000;
    }
}

int64_t input_size(int input)
{
    tarvik_stat_t status;
    if (is_ctx(input) || tarvik_fstat(input, &status) != 0 || (status.m_mode & S_IFMT) != S_IFREG) {
        return -1;
    }
    return status.m_size;
}

bool skip_input(int input, uint64_t offset)
{
    if (offset == 0 ||
        (!is_ctx(input) && lseek(input, static_cast<off_t>(offset), SEEK_SET) >= 0)) {
        return true;
    }
    static char discard[4096];
    while (offset > 0) {
        ssize_t length =
            read_input(input, discard, offset < sizeof(discard) ? offset : sizeof(discard));
        if (length <= 0) {
            return false;
        }
        offset -= static_cast<uint64_t>(length);
    }
    return true;
}

int close_input(int input)
{
    return is_ctx(input) ? tarvik_destroy_ctx(input & ~CTX_MARK) : tarvik_close(input);
}

int open_output(const char *path)
{
    if (path == nullptr) {
        fflush(stdout);
        return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    }
    return tarvik_open(path,
                       def_tarvik_open_write | def_tarvik_open_create | def_tarvik_open_truncate |
                           def_tarvik_open_large_file | def_tarvik_open_close_exec,
                       0644u);
}

bool write_output(int output, const void *data, size_t size)
{
    return size == 0 || tarvik_write_fill(output, data, size, -1) == static_cast<ssize_t>(size);
}

int close_output(int output) { return tarvik_close(output); }

bool same_file(const char *name, const char *path)
{
    if (name == nullptr || path == nullptr) {
        return false;
    }
    struct stat input;
    struct stat output;
    return strcmp(name, path) == 0 ||
           (stat(name, &input) == 0 && stat(path, &output) == 0 && input.st_dev == output.st_dev &&
            input.st_ino == output.st_ino);
}

} // namespace vexa
