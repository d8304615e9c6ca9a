// C++-only parts of the FTP client shared with its tests and fuzz targets: the control line
// splitter over the receive queue and the passive reply parsers. Never installed.
#pragma once

#include "../ftp.h"

#include <cstddef>
#include <cstdint>

namespace tarvik::detail {

enum class FtpLine {
    LINE,     // a line is in m_line / m_line_length, taken from the queue with its end
    MORE,     // no complete line is queued yet
    TOO_LONG, // the line being assembled passed TARVIK_FTP_BLOCK_SIZE bytes
};

// Takes the next control line from the receive queue. A CR or LF ends a line; the other one
// of the pair right after it is dropped, also when it arrives later; a byte of 0x80 or above
// makes the byte after it ordinary. The scan resumes where the last call stopped.
FtpLine ftp_take_line(tarvik_ftp_t *ftp);

// The code of a final reply line (three digits and a blank), or -1 for any other line.
int ftp_reply_code(const char *line, size_t length);

// The data port of a 227 reply text ("... (h1,h2,h3,h4,p1,p2)") or a 229 reply text
// ("... (|||port|)"), 1..65535; -1 when malformed or out of range.
int ftp_pasv_port(const char *text);
int ftp_epsv_port(const char *text);

} // namespace tarvik::detail
