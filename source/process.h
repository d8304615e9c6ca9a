/* The process table: records read from /proc, the search by descriptor inode, the XML
 * report, and signalling processes by pid, by mapped library or by name. */
#ifndef TARVIK_PROCESS_H
#define TARVIK_PROCESS_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

struct tarvik_buffer_s;

/* Option bits of tarvik_open_ps_ex. */
#define TARVIK_PS_EXE 0x1u          /* read the exe link */
#define TARVIK_PS_INODES 0x2u       /* scan the descriptors: fd count, socket and pipe inodes */
#define TARVIK_PS_MAPS 0x4u         /* read the mapped file paths */
#define TARVIK_PS_CPU 0x8u          /* compute the life-time CPU usage */
#define TARVIK_PS_FD_COUNT 0x20u    /* count the descriptors (fd_count) but keep no inodes */
#define TARVIK_PS_SELF 0x1000u      /* only the calling process */
#define TARVIK_PS_SORT_RSS 0x10000u /* largest resident size first, equal sizes by pid */

/* Bytes of a command line the table keeps at most. */
#define TARVIK_PS_CMDLINE_LIMIT 32768u

/* What tarvik_kill_libdepend_ex prints: every match of every pass, the wait lines. */
#define TARVIK_KILL_LIST_MATCHES 0x1
#define TARVIK_KILL_WAIT_LINES 0x2

/* A descriptor that is a socket or a pipe. */
typedef struct tarvik_ps_inode_s {
    struct tarvik_ps_inode_s *m_next;
    uint32_t m_fd;
    uint64_t m_inode;
} tarvik_ps_inode_t;

/* A mapping that names a file; the path text lives in the same allocation. */
typedef struct tarvik_ps_maps_s {
    struct tarvik_ps_maps_s *m_next;
    char *m_path;
} tarvik_ps_maps_t;

/* One process; the list head is the first record and owns everything below it. */
typedef struct tarvik_ps_s {
    struct tarvik_ps_s *m_prev;
    struct tarvik_ps_s *m_next;
    uint32_t m_cmdline_size; /* bytes read from the cmdline file */
    char *m_cmdline_raw;     /* those bytes plus a NUL; null when none were read */
    int32_t m_argc;
    char **m_argv;        /* m_argc pointers into m_cmdline_raw, not null-terminated */
    char *m_command_line; /* m_cmdline_raw with its NULs turned into spaces */
    char *m_name;         /* Name: of the status file */
    char m_state[4];      /* letter, 'W' or ' ', '<' 'N' or ' ', NUL */
    uint32_t m_pid;
    uint32_t m_ppid;
    uint32_t m_uid;
    uint32_t m_gid;
    uint64_t m_vmsize; /* kB */
    uint32_t m_threads;
    uint64_t m_utime; /* clock ticks */
    uint64_t m_stime;
    uint64_t m_cutime;
    uint64_t m_cstime;
    int32_t m_nice;
    uint64_t m_starttime; /* clock ticks after boot */
    uint64_t m_rss;       /* kB */
    uint32_t m_cpu;       /* life-time usage in hundredths of a percent, 0..10000 */
    char *m_exe;          /* target of the exe link, or null */
    uint64_t m_fd_count;
    tarvik_ps_inode_t *m_inodes;
    tarvik_ps_maps_t *m_maps;
} tarvik_ps_t;

/* New process list (flags: TARVIK_PS_* bits), or null with errno set when /proc cannot be
 * read, memory is short or no process could be read (a process whose status file cannot be
 * read is left out); free it with tarvik_close_ps. */
TARVIK_API tarvik_ps_t *tarvik_open_ps_ex(uint32_t flags);
TARVIK_API tarvik_ps_t *tarvik_open_ps(void);
/* Frees the whole list (null accepted); returns 0. */
TARVIK_API int tarvik_close_ps(tarvik_ps_t *list);
/* First record holding a descriptor with that inode (list read with TARVIK_PS_INODES), or null. */
TARVIK_API tarvik_ps_t *tarvik_ps_search_by_inode(tarvik_ps_t *list, uint64_t inode);
/* 1 when record (read with TARVIK_PS_EXE | TARVIK_PS_MAPS) is another process that maps
 * library (a path or a base name), else 0. */
TARVIK_API int tarvik_ps_maps_library(const tarvik_ps_t *record, const char *library);

/* User-name lookups for one report: a few users own most processes, answers are kept. */
typedef struct tarvik_ps_users_s tarvik_ps_users_t;
/* New lookups, or null without memory; free them with tarvik_close_ps_users. */
TARVIK_API tarvik_ps_users_t *tarvik_open_ps_users(void);
/* Frees the lookups (null accepted); returns 0. */
TARVIK_API int tarvik_close_ps_users(tarvik_ps_users_t *users);
/* Password-database name of uid, its decimal number when none (null users: nothing kept);
 * valid until the next call. */
TARVIK_API const char *tarvik_ps_user_name(tarvik_ps_users_t *users, uint32_t uid);

/* Appends the process table as XML (null buffer: prints it); 0, or -1 when it cannot be read. */
TARVIK_API int tarvik_push_ps_xml(struct tarvik_buffer_s *buffer);

/* Sends signal (0 only probes) to pid; -1 on failure, for pid <= 0 (groups, everyone) and
 * for a negative signal. */
TARVIK_API int tarvik_kill(int pid, int signal);
/* Signals the processes mapping library until none is left (signal -1: none sent); 0 when none
 * matched, -1 when one was due a signal of -1 or the table cannot be read. */
TARVIK_API int tarvik_kill_libdepend(const char *library, int first_signal, int late_signal,
                                     int verbose);
/* tarvik_kill_libdepend over count libraries (a process mapping any of them matches); verbose
 * holds TARVIK_KILL_* bits. The same results. */
TARVIK_API int tarvik_kill_libdepend_ex(const char *const *libraries, int count, int first_signal,
                                        int late_signal, int verbose);
/* Signals the processes of that name until none is left; the first pass's match count, or -1
 * when matches remain and the signal to send is -1 or the table cannot be read. */
TARVIK_API int tarvik_kill_name_ex(const char *name, int first_signal, int late_signal,
                                   int verbose);
/* One silent pass of tarvik_kill_name_ex with signal (-1: none); the number of matches. */
TARVIK_API int tarvik_kill_name(const char *name, int signal);

/* Number of CPUs in the affinity mask of pid (-1: the caller), -1 on failure. */
TARVIK_API int tarvik_get_cpu_count_ex(int pid);

TARVIK_END_DECLS

#endif
