// Fuzzes the FTP server's command dispatcher: the input is control-channel bytes fed to a
// session over a scratch home (first byte odd: logged in first). Every input must leave
// the heap as it found it, and nothing outside the home may change: a sentinel file and
// the directory beside the home stay exactly as they were.
#include "detail/ftpd.hpp"
#include "heap.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Scratch {
    std::string m_root;
    std::string m_home;
    tarvik_ftpd_t *m_server = nullptr;
    size_t m_baseline = 0;
    unsigned m_runs = 0;

    Scratch()
    {
        char pattern[] = "/tmp/ftpd-fuzz-XXXXXX";
        m_root = mkdtemp(pattern);
        m_home = m_root + "/home";
        fs::create_directories(m_root + "/outside");
        std::ofstream(m_root + "/outside/sentinel") << "sentinel";
        rebuild();
        m_server = tarvik_open_ftpd("127.0.0.1", 0);
        if (m_server == nullptr ||
            tarvik_ftpd_add_user(m_server, nullptr, 0, "u", "pw", m_home.c_str()) != 0) {
            abort();
        }
        // Every wait of a session (a full reply buffer) gives up at once.
        tarvik_ftpd_set_limits(m_server, 4, 20);
        m_baseline = tarvik_get_alloc_count();
    }
    // A fresh home now and then, so that made directories do not pile up.
    void rebuild()
    {
        fs::remove_all(m_home);
        fs::create_directories(m_home + "/sub");
        std::ofstream(m_home + "/two.txt") << "a\nb\n";
        fs::create_symlink("../outside", m_home + "/link");
        fs::create_symlink("/", m_home + "/sub/mid");
    }
    bool outside_intact() const
    {
        size_t entries = 0;
        for (const auto &entry : fs::directory_iterator(m_root + "/outside")) {
            (void)entry;
            ++entries;
        }
        std::ifstream sentinel(m_root + "/outside/sentinel");
        std::string text;
        std::getline(sentinel, text);
        return entries == 1 && text == "sentinel";
    }
};

Scratch *s_scratch = nullptr;

Scratch &scratch()
{
    if (s_scratch == nullptr) {
        s_scratch = new Scratch();
        atexit([] { fs::remove_all(s_scratch->m_root); });
    }
    return *s_scratch;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Scratch &state = scratch();
    if (++state.m_runs % 256 == 0) {
        state.rebuild();
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        return 0;
    }
    tarvik::detail::FtpdSession *session =
        tarvik::detail::ftpd_open_session(state.m_server, pair[0]);
    if (session == nullptr) {
        abort();
    }
    bool going = true;
    if (size > 0 && (data[0] & 1) != 0) {
        static const char LOGIN[] = "USER u\r\nPASS pw\r\n";
        going = tarvik::detail::ftpd_feed_session(session, LOGIN, sizeof(LOGIN) - 1);
    }
    // Fed in small pieces, draining the replies between them (lines split anywhere).
    for (size_t at = 1; going && at < size; at += 64) {
        size_t piece = size - at < 64 ? size - at : 64;
        going = tarvik::detail::ftpd_feed_session(session,
                                                  reinterpret_cast<const char *>(data) + at, piece);
        char replies[4096];
        while (recv(pair[1], replies, sizeof(replies), MSG_DONTWAIT) > 0) {
        }
    }
    tarvik::detail::ftpd_close_session(session);
    close(pair[1]);
    if (tarvik_get_alloc_count() != state.m_baseline || !state.outside_intact()) {
        abort();
    }
    return 0;
}
