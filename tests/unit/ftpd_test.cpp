// FTP server engine: the command dispatcher row by row over a scratch directory (replies,
// login rules, carry-over, the jail against "..", backslashes and links that point out),
// the line assembler (pipelined, split, overlong, NUL, Telnet bytes), and the threaded
// server over loopback (transfers in both types and modes, restart, bounce and theft
// refusals, the session cap, the idle time-out, concurrent uploads, closing with sessions).
#include "tarvik_test.hpp"

#include "detail/ftpd.hpp"
#include "detail/list.hpp"

#include <arpa/inet.h>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &data)
{
    std::ofstream(path, std::ios::binary) << data;
}

// Everything the peer has written so far (the session answers before feed returns).
std::string drain(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// A scratch home: two.txt holds two line feeds in four bytes, sub/ a directory, and links
// that point out of the home in every way.
class Scratch {
  public:
    Scratch()
    {
        char pattern[] = "/tmp/ftpd-test-XXXXXX";
        m_root = mkdtemp(pattern);
        m_home = m_root + "/home";
        fs::create_directories(m_home + "/sub");
        fs::create_directories(m_root + "/outside");
        write_file(m_root + "/outside/secret", "secret");
        write_file(m_home + "/two.txt", "a\nb\n");
        fs::create_symlink("/etc", m_home + "/out_abs");
        fs::create_symlink("../outside", m_home + "/out_rel");
        fs::create_symlink("/", m_home + "/sub/mid");
        fs::create_symlink("/proc/self/root", m_home + "/proc_root");
        fs::create_symlink("../outside/new", m_home + "/dangling");
    }
    ~Scratch() { fs::remove_all(m_root); }
    std::string m_root;
    std::string m_home;
};

int free_port()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

int connect_to(const char *host, int port, const char *from = nullptr)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (from != nullptr) {
        inet_pton(AF_INET, from, &address.sin_addr);
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address));
    }
    inet_pton(AF_INET, host, &address.sin_addr);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// ---- the dispatcher, without threads -------------------------------------------------------

class FtpdDispatch : public TarvikTest {
  public:
    void SetUp() override
    {
        TarvikTest::SetUp();
        unsetenv("LANG");
        m_server = tarvik_open_ftpd("127.0.0.1", 0);
        ASSERT_NE(m_server, nullptr);
        ASSERT_EQ(tarvik_ftpd_add_user(m_server, nullptr, 0, "u", "pw", m_scratch.m_home.c_str()),
                  0);
        open_session();
    }
    void TearDown() override
    {
        tarvik::detail::ftpd_close_session(m_session);
        close(m_peer);
        tarvik_close_ftpd(m_server);
        TarvikTest::TearDown();
    }
    void open_session()
    {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        m_peer = pair[1];
        m_session = tarvik::detail::ftpd_open_session(m_server, pair[0]);
        ASSERT_NE(m_session, nullptr);
    }
    std::string feed(const std::string &bytes, bool *going = nullptr)
    {
        bool result = tarvik::detail::ftpd_feed_session(m_session, bytes.data(), bytes.size());
        if (going != nullptr) {
            *going = result;
        }
        return drain(m_peer);
    }
    std::string send(const std::string &line) { return feed(line + "\r\n"); }
    void login()
    {
        ASSERT_EQ(send("USER u"), "331 Password required for u\r\n");
        ASSERT_EQ(send("PASS pw"), "230 Login successful.\r\n");
    }

    Scratch m_scratch;
    tarvik_ftpd_t *m_server = nullptr;
    tarvik::detail::FtpdSession *m_session = nullptr;
    int m_peer = -1;
};

struct Row {
    const char *m_line;
    const char *m_reply;
};

void run_rows(FtpdDispatch *test, const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        EXPECT_EQ(test->send(row.m_line), std::string(row.m_reply) + "\r\n") << row.m_line;
    }
}

} // namespace

