// Tests of the stream contexts: open/close rules, options, the forwarders, and the base
// plugin's stream kinds (file, descriptor, pipe, TCP, UDP) read back byte for byte.
#include "tarvik_test.hpp"

#include "capture.hpp"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class CtxTest : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        char pattern[] = "/tmp/unit_ctx_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_directory = pattern;
    }
    void TearDown() override
    {
        std::string command = "rm -rf " + m_directory;
        EXPECT_EQ(system(command.c_str()), 0);
        TarvikTest::TearDown();
    }
    std::string path(const char *name) const { return m_directory + "/" + name; }
    std::string m_directory;
};

std::string random_bytes(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    std::string data(size, '\0');
    for (char &byte : data) {
        byte = static_cast<char>(generator());
    }
    return data;
}

void write_file(const std::string &path, const std::string &data)
{
    FILE *file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(data.data(), 1, data.size(), file), data.size());
    fclose(file);
}

std::string read_file(const std::string &path)
{
    std::string data;
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "<missing>";
    }
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) {
        data.append(buffer, got);
    }
    fclose(file);
    return data;
}

// Everything the context delivers, in pieces of `piece` bytes, until the end or an error.
std::string drain(int ctx, size_t piece = 65536)
{
    std::string data;
    std::vector<char> buffer(piece);
    for (;;) {
        ssize_t got = tarvik_ctx_read(ctx, buffer.data(), buffer.size());
        if (got <= 0) {
            EXPECT_EQ(got, 0) << "error " << tarvik_ctx_get_error(ctx);
            return data;
        }
        data.append(buffer.data(), static_cast<size_t>(got));
    }
}

TEST_F(CtxTest, OpenCloseAndDestroyFollowTheirRules)
{
    int ctx = tarvik_new_ctx();
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx), nullptr) << "closed after new";
    EXPECT_EQ(tarvik_ctx_read(ctx, nullptr, 0), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/x-nobody"), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/qvl_windows_dib"), -1) << "kind 202 refused";
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    ASSERT_EQ(tarvik_open_ctx(ctx, "application/qvl_base"), 0);
    tarvik_ctx_t *record = tarvik_get_valid_ctx(ctx);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->m_plugin_word, 0);
    EXPECT_STREQ(record->m_mime_type, "application/qvl_base");
    // A second open fails with 9 and leaves the context as it was.
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/qvl_multicall"), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_ALREADY_OPEN);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx), record);
    EXPECT_STREQ(record->m_mime_type, "application/qvl_base");
    // The base plugin's other slots.
    EXPECT_EQ(tarvik_ctx_vbcontrol(ctx, nullptr), 0);
    int dummy = 0;
    EXPECT_EQ(tarvik_ctx_vbcontrol(ctx, &dummy), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(tarvik_ctx_db_set_query_puts(ctx, "select"), -1);
    EXPECT_EQ(tarvik_ctx_db_get_field_index(ctx, 0, 0, "name"), -1);
    tarvik_ctx_fbinfo_t info;
    EXPECT_EQ(tarvik_ctx_get_fbinfo(ctx, &info), -1);
    EXPECT_EQ(tarvik_ctx_execute_main(ctx, 0, nullptr), 1);
    EXPECT_EQ(tarvik_ctx_set_error(ctx, 42), 0);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), 42);
    EXPECT_EQ(tarvik_close_ctx(ctx), 0);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), 0) << "closing resets the error";
    EXPECT_EQ(tarvik_get_valid_ctx(ctx), nullptr);
    ASSERT_EQ(tarvik_open_ctx(ctx, "application/qvl_multicall_builtin"), 0);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx)->m_plugin_word, 1);
    EXPECT_EQ(tarvik_destroy_ctx(ctx), -1);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx), nullptr);
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/qvl_base"), -1) << "a stale handle";
    EXPECT_EQ(tarvik_ctx_get_error(ctx), -1);
    EXPECT_EQ(tarvik_destroy_ctx(-1), -1);
}

