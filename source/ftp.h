/* Blocking FTP client (RFC 959, with the extended passive and active commands of RFC 2428)
 * driven by URIs: connection and login, the commands with their checking variants, passive
 * and active data connections, streams, and downloads into a byte queue, an INI handle or a
 * file with an optional MD5 digest and a progress line. */
#ifndef TARVIK_FTP_H
#define TARVIK_FTP_H

#include "tarvik_abi.h"
#include "buffer.h"
#include "ini.h"
#include "md5.h"
#include "select.h"
#include "uri.h"
#include <sys/types.h>

TARVIK_BEGIN_DECLS

/* Bits of m_state. */
#define TARVIK_FTP_STATE_CONNECTED 0x1u /* the control connection is up */
#define TARVIK_FTP_STATE_DATA 0x2u      /* a data connection is prepared */
#define TARVIK_FTP_STATE_GREETED 0x4u   /* the 220 greeting arrived (QUIT is due on disconnect) */
#define TARVIK_FTP_STATE_SENT 0x10u     /* the last pump sent bytes */
#define TARVIK_FTP_STATE_RECEIVED 0x20u /* the last pump received bytes */
#define TARVIK_FTP_STATE_CR 0x100u      /* the last line ended with CR: a following LF is dropped */
#define TARVIK_FTP_STATE_LF 0x200u      /* the last line ended with LF: a following CR is dropped */
#define TARVIK_FTP_STATE_HIGH 0x400u    /* a byte of 0x80 or above: the next byte is ordinary */

/* Download flags. */
#define TARVIK_FTP_VERBOSE 0x1u      /* print every control line */
#define TARVIK_FTP_ASK_USERNAME 0x2u /* prompt for the user name (simple helpers) */
#define TARVIK_FTP_ASK_PASSWORD 0x4u /* prompt for the password (simple helpers) */
#define TARVIK_FTP_PROGRESS 0x8u     /* draw the progress line, ended by a newline */
#define TARVIK_FTP_NO_DATA_TIMEOUT 0x10u
#define TARVIK_FTP_REMOVE_ON_FAILURE 0x20u /* to-file: leave no partial file behind */
#define TARVIK_FTP_MAKE_PARENTS 0x40u      /* to-file: create missing parent directories (0755) */
#define TARVIK_FTP_SIZE_REQUIRED 0x80u     /* fail when SIZE fails (otherwise the size is 0) */
#define TARVIK_FTP_RESUME 0x100u /* to-file: continue the partial file of an earlier attempt */

/* Bytes of the I/O block: data moves in blocks of this size, and no reply line may be longer. */
#define TARVIK_FTP_BLOCK_SIZE 65536u

/* One client connection; a handle is used by one thread at a time. */
typedef struct tarvik_ftp_s {
    int32_t m_verbose;          /* print every control line received */
    int32_t m_command_timeout;  /* ms to wait for a reply line (24000); -1: no limit */
    int32_t m_data_timeout;     /* ms for data connects and receives (60000); -1: no limit */
    int32_t m_ask_username;     /* prompt for a user name when none is known */
    int32_t m_ask_password;     /* prompt for a password when none is known or it was refused */
    int32_t m_login_retry;      /* refused passwords at which login gives up (1); -1: no limit */
    int32_t m_passive;          /* 1: passive data connections (default), 0: active */
    tarvik_uri_t *m_uri;        /* the connection's URI */
    uint32_t m_state;           /* TARVIK_FTP_STATE_* */
    int32_t m_family;           /* address family of the control connection's peer */
    int32_t m_control_socket;   /* each socket -1 when closed */
    int32_t m_listen_socket;    /* active mode: waiting for the server */
    int32_t m_accepted_socket;  /* active mode: the server's connection */
    int32_t m_connected_socket; /* passive mode: our connection to the server */
    int32_t m_data_socket;      /* the data socket in use */
    tarvik_buffer_t *m_send_queue;
    tarvik_buffer_t *m_receive_queue;
    uint8_t *m_block;         /* TARVIK_FTP_BLOCK_SIZE bytes */
    size_t m_scan_offset;     /* bytes of the line being assembled already examined */
    size_t m_line_length;     /* length of the last line */
    char *m_line;             /* the last line (heap string) */
    int32_t m_reply_code;     /* code of the last complete reply, -1 before any */
    const char *m_reply_text; /* inside m_line, after the code and its blank */
    uint64_t m_start_time;    /* transfer statistics: ms */
    uint64_t m_elapsed;       /* ms */
    uint64_t m_bytes;
    uint64_t m_rate; /* bytes per second */
    tarvik_select_t *m_select;
} tarvik_ftp_t;