TEST_F(FtpdDispatch, LoginRules)
{
    EXPECT_EQ(send("user u"), "500 user not understood\r\n");
    EXPECT_EQ(send("NOOP"), "530 Please login with USER and PASS !\r\n");
    EXPECT_EQ(send("PASS pw"), "530 Please login with USER !\r\n");
    EXPECT_EQ(send("USER u"), "331 Password required for u\r\n");
    EXPECT_EQ(send("PASS wrong"), "530 Login incorrect !\r\n");
    // The pending name lives for one command only.
    EXPECT_EQ(send("USER u"), "331 Password required for u\r\n");
    EXPECT_EQ(send("SYST"), "530 Please login with USER and PASS !\r\n");
    EXPECT_EQ(send("PASS pw"), "530 Please login with USER !\r\n");
    EXPECT_EQ(send("USER nobody-here"), "331 Password required for nobody-here\r\n");
    EXPECT_EQ(send("PASS pw"), "530 Login incorrect !\r\n");
    login();
    EXPECT_EQ(send("SYST"), "215 UNIX Type: L8\r\n");
    EXPECT_EQ(send("QUIT"), "221 Good-bye\r\n");
}

TEST_F(FtpdDispatch, RepliesOfEveryCommandFamily)
{
    login();
    std::vector<Row> table = {
        {"PWD", "257 \"/\" is current directory."},
        {"CWD ..", "250 CWD command successful"},
        {"PWD", "257 \"/\" is current directory."},
        {"CWD sub", "250 CWD command successful"},
        {"XPWD", "257 \"/sub\" is current directory."},
        {"CDUP", "250 CWD command successful"},
        {"CWD ..\\..\\sub\\.\\", "250 CWD command successful"},
        {"PWD", "257 \"/sub\" is current directory."},
        {"CWD /", "250 CWD command successful"},
        {"CWD nosuch", "550 nosuch: No such file or directory"},
        {"CWD ../../../../etc", "550 ../../../../etc: No such file or directory"},
        {"SIZE two.txt", "213 6"},
        {"TYPE I", "200 Type set to I"},
        {"SIZE two.txt", "213 4"},
        {"TYPE A", "200 Type set to A"},
        {"SIZE two.txt", "213 6"},
        {"SIZE sub", "550 sub: not a regular file."},
        {"SIZE nosuch", "550 nosuch: not a regular file."},
        {"MDTM sub", "550 sub: not a plain file."},
        {"TYPE i", "200 Type set to I"},
        {"TYPE L", "200 Type set to L (byte size 8)"},
        {"TYPE L 8", "200 Type set to L 8"},
        {"TYPE L 7", "504 Byte size must be 8 !"},
        {"TYPE LX8", "500 TYPE not understood !"},
        {"TYPE X", "501 Type unknown !"},
        {"SIZE two.txt", "213 6"},
        {"TYPE", "500 TYPE not understood !"},
        {"TYPE image", "500 TYPE not understood !"},
        {"MODE S", "502 MODE command not implemented !"},
        {"STRU F", "502 STRU command not implemented !"},
        {"ACCT x", "502 ACCT command not implemented !"},
        {"SITE CHMOD 777 x", "502 SITE command not implemented !"},
        {"NOOP", "200 NOOP command successful"},
        {"ABOR", "426 Transfer aborted. Data connection closed."},
        {"REST 100", "350 Restart position ready"},
        {"REST -5", "501 Invalid restart position !"},
        {"REST abc", "501 Invalid restart position !"},
        {"REST 99999999999999999999", "501 Invalid restart position !"},
        {"PORT 10,0,0,1,4,300", "501 Illegal PORT command"},
        {"PORT 10,0,0,1,4", "501 Illegal PORT command"},
        // The control connection here has no IPv4 peer, so no address is the client's.
        {"PORT 127,0,0,1,200,0", "501 Illegal PORT command"},
        {"EPSV", "502 EPSV command not implemented !"},
        {"PASV", "425 Can not open passive connection"},
        {"OPTS UTF8 ON", "200 OK, UTF-8 enabled"},
        {"OPTS utf-8", "200 OK, UTF-8 enabled"},
        {"OPTS UTF8 OFF", "504 UIF-8 disabled"},
        {"OPTS MLST type", "501 OPTS: MLST not understood"},
        {"FEAT", "500 FEAT not understood"},
        {"MKD new", "250 MKD command successful"},
        {"MKD new", "550 Can not make directory !"},
        {"XMKD new/deeper", "250 MKD command successful"},
        {"RMD new", "550 Can not remove directory !"},
        {"XRMD new/deeper", "250 RMD command successful"},
        {"RMD /", "550 Can not remove home directory !"},
        {"CWD new", "250 CWD command successful"},
        {"RMD /new", "550 Can not remove current directory !"},
        {"CWD /", "250 CWD command successful"},
        {"RMD new", "250 RMD command successful"},
        {"DELE /", "550 Can not delete home directory !"},
        {"RNFR nosuch", "550 nosuch: No such file or directory."},
        {"RNTO x", "550 RNTO error !"},
        {"RNFR two.txt", "350 RNFR successful"},
        {"NOOP", "200 NOOP command successful"},
        {"RNTO three.txt", "550 RNTO error !"},
        {"RNFR two.txt", "350 RNFR successful"},
        {"RNTO sub/three.txt", "250 Rename successful"},
        {"RNFR sub/three.txt", "350 RNFR successful"},
        {"RNTO nosuchdir/x", "550 nosuchdir/x: Rename error."},
        {"DELE sub/three.txt", "250 DELE command successful"},
        {"DELE sub/three.txt", "550 Can not delete file !"},
    };
    run_rows(this, table);
}