TEST_F(CtxTest, OptionsKeepOrderAndFollowTheReplaceRules)
{
    int ctx = tarvik_new_ctx();
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_ctx_set_option_string(ctx, 0, "httpheader", "A: 1"), 0);
    EXPECT_EQ(tarvik_ctx_set_option_string(ctx, 0, "httpheader", "B: 2"), 0);
    tarvik_ctx_option_t *first = tarvik_ctx_get_option(ctx, "HTTPHEADER");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(reinterpret_cast<char *>(first->m_value), "A: 1");
    ASSERT_NE(first->m_next, nullptr);
    EXPECT_STREQ(reinterpret_cast<char *>(first->m_next->m_value), "B: 2");
    // replace 1 removes the first of the name and appends at the tail.
    EXPECT_EQ(tarvik_ctx_set_option_string(ctx, 1, "httpheader", "C: 3"), 0);
    first = tarvik_ctx_get_option(ctx, "httpheader");
    EXPECT_STREQ(reinterpret_cast<char *>(first->m_value), "B: 2");
    EXPECT_STREQ(reinterpret_cast<char *>(first->m_next->m_value), "C: 3");
    EXPECT_EQ(first->m_next->m_next, nullptr);
    EXPECT_EQ(tarvik_ctx_set_option_int_string(ctx, 1, "debug", -17), 0);
    EXPECT_STREQ(tarvik_ctx_get_option_string(ctx, "debug"), "-17");
    EXPECT_EQ(tarvik_ctx_set_option_fstring(ctx, 1, "src", "%s/%d", "file", 7), 0);
    EXPECT_STREQ(tarvik_ctx_get_option_string(ctx, "src"), "file/7");
    // A null value with a size is that many zero bytes (and a NUL behind them).
    EXPECT_EQ(tarvik_ctx_set_option(ctx, 0, "blob", nullptr, 5), 0);
    tarvik_ctx_option_t *blob = tarvik_ctx_get_option(ctx, "blob");
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(blob->m_value_size, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(blob->m_value), 6), std::string(6, '\0'));
    // A null name is the empty name.
    EXPECT_EQ(tarvik_ctx_set_option_string(ctx, 0, nullptr, "x"), 0);
    EXPECT_EQ(tarvik_ctx_set_option_string(ctx, 1, "", "y"), 0);
    EXPECT_STREQ(tarvik_ctx_get_option_string(ctx, nullptr), "y");
    EXPECT_STREQ(tarvik_ctx_get_option_string_ex(ctx, "none", "default"), "default");
    EXPECT_EQ(tarvik_ctx_get_option_string(ctx, "none"), nullptr);
    // Options survive open and close until the close.
    ASSERT_EQ(tarvik_open_ctx(ctx, "application/qvl_base"), 0);
    EXPECT_STREQ(tarvik_ctx_get_option_string(ctx, "debug"), "-17");
    tarvik_close_ctx(ctx);
    EXPECT_EQ(tarvik_ctx_get_option(ctx, "debug"), nullptr);
    // replace -1 with nothing else clears them all.
    EXPECT_EQ(tarvik_ctx_set_option_string(ctx, 0, "a", "1"), 0);
    EXPECT_EQ(tarvik_ctx_set_option(ctx, -1, nullptr, nullptr, 0), 0);
    EXPECT_EQ(tarvik_ctx_get_option(ctx, "a"), nullptr);
    EXPECT_EQ(tarvik_ctx_set_option_string(-1, 0, "a", "1"), -1);
    tarvik_destroy_ctx(ctx);
}

