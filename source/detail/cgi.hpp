// Internals of the CGI layer shared with its tests and fuzz target: the stateless nonces and
// the authentication check at a given time.
#pragma once

#include "../cgi.h"

#include <ctime>

namespace tarvik::detail {

// A nonce stays fresh for the minute it was issued in and this many minutes in all.
constexpr int CGI_NONCE_MINUTES = 5;

// The nonce issued for realm in the minute of time into out (33 bytes); out, or null when the
// time cannot be broken down.
char *cgi_nonce(const char *realm, time_t time, char *out);
// Whether nonce is one issued for realm within the fresh minutes up to now.
bool cgi_nonce_is_fresh(const char *realm, const char *nonce, time_t now);
// Sets the 401 status and the challenge of the minute of now, marked stale when asked; 0 or -1.
int cgi_challenge(tarvik_cgi_t *cgi, time_t now, bool stale);
// tarvik_cgi_digest_check at the time now.
int cgi_digest_check(tarvik_cgi_t *cgi, time_t now);

} // namespace tarvik::detail
