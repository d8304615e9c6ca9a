/* Multiplexed signal handlers: any number of handlers per signal number, called in the
 * order added by one common dispatcher; the earlier disposition returns with the last. */
#ifndef TARVIK_SIGNAL_H
#define TARVIK_SIGNAL_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Signal numbers the table covers: 0 .. TARVIK_SIGNAL_MAX - 1. */
#define TARVIK_SIGNAL_MAX 128

/* Called in signal context: only async-signal-safe work belongs here. */
typedef void (*tarvik_signal_handler_t)(int signal, void *context);

/* Opaque handler node; made by tarvik_add_signal, freed by tarvik_del_signal or a restore. */
typedef struct tarvik_signal_node_s tarvik_signal_node_t;

/* Adds handler for signal after the ones already there; null for a bad signal number, a
 * null handler, allocation failure or sigaction failure. */
TARVIK_API tarvik_signal_node_t *tarvik_add_signal(int signal, tarvik_signal_handler_t handler,
                                                   void *context);
/* Removes and frees node; the last node of a signal restores the earlier disposition. Null
 * accepted; returns 0. Once it returns the handler is not running any more. */
TARVIK_API int tarvik_del_signal(tarvik_signal_node_t *node);

/* Arrivals counted by node (0 for null). */
TARVIK_API unsigned long tarvik_get_signal_node_count(tarvik_signal_node_t *node);
/* Returns the node's arrival count and resets it to 0 (0 for null). */
TARVIK_API unsigned long tarvik_reset_signal_node_count(tarvik_signal_node_t *node);
/* Arrivals of signal since its counter was last reset (0 for a bad number). */
TARVIK_API unsigned long tarvik_get_signal_count(int signal);
/* Returns the signal's arrival count and resets it to 0 (0 for a bad number). */
TARVIK_API unsigned long tarvik_reset_signal_count(int signal);
/* Returns the sum of every signal's arrival count and resets them all. */
TARVIK_API unsigned long tarvik_reset_all_signal_count(void);
/* Most recent signal number that reached the dispatcher, -1 for none. */
TARVIK_API int tarvik_get_last_signal(void);

/* Removes every node of signal and re-installs the disposition in force before the first;
 * 0, or -1 for a bad signal number. */
TARVIK_API int tarvik_restore_signal(int signal);
/* tarvik_restore_signal for every signal; returns 0. */
TARVIK_API int tarvik_restore_all_signal(void);

TARVIK_END_DECLS

#endif
