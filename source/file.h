/* Descriptor and file helpers: portable open flags, reads and writes with time-outs,
 * directories, links, mount table and stat records; every returned string is tagged heap. */
#ifndef TARVIK_FILE_H
#define TARVIK_FILE_H

#include "tarvik_abi.h"
#include <stdio.h>
#include <mntent.h>
#include <sys/types.h>

TARVIK_BEGIN_DECLS

/* Portable open flags of tarvik_open. */
#define def_tarvik_open_read 0x00001  /* the default access */
#define def_tarvik_open_write 0x00002 /* write only */
#define def_tarvik_open_read_write 0x00004
#define def_tarvik_open_create 0x00008 /* a third argument gives the permission bits */
#define def_tarvik_open_truncate 0x00010
#define def_tarvik_open_exclusive 0x00020
#define def_tarvik_open_append 0x00040
#define def_tarvik_open_nonblock 0x00080
#define def_tarvik_open_sync 0x00100
#define def_tarvik_open_large_file 0x00200
#define def_tarvik_open_binary 0x00400 /* no effect on Linux */
#define def_tarvik_open_z 0x00800      /* mode letter "z"; no effect in tarvik_open */
#define def_tarvik_open_lock 0x01000   /* whole-file advisory lock after opening */
#define def_tarvik_open_no_ctty 0x04000
#define def_tarvik_open_direct 0x20000
#define def_tarvik_open_make_parent 0x40000 /* create missing parent directories (0755) */
#define def_tarvik_open_close_exec 0x80000

/* tarvik_flock: release instead of lock; bits 0x2 or 0x4 ask a write lock, else a read lock. */
#define def_tarvik_flock_unlock 0x2000

/* The library's stat record, filled from the 64-bit system calls; times in seconds. */
typedef struct tarvik_stat_s {
    uint64_t m_device;
    uint64_t m_inode;
    uint32_t m_mode;
    uint32_t m_link_count;
    uint32_t m_owner;
    uint32_t m_group;
    uint64_t m_special_device;
    int64_t m_size;
    int64_t m_block_size;
    int64_t m_block_count;
    int64_t m_access_time;
    int64_t m_modify_time;
    int64_t m_change_time;
} tarvik_stat_t;

/* Descriptor or -1. With the create flag a third argument (unsigned int) gives the mode. */
TARVIK_API int tarvik_open(const char *path, uint32_t flags, ...);
/* Whole-file record lock without waiting; 0, or -1 when refused. */
TARVIK_API int tarvik_flock(int descriptor, int flags);
/* The library's permission value for Unix permission bits (the same on Linux). */
TARVIK_API uint32_t tarvik_compatible_from_unix_mode(uint32_t mode);
/* fopen mode text to portable flags and permission (outputs may be null); -1 for a bad mode. */
TARVIK_API int tarvik_fopen_mode_to_open_flags(const char *mode, uint32_t *flags_out,
                                               uint32_t *permission_out);

/* read's result, -1 on error, -2 when timeout_ms (>= 0) passes; negative: no wait. */
TARVIK_API ssize_t tarvik_read(int descriptor, void *buffer, size_t size, int timeout_ms);
/* write's result, -1 on error, 0 when timeout_ms (>= 0) passes. */
TARVIK_API ssize_t tarvik_write(int descriptor, const void *buffer, size_t size, int timeout_ms);
/* Bytes read before end of file or size; -2 when the first wait times out, -1 on error. */
TARVIK_API ssize_t tarvik_read_fill(int descriptor, void *buffer, size_t size, int timeout_ms);
/* size, or the bytes written before a time-out; -1 on error. */
TARVIK_API ssize_t tarvik_write_fill(int descriptor, const void *buffer, size_t size,
                                     int timeout_ms);
/* Bytes written (0 for an empty string), -1 on error or for a null string. */
TARVIK_API ssize_t tarvik_write_puts(int descriptor, const char *string);
TARVIK_API ssize_t tarvik_write_vprintf(int descriptor, const char *format, va_list arguments);
TARVIK_API ssize_t tarvik_write_printf(int descriptor, const char *format, ...) TARVIK_PRINTF(2, 3);

/* Replaces the file at path (mode 0644); bytes written, -1 on error. */
TARVIK_API ssize_t tarvik_simple_write(const char *path, const void *data, size_t size,
                                       int timeout_ms);