// Every path command refuses what leads out of the home, whatever way it is spelled; the
// links themselves stay manageable.
TEST_F(FtpdDispatch, JailHoldsAgainstLinksAndSpellings)
{
    login();
    std::vector<Row> table = {
        {"CWD out_abs", "550 Can not change directory !"},
        {"CWD out_rel", "550 Can not change directory !"},
        {"CWD sub/mid/etc", "550 Can not change directory !"},
        {"CWD proc_root", "550 Can not change directory !"},
        {"CWD //sub//mid", "550 Can not change directory !"},
        {"CWD /./sub/./mid/.", "550 Can not change directory !"},
        {"TYPE I", "200 Type set to I"},
        {"SIZE out_abs/passwd", "550 Unknown size !"},
        {"SIZE out_rel/secret", "550 Unknown size !"},
        {"MDTM proc_root/etc/passwd", "550 Unknown size !"},
        {"SIZE sub/mid/etc/passwd", "550 Unknown size !"},
        {"SIZE ../outside/secret", "550 ../outside/secret: not a regular file."},
        {"SIZE sub/../../outside/secret", "550 sub/../../outside/secret: not a regular file."},
        {"SIZE \\..\\..\\outside\\secret", "550 \\..\\..\\outside\\secret: not a regular file."},
        {"MKD out_rel/made", "550 Can not make directory !"},
        {"MKD sub/mid/tmp/made-by-ftpd", "550 Can not make directory !"},
        {"DELE out_rel/secret", "550 Can not delete file !"},
        {"RNFR out_rel/secret", "550 RNFR error !"},
        {"RNFR two.txt", "350 RNFR successful"},
        {"RNTO out_rel/stolen", "550 RNTO error !"},
        {"RETR out_abs/passwd", "550 Stream error !"},
        {"STOR out_rel/new", "550 Stream error !"},
        {"CWD sub/..", "250 CWD command successful"},
        {"CWD sub/../..", "250 CWD command successful"},
        {"PWD", "257 \"/\" is current directory."},
        // A link is an entry of the home: it can be renamed and deleted itself.
        {"RNFR out_abs", "350 RNFR successful"},
        {"RNTO renamed_link", "250 Rename successful"},
        {"DELE renamed_link", "250 DELE command successful"},
    };
    run_rows(this, table);
    EXPECT_TRUE(fs::exists("/etc/passwd"));
    EXPECT_EQ(read_file(m_scratch.m_root + "/outside/secret"), "secret");
    EXPECT_FALSE(fs::exists(m_scratch.m_root + "/outside/made"));
    EXPECT_FALSE(fs::exists("/tmp/made-by-ftpd"));
    EXPECT_TRUE(fs::exists(m_scratch.m_home + "/two.txt"));
    // 4 KiB paths never fit a command line.
    EXPECT_EQ(send("CWD " + std::string(4096, 'a')), "500 Command line too long !\r\n");
    EXPECT_EQ(send("CWD " + std::string(200, '.') + "/" + std::string(250, '/')),
              "550 " + std::string(200, '.') + "/" + std::string(250, '/') +
                  ": No such file or directory\r\n");
}

