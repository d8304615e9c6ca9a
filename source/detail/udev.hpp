// Internals of the device-event listener shared with its tests and fuzz target: the sender
// check and the message parser, apart from the socket.
#pragma once

#include "../udev.h"

#include <cstddef>

namespace tarvik::detail {

// Only the kernel may be believed: a message with credentials of user id 0 from netlink
// port 0. Anything a local process sends (root or not) comes from a port of its own.
bool udev_sender_trusted(bool has_credentials, uint32_t uid, uint32_t port);

// One message (header string, then "KEY=value" strings) as a new record, or null when the
// header is shorter than 4 characters, nothing follows it, or memory runs out.
tarvik_udev_event_t *udev_parse_message(const void *data, size_t size);

} // namespace tarvik::detail
