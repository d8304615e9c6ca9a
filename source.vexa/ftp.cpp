// The FTP client applets: ftpget (download one URL to a file, resumable) and ftp (a fixed
// self-test run of the client against one URL).
#include "applet.hpp"
#include "applets.h"

#include "console.h"
#include "ftp.h"
#include "heap.h"
#include "signal.h"
#include "time.h"

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

// ---- ftpget -------------------------------------------------------------------------------

// What "test" stands for: a large file on a public mirror.
constexpr const char *FTPGET_TEST_URL = "ftp://ftp.gnu.org/gnu/gcc/gcc-13.2.0/gcc-13.2.0.tar.xz";

enum : size_t { VERBOSE, QUIET, PROGRESS, NOINTERACTIVE, CONTINUE, RETRY };
// Resuming is asked with -c/--continue and --retry N (N more attempts, each resuming).
constexpr vexa::Option FTPGET_OPTIONS[] = {
    {"verbose", vexa::Takes::NOTHING, "\t--verbose : verbose mode\n"},
    {"quiet", vexa::Takes::NOTHING, "\t--quiet : quiet mode\n"},
    {"progress", vexa::Takes::NOTHING, nullptr},
    {"nointeractive", vexa::Takes::NOTHING, nullptr},
    {"c|continue", vexa::Takes::NOTHING, nullptr},
    {"retry", vexa::Takes::VALUE, nullptr},
};
constexpr vexa::Usage FTPGET_USAGE =
    vexa::usage_of("usage: %s [<option(s)>] <url> [<pathname>]\noptions:\n", FTPGET_OPTIONS, "");

struct FtpgetOptions {
    uint32_t m_flags;
    bool m_continue;
    long long m_retries;
};

bool read_ftpget_options(const vexa::Arguments &arguments, FtpgetOptions *options)
{
    const bool quiet = arguments.has(QUIET);
    options->m_flags = TARVIK_FTP_NO_DATA_TIMEOUT | TARVIK_FTP_REMOVE_ON_FAILURE;
    if (!arguments.has(NOINTERACTIVE)) {
        options->m_flags |= TARVIK_FTP_ASK_PASSWORD;
    }
    if (!quiet) {
        options->m_flags |= TARVIK_FTP_PROGRESS;
    }
    if (arguments.has(VERBOSE) && !quiet) {
        options->m_flags |= TARVIK_FTP_VERBOSE;
    }
    options->m_continue = arguments.has(CONTINUE);
    return arguments.number(RETRY, 0, 1000, 0, &options->m_retries);
}

// Attempt after attempt: a partial file is kept while another attempt (or a later --continue)
// may resume it, and removed after the last failure otherwise.
int download(const FtpgetOptions &options, const char *url, const char *local)
{
    for (long long attempt = 0; attempt <= options.m_retries; ++attempt) {
        uint32_t flags = options.m_flags;
        if (options.m_continue || attempt > 0) {
            flags |= TARVIK_FTP_RESUME;
        }
        if (options.m_continue || attempt < options.m_retries) {
            flags &= ~TARVIK_FTP_REMOVE_ON_FAILURE;
        }
        if (tarvik_ftp_simple_download_to_file_with_md5(flags, url, local, 0644, nullptr) == 0) {
            return 0;
        }
        if (attempt < options.m_retries) {
            tarvik_error_printf("ftpget: download failed, retrying (%lld/%lld)\n", attempt + 1,
                                options.m_retries);
            tarvik_sleep_wait(1, 0);
        }
    }
    return 1;
}

// ---- ftp ----------------------------------------------------------------------------------

constexpr const char *FTP_TEST_URL = "ftp://localhost/incoming/rfc959.txt";
constexpr size_t PIECE = 4096;

std::atomic<int> s_stop{0};

void on_interrupt(int, void *) { s_stop.store(1); }

// Prints what a listing stream delivers until its end or an interrupt.
void print_listing(tarvik_ftp_t *ftp, const char *mode, char *buffer)
{
    if (tarvik_ftp_open_stream(ftp, 0, nullptr, mode) != 0) {
        return;
    }
    ssize_t length;
    while (s_stop.load() == 0 &&
           (length = tarvik_ftp_recv_stream(ftp, buffer, PIECE - 1, ftp->m_data_timeout)) > 0) {
        buffer[length] = '\0';
        tarvik_printf("%s", buffer);
    }
    if (s_stop.load() != 0) {
        tarvik_ftp_abort_stream(ftp);
    } else {
        tarvik_ftp_close_stream(ftp);
    }
}