/* New handle with the defaults, or null; close it. */
TARVIK_API tarvik_ftp_t *tarvik_open_ftp(void);
/* Disconnects and frees the handle (null accepted); returns null. */
TARVIK_API tarvik_ftp_t *tarvik_close_ftp(tarvik_ftp_t *ftp);

/* Connects to the URI's host (its port, else default_port, else 21) and reads the 220
 * greeting; a URI sub type "active" or "passive" sets the data mode. 0, or -1 with the handle
 * disconnected. The set_connect form adopts socket (closed on failure) unless it is -1. */
TARVIK_API int tarvik_ftp_connect(tarvik_ftp_t *ftp, const char *uri, int default_port);
TARVIK_API int tarvik_ftp_set_connect_socket(tarvik_ftp_t *ftp, int socket, const char *uri,
                                             int default_port);
/* QUIT when greeted, then closes every socket and frees the connection's state; returns 0. */
TARVIK_API int tarvik_ftp_disconnect(tarvik_ftp_t *ftp);
/* USER/PASS (user and password may be null: the URI's, a prompt, or anonymous), then TYPE
 * (null: "I"); 0 when logged in, else -1. */
TARVIK_API int tarvik_ftp_login(tarvik_ftp_t *ftp, const char *user, const char *password,
                                const char *type);

/* Commands: each returns the reply code, or -1 for a null handle, a missing argument, an
 * argument holding a line break, a lost connection or a reply time-out. */
/* Sends text unchanged (null: only reads the next reply). */
TARVIK_API int tarvik_ftp_command_puts(tarvik_ftp_t *ftp, const char *text);
TARVIK_API int tarvik_ftp_command_vprintf(tarvik_ftp_t *ftp, const char *format, va_list arguments);
TARVIK_API int tarvik_ftp_command_printf(tarvik_ftp_t *ftp, const char *format, ...)
    TARVIK_PRINTF(2, 3);
TARVIK_API int tarvik_ftp_user(tarvik_ftp_t *ftp, const char *user);
TARVIK_API int tarvik_ftp_pass(tarvik_ftp_t *ftp, const char *password);
TARVIK_API int tarvik_ftp_acct(tarvik_ftp_t *ftp, const char *account);
/* null: "I". */
TARVIK_API int tarvik_ftp_type(tarvik_ftp_t *ftp, const char *type);
TARVIK_API int tarvik_ftp_stru(tarvik_ftp_t *ftp, const char *structure);
TARVIK_API int tarvik_ftp_mode(tarvik_ftp_t *ftp, const char *mode);
TARVIK_API int tarvik_ftp_cwd(tarvik_ftp_t *ftp, const char *path);
/* 0 when CWD answers 250, else -1. */
TARVIK_API int tarvik_ftp_chdir(tarvik_ftp_t *ftp, const char *path);
TARVIK_API int tarvik_ftp_cdup(tarvik_ftp_t *ftp);
TARVIK_API int tarvik_ftp_pwd(tarvik_ftp_t *ftp);
/* 0 with the quoted directory of the 257 reply as a new string in *text (the caller frees
 * it), else -1. */