TARVIK_API ssize_t tarvik_simple_write_puts(const char *path, const char *string);
TARVIK_API ssize_t tarvik_simple_write_vprintf(const char *path, const char *format,
                                               va_list arguments);

/* Checks of tarvik_access (any combination; 0x1 alone tests existence). */
#define def_tarvik_access_exist 0x1
#define def_tarvik_access_read 0x2
#define def_tarvik_access_write 0x4
#define def_tarvik_access_execute 0x8

/* 0 when path exists and allows every access asked in flags, else -1 with errno. */
TARVIK_API int tarvik_access(const char *path, int flags);

/* Closes descriptor (-1 ignored); always returns -1 for storing back. */
TARVIK_API int tarvik_close(int descriptor);

/* Creates path and its missing parents ("/" and "\" separate); 0 or -1. created_out (may
 * be null) receives the topmost directory made, as a heap string the caller frees, or null. */
TARVIK_API int tarvik_mkdir_ex(const char *path, uint32_t mode, char **created_out);
TARVIK_API int tarvik_mkdir(const char *path, uint32_t mode);
/* Removes a file or a whole tree without following links; 0 when path does not exist. */
TARVIK_API int tarvik_delete(const char *path);
/* Link target as a heap string the caller frees; null when path is not a link. */
TARVIK_API char *tarvik_readlink(const char *path);
/* Directory part / last component as heap strings the caller frees; null for a null path. */
TARVIK_API char *tarvik_alloc_dirname_tag(const char *path, const char *tag, unsigned long line);
TARVIK_API char *tarvik_alloc_basename_tag(const char *path, const char *tag, unsigned long line);

/* Mount table (null file: "/proc/mounts", null mode: "r"); null on failure. */
TARVIK_API FILE *tarvik_setmntent(const char *file, const char *mode);
/* Next entry (the C library's static record) or null at the end. */
TARVIK_API struct mntent *tarvik_getmntent(FILE *stream);
/* Closes the table (null accepted); returns 1. */
TARVIK_API int tarvik_endmntent(FILE *stream);

/* 0, or -1 with errno; out must not be null. */
TARVIK_API int tarvik_stat(const char *path, tarvik_stat_t *out);
TARVIK_API int tarvik_lstat(const char *path, tarvik_stat_t *out);
TARVIK_API int tarvik_fstat(int descriptor, tarvik_stat_t *out);
/* 1 for a directory (links followed), 0 for anything else, -1 when path cannot be examined. */
TARVIK_API int tarvik_is_directory(const char *path);
/* Size in bytes, -1 when path cannot be examined. */
TARVIK_API int64_t tarvik_get_file_size(const char *path);

/* Standard streams: straight through to the C library (64-bit offsets), except that a null
 * stream, path, buffer or format fails instead of crashing. */
/* New stream, or null; the caller closes it with tarvik_fclose. */
TARVIK_API FILE *tarvik_fopen(const char *path, const char *mode);
/* 0, or EOF on failure. */
TARVIK_API int tarvik_fclose(FILE *stream);
/* Whole items read or written: fewer at the end of the file or on failure. */
TARVIK_API size_t tarvik_fread(void *data, size_t size, size_t count, FILE *stream);
TARVIK_API size_t tarvik_fwrite(const void *data, size_t size, size_t count, FILE *stream);
/* buffer with one line (or what fits), or null at the end of the file or on failure. */
TARVIK_API char *tarvik_fgets(char *buffer, int size, FILE *stream);
/* A non-negative number, or EOF on failure. */
TARVIK_API int tarvik_fputs(const char *text, FILE *stream);
/* Characters written with the C library's formatting, or a negative number on failure. */
TARVIK_API int tarvik_fprintf(FILE *stream, const char *format, ...) TARVIK_PRINTF(2, 3);
TARVIK_API int tarvik_vfprintf(FILE *stream, const char *format, va_list arguments)
    TARVIK_PRINTF(2, 0);
/* 0, or EOF on failure; a null stream flushes every output stream. */
TARVIK_API int tarvik_fflush(FILE *stream);
/* 0, or -1 on failure. */
TARVIK_API int tarvik_fseek(FILE *stream, int64_t offset, int whence);
/* The position, or -1 on failure. */
TARVIK_API int64_t tarvik_ftell(FILE *stream);

TARVIK_END_DECLS

#endif
