// Address lists and the resolver cache: literal, wildcard and local names, the block layout,
// copies, the reload throttle, cache polling, handlers, expiry, the shared cache, and (in a
// forked child with private mount and network namespaces) a name server the test controls.
#include "capture.hpp"
#include "tarvik_test.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

struct Address {
    int family;
    std::string text;
    uint32_t port;
};

// Checks the block layout of every entry and returns the entries in order.
std::vector<Address> entries_of(const tarvik_resolver_t *list)
{
    std::vector<Address> out;
    for (; list != nullptr; list = list->next) {
        const char *tail = reinterpret_cast<const char *>(list + 1);
        EXPECT_EQ(reinterpret_cast<const char *>(list->address), tail);
        EXPECT_EQ(list->address_string, tail + list->address_length);
        EXPECT_EQ(list->address->sa_family, list->family);
        if (list->family == AF_INET) {
            EXPECT_EQ(list->address_length, sizeof(sockaddr_in));
            EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in *>(list->address)->sin_port),
                      list->port);
        } else {
            EXPECT_EQ(list->family, AF_INET6);
            EXPECT_EQ(list->address_length, sizeof(sockaddr_in6));
            EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in6 *>(list->address)->sin6_port),
                      list->port);
        }
        out.push_back({list->family, list->address_string, list->port});
    }
    return out;
}

// What the system answers for the passive lookup, in its order.
std::vector<std::string> system_wildcard_order()
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *answers = nullptr;
    std::vector<std::string> out;
    if (getaddrinfo(nullptr, "80", &hints, &answers) != 0) {
        return out;
    }
    for (addrinfo *a = answers; a != nullptr; a = a->ai_next) {
        out.push_back(a->ai_family == AF_INET ? "0.0.0.0" : "::");
    }
    freeaddrinfo(answers);
    return out;
}

class ResolverTest : public TarvikTest {};

// ---- address lists ----

struct LiteralRow {
    const char *name;
    uint32_t port;
    int family;
    const char *text;
    uint32_t expected_port;
};

TEST_F(ResolverTest, LiteralAddressesResolveToOneEntry)
{
    const LiteralRow rows[] = {
        {"192.168.0.10", 8080, AF_INET, "192.168.0.10", 8080},
        {"192.168.0.10", 0, AF_INET, "192.168.0.10", 0},
        {"10.0.0.1", 65536, AF_INET, "10.0.0.1", 0}, // no port
        {"10.0.0.1", 70000, AF_INET, "10.0.0.1", 0}, // no port either
        {"::1", 53, AF_INET6, "::1", 53},
        {"fe80::1:0:0:2", 65536, AF_INET6, "fe80::1:0:0:2", 0},
        {"::ffff:1.2.3.4", 9, AF_INET6, "::ffff:1.2.3.4", 9},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.name) + " port " + std::to_string(row.port));
        tarvik_resolver_t *list = tarvik_open_resolver(row.name, row.port);
        ASSERT_NE(list, nullptr);
        auto entries = entries_of(list);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].family, row.family);
        EXPECT_EQ(entries[0].text, row.text);
        EXPECT_EQ(entries[0].port, row.expected_port);
        EXPECT_EQ(tarvik_close_resolver(list), nullptr);
    }
}

TEST_F(ResolverTest, EmptyNameGivesTheWildcardAddressesInSystemOrder)
{
    tarvik_resolver_t *list = tarvik_open_resolver("", 80);
    ASSERT_NE(list, nullptr);
    auto entries = entries_of(list);
    std::vector<std::string> texts;
    for (const auto &entry : entries) {
        EXPECT_EQ(entry.port, 80u);
        texts.push_back(entry.text);
    }
    EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()),
              (std::set<std::string>{"0.0.0.0", "::"}));
    EXPECT_EQ(texts, system_wildcard_order());
    tarvik_close_resolver(list);
}

