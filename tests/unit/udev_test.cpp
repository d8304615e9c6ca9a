// Device events: message parsing rows, the sender check, the device list (checked after every
// step), and the real channel in a private network namespace: veth links come and go, and
// messages forged by a user-space socket (root or not) are dropped.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include "detail/list.hpp"
#include "detail/udev.hpp"

#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <linux/netlink.h>

namespace {

using UdevList = tarvik::detail::DoublyLinked<tarvik_udev_event_t>;

// A literal with its embedded terminators, without the compiler's final one.
#define MESSAGE(literal) std::string(literal, sizeof(literal) - 1)

tarvik_udev_event_t *parse(const std::string &message)
{
    return tarvik::detail::udev_parse_message(message.data(), message.size());
}

std::string text_or_null(const char *text) { return text != nullptr ? text : "<null>"; }

class UdevTest : public TarvikTest {};

TEST_F(UdevTest, MessagesSplitIntoPairs)
{
    struct Row {
        std::string m_message;
        const char *m_header; // null: dropped
        std::vector<std::pair<std::string, std::string>> m_pairs;
    };
    const std::vector<Row> rows = {
        {MESSAGE("add@/devices/x\0ACTION=add\0DEVPATH=/devices/x\0SEQNUM=7\0"),
         "add@/devices/x",
         {{"ACTION", "add"}, {"DEVPATH", "/devices/x"}, {"SEQNUM", "7"}}},
        // Leading white space skipped on both sides; the line end closes key and value.
        {MESSAGE("change@/a\0  KEY =  some value\nrest\0BARE\0X=\0"),
         "change@/a",
         {{"KEY ", "some value"}, {"BARE", ""}, {"X", ""}}},
        {MESSAGE("bind@/b\0NAME=eth0"), "bind@/b", {{"NAME", "eth0"}}},
        {MESSAGE("a@/\0K=v\0"), "a@/", {}},         // header shorter than 4
        {MESSAGE("add@/devices/x\0"), nullptr, {}}, // nothing after the header
        {MESSAGE("add@/devices/x"), nullptr, {}},   // no terminator at all
        {MESSAGE("\0ACTION=add\0"), nullptr, {}},   // empty header
        {MESSAGE("rm@/x\0\0\0"), "rm@/x", {{"", ""}, {"", ""}}},
    };
    for (const Row &row : rows) {
        tarvik_udev_event_t *event = parse(row.m_message);
        if (row.m_header == nullptr || std::string(row.m_header).size() < 4) {
            EXPECT_EQ(event, nullptr) << row.m_message;
            tarvik_udev_free_event(event);
            continue;
        }
        ASSERT_NE(event, nullptr) << row.m_message;
        EXPECT_STREQ(event->m_header, row.m_header);
        EXPECT_EQ(event->m_size, row.m_message.size());
        ASSERT_EQ(event->m_count, row.m_pairs.size()) << row.m_message;
        for (size_t i = 0; i < row.m_pairs.size(); ++i) {
            EXPECT_EQ(std::string(event->m_key[i]), row.m_pairs[i].first);
            EXPECT_EQ(std::string(event->m_value[i]), row.m_pairs[i].second);
        }
        tarvik_udev_free_event(event);
    }
}

TEST_F(UdevTest, LookupIgnoresCaseAndKnowsActionAndPath)
{
    tarvik_udev_event_t *event = parse(
        MESSAGE("remove@/devices/virtual/net/v0\0action=remove\0DevPath=/devices/virtual/net/v0\0"
                "SUBSYSTEM=net\0subsystem=second\0"));
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(text_or_null(event->m_action), "remove");
    EXPECT_EQ(text_or_null(event->m_devpath), "/devices/virtual/net/v0");
    EXPECT_EQ(text_or_null(tarvik_udev_event_value(event, "Subsystem")), "net"); // the first
    EXPECT_EQ(tarvik_udev_event_value(event, "IFINDEX"), nullptr);
    EXPECT_EQ(tarvik_udev_event_value(nullptr, "ACTION"), nullptr);
    EXPECT_EQ(tarvik_udev_event_value(event, nullptr), nullptr);
    tarvik_udev_free_event(event);
    tarvik_udev_event_t *bare = parse(MESSAGE("odd@/x\0ONLY=1\0"));
    ASSERT_NE(bare, nullptr);
    EXPECT_EQ(bare->m_action, nullptr);
    EXPECT_EQ(bare->m_devpath, nullptr);
    tarvik_udev_free_event(bare);
}

TEST_F(UdevTest, OnlyTheKernelIsBelieved)
{
    EXPECT_TRUE(tarvik::detail::udev_sender_trusted(true, 0, 0));
    EXPECT_FALSE(tarvik::detail::udev_sender_trusted(false, 0, 0));   // no credentials
    EXPECT_FALSE(tarvik::detail::udev_sender_trusted(true, 1000, 0)); // not root
    EXPECT_FALSE(tarvik::detail::udev_sender_trusted(true, 0, 4242)); // a root process
    EXPECT_FALSE(tarvik::detail::udev_sender_trusted(true, 99, 4242));
}

tarvik_udev_event_t *device(const char *action, const char *path, const char *extra = "")
{
    std::string message = std::string(action) + "@" + path;
    message.push_back('\0');
    message += std::string("ACTION=") + action;
    message.push_back('\0');
    message += std::string("DEVPATH=") + path;
    message.push_back('\0');
    message += std::string("TAG=") + extra;
    message.push_back('\0');
    return parse(message);
}

std::vector<std::string> listed(tarvik_udev_event_t *head)
{
    std::vector<std::string> paths;
    for (tarvik_udev_event_t *event = head; event != nullptr; event = event->m_next) {
        paths.push_back(std::string(event->m_devpath) + ":" +
                        text_or_null(tarvik_udev_event_value(event, "TAG")));
    }
    return paths;
}

TEST_F(UdevTest, DeviceListFollowsAddAndRemove)
{
    tarvik_udev_event_t *head = nullptr;
    UdevList list(&head, nullptr);
    const auto step = [&](tarvik_udev_event_t *event) {
        head = tarvik_udev_update_event(head, event);
        EXPECT_TRUE(list.validate());
    };
    step(device("add", "/a", "1"));
    step(device("add", "/b", "1"));
    step(device("add", "/c", "1"));
    EXPECT_EQ(listed(head), std::vector<std::string>({"/a:1", "/b:1", "/c:1"}));
    step(device("add", "/b", "2")); // replaces in place
    EXPECT_EQ(listed(head), std::vector<std::string>({"/a:1", "/b:2", "/c:1"}));
    step(device("add", "/a", "2")); // the head itself
    EXPECT_EQ(listed(head), std::vector<std::string>({"/a:2", "/b:2", "/c:1"}));
    step(device("remove", "/nowhere"));
    step(device("change", "/b", "3")); // other actions change nothing
    step(device("bind", "/d"));
    EXPECT_EQ(listed(head), std::vector<std::string>({"/a:2", "/b:2", "/c:1"}));
    step(device("remove", "/a"));
    step(device("remove", "/c"));
    EXPECT_EQ(listed(head), std::vector<std::string>({"/b:2"}));
    step(parse(MESSAGE("add@/nopath\0ACTION=add\0"))); // no key: not kept
    EXPECT_EQ(listed(head), std::vector<std::string>({"/b:2"}));
    EXPECT_EQ(tarvik_udev_update_event(head, nullptr), head);
    step(device("add", "/e"));
    EXPECT_EQ(tarvik_udev_free_event(head), nullptr); // the fixture checks all were freed
    EXPECT_EQ(tarvik_close_udev(-1), -1);
}

// ---- the real channel ------------------------------------------------------------------------

// Sends message to the uevent group from a user-space socket, optionally with credentials
// claiming another user; 0 when the kernel took it.
int forge(const std::string &message, int claimed_uid)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_nl group = {};
    group.nl_family = AF_NETLINK;
    group.nl_groups = 1;
    struct iovec piece = {const_cast<char *>(message.data()), message.size()};
    struct msghdr header = {};
    header.msg_name = &group;
    header.msg_namelen = sizeof(group);
    header.msg_iov = &piece;
    header.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))] = {};
    if (claimed_uid >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof(control);
        struct cmsghdr *item = CMSG_FIRSTHDR(&header);
        item->cmsg_level = SOL_SOCKET;
        item->cmsg_type = SCM_CREDENTIALS;
        item->cmsg_len = CMSG_LEN(sizeof(struct ucred));
        struct ucred claimed = {getpid(), static_cast<uid_t>(claimed_uid), 0};
        memcpy(CMSG_DATA(item), &claimed, sizeof(claimed));
    }
    const ssize_t sent = sendmsg(fd, &header, 0);
    close(fd);
    return sent == static_cast<ssize_t>(message.size()) ? 0 : -1;
}

