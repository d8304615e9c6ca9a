/* Controlling-terminal helpers: size, tty test, screen clearing, the raw keyboard handle,
 * password and user-name prompts, and the pseudo-terminal calls. */
#ifndef TARVIK_TERMINAL_H
#define TARVIK_TERMINAL_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Columns and lines (outputs may be null), cached after the first call; returns 0. */
TARVIK_API int tarvik_get_terminal_size(int *columns_out, int *lines_out);
/* 1 when descriptor is a terminal, else 0. */
TARVIK_API int tarvik_isatty(int descriptor);
/* Writes "\e[H\e[J" and flushes; returns 0. */
TARVIK_API int tarvik_clear_terminal(void);
/* Shows (non-zero) or hides the cursor; returns 0. */
TARVIK_API int tarvik_show_cursor(int show);

/* Instance type of the keyboard handles. */
#define TARVIK_VT_MIME_TYPE "application/qvl_base_vt"

/* Raw keyboard on standard input (single key presses, signal keys kept): a handle, or -1
 * when standard input is no terminal of the foreground process group (terminal untouched). */
TARVIK_API int tarvik_open_vt(void);
/* What one read delivered within timeout_ms (negative: no limit), NUL-terminated in the
 * handle's buffer (valid until the next call); null when nothing came. */
TARVIK_API char *tarvik_get_vt(int handle, int *length_out, int timeout_ms);
/* Descriptor to watch for key presses, or -1 for an unknown handle. */
TARVIK_API int tarvik_get_vt_fd(int handle);
/* Restores the terminal, frees the handle (unknown handles ignored); always -1. */
TARVIK_API int tarvik_close_vt(int handle);

/* Prompts (when prompt is not null) and reads one line without echo into buffer (cut at the
 * line end, the rest zeroed); buffer, or null when nothing was read or the buffer is unusable. */
TARVIK_API char *tarvik_getpassword(const char *prompt, char *buffer, size_t size);
/* The same with echo on. */
TARVIK_API char *tarvik_getusername(const char *prompt, char *buffer, size_t size);

/* New pseudo-terminal master (not the controlling terminal) the caller closes, or -1. */
TARVIK_API int tarvik_getpt(void);
/* grantpt, unlockpt: 0 or -1. */
TARVIK_API int tarvik_grantpt(int master);
TARVIK_API int tarvik_unlockpt(int master);
/* Slave device path in a static buffer (overwritten by the next call), or null. */
TARVIK_API char *tarvik_ptsname(int master);

TARVIK_END_DECLS

#endif