TEST_F(ResolverTest, NamesThatCannotResolveGiveNull)
{
    // No name and no port is nothing to ask for; a bracketed literal is not a host name.
    EXPECT_EQ(tarvik_open_resolver("", 65536), nullptr);
    EXPECT_EQ(tarvik_open_resolver(nullptr, 65536), nullptr);
    EXPECT_EQ(tarvik_open_resolver("[::1]", 80), nullptr);
    EXPECT_EQ(tarvik_open_resolver("1.2.3.4:80", 80), nullptr);
}

TEST_F(ResolverTest, LocalhostResolvesToLoopbackAddresses)
{
    tarvik_resolver_t *list = tarvik_open_resolver("localhost", 23);
    ASSERT_NE(list, nullptr);
    for (const auto &entry : entries_of(list)) {
        EXPECT_TRUE(entry.text == "::1" || entry.text.rfind("127.", 0) == 0) << entry.text;
        EXPECT_EQ(entry.port, 23u);
    }
    tarvik_close_resolver(list);
}

TEST_F(ResolverTest, DuplicateCopiesEveryBlockIntoItsOwnMemory)
{
    tarvik_resolver_t *list = tarvik_open_resolver("", 4242);
    ASSERT_NE(list, nullptr);
    tarvik_resolver_t *copy = tarvik_duplicate_resolver(list);
    ASSERT_NE(copy, nullptr);
    auto a = entries_of(list);
    auto b = entries_of(copy);
    ASSERT_EQ(a.size(), b.size());
    const tarvik_resolver_t *x = list;
    const tarvik_resolver_t *y = copy;
    for (size_t i = 0; i < a.size(); ++i, x = x->next, y = y->next) {
        EXPECT_NE(x, y);
        EXPECT_EQ(a[i].text, b[i].text);
        EXPECT_EQ(a[i].port, b[i].port);
        EXPECT_EQ(memcmp(x->address, y->address, x->address_length), 0);
    }
    EXPECT_EQ(tarvik_close_resolver(list), nullptr);
    // The copy stands alone once the original is gone.
    EXPECT_EQ(entries_of(copy).size(), b.size());
    EXPECT_EQ(tarvik_close_resolver(copy), nullptr);
    EXPECT_EQ(tarvik_duplicate_resolver(nullptr), nullptr);
    EXPECT_EQ(tarvik_close_resolver(nullptr), nullptr);
}

TEST_F(ResolverTest, ReloadRunsAtMostOncePerFourSeconds)
{
    // Earlier lookups may have reloaded: wait for a reload that runs, then the next one
    // right after it is skipped.
    Captured child = run_in_child([] {
        int first = -1;
        for (int i = 0; i < 60 && first == -1; ++i) {
            first = tarvik_reload_resolver();
            if (first == -1) {
                sleep_ms(100);
            }
        }
        int second = tarvik_reload_resolver();
        fprintf(stderr, "first %d second %d\n", first, second);
        return first == 0 && second == -1 ? 0 : 1;
    });
    EXPECT_EQ(child.status, 0) << child.err;
}

// ---- caches ----

struct HandlerLog {
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
    std::atomic<int> m_count{0};
};

void logging_handler(tarvik_resolver_cache_t *, int is_new, const char *name, uint32_t port,
                     void *context)
{
    auto *log = static_cast<HandlerLog *>(context);
    std::lock_guard<std::mutex> guard(log->m_mutex);
    log->m_calls.push_back(std::string(name != nullptr ? name : "(null)") + ":" +
                           std::to_string(port) + ":" + std::to_string(is_new));
    ++log->m_count;
}

