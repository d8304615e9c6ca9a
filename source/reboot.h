/* Restart and power-off of the machine: the processes are asked to end, then ended, the
 * file systems synced and the kernel called. Used by the reboot applets and watchdogs. */
#ifndef TARVIK_REBOOT_H
#define TARVIK_REBOOT_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Restart in stages (signals, syncs, waits); returns -1 only when the machine stays up. */
TARVIK_API int tarvik_reboot(void);
/* Power off in the same stages; returns -1 only when the machine stays up. */
TARVIK_API int tarvik_poweroff(void);
/* Immediate restart: no signals, no sync, no waits; returns -1 only when it fails. */
TARVIK_API int tarvik_reboot_fast(void);

TARVIK_END_DECLS

#endif
