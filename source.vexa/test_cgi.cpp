// The "cgi" exercise: a CGI program guarded by one account, for trying clients and web
// servers against the Basic and Digest checks. It answers a granted request with a short
// text naming the method and the parameter "q", any other with the 401 challenge.
#include "test_exercises.h"

#include "buffer.h"
#include "cgi.h"

#include <cstring>

namespace tarvik::test {

// operand: "<user>:<password>" (no operand: no account, every request passes).
int exercise_cgi(const char *operand)
{
    tarvik_cgi_t *cgi = tarvik_open_cgi(0, nullptr, nullptr);
    if (cgi == nullptr) {
        return 1;
    }
    cgi->m_max_body_size = 4096;
    const char *colon = operand != nullptr ? strchr(operand, ':') : nullptr;
    bool ok = true;
    if (colon != nullptr) {
        char user[128];
        size_t length = static_cast<size_t>(colon - operand);
        length = length < sizeof(user) - 1 ? length : sizeof(user) - 1;
        memcpy(user, operand, length);
        user[length] = '\0';
        ok = tarvik_cgi_new_account(cgi, user, colon + 1) == 0;
    }
    ok = ok && tarvik_cgi_incoming(cgi) >= 0;
    bool granted = ok && tarvik_cgi_digest_check(cgi) == 0;
    tarvik_cgi_set_response_header(cgi, "Content-Type", "text/plain");
    if (granted) {
        const char *query = tarvik_cgi_get_parameter(cgi, "q");
        tarvik_push_printf(cgi->m_response_body, "granted %s q=%s\n", cgi->m_method,
                           query != nullptr ? query : "");
    }
    ok = tarvik_cgi_outgoing(cgi) == 0 && ok;
    tarvik_close_cgi(cgi);
    return ok ? 0 : 1;
}

} // namespace tarvik::test