TEST_F(ResolverTest, GetPollsUntilTheAnswerIsThere)
{
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
    ASSERT_NE(cache, nullptr);
    // A new entry cannot be resolved within one attempt: the answer is published under the
    // lock that the attempt holds.
    EXPECT_EQ(tarvik_get_resolver_cache(cache, "127.0.0.1", 80, 0), nullptr);
    // Only -1 means no limit: another negative time-out makes one attempt, as 0 does.
    EXPECT_EQ(tarvik_get_resolver_cache(cache, "127.0.0.4", 80, -2), nullptr);
    tarvik_resolver_t *list = tarvik_get_resolver_cache(cache, "127.0.0.1", 80, -1);
    ASSERT_NE(list, nullptr);
    auto entries = entries_of(list);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].text, "127.0.0.1");
    EXPECT_EQ(entries[0].port, 80u);
    tarvik_close_resolver(list);
    // Each get hands out a private copy.
    tarvik_resolver_t *again = tarvik_get_resolver_cache(cache, "127.0.0.1", 80, 1000);
    tarvik_resolver_t *third = tarvik_get_resolver_cache(cache, "127.0.0.1", 80, 1000);
    ASSERT_NE(again, nullptr);
    ASSERT_NE(third, nullptr);
    EXPECT_NE(again, third);
    tarvik_close_resolver(again);
    tarvik_close_resolver(third);
    EXPECT_EQ(tarvik_close_resolver_cache(cache), 0);
}

TEST_F(ResolverTest, NullCacheResolvesAtOnce)
{
    tarvik_resolver_t *list = tarvik_get_resolver_cache(nullptr, "10.1.2.3", 7, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(entries_of(list)[0].text, "10.1.2.3");
    tarvik_close_resolver(list);
    EXPECT_EQ(tarvik_request_resolver_cache(nullptr, "10.1.2.3", 7), -1);
    EXPECT_EQ(tarvik_close_resolver_cache(nullptr), 0);
}

TEST_F(ResolverTest, GetCallsItsHandlerOnceHoweverOftenItPolls)
{
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
    ASSERT_NE(cache, nullptr);
    HandlerLog log;
    // The first attempt never finds the answer, so this get polls at least twice.
    tarvik_resolver_t *list =
        tarvik_get_resolver_cache_with_handler(cache, "127.0.0.2", 99, -1, logging_handler, &log);
    ASSERT_NE(list, nullptr);
    tarvik_close_resolver(list);
    // Closing waits for the resolutions, so every handler call has happened by then.
    tarvik_close_resolver_cache(cache);
    EXPECT_EQ(log.m_calls, std::vector<std::string>{"127.0.0.2:99:1"});
}

TEST_F(ResolverTest, RequestHandlersAreCalledOnceEach)
{
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
    ASSERT_NE(cache, nullptr);
    HandlerLog log;
    EXPECT_EQ(tarvik_request_resolver_cache_with_handler(cache, "", 80, logging_handler, &log), 0);
    EXPECT_EQ(tarvik_request_resolver_cache_with_handler(cache, nullptr, 81, logging_handler, &log),
              0);
    for (int i = 0; i < 500 && log.m_count < 2; ++i) {
        sleep_ms(10);
    }
    tarvik_close_resolver_cache(cache);
    std::multiset<std::string> calls(log.m_calls.begin(), log.m_calls.end());
    EXPECT_EQ(calls, (std::multiset<std::string>{":80:1", "(null):81:1"}));
}

TEST_F(ResolverTest, FailedResolutionEndsAnUnlimitedWaitAndFreesItsHandlers)
{
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
    ASSERT_NE(cache, nullptr);
    HandlerLog log;
    // "[::1]" parses as a literal but is no host name: the lookup fails without the network.
    EXPECT_EQ(tarvik_get_resolver_cache_with_handler(cache, "[::1]", 80, -1, logging_handler, &log),
              nullptr);
    EXPECT_EQ(tarvik_request_resolver_cache_with_handler(cache, "[::1]", 80, logging_handler, &log),
              0);
    EXPECT_EQ(tarvik_get_resolver_cache(cache, "[::1]", 80, 5000), nullptr);
    // Handlers of a failed name stay queued; closing the cache frees them (the fixture checks).
    tarvik_close_resolver_cache(cache);
    EXPECT_EQ(log.m_count, 0);
}

TEST_F(ResolverTest, ClosingACacheWithResolutionsInFlight)
{
    HandlerLog log;
    for (int round = 0; round < 20; ++round) {
        tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 60000);
        ASSERT_NE(cache, nullptr);
        tarvik_request_resolver_cache_with_handler(cache, "localhost", 1, logging_handler, &log);
        tarvik_request_resolver_cache_with_handler(cache, "127.0.0.1", 2, logging_handler, &log);
        tarvik_request_resolver_cache_with_handler(cache, "[::1]", 3, logging_handler, &log);
        tarvik_request_resolver_cache(cache, "::1", 4);
        tarvik_close_resolver_cache(cache);
    }
    // Only the two good names can have answered, each once per round.
    EXPECT_EQ(log.m_count, 40);
}

