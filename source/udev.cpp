// Kernel device events. A record is one heap block: the record, its key and value tables and
// a terminated copy of the message that the tables point into. Only messages the kernel sent
// itself (netlink port 0, user id 0, credentials present) are parsed; the device list is the
// caller's, keyed by DEVPATH.
#include "udev.h"

#include "heap.h"
#include "select.h"
#include "detail/common.hpp"
#include "detail/list.hpp"
#include "detail/udev.hpp"

#include <cerrno>
#include <cstring>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using tarvik::detail::Cursor;
using UdevList = tarvik::detail::DoublyLinked<tarvik_udev_event_t>;

// The kernel's uevent multicast group.
constexpr uint32_t KERNEL_GROUP = 1;
// A header shorter than this cannot be an action, "@" and a path.
constexpr size_t MIN_HEADER = 4;

// Cuts one pair in place: the key up to "=" or the line end, the value after "=" up to the
// line end, both without leading white space.
void split_pair(char *text, char *end, char **key, char **value)
{
    Cursor cursor(text, end);
    cursor.skip_space();
    *key = const_cast<char *>(cursor.position());
    cursor.take_until([](int c) { return c == '=' || c == '\n'; });
    char *stop = const_cast<char *>(cursor.position());
    *value = end; // the string's terminator: an empty value
    if (cursor.take_if('=')) {
        cursor.skip_space();
        *value = const_cast<char *>(cursor.position());
        cursor.take_until([](int c) { return c == '\n'; });
        *const_cast<char *>(cursor.position()) = '\0';
    }
    *stop = '\0';
}

const char *value_of(const tarvik_udev_event_t *event, const char *key)
{
    for (uint32_t i = 0; i < event->m_count; ++i) {
        if (tarvik::detail::equal_ignoring_case(event->m_key[i], key)) {
            return event->m_value[i];
        }
    }
    return nullptr;
}

tarvik_udev_event_t *find_path(tarvik_udev_event_t *head, const char *path)
{
    for (tarvik_udev_event_t *event = head; event != nullptr; event = event->m_next) {
        if (event->m_devpath != nullptr && strcmp(event->m_devpath, path) == 0) {
            return event;
        }
    }
    return nullptr;
}

void free_one(tarvik_udev_event_t *event) { tarvik_free_tag(event, "tarvik_udev_free_event", 0); }

} // namespace

