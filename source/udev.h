/* Kernel device events: the netlink uevent listener, one parsed record per message (only
 * messages the kernel itself sent), and a list of present devices keyed by device path. */
#ifndef TARVIK_UDEV_H
#define TARVIK_UDEV_H

#include "tarvik_abi.h"

TARVIK_BEGIN_DECLS

/* Largest message received. */
#define TARVIK_UDEV_MESSAGE_SIZE 4096

/* One event: a single heap block holding the record, its key and value tables and a copy of
 * the message, which the tables and texts point into. */
typedef struct tarvik_udev_event_s {
    struct tarvik_udev_event_s *m_prev; /* device list */
    struct tarvik_udev_event_s *m_next;
    uint32_t m_count; /* key/value pairs */
    char **m_key;
    char **m_value;
    uint32_t m_size; /* message bytes */
    char *m_message; /* the copy, NUL-terminated */
    char *m_header;  /* first string: action "@" device path */
    char *m_action;  /* value of ACTION, or null */
    char *m_devpath; /* value of DEVPATH, or null */
} tarvik_udev_event_t;

/* Netlink uevent socket bound to group 1 with credentials passed; -1 on failure. Close it with
 * tarvik_close_udev. */
TARVIK_API int tarvik_open_udev(void);
/* 1 when a message is ready within timeout_ms (-1: no limit), 0 on time-out, -1 on error. */
TARVIK_API int tarvik_check_udev_event(int fd, int timeout_ms);
/* The next kernel message as a new record (timeout_ms >= 0 waits at most that long); null on
 * time-out, error, or a message that is dropped. Free with tarvik_udev_free_event. */
TARVIK_API tarvik_udev_event_t *tarvik_udev_get_event(int fd, int timeout_ms);
/* Value of the first key equal to key ignoring case; null when absent. Owned by the event. */
TARVIK_API const char *tarvik_udev_event_value(const tarvik_udev_event_t *event, const char *key);
/* Takes event over: "add" replaces the listed device of its path (or is appended), "remove"
 * frees it; the new list head. An event not kept is freed. */
TARVIK_API tarvik_udev_event_t *tarvik_udev_update_event(tarvik_udev_event_t *head,
                                                         tarvik_udev_event_t *event);
/* Frees event and every event after it; null accepted; returns null. */
TARVIK_API tarvik_udev_event_t *tarvik_udev_free_event(tarvik_udev_event_t *event);
/* Closes the socket (-1 is ignored); returns -1. */
TARVIK_API int tarvik_close_udev(int fd);

TARVIK_END_DECLS

#endif
