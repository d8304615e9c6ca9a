/* tarvik_plugin_zlib.so: the gzip family of applets on zlib, served through the plugin's
 * main entry and chosen by the name it is called with:
 *   gzip   compresses files to <file>.gz (or standard input to standard output),
 *   gunzip decompresses <file>.gz (also .tgz to .tar and .z) back to the file,
 *   zcat   decompresses to standard output (gunzip -c),
 *   zpipe  compresses standard input to standard output in the zlib format (-d reverses it).
 * Options: -c (to standard output), -d (decompress), -k (keep the input), -f (force:
 * overwrite, write compressed data to a terminal), -1 ... -9 (level), -h; they may be
 * grouped ("-dc") and "--" ends them. A file is written beside its input under its new name,
 * with the input's mode and times, and removed again when anything fails; the input goes
 * only once the output is complete. Exit status 0, 1 on an error, 2 after a warning.
 *
 * The plugin is built against the program's public interface like any third-party plugin:
 * it exports tarvik_plugin_initialize / tarvik_plugin_uninitialize with a version-1 ctx0
 * table whose only slot is the main entry. */
#define _GNU_SOURCE
#include "plugin.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#define EXPORT __attribute__((visibility("default")))
#define CHUNK (128 * 1024)

enum command { GZIP, GUNZIP, ZCAT, ZPIPE };

struct options {
    enum command m_command;
    const char *m_name; /* for messages */
    int m_decompress;
    int m_stdout;
    int m_keep;
    int m_force;
    int m_level;
};

static unsigned char s_in[CHUNK];
static unsigned char s_out[CHUNK];

static const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash != NULL ? slash + 1 : path;
}

static int command_of(const char *name, enum command *command)
{
    static const char *const names[] = {"gzip", "gunzip", "zcat", "zpipe"};
    /* The longest match wins: "gunzip" also holds "zip", "vexa_zcat" holds "zcat". */
    int found = -1;
    size_t length = 0;
    for (int index = 0; index < 4; ++index) {
        if (strstr(name, names[index]) != NULL && strlen(names[index]) > length) {
            found = index;
            length = strlen(names[index]);
        }
    }
    if (found < 0)
        return -1;
    *command = (enum command)found;
    return 0;
}

static void usage(const char *name)
{
    fprintf(stderr,
            "usage: %s [-cdfhk1-9] [<file> ...]\n"
            "\t-c : write to standard output, keep the files\n"
            "\t-d : decompress\n"
            "\t-f : force: overwrite files, write compressed data to a terminal\n"
            "\t-k : keep the input files\n"
            "\t-1 .. -9 : fastest .. best compression (default 6)\n"
            "\t-h : help\n"
            "Without a file (or with \"-\") standard input goes to standard output.\n",
            name);
}

static int write_all(int fd, const unsigned char *data, size_t size)
{
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        data += written;
        size -= (size_t)written;
    }
    return 0;
}