TARVIK_API int tarvik_ftp_get_pwd(tarvik_ftp_t *ftp, char **text);
TARVIK_API int tarvik_ftp_syst(tarvik_ftp_t *ftp);
/* 0 with the 215 reply text as a new string in *text (the caller frees it), else -1. */
TARVIK_API int tarvik_ftp_get_system(tarvik_ftp_t *ftp, char **text);
TARVIK_API int tarvik_ftp_noop(tarvik_ftp_t *ftp);
/* 0 when NOOP answers 200, else -1. */
TARVIK_API int tarvik_ftp_check(tarvik_ftp_t *ftp);
/* Sends QUIT (no QUIT is due on disconnect afterwards). */
TARVIK_API int tarvik_ftp_quit(tarvik_ftp_t *ftp);
TARVIK_API int tarvik_ftp_mkd(tarvik_ftp_t *ftp, const char *path);
TARVIK_API int tarvik_ftp_rmd(tarvik_ftp_t *ftp, const char *path);
TARVIK_API int tarvik_ftp_dele(tarvik_ftp_t *ftp, const char *path);
/* 0 when DELE answers 250, else -1. */
TARVIK_API int tarvik_ftp_delete(tarvik_ftp_t *ftp, const char *path);
TARVIK_API int tarvik_ftp_rnfr(tarvik_ftp_t *ftp, const char *path);
TARVIK_API int tarvik_ftp_rnto(tarvik_ftp_t *ftp, const char *path);
/* 0 when RNFR answers 350 and RNTO 250, else -1. */
TARVIK_API int tarvik_ftp_rename(tarvik_ftp_t *ftp, const char *from, const char *to);
TARVIK_API int tarvik_ftp_mdtm(tarvik_ftp_t *ftp, const char *path);
TARVIK_API int tarvik_ftp_size(tarvik_ftp_t *ftp, const char *path);
/* 0 with the 213 reply's number in *size (0 when it holds no digit), else -1; a null path
 * means the URI's path. */
TARVIK_API int tarvik_ftp_get_size(tarvik_ftp_t *ftp, const char *path, uint64_t *size);
TARVIK_API int tarvik_ftp_rest(tarvik_ftp_t *ftp, uint64_t offset);
TARVIK_API int tarvik_ftp_abor(tarvik_ftp_t *ftp);
TARVIK_API int tarvik_ftp_pasv(tarvik_ftp_t *ftp);
/* EPSV 1 on an IPv4 control connection, else EPSV 2. */
TARVIK_API int tarvik_ftp_epsv(tarvik_ftp_t *ftp);
/* PORT / EPRT with the formatted argument. */
TARVIK_API int tarvik_ftp_port(tarvik_ftp_t *ftp, const char *format, ...) TARVIK_PRINTF(2, 3);
TARVIK_API int tarvik_ftp_eprt(tarvik_ftp_t *ftp, const char *format, ...) TARVIK_PRINTF(2, 3);
TARVIK_API int tarvik_ftp_site(tarvik_ftp_t *ftp, const char *text);
TARVIK_API int tarvik_ftp_opts(tarvik_ftp_t *ftp, const char *text);
/* OPTS name value (value may be null); 0 when it answers 200, else -1. */
TARVIK_API int tarvik_ftp_set_option(tarvik_ftp_t *ftp, const char *name, const char *value);
/* STAT / HELP with the argument, or alone for null. */
TARVIK_API int tarvik_ftp_stat(tarvik_ftp_t *ftp, const char *path);
TARVIK_API int tarvik_ftp_help(tarvik_ftp_t *ftp, const char *topic);

/* Prepare a data connection (PASV/EPSV and connect, or PORT/EPRT and listen); 0 or -1. */
TARVIK_API int tarvik_ftp_passive(tarvik_ftp_t *ftp);
TARVIK_API int tarvik_ftp_active(tarvik_ftp_t *ftp);
/* Opens a transfer: mode "r" RETR, "w" STOR, "a" APPE (path null: the URI's path), "l" LIST,
 * "n" NLST (path optional); a non-zero offset sends REST first. 0 once the data connection is
 * in use, else -1 with it closed. */