TEST_F(FtpdDispatch, LineAssembly)
{
    login();
    // Pipelined lines each get their reply, in order; a split line waits for its end.
    EXPECT_EQ(feed("NOOP\r\nSYST\r\nPWD\n"),
              "200 NOOP command successful\r\n215 UNIX Type: L8\r\n257 \"/\" is current "
              "directory.\r\n");
    EXPECT_EQ(feed("NO"), "");
    EXPECT_EQ(feed("OP\r"), "");
    EXPECT_EQ(feed("\n"), "200 NOOP command successful\r\n");
    // An overlong line is answered once and dropped whole, up to its end.
    EXPECT_EQ(feed(std::string(600, 'A')), "500 Command line too long !\r\n");
    EXPECT_EQ(feed(std::string(3000, 'B') + "\r\nNOOP\r\n"), "200 NOOP command successful\r\n");
    EXPECT_EQ(feed(std::string(2000, '\r')), "500 Command line too long !\r\n");
    EXPECT_EQ(feed("\nSYST\r\n"), "215 UNIX Type: L8\r\n");
    // A NUL never cuts an argument short.
    EXPECT_EQ(feed(std::string("CWD sub\0/../..\r\n", 16)),
              "501 Invalid character in command !\r\n");
    // Telnet interrupt bytes in front are sent back and skipped.
    EXPECT_EQ(feed("\xff\xf4\xff\xf2NOOP\r\n"), "\xff\xf4\xff\xf2"
                                                "200 NOOP command successful\r\n");
    EXPECT_EQ(feed("\xff\xff\xff\r\n"), "\xff\xff\xff");
    EXPECT_EQ(feed("\r\n\r\n  \t \r\n"), "500  not understood\r\n");
    EXPECT_EQ(feed("HELP\r\n").substr(0, 4), "214-");
    bool going = true;
    EXPECT_EQ(feed("QUIT\r\nNOOP\r\n", &going), "221 Good-bye\r\n");
    EXPECT_FALSE(going);
}

TEST_F(FtpdDispatch, HelpListsSevenLinesBetweenItsTwoCodes)
{
    login();
    std::string help = send("HELP");
    std::vector<std::string> lines;
    std::stringstream stream(help);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0], "214-The following commands are recognized (* =>'s unimplemented):\r");
    EXPECT_EQ(lines[1], " CWD     XCWD    CDUP    XCUP    SMNT*   QUIT    PORT    PASV\r");
    EXPECT_EQ(lines[7], " NLST    STAT*   SITE*   MLSD*   MLST*\r");
    EXPECT_EQ(lines[8].substr(0, 4), "214 ");
}

TEST_F(FtpdDispatch, EprtErrorsEndTheSession)
{
    login();
    bool going = true;
    EXPECT_EQ(feed("EPRT |1|127.0.0.1|\r\n", &going), "502 EPRT command not implemented !\r\n");
    EXPECT_FALSE(going);
}

TEST(FtpdAccounts, ChainsSettersAndFree)
{
    size_t count = 0;
    tarvik_get_alloc_info(&count, nullptr, nullptr);
    tarvik_ftpd_account_t *a = tarvik_ftpd_new_account("a", 4);
    tarvik_ftpd_account_t *b = nullptr;
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a->m_name, "a");
    EXPECT_EQ(a->m_password, nullptr);
    EXPECT_EQ(a->m_uid, static_cast<uint32_t>(geteuid()));
    EXPECT_EQ(tarvik_ftpd_account_set_plain_password(a, "one"), 0);
    EXPECT_EQ(tarvik_ftpd_account_set_plain_password(a, "two"), 0);
    EXPECT_STREQ(a->m_password, "two");
    EXPECT_EQ(tarvik_ftpd_account_set_path_home(a, "/tmp"), 0);
    EXPECT_EQ(tarvik_ftpd_account_set_path_home(a, nullptr), 0);
    EXPECT_EQ(a->m_home, nullptr);
    EXPECT_EQ(tarvik_ftpd_add_user(nullptr, &b, 0, nullptr, "pw", "/home"), 0);
    EXPECT_EQ(b->m_name, nullptr);
    EXPECT_STREQ(b->m_home, "/home");
    // Chain a and b by hand, then hand the chain to a server through its second entry.
    a->m_next = b;
    b->m_prev = a;
    tarvik_ftpd_t *server = tarvik_open_ftpd("127.0.0.1", 0);
    ASSERT_NE(server, nullptr);
    tarvik_ftpd_account_t *c = nullptr;
    EXPECT_EQ(tarvik_ftpd_add_user(server, &c, 2, "sys", nullptr, nullptr), 0);
    EXPECT_EQ(tarvik_ftpd_add_account(server, b), 0);
    tarvik_ftpd_account_t *head = c;
    tarvik_ftpd_account_t *tail = b;
    EXPECT_TRUE((tarvik::detail::DoublyLinked<tarvik_ftpd_account_t>(&head, &tail).validate()));
    EXPECT_EQ(c->m_next, a);
    EXPECT_EQ(a->m_next, b);
    EXPECT_EQ(tarvik_ftpd_add_account(server, nullptr), -1);
    EXPECT_EQ(tarvik_close_ftpd(server), nullptr);
    EXPECT_EQ(tarvik_ftpd_free_account(nullptr), nullptr);
    size_t after = 0;
    tarvik_get_alloc_info(&after, nullptr, nullptr);
    EXPECT_EQ(after, count);
    EXPECT_EQ(tarvik_open_ftpd("not an address", 0), nullptr);
}

