/* The FTP server engine: a listening socket, account entries (fixed names, no name, the
 * system's password and shadow databases) and one detached thread per control connection,
 * each jailed in its account's home directory. */
#ifndef TARVIK_FTPD_H
#define TARVIK_FTPD_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Account flags. */
#define def_tarvik_ftpd_account_system 0x2u     /* stands for the system password database */
#define def_tarvik_ftpd_account_unjailed 0x8u   /* virtual root "/", home is the start dir */
#define def_tarvik_ftpd_account_hashed 0x10000u /* the password is a crypt hash */

/* Defaults of tarvik_ftpd_set_limits. */
#define def_tarvik_ftpd_max_sessions 32u
#define def_tarvik_ftpd_idle_timeout_ms 300000

/* One account entry: a single heap block, the name stored behind the fixed part. */
typedef struct tarvik_ftpd_account_s {
    struct tarvik_ftpd_account_s *m_prev;
    struct tarvik_ftpd_account_s *m_next;
    uint32_t m_flags;
    char *m_name;     /* null: matches only when no user name is given */
    char *m_password; /* heap string or null (no password) */
    char *m_home;     /* heap string or null */
    uint32_t m_uid;   /* owner of what the session creates */
    uint32_t m_gid;
} tarvik_ftpd_account_t;

/* Opaque server record. */
typedef struct tarvik_ftpd_s tarvik_ftpd_t;

/* Listening server on address (null: any, IPv6 dual stack else IPv4) and port (-1: 21);
 * null on failure. Close with tarvik_close_ftpd. */
TARVIK_API tarvik_ftpd_t *tarvik_open_ftpd(const char *address, int port);
/* Ends every session, frees the accounts and closes the socket; null accepted; returns null. */
TARVIK_API tarvik_ftpd_t *tarvik_close_ftpd(tarvik_ftpd_t *server);
/* Session cap (0: the default) and idle time-out per command in ms (negative: none); 0 or -1. */
TARVIK_API int tarvik_ftpd_set_limits(tarvik_ftpd_t *server, uint32_t max_sessions,
                                      int idle_timeout_ms);
/* Number of running sessions (0 for null). */
TARVIK_API uint32_t tarvik_ftpd_session_count(tarvik_ftpd_t *server);
/* Accepts one connection within timeout_ms and starts its session thread; -1 on time-out, a
 * refused client (too many sessions) or failure. */
TARVIK_API int tarvik_ftpd_do(tarvik_ftpd_t *server, int timeout_ms);
/* New entry (name copied in, may be null) without password or home; null when out of memory.
 * The caller frees it with tarvik_ftpd_free_account unless it is added to a server. */
TARVIK_API tarvik_ftpd_account_t *tarvik_ftpd_new_account(const char *name, uint32_t flags);
/* Copies password in (null clears; the old one is zeroed and freed); 0 or -1. */
TARVIK_API int tarvik_ftpd_account_set_plain_password(tarvik_ftpd_account_t *entry,
                                                      const char *password);
/* Copies the home path in (null clears); 0 or -1. */
TARVIK_API int tarvik_ftpd_account_set_path_home(tarvik_ftpd_account_t *entry, const char *path);
/* Appends the chain that entry belongs to; the server then owns it. 0, or -1 for null. */
TARVIK_API int tarvik_ftpd_add_account(tarvik_ftpd_t *server, tarvik_ftpd_account_t *entry);
/* New entry with password and home, appended when server is given, returned through
 * out_entry when given; 0 or -1 (nothing made). */
TARVIK_API int tarvik_ftpd_add_user(tarvik_ftpd_t *server, tarvik_ftpd_account_t **out_entry,
                                    uint32_t flags, const char *name, const char *password,
                                    const char *home);
/* Frees the whole chain that entry belongs to (passwords zeroed); null accepted; returns null. */
TARVIK_API tarvik_ftpd_account_t *tarvik_ftpd_free_account(tarvik_ftpd_account_t *entry);

TARVIK_END_DECLS

#endif