// Handlers may call back into the cache, even for their own name.
void rerequesting_handler(tarvik_resolver_cache_t *cache, int, const char *name, uint32_t port,
                          void *context)
{
    auto *count = static_cast<std::atomic<int> *>(context);
    if (++*count == 1) {
        EXPECT_EQ(tarvik_request_resolver_cache_with_handler(cache, name, port,
                                                             rerequesting_handler, context),
                  0);
        tarvik_resolver_t *list = tarvik_get_resolver_cache(cache, name, port, 0);
        EXPECT_NE(list, nullptr);
        tarvik_close_resolver(list);
    }
}

TEST_F(ResolverTest, HandlersMayCallBackIntoTheCache)
{
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
    ASSERT_NE(cache, nullptr);
    std::atomic<int> count{0};
    EXPECT_EQ(tarvik_request_resolver_cache_with_handler(cache, "127.0.0.3", 5,
                                                         rerequesting_handler, &count),
              0);
    for (int i = 0; i < 500 && count < 2; ++i) {
        sleep_ms(10);
    }
    tarvik_close_resolver_cache(cache);
    EXPECT_EQ(count, 2);
}

// Expiry shows as a get with time-out 0 that finds nothing: the entry was dropped by a scan
// and a new one had to start resolving.
bool expires_within_seconds(int32_t lifetime)
{
    tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, lifetime);
    tarvik_resolver_t *list = tarvik_get_resolver_cache(cache, "127.0.0.1", 1, -1);
    EXPECT_NE(list, nullptr);
    tarvik_close_resolver(list);
    bool expired = false;
    for (int i = 0; i < 10 && !expired; ++i) {
        sleep_ms(100);
        tarvik_request_resolver_cache(cache, "127.0.0.2", 1);
        list = tarvik_get_resolver_cache(cache, "127.0.0.1", 1, 0);
        expired = list == nullptr;
        tarvik_close_resolver(list);
    }
    tarvik_close_resolver_cache(cache);
    return expired;
}

TEST_F(ResolverTest, EntriesExpireAfterTheirLifetime)
{
    EXPECT_TRUE(expires_within_seconds(50));
    EXPECT_FALSE(expires_within_seconds(0));
    EXPECT_FALSE(expires_within_seconds(-1));
}

TEST_F(ResolverTest, SharedCacheIsCountedPerOpen)
{
    tarvik_resolver_cache_t *first = tarvik_open_resolver_cache();
    tarvik_resolver_cache_t *second = tarvik_open_resolver_cache_ex(1, 5);
    tarvik_resolver_cache_t *mine = tarvik_open_resolver_cache_ex(0, 5);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_NE(first, mine);
    tarvik_close_resolver_cache(mine);
    tarvik_close_resolver_cache(second);
    // Still open once: it keeps working.
    tarvik_resolver_t *list = tarvik_get_resolver_cache(first, "127.0.0.1", 3, -1);
    EXPECT_NE(list, nullptr);
    tarvik_close_resolver(list);
    tarvik_close_resolver_cache(first);
    // The through-the-cache form opens and closes the shared cache itself.
    list = tarvik_open_resolver_ex("192.168.0.10", 80, 2000);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(entries_of(list)[0].text, "192.168.0.10");
    tarvik_close_resolver(list);
    list = tarvik_open_resolver_ex("2001:db8::2", 65536, -1);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(entries_of(list)[0].text, "2001:db8::2");
    tarvik_close_resolver(list);
}

