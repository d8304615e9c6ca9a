/* Controlling-terminal helpers: size, tty test, screen clearing. */
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

TARVIK_END_DECLS

#endif