TARVIK_API int tarvik_ftp_open_stream(tarvik_ftp_t *ftp, uint64_t offset, const char *path,
                                      const char *mode);
/* tarvik_recv / tarvik_send on the data connection (0 at its end, -2 on time-out, -1). */
TARVIK_API ssize_t tarvik_ftp_recv_stream(tarvik_ftp_t *ftp, void *buffer, size_t size,
                                          int timeout_ms);
TARVIK_API ssize_t tarvik_ftp_send_stream(tarvik_ftp_t *ftp, const void *data, size_t size,
                                          int timeout_ms);
/* Closes the data connection and reads the transfer's reply: 0 when it is 226, else -1. */
TARVIK_API int tarvik_ftp_close_stream(tarvik_ftp_t *ftp);
/* Closes the data connection and sends ABOR: 0 when the transfer ends with 226, else -1. */
TARVIK_API int tarvik_ftp_abort_stream(tarvik_ftp_t *ftp);
/* Closes every data socket; returns 0. */
TARVIK_API int tarvik_ftp_disconnect_data(tarvik_ftp_t *ftp);

/* Downloads path (RETR) into a queue (at most max_size bytes, 0: no limit below 4 GiB), into
 * an INI handle (its end of input is pushed afterwards), or into a local file (null: the
 * remote base name; written under a temporary name and renamed over it once complete) created
 * with mode. md5 (may be null) is initialised and fed every byte. 0, or -1. */
TARVIK_API int tarvik_ftp_download_to_buffer_with_md5(tarvik_ftp_t *ftp, uint32_t flags,
                                                      const char *path, tarvik_buffer_t *queue,
                                                      uint64_t max_size, tarvik_md5_t *md5);
TARVIK_API int tarvik_ftp_download_to_ini_with_md5(tarvik_ftp_t *ftp, uint32_t flags,
                                                   const char *path, tarvik_ini_t *ini,
                                                   uint64_t max_size, tarvik_md5_t *md5);
TARVIK_API int tarvik_ftp_download_to_file_with_md5(tarvik_ftp_t *ftp, uint32_t flags,
                                                    const char *path, const char *local_path,
                                                    uint32_t mode, tarvik_md5_t *md5);
/* The same over a URL: connect (default port 21), log in, download the URI's path, close. */
TARVIK_API int tarvik_ftp_simple_download_to_buffer_with_md5(uint32_t flags, const char *url,
                                                             tarvik_buffer_t *queue,
                                                             uint64_t max_size, tarvik_md5_t *md5);
TARVIK_API int tarvik_ftp_simple_download_to_ini_with_md5(uint32_t flags, const char *url,
                                                          tarvik_ini_t *ini, uint64_t max_size,
                                                          tarvik_md5_t *md5);
TARVIK_API int tarvik_ftp_simple_download_to_file_with_md5(uint32_t flags, const char *url,
                                                           const char *local_path, uint32_t mode,
                                                           tarvik_md5_t *md5);
TARVIK_API int tarvik_ftp_simple_download_to_buffer(uint32_t flags, const char *url,
                                                    tarvik_buffer_t *queue, uint64_t max_size);
TARVIK_API int tarvik_ftp_simple_download_to_ini(uint32_t flags, const char *url, tarvik_ini_t *ini,
                                                 uint64_t max_size);
TARVIK_API int tarvik_ftp_simple_download_to_file(uint32_t flags, const char *url,
                                                  const char *local_path, uint32_t mode);
/* Draws one progress line of a download (rate and time left from the statistics); returns
 * the printed count, or -1. */
TARVIK_API int tarvik_ftp_download_progress_bar(tarvik_ftp_t *ftp, const char *label,
                                                uint32_t flags, uint64_t done, uint64_t size);

TARVIK_END_DECLS

#endif