// ---- a name server the test controls, in private namespaces ----

constexpr int SKIP_STATUS = 77;

// Answers A queries for one name (AAAA: no data; other names: no such name), holding the
// answers while m_hold is set, and counts the queries it saw.
class FakeNameServer {
  public:
    std::atomic<bool> m_hold{false};
    std::atomic<int> m_a_queries{0};
    std::atomic<int> m_queries{0};

    bool start(const std::string &name, const std::string &address)
    {
        m_name = name;
        inet_pton(AF_INET, address.c_str(), m_address);
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(53);
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr *>(&where), sizeof(where)) != 0) {
            return false;
        }
        m_thread = std::thread([this] { run(); });
        return true;
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        close(m_fd);
    }
    bool wait_queries(int count)
    {
        for (int i = 0; i < 500 && m_queries < count; ++i) {
            sleep_ms(10);
        }
        return m_queries >= count;
    }

  private:
    struct Pending {
        std::vector<uint8_t> m_packet;
        sockaddr_in m_from;
    };
    std::string m_name;
    uint8_t m_address[4] = {};
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<Pending> m_pending;

    void run()
    {
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 10) == 1) {
                Pending query;
                query.m_packet.resize(512);
                socklen_t length = sizeof(query.m_from);
                ssize_t n = recvfrom(m_fd, query.m_packet.data(), query.m_packet.size(), 0,
                                     reinterpret_cast<sockaddr *>(&query.m_from), &length);
                if (n > 12) {
                    query.m_packet.resize(static_cast<size_t>(n));
                    m_pending.push_back(query);
                    ++m_queries;
                }
            }
            if (!m_hold) {
                for (auto &query : m_pending) {
                    answer(query);
                }
                m_pending.clear();
            }
        }
    }
    void answer(const Pending &query)
    {
        const std::vector<uint8_t> &q = query.m_packet;
        size_t at = 12;
        std::string name;
        while (at < q.size() && q[at] != 0) {
            size_t length = q[at];
            if (!name.empty()) {
                name += '.';
            }
            name.append(reinterpret_cast<const char *>(&q[at + 1]),
                        std::min(length, q.size() - at - 1));
            at += length + 1;
        }
        if (at + 5 > q.size()) {
            return;
        }
        size_t question_end = at + 5;
        unsigned type = (q[at + 1] << 8) | q[at + 2];
        std::vector<uint8_t> reply(q.begin(), q.begin() + static_cast<long>(question_end));
        bool known = name == m_name;
        reply[2] = 0x81;
        reply[3] = known ? 0x80 : 0x83;
        reply[4] = 0;
        reply[5] = 1;
        reply[6] = reply[7] = reply[8] = reply[9] = reply[10] = reply[11] = 0;
        if (known && type == 1) {
            ++m_a_queries;
            reply[7] = 1;
            const uint8_t record[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
            reply.insert(reply.end(), record, record + sizeof(record));
            reply.insert(reply.end(), m_address, m_address + 4);
        }
        sendto(m_fd, reply.data(), reply.size(), 0,
               reinterpret_cast<const sockaddr *>(&query.m_from), sizeof(query.m_from));
    }
};

bool write_file(const std::string &path, const std::string &text)
{
    FILE *file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    fputs(text.c_str(), file);
    return fclose(file) == 0;
}