// ---- the threaded server over loopback --------------------------------------------------------

namespace {

// A small blocking client: one reply per command, data connections by PASV, EPSV or PORT.
class Client {
  public:
    explicit Client(int port, const char *from = nullptr)
    {
        m_fd = connect_to("127.0.0.1", port, from);
    }
    ~Client()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    bool ok() const { return m_fd >= 0; }
    // The next complete reply (every line up to the one with a blank after the code).
    std::string reply()
    {
        std::string text;
        for (;;) {
            size_t end = m_pending.find("\r\n");
            if (end != std::string::npos) {
                std::string line = m_pending.substr(0, end + 2);
                m_pending.erase(0, end + 2);
                text += line;
                if (line.size() >= 4 && line[3] == ' ') {
                    return text;
                }
                continue;
            }
            char buffer[4096];
            ssize_t got = recv(m_fd, buffer, sizeof(buffer), 0);
            if (got <= 0) {
                return text + m_pending;
            }
            m_pending.append(buffer, static_cast<size_t>(got));
        }
    }
    std::string command(const std::string &line)
    {
        ::send(m_fd, (line + "\r\n").data(), line.size() + 2, MSG_NOSIGNAL);
        return reply();
    }
    void login()
    {
        reply();
        command("USER u");
        command("PASS pw");
        command("TYPE I");
    }
    // Opens a passive data connection (PASV or EPSV); -1 on failure.
    int passive(bool extended, const char *from = nullptr)
    {
        std::string answer = command(extended ? "EPSV" : "PASV");
        unsigned port = 0;
        if (extended) {
            size_t bar = answer.find("|||");
            if (bar == std::string::npos) {
                return -1;
            }
            port = static_cast<unsigned>(std::stoul(answer.substr(bar + 3)));
        } else {
            unsigned h[6];
            if (sscanf(answer.c_str(), "227 Entering passive mode (%u,%u,%u,%u,%u,%u)", &h[0],
                       &h[1], &h[2], &h[3], &h[4], &h[5]) != 6) {
                return -1;
            }
            port = h[4] * 256 + h[5];
        }
        return connect_to("127.0.0.1", static_cast<int>(port), from);
    }
    int m_fd;
    std::string m_pending;
};

std::string read_all(int fd)
{
    std::string text;
    char buffer[8192];
    ssize_t got;
    while ((got = recv(fd, buffer, sizeof(buffer), 0)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text;
}

void send_all(int fd, const std::string &data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t done = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (done <= 0) {
            break;
        }
        sent += static_cast<size_t>(done);
    }
}

class FtpdServer : public TarvikTest {
  protected:
    void SetUp() override
    {
        TarvikTest::SetUp();
        m_port = free_port();
        m_server = tarvik_open_ftpd("127.0.0.1", m_port);
        ASSERT_NE(m_server, nullptr);
        ASSERT_EQ(tarvik_ftpd_add_user(m_server, nullptr, 0, "u", "pw", m_scratch.m_home.c_str()),
                  0);
        m_payload.resize(300000);
        for (size_t i = 0; i < m_payload.size(); ++i) {
            m_payload[i] = static_cast<char>(i * 7 % 251);
        }
        write_file(m_scratch.m_home + "/payload.bin", m_payload);
    }
    void start()
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                tarvik_ftpd_do(m_server, 50);
            }
        });
    }
    void TearDown() override
    {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        tarvik_close_ftpd(m_server);
        TarvikTest::TearDown();
    }

    Scratch m_scratch;
    tarvik_ftpd_t *m_server = nullptr;
    int m_port = 0;
    std::string m_payload;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

} // namespace