TEST_F(CtxTest, FileStreamsReadWriteAndSeek)
{
    const std::string data = random_bytes(300000, 1);
    write_file(path("in"), data);
    for (const std::string &source : {path("in"), "file://" + path("in")}) {
        int ctx = tarvik_open_ctx_stream(source.c_str(), "rb", 0);
        ASSERT_GE(ctx, 0) << source;
        EXPECT_EQ(tarvik_get_valid_ctx(ctx)->m_plugin_word, 101);
        EXPECT_EQ(tarvik_ctx_is_readable(ctx, 0), 1);
        EXPECT_EQ(drain(ctx) == data, true) << source;
        EXPECT_EQ(tarvik_ctx_seek(ctx, 1000, SEEK_SET), 1000);
        char byte = 0;
        EXPECT_EQ(tarvik_ctx_read(ctx, &byte, 1), 1);
        EXPECT_EQ(byte, data[1000]);
        EXPECT_EQ(tarvik_ctx_write(ctx, "x", 1), -1) << "opened for reading";
        EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
        EXPECT_EQ(tarvik_ctx_flush(ctx), 0);
        tarvik_destroy_ctx(ctx);
    }
    // Small pieces give the same bytes.
    int ctx = tarvik_open_ctx_stream(path("in").c_str(), "r", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_TRUE(drain(ctx, 7) == data);
    tarvik_destroy_ctx(ctx);

    ctx = tarvik_open_ctx_stream(path("out").c_str(), "wb", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_ctx_write(ctx, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(tarvik_ctx_puts(ctx, "tail"), 4);
    EXPECT_EQ(tarvik_ctx_printf(ctx, "<%d>", 42), 4);
    tarvik_destroy_ctx(ctx);
    EXPECT_TRUE(read_file(path("out")) == data + "tail<42>");
    ctx = tarvik_open_ctx_stream(path("out").c_str(), "ab", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_ctx_puts(ctx, "!"), 1);
    tarvik_destroy_ctx(ctx);
    EXPECT_TRUE(read_file(path("out")) == data + "tail<42>!");

    // A missing file: error 1, and the helper destroyed its context.
    ctx = tarvik_new_ctx();
    tarvik_ctx_set_option_string(ctx, 1, "src", path("missing").c_str());
    tarvik_ctx_set_option_string(ctx, 1, "mode", "rb");
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/qvl_stream"), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_OPEN);
    tarvik_destroy_ctx(ctx);
    EXPECT_EQ(tarvik_open_ctx_stream(path("missing").c_str(), "rb", 0), -1);
    EXPECT_EQ(tarvik_open_ctx_stream(path("in").c_str(), "bogus", 0), -1);
    EXPECT_EQ(tarvik_open_ctx_stream("gopher://host/file", "rb", 0), -1);
}

TEST_F(CtxTest, DescriptorStreamsLeaveTheDescriptorToTheCaller)
{
    const std::string data = random_bytes(100000, 2);
    write_file(path("in"), data);
    int fd = open(path("in").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int ctx = tarvik_open_ctx_stream_fd(fd, "rb", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx)->m_plugin_word, 101);
    EXPECT_TRUE(drain(ctx) == data);
    tarvik_destroy_ctx(ctx);
    EXPECT_EQ(fcntl(fd, F_GETFD), 0) << "still open";
    EXPECT_EQ(tarvik_open_ctx_stream_fd(fd, "ab", 0), -1) << "append on a descriptor";
    close(fd);
    EXPECT_EQ(tarvik_open_ctx_stream_fd(fd, "rb", 0), -1) << "a closed descriptor";

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ctx = tarvik_open_ctx_stream_fd(pipe_fds[1], "wb", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_ctx_puts(ctx, "through a pipe"), 14);
    tarvik_destroy_ctx(ctx);
    close(pipe_fds[1]);
    char buffer[32] = {};
    EXPECT_EQ(read(pipe_fds[0], buffer, sizeof(buffer)), 14);
    EXPECT_STREQ(buffer, "through a pipe");
    close(pipe_fds[0]);
}

TEST_F(CtxTest, PipeStreamsRunTheCommand)
{
    const std::string data = random_bytes(200000, 3);
    write_file(path("in"), data);
    std::string source = "pipe://cat " + path("in");
    int ctx = tarvik_open_ctx_stream(source.c_str(), "rb", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx)->m_plugin_word, 104);
    EXPECT_TRUE(drain(ctx) == data);
    EXPECT_EQ(tarvik_close_ctx(ctx), 0) << "the command succeeded";
    tarvik_destroy_ctx(ctx);

    source = "pipe://cat >" + path("out");
    ctx = tarvik_open_ctx_stream(source.c_str(), "wb", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_ctx_write(ctx, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(tarvik_ctx_flush(ctx), 0);
    EXPECT_EQ(tarvik_close_ctx(ctx), 0);
    tarvik_destroy_ctx(ctx);
    EXPECT_TRUE(read_file(path("out")) == data) << "the command ended before the close returned";

    ctx = tarvik_open_ctx_stream("pipe://exit 3", "rb", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(drain(ctx), "");
    EXPECT_EQ(tarvik_close_ctx(ctx), -1) << "a failed command is reported";
    tarvik_destroy_ctx(ctx);
    EXPECT_EQ(tarvik_open_ctx_stream("pipe://cat", "ab", 0), -1) << "no append";
    // A reader that went away fails the write instead of ending the program.
    ctx = tarvik_open_ctx_stream("pipe://true", "wb", 0);
    ASSERT_GE(ctx, 0);
    usleep(100000);
    ssize_t written = 0;
    for (int i = 0; i < 100 && written >= 0; ++i) {
        written = tarvik_ctx_write(ctx, data.data(), data.size());
    }
    EXPECT_EQ(written, -1);
    tarvik_destroy_ctx(ctx);
}

// A listener on loopback that sends data to its first client; the port in *port.
std::thread serve_tcp(const std::string &data, int *port)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
    *port = ntohs(address.sin_port);
    return std::thread([listener, data] {
        int client = accept(listener, nullptr, nullptr);
        close(listener);
        size_t done = 0;
        while (client >= 0 && done < data.size()) {
            ssize_t sent = send(client, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) {
                break;
            }
            done += static_cast<size_t>(sent);
        }
        close(client);
    });
}

TEST_F(CtxTest, TcpStreamsConnectToTheHostAndPort)
{
    const std::string data = random_bytes(500000, 4);
    int port = 0;
    std::thread server = serve_tcp(data, &port);
    std::string source = "tcp://127.0.0.1:" + std::to_string(port);
    int ctx = tarvik_open_ctx_stream(source.c_str(), "rb", 0);
    EXPECT_GE(ctx, 0);
    if (ctx >= 0) {
        EXPECT_EQ(tarvik_get_valid_ctx(ctx)->m_plugin_word, 106);
        EXPECT_TRUE(drain(ctx) == data);
        EXPECT_EQ(tarvik_ctx_seek(ctx, 0, SEEK_SET), -1) << "seek is for files";
        tarvik_destroy_ctx(ctx);
    }
    server.join();
    EXPECT_EQ(tarvik_open_ctx_stream("tcp://127.0.0.1:0", "rb", 0), -1);
    EXPECT_EQ(tarvik_open_ctx_stream("tcp://127.0.0.1:65536", "rb", 0), -1);
}

TEST_F(CtxTest, UdpStreamsReadDatagramsAndRefuseWriting)
{
    int ctx = tarvik_new_ctx();
    tarvik_ctx_set_option_string(ctx, 1, "src", "udp://239.1.2.3:5004");
    tarvik_ctx_set_option_string(ctx, 1, "mode", "wb");
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/qvl_stream"), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    tarvik_destroy_ctx(ctx);

    // A unicast port on loopback: free one, then let the context bind it.
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    close(probe);
    std::string source = "udp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ctx = tarvik_open_ctx_stream(source.c_str(), "rb", 0);
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx)->m_plugin_word, 105);
    EXPECT_EQ(tarvik_ctx_is_readable(ctx, 50), 0);
    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    const std::string datagrams[] = {"first", "", "second datagram"};
    for (const std::string &datagram : datagrams) {
        sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&address),
               sizeof(address));
    }
    close(sender);
    char buffer[64];
    EXPECT_EQ(tarvik_ctx_is_readable(ctx, 1000), 1);
    ssize_t got = tarvik_ctx_read(ctx, buffer, sizeof(buffer));
    EXPECT_EQ(std::string(buffer, got > 0 ? got : 0), "first");
    got = tarvik_ctx_read(ctx, buffer, sizeof(buffer));
    EXPECT_EQ(std::string(buffer, got > 0 ? got : 0), "second datagram") << "empty one skipped";
    EXPECT_EQ(tarvik_ctx_write(ctx, "x", 1), -1);
    tarvik_destroy_ctx(ctx);
    EXPECT_EQ(tarvik_open_ctx_stream("udp://127.0.0.1:0", "rb", 0), -1);
}