bool bind_over(const std::string &source, const char *target)
{
    return mount(source.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

bool loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    strcpy(request.ifr_name, "lo");
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    return ok;
}

// Private mount and network namespaces with /etc/hosts and /etc/resolv.conf of our own; the
// name server is the fake one on 127.0.0.1.
bool enter_private_world(std::string *why)
{
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        *why = "unshare: " + std::string(strerror(errno));
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !loopback_up()) {
        *why = "mount or loopback: " + std::string(strerror(errno));
        return false;
    }
    char directory[] = "/tmp/resolver_test.XXXXXX";
    if (mkdtemp(directory) == nullptr) {
        *why = "mkdtemp";
        return false;
    }
    std::string hosts = std::string(directory) + "/hosts";
    std::string resolv = std::string(directory) + "/resolv.conf";
    bool ok = write_file(hosts, "127.0.0.1 localhost\n10.11.12.13 tarvik-hosts-test\n") &&
              write_file(resolv, "nameserver 127.0.0.1\noptions timeout:3 attempts:1\n") &&
              bind_over(hosts, "/etc/hosts") && bind_over(resolv, "/etc/resolv.conf");
    // The bind mounts keep the files reachable; the directory itself can go.
    unlink(hosts.c_str());
    unlink(resolv.c_str());
    rmdir(directory);
    if (!ok) {
        *why = "hosts or resolv.conf: " + std::string(strerror(errno));
    }
    return ok;
}

// Runs body in a forked child inside the private world; failures are reported on error
// output and as a non-zero status; the child checks its own heap.
void run_in_private_world(const std::function<bool(FakeNameServer &)> &body)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for private namespaces";
    }
    Captured child = run_in_child([&body] {
        std::string why;
        if (!enter_private_world(&why)) {
            fprintf(stderr, "%s\n", why.c_str());
            return SKIP_STATUS;
        }
        FakeNameServer server;
        if (!server.start("slow.tarvik.test", "10.9.8.7")) {
            fprintf(stderr, "name server: %s\n", strerror(errno));
            return SKIP_STATUS;
        }
        size_t before = tarvik_get_alloc_count();
        bool ok = body(server);
        server.m_hold = false;
        server.stop();
        tarvik_thread_pool_wait(10000);
        if (tarvik_get_alloc_count() != before) {
            fprintf(stderr, "heap: %zu blocks before, %zu after\n", before,
                    tarvik_get_alloc_count());
            ok = false;
        }
        return ok ? 0 : 1;
    });
    if (child.status == SKIP_STATUS) {
        GTEST_SKIP() << "private namespaces unavailable: " << child.err;
    }
    EXPECT_EQ(child.status, 0) << child.err;
}

#define CHILD_CHECK(condition)                                                                     \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);          \
            return false;                                                                          \
        }                                                                                          \
    } while (0)

std::string first_text(tarvik_resolver_t *list)
{
    std::string text = list != nullptr ? list->address_string : "(none)";
    tarvik_close_resolver(list);
    return text;
}

TEST_F(ResolverTest, HostsFileAndLiteralsNeedNoNameServer)
{
    run_in_private_world([](FakeNameServer &server) {
        CHILD_CHECK(first_text(tarvik_open_resolver("tarvik-hosts-test", 80)) == "10.11.12.13");
        CHILD_CHECK(first_text(tarvik_open_resolver("192.168.0.10", 80)) == "192.168.0.10");
        CHILD_CHECK(first_text(tarvik_open_resolver("fe80::5", 80)) == "fe80::5");
        CHILD_CHECK(server.m_queries == 0);
        // The name server is really asked for other names.
        CHILD_CHECK(first_text(tarvik_open_resolver("slow.tarvik.test", 80)) == "10.9.8.7");
        CHILD_CHECK(server.m_a_queries == 1);
        return true;
    });
}