TEST_F(FtpdServer, TransfersInBothTypesAndEveryMode)
{
    start();
    Client client(m_port);
    ASSERT_TRUE(client.ok());
    EXPECT_EQ(client.reply(), "220 TARVIK FTP Server\r\n");
    client.command("USER u");
    EXPECT_EQ(client.command("PASS pw"), "230 Login successful.\r\n");
    EXPECT_EQ(client.command("TYPE I"), "200 Type set to I\r\n");
    for (bool extended : {false, true}) {
        int data = client.passive(extended);
        ASSERT_GE(data, 0);
        EXPECT_EQ(client.command("RETR payload.bin"), "150 Opening data connection\r\n");
        EXPECT_EQ(read_all(data), m_payload);
        EXPECT_EQ(client.reply(), "226 Transfer complete\r\n");
    }
    // Upload, then a restart from byte 100 on the way back.
    int data = client.passive(true);
    EXPECT_EQ(client.command("STOR copy.bin"), "150 Opening data connection\r\n");
    send_all(data, m_payload);
    close(data);
    EXPECT_EQ(client.reply(), "226 Transfer complete\r\n");
    EXPECT_EQ(read_file(m_scratch.m_home + "/copy.bin"), m_payload);
    data = client.passive(false);
    EXPECT_EQ(client.command("REST 100"), "350 Restart position ready\r\n");
    client.command("RETR copy.bin");
    EXPECT_EQ(read_all(data), m_payload.substr(100));
    client.reply();
    // REST then a resumed STOR completes a cut upload byte for byte.
    write_file(m_scratch.m_home + "/cut.bin", m_payload.substr(0, 1234));
    data = client.passive(false);
    client.command("REST 1234");
    EXPECT_EQ(client.command("STOR cut.bin"), "150 Opening data connection\r\n");
    send_all(data, m_payload.substr(1234));
    close(data);
    client.reply();
    EXPECT_EQ(read_file(m_scratch.m_home + "/cut.bin"), m_payload);
    // APPE adds to the end.
    data = client.passive(false);
    client.command("APPE cut.bin");
    send_all(data, "tail");
    close(data);
    client.reply();
    EXPECT_EQ(read_file(m_scratch.m_home + "/cut.bin"), m_payload + "tail");
    // ASCII: LF goes out as CR LF, CR LF comes in as LF; a lone CR stays.
    write_file(m_scratch.m_home + "/text.txt", "one\ntwo\n\nthree\rfour");
    EXPECT_EQ(client.command("TYPE A"), "200 Type set to A\r\n");
    data = client.passive(false);
    client.command("RETR text.txt");
    EXPECT_EQ(read_all(data), "one\r\ntwo\r\n\r\nthree\rfour");
    client.reply();
    data = client.passive(false);
    client.command("STOR text2.txt");
    send_all(data, "one\r\ntwo\r");
    usleep(20000);
    send_all(data, "\n\r\nthree\rfour\r");
    close(data);
    client.reply();
    EXPECT_EQ(read_file(m_scratch.m_home + "/text2.txt"), "one\ntwo\n\nthree\rfour\r");
    // Active mode: PORT and EPRT to the client's own listener.
    EXPECT_EQ(client.command("TYPE I"), "200 Type set to I\r\n");
    for (bool extended : {false, true}) {
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address));
        listen(listener, 1);
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        unsigned port = ntohs(address.sin_port);
        std::string line = extended ? "EPRT |1|127.0.0.1|" + std::to_string(port) + "|"
                                    : "PORT 127,0,0,1," + std::to_string(port >> 8) + "," +
                                          std::to_string(port & 255);
        EXPECT_EQ(client.command(line).substr(0, 4), "200 ");
        EXPECT_EQ(client.command("RETR payload.bin"), "150 Opening data connection\r\n");
        int accepted = accept(listener, nullptr, nullptr);
        EXPECT_EQ(read_all(accepted), m_payload);
        EXPECT_EQ(client.reply(), "226 Transfer complete\r\n");
        close(listener);
    }
    // Listings: long form and names.
    data = client.passive(false);
    EXPECT_EQ(client.command("NLST"), "150 Opening ASCII mode data connection for file list\r\n");
    std::string names = read_all(data);
    EXPECT_NE(names.find("payload.bin\r\n"), std::string::npos);
    EXPECT_EQ(names.find(".."), std::string::npos);
    client.reply();
    data = client.passive(false);
    client.command("LIST -la sub");
    std::string listing = read_all(data);
    EXPECT_NE(listing.find("lrwxrwxrwx"), std::string::npos) << listing;
    EXPECT_NE(listing.find(" mid -> /\r\n"), std::string::npos) << listing;
    EXPECT_EQ(client.reply(), "226 Transfer complete\r\n");
    // Patterns: matches only inside the home, however the braces spell "..".
    data = client.passive(false);
    client.command("NLST /{..,sub}/{..,mid}/etc/pass*");
    EXPECT_EQ(read_all(data), "");
    client.reply();
    data = client.passive(false);
    client.command("NLST *.bin");
    std::string matches = read_all(data);
    EXPECT_NE(matches.find("copy.bin\r\n"), std::string::npos);
    EXPECT_EQ(matches.find("text.txt"), std::string::npos);
    client.reply();
    for (const char *pattern : {"[", "*/*/*", "********************************"}) {
        data = client.passive(false);
        client.command(std::string("NLST ") + pattern);
        read_all(data);
        EXPECT_EQ(client.reply(), "226 Transfer complete\r\n") << pattern;
    }
    // A client that drops the data connection early costs the transfer, not the server
    // (no SIGPIPE).
    write_file(m_scratch.m_home + "/large.bin", std::string(32 << 20, 'L'));
    data = client.passive(false);
    EXPECT_EQ(client.command("RETR large.bin"), "150 Opening data connection\r\n");
    char head[100];
    EXPECT_EQ(recv(data, head, sizeof(head), MSG_WAITALL), 100);
    close(data);
    EXPECT_EQ(client.reply(), "550 Data send error !\r\n");
    EXPECT_EQ(client.command("NOOP"), "200 NOOP command successful\r\n");
    EXPECT_EQ(client.command("QUIT"), "221 Good-bye\r\n");
}

