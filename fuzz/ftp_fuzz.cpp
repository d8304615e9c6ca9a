// Fuzzes the FTP client's control line splitter and its passive reply parsers: the bytes cut
// into input-derived chunks must give the same lines (and the same verdict on an overlong
// line) as one whole push; reply codes and ports stay in range. The heap ends empty.
#include "detail/ftp.hpp"
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string &text, uint32_t seed)
{
    tarvik_ftp_t *ftp = tarvik_open_ftp();
    ftp->m_receive_queue = tarvik_open_buffer();
    std::vector<std::string> lines;
    uint32_t state = seed | 1u;
    for (size_t at = 0; at < text.size();) {
        state = state * 1103515245u + 12345u;
        size_t length = seed == 0 ? text.size() : 1u + (state >> 8) % 97u;
        if (length > text.size() - at) {
            length = text.size() - at;
        }
        tarvik_push_buffer(ftp->m_receive_queue, text.data() + at, length);
        at += length;
        tarvik::detail::FtpLine result;
        while ((result = tarvik::detail::ftp_take_line(ftp)) == tarvik::detail::FtpLine::LINE) {
            if (ftp->m_line_length > TARVIK_FTP_BLOCK_SIZE ||
                strlen(ftp->m_line) > ftp->m_line_length) {
                abort();
            }
            const int code = tarvik::detail::ftp_reply_code(ftp->m_line, ftp->m_line_length);
            if (code < -1 || code > 999) {
                abort();
            }
            lines.emplace_back(ftp->m_line, ftp->m_line_length);
        }
        if (result == tarvik::detail::FtpLine::TOO_LONG) {
            lines.emplace_back("<too long>");
            break;
        }
    }
    ftp->m_receive_queue = tarvik_close_buffer(ftp->m_receive_queue);
    tarvik_close_ftp(ftp);
    return lines;
}

void check_port(int port)
{
    if (port != -1 && (port < 1 || port > 65535)) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4) {
        return 0;
    }
    uint32_t seed = 0;
    memcpy(&seed, data, sizeof(seed));
    const std::string text(reinterpret_cast<const char *>(data) + 4, size - 4);
    if (split(text, seed | 2u) != split(text, 0)) {
        abort();
    }
    const std::string reply(text.c_str()); // the parsers read a reply text up to its NUL
    check_port(tarvik::detail::ftp_pasv_port(reply.c_str()));
    check_port(tarvik::detail::ftp_epsv_port(reply.c_str()));
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