// Collects events until none arrives for quiet_ms, following the device list.
void collect(int fd, tarvik_udev_event_t **head, std::vector<std::string> *headers, int quiet_ms)
{
    for (;;) {
        if (tarvik_check_udev_event(fd, quiet_ms) != 1) {
            return;
        }
        tarvik_udev_event_t *event = tarvik_udev_get_event(fd, 0);
        if (event != nullptr) {
            headers->push_back(event->m_header);
            *head = tarvik_udev_update_event(*head, event);
        }
    }
}

bool has(const std::vector<std::string> &list, const std::string &wanted)
{
    for (const std::string &entry : list) {
        if (entry == wanted) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> paths(tarvik_udev_event_t *head)
{
    std::vector<std::string> out;
    for (; head != nullptr; head = head->m_next) {
        out.push_back(head->m_devpath);
    }
    return out;
}

constexpr int NO_NAMESPACE = 77;

TEST_F(UdevTest, VethLinksInAPrivateNetworkAreFollowedAndForgeriesDropped)
{
    Captured child = run_in_child([] {
        if (unshare(CLONE_NEWNET) != 0 || system("ip link set lo up 2>/dev/null") != 0) {
            return NO_NAMESPACE;
        }
        const int fd = tarvik_open_udev();
        if (fd < 0) {
            printf("open failed\n");
            return 1;
        }
        int failures = 0;
        const std::string forged =
            MESSAGE("add@/devices/forged\0ACTION=add\0DEVPATH=/devices/forged\0");
        for (int uid : {-1, 0, 65534}) {
            if (forge(forged, uid) != 0) {
                printf("forged message (uid %d) refused by the kernel\n", uid);
                continue;
            }
            // The message is there, and it is dropped.
            char peek;
            if (recv(fd, &peek, 1, MSG_PEEK | MSG_DONTWAIT) != 1) {
                printf("forged message (uid %d) not delivered\n", uid);
                ++failures;
            }
            tarvik_udev_event_t *event = tarvik_udev_get_event(fd, 1000);
            if (event != nullptr) {
                printf("forged message (uid %d) accepted: %s\n", uid, event->m_header);
                tarvik_udev_free_event(event);
                ++failures;
            }
        }
        tarvik_udev_event_t *head = nullptr;
        std::vector<std::string> headers;
        if (system("ip link add ue0 type veth peer name ue1") != 0) {
            printf("ip link add failed\n");
            return 1;
        }
        collect(fd, &head, &headers, 500);
        const std::vector<std::string> after_add = paths(head);
        for (const char *wanted : {"/devices/virtual/net/ue0", "/devices/virtual/net/ue1"}) {
            if (!has(headers, std::string("add@") + wanted) || !has(after_add, wanted)) {
                printf("no add for %s\n", wanted);
                ++failures;
            }
        }
        system("ip link del ue0");
        collect(fd, &head, &headers, 500);
        for (const char *wanted : {"/devices/virtual/net/ue0", "/devices/virtual/net/ue1"}) {
            if (!has(headers, std::string("remove@") + wanted) || has(paths(head), wanted)) {
                printf("no remove for %s\n", wanted);
                ++failures;
            }
        }
        for (const std::string &header : headers) {
            if (header.find("forged") != std::string::npos) {
                ++failures;
            }
        }
        printf("%zu events, %zu listed after add, %zu left\n", headers.size(), after_add.size(),
               paths(head).size());
        tarvik_udev_free_event(head);
        tarvik_close_udev(fd);
        return failures == 0 ? 0 : 1;
    });
    if (child.status == NO_NAMESPACE) {
        GTEST_SKIP() << "no private network namespace here";
    }
    EXPECT_EQ(child.status, 0) << child.out << child.err;
}

} // namespace