TEST_F(FtpdServer, RefusesBounceAndTheft)
{
    start();
    Client client(m_port);
    client.login();
    // 127.0.0.2 is this machine too, but not this client's address.
    EXPECT_EQ(client.command("PORT 127,0,0,2,200,0"), "501 Illegal PORT command\r\n");
    EXPECT_EQ(client.command("PORT 127,0,0,1,0,21"), "501 Illegal PORT command\r\n");
    // A passive port taken by another host first gets no data; the client still does.
    std::string answer = client.command("PASV");
    unsigned h[6] = {};
    ASSERT_EQ(sscanf(answer.c_str(), "227 Entering passive mode (%u,%u,%u,%u,%u,%u)", &h[0], &h[1],
                     &h[2], &h[3], &h[4], &h[5]),
              6);
    int port = static_cast<int>(h[4] * 256 + h[5]);
    int thief = connect_to("127.0.0.1", port, "127.0.0.2");
    ASSERT_GE(thief, 0);
    int data = connect_to("127.0.0.1", port);
    ASSERT_GE(data, 0);
    EXPECT_EQ(client.command("RETR payload.bin"), "150 Opening data connection\r\n");
    EXPECT_EQ(read_all(data), m_payload);
    EXPECT_EQ(client.reply(), "226 Transfer complete\r\n");
    char byte;
    EXPECT_LE(recv(thief, &byte, 1, 0), 0);
    close(thief);
    // An EPRT bounce ends the session.
    EXPECT_EQ(client.command("EPRT |1|127.0.0.2|5000|"), "502 EPRT command not implemented !\r\n");
    EXPECT_EQ(client.reply(), "");
}

TEST_F(FtpdServer, SessionCapAnswersAtOnce)
{
    tarvik_ftpd_set_limits(m_server, 2, 5000);
    start();
    Client first(m_port);
    Client second(m_port);
    EXPECT_EQ(first.reply(), "220 TARVIK FTP Server\r\n");
    EXPECT_EQ(second.reply(), "220 TARVIK FTP Server\r\n");
    Client third(m_port);
    EXPECT_EQ(third.reply().substr(0, 4), "421 ");
    EXPECT_EQ(third.reply(), "");
    EXPECT_EQ(tarvik_ftpd_session_count(m_server), 2u);
    first.command("QUIT");
    EXPECT_EQ(first.reply(), "");
    for (int i = 0; i < 200 && tarvik_ftpd_session_count(m_server) != 1; ++i) {
        usleep(10000);
    }
    Client fourth(m_port);
    EXPECT_EQ(fourth.reply(), "220 TARVIK FTP Server\r\n");
}