TEST_F(CtxTest, SilentMulticastGroupsAreJoinedAgain)
{
    // In a child: the traces go to its standard output, and nothing is left behind.
    Captured run = run_in_child([] {
        int ctx = tarvik_new_ctx();
        tarvik_ctx_set_option_string(ctx, 1, "src", "udp://239.255.77.77:45678");
        tarvik_ctx_set_option_string(ctx, 1, "mode", "rb");
        tarvik_ctx_set_option_string(ctx, 1, "debug", "");
        tarvik_ctx_set_option_int_string(ctx, 1, "missed_time", 150);
        if (tarvik_open_ctx(ctx, "application/qvl_stream_udp") != 0) {
            return 2;
        }
        int ready = tarvik_ctx_is_readable(ctx, 1100);
        tarvik_destroy_ctx(ctx);
        return ready == 0 ? 0 : 1;
    });
    if (run.status == 2) {
        GTEST_SKIP() << "no interface here takes a multicast group";
    }
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    // Written to a file: the colours are left out.
    const std::string need = "need multicast stream ! (mime_type=\"application/qvl_stream_udp\", "
                             "url=\"udp://239.255.77.77:45678\")\n";
    size_t joins = 0;
    for (size_t at = run.out.find(need); at != std::string::npos; at = run.out.find(need, at + 1)) {
        ++joins;
    }
    // 1.1 s of silence with a missed time of 0.15 s: joined again about every 0.15 s.
    EXPECT_GE(joins, 4u) << run.out;
    EXPECT_LE(joins, 8u) << run.out;
    EXPECT_NE(run.out.find("wait udp stream ! (mime_type="), std::string::npos) << run.out;
}