// Receives the URI's file, counting; 0 when it arrived whole and confirmed.
int receive_file(tarvik_ftp_t *ftp, char *buffer, uint64_t size)
{
    uint64_t received = 0;
    bool ok = false;
    if (tarvik_ftp_open_stream(ftp, 0, nullptr, "r") == 0) {
        ssize_t length = -1;
        while (s_stop.load() == 0 &&
               (length = tarvik_ftp_recv_stream(ftp, buffer, PIECE, ftp->m_data_timeout)) > 0) {
            received += static_cast<uint64_t>(length);
            tarvik_printf("recv stream %lu/%lu\n", static_cast<unsigned long>(received),
                          static_cast<unsigned long>(size));
        }
        if (s_stop.load() == 0 && length == 0) {
            ok = tarvik_ftp_close_stream(ftp) == 0;
        } else {
            tarvik_ftp_abort_stream(ftp);
        }
    }
    tarvik_printf("stream %s: %lu/%lu bytes\n", ok ? "OK" : "FAIL",
                  static_cast<unsigned long>(received), static_cast<unsigned long>(size));
    return ok ? 0 : 1;
}

// The fixed run: options, system, pwd, directories, listings, size, the file.
int self_test(tarvik_ftp_t *ftp, char *buffer)
{
    if (tarvik_ftp_login(ftp, nullptr, nullptr, nullptr) != 0) {
        return 1;
    }
    if (tarvik_ftp_set_option(ftp, "UTF8", "ON") == 0) {
        tarvik_printf("UTF-8 support\n");
    }
    char *text = nullptr;
    if (tarvik_ftp_get_system(ftp, &text) == 0) {
        tarvik_printf("system is \"%s\"\n", text);
        tarvik_free_tag(text, "self_test", __LINE__);
    }
    tarvik_ftp_check(ftp);
    if (tarvik_ftp_get_pwd(ftp, &text) == 0) {
        tarvik_printf("pwd is \"%s\"\n", text);
        tarvik_free_tag(text, "self_test", __LINE__);
    }
    tarvik_ftp_chdir(ftp, "incoming");
    tarvik_ftp_chdir(ftp, "..");
    print_listing(ftp, "n", buffer);
    print_listing(ftp, "l", buffer);
    uint64_t size = 0;
    if (tarvik_ftp_get_size(ftp, nullptr, &size) == 0) {
        tarvik_printf("size is %lu\n", static_cast<unsigned long>(size));
    }
    return receive_file(ftp, buffer, size);
}

} // namespace

int tarvik_multicall_ftpget_main(int argc, char **argv)
{
    vexa::Arguments arguments(argc, argv, FTPGET_USAGE);
    if (!arguments.ok()) {
        return 1;
    }
    FtpgetOptions options{};
    if (!read_ftpget_options(arguments, &options)) {
        return 1;
    }
    const char *url = arguments.operand(0);
    if (url == nullptr) {
        arguments.usage(arguments.program_name());
        return 1;
    }
    if (strcmp(url, "test") == 0) {
        url = FTPGET_TEST_URL;
    }
    return download(options, url, arguments.operand(1));
}

int tarvik_multicall_ftp_main(int argc, char **argv)
{
    if (argc < 2) {
        tarvik_printf("usage: %s <url>\n", argc > 0 ? argv[0] : "ftp");
        return 1;
    }
    const char *url = strcmp(argv[1], "test") == 0 ? FTP_TEST_URL : argv[1];
    tarvik_ftp_t *ftp = tarvik_open_ftp();
    char *buffer = static_cast<char *>(tarvik_alloc_tag(PIECE, "tarvik_multicall_ftp_main", 0));
    if (ftp == nullptr || buffer == nullptr) {
        tarvik_close_ftp(ftp);
        tarvik_check_free_tag(buffer, "tarvik_multicall_ftp_main", 0);
        return 1;
    }
    ftp->m_login_retry = 3;
    ftp->m_command_timeout = 4000;
    ftp->m_passive = 1;
    ftp->m_verbose = 1;
    ftp->m_ask_password = 1;
    s_stop.store(0);
    tarvik_signal_node_t *interrupt = tarvik_add_signal(SIGINT, on_interrupt, nullptr);
    int status = 1;
    if (tarvik_ftp_connect(ftp, url, 21) == 0) {
        status = self_test(ftp, buffer);
    }
    tarvik_del_signal(interrupt);
    tarvik_close_ftp(ftp);
    tarvik_free_tag(buffer, "tarvik_multicall_ftp_main", 0);
    return status;
}