// A client that trickles a command byte by byte never resets the time-out.
TEST_F(FtpdServer, IdleTimeoutEndsSilentAndTricklingSessions)
{
    tarvik_ftpd_set_limits(m_server, 4, 400);
    start();
    Client silent(m_port);
    Client trickle(m_port);
    silent.reply();
    trickle.reply();
    for (const char *byte = "NOOP"; *byte != '\0'; ++byte) {
        ::send(trickle.m_fd, byte, 1, MSG_NOSIGNAL);
        usleep(150000);
    }
    EXPECT_EQ(silent.reply().substr(0, 4), "421 ");
    EXPECT_EQ(trickle.reply().substr(0, 4), "421 ");
    EXPECT_EQ(trickle.reply(), "");
}

TEST_F(FtpdServer, SecondUploadToTheSameFileIsRefused)
{
    start();
    Client first(m_port);
    Client second(m_port);
    first.login();
    second.login();
    int data = first.passive(false);
    EXPECT_EQ(first.command("STOR busy.bin"), "150 Opening data connection\r\n");
    send_all(data, "first part ");
    int other = second.passive(false);
    EXPECT_EQ(second.command("STOR busy.bin"),
              "550 File is being written by another session !\r\n");
    close(other);
    send_all(data, "and the rest");
    close(data);
    EXPECT_EQ(first.reply(), "226 Transfer complete\r\n");
    EXPECT_EQ(read_file(m_scratch.m_home + "/busy.bin"), "first part and the rest");
    // Once finished, the name is free again.
    other = second.passive(false);
    EXPECT_EQ(second.command("STOR busy.bin"), "150 Opening data connection\r\n");
    send_all(other, "second");
    close(other);
    EXPECT_EQ(second.reply(), "226 Transfer complete\r\n");
    EXPECT_EQ(read_file(m_scratch.m_home + "/busy.bin"), "second");
}

// Closing the server ends sessions that wait for commands and for data connections.
TEST_F(FtpdServer, CloseEndsRunningSessions)
{
    start();
    Client idle(m_port);
    Client waiting(m_port);
    idle.login();
    waiting.login();
    waiting.command("PASV");
    ::send(waiting.m_fd, "RETR payload.bin\r\n", 18, MSG_NOSIGNAL);
    usleep(100000);
    EXPECT_EQ(tarvik_ftpd_session_count(m_server), 2u);
    m_stop = true;
    m_thread.join();
    m_server = tarvik_close_ftpd(m_server);
    EXPECT_EQ(idle.reply(), "");
    EXPECT_EQ(waiting.reply(), "");
}

// With no account entries no login is needed: the root is HOME from the start.
TEST(FtpdNoAccounts, UserAloneLogsInAndPassIsRefused)
{
    size_t count = 0;
    tarvik_get_alloc_info(&count, nullptr, nullptr);
    Scratch scratch;
    const char *saved = getenv("HOME");
    std::string old_home = saved != nullptr ? saved : "";
    setenv("HOME", scratch.m_home.c_str(), 1);
    tarvik_ftpd_t *server = tarvik_open_ftpd("127.0.0.1", 0);
    ASSERT_NE(server, nullptr);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    tarvik::detail::FtpdSession *session = tarvik::detail::ftpd_open_session(server, pair[0]);
    auto send = [&](const std::string &line) {
        std::string bytes = line + "\r\n";
        tarvik::detail::ftpd_feed_session(session, bytes.data(), bytes.size());
        return drain(pair[1]);
    };
    EXPECT_EQ(send("SIZE two.txt"), "213 6\r\n");
    EXPECT_EQ(send("USER anybody"), "230 Login successful.\r\n");
    EXPECT_EQ(send("PASS x"), "530 Please login with USER !\r\n");
    EXPECT_EQ(send("CWD sub"), "250 CWD command successful\r\n");
    EXPECT_EQ(send("CWD /out_abs"), "550 Can not change directory !\r\n");
    tarvik::detail::ftpd_close_session(session);
    close(pair[1]);
    tarvik_close_ftpd(server);
    if (saved != nullptr) {
        setenv("HOME", old_home.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
    size_t after = 0;
    tarvik_get_alloc_info(&after, nullptr, nullptr);
    EXPECT_EQ(after, count);
}