namespace tarvik::detail {

bool udev_sender_trusted(bool has_credentials, uint32_t uid, uint32_t port)
{
    return has_credentials && uid == 0 && port == 0;
}

tarvik_udev_event_t *udev_parse_message(const void *data, size_t size)
{
    if (data == nullptr || size == 0 || size > TARVIK_UDEV_MESSAGE_SIZE) {
        return nullptr;
    }
    const char *bytes = static_cast<const char *>(data);
    const size_t header_length = strnlen(bytes, size);
    // At least "a@/x" and one more string after the header's terminator.
    if (header_length < MIN_HEADER || header_length + 1 >= size) {
        return nullptr;
    }
    uint32_t count = 0;
    for (size_t at = header_length + 1; at < size; at += strnlen(bytes + at, size - at) + 1) {
        ++count;
    }
    const size_t tables = 2u * count * sizeof(char *);
    auto *event = static_cast<tarvik_udev_event_t *>(tarvik_alloc_tag(
        sizeof(tarvik_udev_event_t) + tables + size + 1, "tarvik_udev_get_event", 0));
    if (event == nullptr) {
        return nullptr;
    }
    memset(event, 0, sizeof(*event));
    event->m_key = reinterpret_cast<char **>(event + 1);
    event->m_value = event->m_key + count;
    event->m_message = reinterpret_cast<char *>(event->m_value + count);
    event->m_size = static_cast<uint32_t>(size);
    memcpy(event->m_message, bytes, size);
    event->m_message[size] = '\0';
    event->m_header = event->m_message;
    char *end = event->m_message + size;
    char *at = event->m_message + header_length + 1;
    for (uint32_t i = 0; i < count; ++i) {
        char *stop = at + strlen(at);
        split_pair(at, stop, &event->m_key[i], &event->m_value[i]);
        at = stop + 1 < end ? stop + 1 : end;
    }
    event->m_count = count;
    event->m_action = const_cast<char *>(value_of(event, "ACTION"));
    event->m_devpath = const_cast<char *>(value_of(event, "DEVPATH"));
    return event;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API int tarvik_open_udev(void)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_nl address;
    memset(&address, 0, sizeof(address));
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;
    address.nl_groups = KERNEL_GROUP;
    const int on = 1;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

TARVIK_API int tarvik_check_udev_event(int fd, int timeout_ms)
{
    return tarvik_rx_poll_fd(fd, timeout_ms);
}

TARVIK_API tarvik_udev_event_t *tarvik_udev_get_event(int fd, int timeout_ms)
{
    if (timeout_ms >= 0 && tarvik_check_udev_event(fd, timeout_ms) != 1) {
        return nullptr;
    }
    char message[TARVIK_UDEV_MESSAGE_SIZE];
    union {
        struct cmsghdr m_header;
        char m_bytes[CMSG_SPACE(sizeof(struct ucred))];
    } control;
    struct sockaddr_nl sender;
    struct iovec piece = {message, sizeof(message)};
    struct msghdr header;
    memset(&header, 0, sizeof(header));
    memset(&sender, 0, sizeof(sender));
    header.msg_name = &sender;
    header.msg_namelen = sizeof(sender);
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    header.msg_control = control.m_bytes;
    header.msg_controllen = sizeof(control.m_bytes);
    ssize_t got;
    do {
        got = recvmsg(fd, &header, 0);
    } while (got < 0 && errno == EINTR);
    // A cut message is dropped rather than read as something it is not.
    if (got <= 0 || (header.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
        return nullptr;
    }
    const struct cmsghdr *item = CMSG_FIRSTHDR(&header);
    const bool has_credentials = item != nullptr && item->cmsg_level == SOL_SOCKET &&
                                 item->cmsg_type == SCM_CREDENTIALS &&
                                 item->cmsg_len >= CMSG_LEN(sizeof(struct ucred));
    struct ucred credentials;
    memset(&credentials, 0, sizeof(credentials));
    if (has_credentials) {
        memcpy(&credentials, CMSG_DATA(item), sizeof(credentials));
    }
    // Any local process may send to this group; the kernel alone sends from port 0.
    if (!tarvik::detail::udev_sender_trusted(has_credentials, credentials.uid, sender.nl_pid)) {
        return nullptr;
    }
    return tarvik::detail::udev_parse_message(message, static_cast<size_t>(got));
}

TARVIK_API const char *tarvik_udev_event_value(const tarvik_udev_event_t *event, const char *key)
{
    return event != nullptr && key != nullptr ? value_of(event, key) : nullptr;
}

TARVIK_API tarvik_udev_event_t *tarvik_udev_update_event(tarvik_udev_event_t *head,
                                                         tarvik_udev_event_t *event)
{
    if (event == nullptr) {
        return head;
    }
    UdevList list(&head, nullptr);
    if (event->m_action != nullptr && event->m_devpath != nullptr) {
        tarvik_udev_event_t *listed = find_path(head, event->m_devpath);
        if (strcmp(event->m_action, "add") == 0) {
            list.insert_before(listed, event); // a null position appends
            if (listed != nullptr) {
                list.remove(listed);
                free_one(listed);
            }
            return head;
        }
        if (strcmp(event->m_action, "remove") == 0 && listed != nullptr) {
            list.remove(listed);
            free_one(listed);
        }
    }
    free_one(event);
    return head;
}

TARVIK_API tarvik_udev_event_t *tarvik_udev_free_event(tarvik_udev_event_t *event)
{
    while (event != nullptr) {
        tarvik_udev_event_t *next = event->m_next;
        free_one(event);
        event = next;
    }
    return nullptr;
}

TARVIK_API int tarvik_close_udev(int fd)
{
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

} // extern "C"