static ssize_t read_some(int fd, unsigned char *buffer, size_t size)
{
    for (;;) {
        ssize_t got = read(fd, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

/* Compresses in to out; 0, or -1 with the message printed. */
static int compress_stream(const struct options *options, int in, int out, const char *label)
{
    z_stream stream;
    int flush = Z_NO_FLUSH;
    int result = 0;
    memset(&stream, 0, sizeof(stream));
    /* 15 + 16: a gzip wrapper; zpipe writes the zlib format. */
    if (deflateInit2(&stream, options->m_level, Z_DEFLATED,
                     options->m_command == ZPIPE ? 15 : 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        fprintf(stderr, "%s: %s: out of memory\n", options->m_name, label);
        return -1;
    }
    do {
        ssize_t got = read_some(in, s_in, sizeof(s_in));
        if (got < 0) {
            fprintf(stderr, "%s: %s: %s\n", options->m_name, label, strerror(errno));
            result = -1;
            break;
        }
        flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = s_in;
        stream.avail_in = (uInt)got;
        do {
            stream.next_out = s_out;
            stream.avail_out = sizeof(s_out);
            deflate(&stream, flush);
            if (write_all(out, s_out, sizeof(s_out) - stream.avail_out) != 0) {
                fprintf(stderr, "%s: write error: %s\n", options->m_name, strerror(errno));
                result = -1;
                break;
            }
        } while (stream.avail_out == 0);
    } while (result == 0 && flush != Z_FINISH);
    deflateEnd(&stream);
    return result;
}

/* Decompresses in to out: every gzip member in turn (or one zlib stream for zpipe); 0, 2
 * after trailing garbage (ignored), or -1 with the message printed. */
static int decompress_stream(const struct options *options, int in, int out, const char *label)
{
    z_stream stream;
    int status = Z_OK;
    int result = 0;
    int members = 0;
    int window = options->m_command == ZPIPE ? 15 : 15 + 16;
    memset(&stream, 0, sizeof(stream));
    if (inflateInit2(&stream, window) != Z_OK) {
        fprintf(stderr, "%s: %s: out of memory\n", options->m_name, label);
        return -1;
    }
    for (;;) {
        if (stream.avail_in == 0) {
            ssize_t got = read_some(in, s_in, sizeof(s_in));
            if (got < 0) {
                fprintf(stderr, "%s: %s: %s\n", options->m_name, label, strerror(errno));
                result = -1;
                break;
            }
            if (got == 0) {
                if (status != Z_STREAM_END) {
                    fprintf(stderr, "%s: %s: unexpected end of file\n", options->m_name, label);
                    result = -1;
                }
                break;
            }
            stream.next_in = s_in;
            stream.avail_in = (uInt)got;
        }
        if (status == Z_STREAM_END) {
            /* Another member follows, or trailing bytes that are none. */
            if (options->m_command == ZPIPE || stream.next_in[0] != 0x1f ||
                (stream.avail_in > 1 && stream.next_in[1] != 0x8b)) {
                fprintf(stderr, "%s: %s: decompression OK, trailing garbage ignored\n",
                        options->m_name, label);
                result = 2;
                break;
            }
            inflateReset(&stream);
            status = Z_OK;
        }
        stream.next_out = s_out;
        stream.avail_out = sizeof(s_out);
        status = inflate(&stream, Z_NO_FLUSH);
        if (status == Z_NEED_DICT || status == Z_DATA_ERROR || status == Z_MEM_ERROR ||
            status == Z_STREAM_ERROR) {
            const char *reason = stream.msg != NULL ? stream.msg : "invalid compressed data";
            if (members == 0 && stream.total_out == 0 && status == Z_DATA_ERROR &&
                options->m_command != ZPIPE && stream.msg != NULL &&
                strcmp(stream.msg, "incorrect header check") == 0)
                reason = "not in gzip format";
            fprintf(stderr, "%s: %s: %s\n", options->m_name, label, reason);
            result = -1;
            break;
        }
        if (write_all(out, s_out, sizeof(s_out) - stream.avail_out) != 0) {
            fprintf(stderr, "%s: write error: %s\n", options->m_name, strerror(errno));
            result = -1;
            break;
        }
        if (status == Z_STREAM_END)
            ++members;
    }
    inflateEnd(&stream);
    return result;
}

static int run_stream(const struct options *options, int in, int out, const char *label)
{
    return options->m_decompress ? decompress_stream(options, in, out, label)
                                 : compress_stream(options, in, out, label);
}

/* The name of the output for path, in a new allocation; null (message printed) when the
 * file is skipped. */
static char *output_name(const struct options *options, const char *path)
{
    size_t length = strlen(path);
    char *name;
    if (!options->m_decompress) {
        if (length > 3 && strcmp(path + length - 3, ".gz") == 0) {
            fprintf(stderr, "%s: %s already has .gz suffix -- unchanged\n", options->m_name,
                    path);
            return NULL;
        }
        name = malloc(length + 4);
        if (name != NULL) {
            memcpy(name, path, length);
            memcpy(name + length, ".gz", 4);
        }
        return name;
    }
    static const char *const suffixes[][2] = {{".gz", ""}, {".tgz", ".tar"}, {".z", ""}};
    for (size_t index = 0; index < sizeof(suffixes) / sizeof(suffixes[0]); ++index) {
        size_t suffix = strlen(suffixes[index][0]);
        const char *base = base_name(path);
        if (strlen(base) > suffix && strcmp(path + length - suffix, suffixes[index][0]) == 0) {
            size_t replacement = strlen(suffixes[index][1]);
            name = malloc(length - suffix + replacement + 1);
            if (name != NULL) {
                memcpy(name, path, length - suffix);
                memcpy(name + length - suffix, suffixes[index][1], replacement + 1);
            }
            return name;
        }
    }
    fprintf(stderr, "%s: %s: unknown suffix -- ignored\n", options->m_name, path);
    return NULL;
}

/* One file: 0, 1 on an error, 2 after a warning. */
static int process_file(const struct options *options, const char *path)
{
    struct stat status;
    int in = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (in < 0 || fstat(in, &status) != 0) {
        fprintf(stderr, "%s: %s: %s\n", options->m_name, path, strerror(errno));
        if (in >= 0)
            close(in);
        return 1;
    }
    if (S_ISDIR(status.st_mode)) {
        fprintf(stderr, "%s: %s is a directory -- ignored\n", options->m_name, path);
        close(in);
        return 2;
    }
    if (options->m_stdout) {
        int result = run_stream(options, in, STDOUT_FILENO, path);
        close(in);
        return result < 0 ? 1 : result;
    }
    if (!S_ISREG(status.st_mode)) {
        fprintf(stderr, "%s: %s is not a regular file -- ignored\n", options->m_name, path);
        close(in);
        return 2;
    }
    char *name = output_name(options, path);
    if (name == NULL) {
        close(in);
        return 2;
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | (options->m_force ? O_TRUNC : O_EXCL);
    int out = open(name, flags, 0600);
    if (out < 0) {
        if (errno == EEXIST)
            fprintf(stderr, "%s: %s already exists (use -f to overwrite)\n", options->m_name,
                    name);
        else
            fprintf(stderr, "%s: %s: %s\n", options->m_name, name, strerror(errno));
        free(name);
        close(in);
        return 1;
    }
    int result = run_stream(options, in, out, path);
    close(in);
    /* The input's mode and times go to the output; the data reaches the disk first. */
    struct timespec times[2] = {status.st_atim, status.st_mtim};
    if (result >= 0 && (fchmod(out, status.st_mode & 07777) != 0 || futimens(out, times) != 0 ||
                        fsync(out) != 0)) {
        fprintf(stderr, "%s: %s: %s\n", options->m_name, name, strerror(errno));
        result = -1;
    }
    if (close(out) != 0 && result >= 0) {
        fprintf(stderr, "%s: %s: %s\n", options->m_name, name, strerror(errno));
        result = -1;
    }
    if (result < 0) {
        unlink(name); /* nothing half-written is left behind */
    } else if (!options->m_keep && unlink(path) != 0) {
        fprintf(stderr, "%s: %s: %s\n", options->m_name, path, strerror(errno));
        result = 2;
    }
    free(name);
    return result < 0 ? 1 : result;
}

/* 0 for an option taken, 1 for help, -1 for an unknown letter. */
static int apply_letter(struct options *options, char letter)
{
    if (letter >= '1' && letter <= '9') {
        options->m_level = letter - '0';
        return 0;
    }
    switch (letter) {
    case 'c':
        options->m_stdout = 1;
        return 0;
    case 'd':
        options->m_decompress = 1;
        return 0;
    case 'k':
        options->m_keep = 1;
        return 0;
    case 'f':
        options->m_force = 1;
        return 0;
    case 'h':
        return 1;
    default:
        return -1;
    }
}

static int zlib_main(int argc, char **argv)
{
    struct options options;
    int first = 1;
    int status = 0;
    int files = 0;
    memset(&options, 0, sizeof(options));
    options.m_level = Z_DEFAULT_COMPRESSION;
    if (argc < 1 || argv == NULL || argv[0] == NULL)
        return 1;
    /* Run as "plugin --exec tarvik_plugin_zlib.so gzip ...": the command is the next word. */
    options.m_name = base_name(argv[0]);
    if (command_of(options.m_name, &options.m_command) != 0) {
        if (argc < 2 || command_of(base_name(argv[1]), &options.m_command) != 0) {
            fprintf(stderr, "%s: call me as gzip, gunzip, zcat or zpipe\n", options.m_name);
            return 1;
        }
        options.m_name = base_name(argv[1]);
        first = 2;
    }
    options.m_decompress = options.m_command == GUNZIP || options.m_command == ZCAT;
    options.m_stdout = options.m_command == ZCAT || options.m_command == ZPIPE;
    int index = first;
    for (; index < argc && argv[index][0] == '-' && argv[index][1] != '\0'; ++index) {
        const char *option = argv[index];
        char single[3] = {'-', '\0', '\0'};
        if (strcmp(option, "--") == 0) {
            ++index;
            break;
        }
        if (option[1] == '-') {
            /* A long option is its short letter. */
            static const char *const longs[] = {"--stdout", "--to-stdout", "--decompress",
                                                "--uncompress", "--keep", "--force", "--fast",
                                                "--best", "--help"};
            static const char letters[] = "ccddkf19h";
            size_t which = 0;
            while (which < sizeof(longs) / sizeof(longs[0]) && strcmp(longs[which], option) != 0)
                ++which;
            single[1] = which < sizeof(longs) / sizeof(longs[0]) ? letters[which] : '?';
            option = single;
        }
        for (const char *letter = option + 1; *letter != '\0'; ++letter) {
            switch (apply_letter(&options, *letter)) {
            case 0:
                break;
            case 1:
                usage(options.m_name);
                return 0;
            default:
                fprintf(stderr, "%s: unknown option \"%s\"\n", options.m_name, argv[index]);
                usage(options.m_name);
                return 1;
            }
        }
    }
    if (options.m_command == ZPIPE && index < argc) {
        fprintf(stderr, "%s: reads standard input only\n", options.m_name);
        return 1;
    }
    for (; index <= argc; ++index) {
        const char *path = index < argc ? argv[index] : NULL;
        if (path == NULL && files > 0)
            break;
        ++files;
        int result;
        if (path == NULL || strcmp(path, "-") == 0) {
            if (!options.m_decompress && !options.m_force && isatty(STDOUT_FILENO)) {
                fprintf(stderr,
                        "%s: compressed data not written to a terminal (use -f to force)\n",
                        options.m_name);
                return 1;
            }
            result = run_stream(&options, STDIN_FILENO, STDOUT_FILENO, "stdin");
            result = result < 0 ? 1 : result;
        } else {
            result = process_file(&options, path);
        }
        if (result > status)
            status = result;
        if (path == NULL)
            break;
    }
    return status;
}

static tarvik_ctx0_v1_interface_t s_interface;

EXPORT int tarvik_plugin_initialize(const char **hint, const void **interface, uint32_t *size);
EXPORT int tarvik_plugin_uninitialize(void);

int tarvik_plugin_initialize(const char **hint, const void **interface, uint32_t *size)
{
    memset(&s_interface, 0, sizeof(s_interface));
    s_interface.m_v0.m_type = TARVIK_INTERFACE_TYPE_CTX0;
    s_interface.m_v0.m_size = sizeof(s_interface);
    s_interface.m_v0.m_version = TARVIK_CTX0_VERSION_1;
    s_interface.m_v0.m_main = zlib_main;
    *hint = "application/qvl_multicall_zlib";
    *interface = &s_interface;
    *size = sizeof(s_interface);
    return 0;
}

int tarvik_plugin_uninitialize(void) { return 0; }
