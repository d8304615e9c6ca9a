// C++-only entry into the FTP server's session without its thread: tests and the fuzz
// target feed control-channel bytes straight into the line assembler and dispatcher.
#pragma once

#include "../ftpd.h"

#include <cstddef>

namespace tarvik::detail {

struct FtpdSession;

// New session of server on the connected control descriptor (which the session then owns);
// no greeting is sent. Null when out of memory (the descriptor is closed).
FtpdSession *ftpd_open_session(tarvik_ftpd_t *server, int control);
// Feeds received bytes: every complete line runs in order. false once the session ended
// (QUIT, a reply that could not be sent, an EPRT error).
bool ftpd_feed_session(FtpdSession *session, const char *data, size_t length);
// Ends the session and frees it (null accepted).
void ftpd_close_session(FtpdSession *session);

} // namespace tarvik::detail