TEST_F(ResolverTest, ConcurrentRequestsShareOneResolution)
{
    run_in_private_world([](FakeNameServer &server) {
        tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
        CHILD_CHECK(cache != nullptr);
        HandlerLog log;
        server.m_hold = true;
        CHILD_CHECK(tarvik_request_resolver_cache_with_handler(cache, "slow.tarvik.test", 80,
                                                               logging_handler, &log) == 0);
        CHILD_CHECK(server.wait_queries(1));
        // Unanswered: a get with time-out 0 finds nothing, however often it is asked.
        CHILD_CHECK(tarvik_get_resolver_cache(cache, "slow.tarvik.test", 80, 0) == nullptr);
        CHILD_CHECK(tarvik_get_resolver_cache(cache, "slow.tarvik.test", 80, 50) == nullptr);
        CHILD_CHECK(tarvik_request_resolver_cache_with_handler(cache, "slow.tarvik.test", 80,
                                                               logging_handler, &log) == 0);
        std::thread second([cache, &log] {
            tarvik_request_resolver_cache_with_handler(cache, "slow.tarvik.test", 80,
                                                       logging_handler, &log);
        });
        second.join();
        sleep_ms(50);
        CHILD_CHECK(log.m_count == 0);
        server.m_hold = false;
        tarvik_resolver_t *list = tarvik_get_resolver_cache(cache, "slow.tarvik.test", 80, 5000);
        CHILD_CHECK(first_text(list) == "10.9.8.7");
        tarvik_close_resolver_cache(cache);
        CHILD_CHECK(log.m_count == 3);
        // The three requests and the gets shared the first resolution; the get that found the
        // answer started one refresh, which may have asked again.
        CHILD_CHECK(server.m_a_queries >= 1 && server.m_a_queries <= 2);
        return true;
    });
}

TEST_F(ResolverTest, ClosingWaitsForAResolutionInFlight)
{
    run_in_private_world([](FakeNameServer &server) {
        tarvik_resolver_cache_t *cache = tarvik_open_resolver_cache_ex(0, 0);
        CHILD_CHECK(cache != nullptr);
        HandlerLog log;
        server.m_hold = true;
        CHILD_CHECK(tarvik_request_resolver_cache_with_handler(cache, "slow.tarvik.test", 80,
                                                               logging_handler, &log) == 0);
        CHILD_CHECK(tarvik_request_resolver_cache_with_handler(cache, "other.tarvik.test", 80,
                                                               logging_handler, &log) == 0);
        CHILD_CHECK(server.wait_queries(2));
        std::atomic<bool> closed{false};
        std::thread closer([cache, &closed] {
            tarvik_close_resolver_cache(cache);
            closed = true;
        });
        sleep_ms(100);
        bool early = closed;
        server.m_hold = false;
        closer.join();
        CHILD_CHECK(!early);
        // The good name answered while close waited; the other one's handler was freed.
        CHILD_CHECK(log.m_count == 1);
        return true;
    });
}

TEST_F(ResolverTest, ThroughTheSharedCacheWithATimeOut)
{
    run_in_private_world([](FakeNameServer &server) {
        // Held open as the network start does, so the callers' closes only count down.
        tarvik_resolver_cache_t *shared = tarvik_open_resolver_cache();
        CHILD_CHECK(shared != nullptr);
        server.m_hold = true;
        // Held answers: the caller's time-out bounds its wait.
        CHILD_CHECK(tarvik_open_resolver_ex("slow.tarvik.test", 80, 100) == nullptr);
        server.m_hold = false;
        CHILD_CHECK(first_text(tarvik_open_resolver_ex("slow.tarvik.test", 80, 5000)) ==
                    "10.9.8.7");
        // A name the server does not know fails once, instead of being retried until the
        // time-out.
        CHILD_CHECK(tarvik_open_resolver_ex("nosuch.tarvik.test", 80, 60000) == nullptr);
        tarvik_close_resolver_cache(shared);
        return true;
    });
}

} // namespace