TEST_F(CtxTest, FramebufferOpensOnlyARealDevice)
{
    // Neither a missing path nor a device without screen information is a framebuffer.
    int ctx = tarvik_new_ctx();
    ASSERT_GE(ctx, 0);
    tarvik_ctx_set_option_string(ctx, 1, "src", "/nonexistent/fb|/dev/null");
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/qvl_fb"), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_OPEN);
    tarvik_ctx_fbinfo_t info;
    EXPECT_EQ(tarvik_ctx_get_fbinfo(ctx, &info), -1);
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/qvl_windows_dib"), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    tarvik_destroy_ctx(ctx);
}

TEST_F(CtxTest, SimpleGetReadsAWholeStream)
{
    const std::string data = random_bytes(10000, 5);
    write_file(path("body"), data);
    void *body = nullptr;
    size_t size = 0;
    ASSERT_EQ(
        tarvik_ctx_simple_http_get(path("body").c_str(), "A: 1\r\nB: 2\r\n", 0, 1000, &body, &size),
        0);
    ASSERT_NE(body, nullptr);
    EXPECT_TRUE(std::string(static_cast<char *>(body), size) == data);
    EXPECT_EQ(static_cast<char *>(body)[size], '\0');
    tarvik_free_tag(body, "test", __LINE__);
    EXPECT_EQ(tarvik_ctx_simple_http_get(path("body").c_str(), nullptr, 5000, 1000, &body, &size),
              -1)
        << "the body reached max_size";
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(tarvik_ctx_simple_http_get(path("none").c_str(), nullptr, 0, 1000, &body, &size), -1);
}

} // namespace
