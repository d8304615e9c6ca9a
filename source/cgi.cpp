// The CGI layer: one handle per request, owning its queues, option lists, headers and
// accounts (account memory is wiped before it is freed), and the HTTP Digest computation.
// Nonces carry no state: each is the digest of the realm's opaque value and the minute it was
// issued, so a check recomputes the few that are still fresh.
#include "cgi.h"

#include "base64.h"
#include "console.h"
#include "date.h"
#include "file.h"
#include "format.h"
#include "heap.h"
#include "ini.h"
#include "md5.h"
#include "version.h"

#include "detail/cgi.hpp"
#include "detail/common.hpp"
#include "detail/list.hpp"
#include "detail/text.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using tarvik::detail::Cursor;
using tarvik::detail::equal_ignoring_case;
using tarvik::detail::Text;

constexpr const char *METHODS[TARVIK_CGI_METHOD_COUNT] = {"",    "GET",    "HEAD", "POST",
                                                          "PUT", "DELETE", "LINK", "UNLINK"};
constexpr const char *LIBRARY_NAME = "tarvik_qvl";
constexpr int IO_TIMEOUT_MS = 60000;
constexpr int READ_RETRIES = 16;
// The realm of last resort, when the web server names neither its admin nor an address.
constexpr const char *FALLBACK_REALM = "root@localhost";
constexpr size_t HEX_SIZE = 33;

const char *or_empty(const char *text) { return text != nullptr ? text : ""; }

const char *environment(const tarvik_cgi_t *cgi, const char *name)
{
    return tarvik_argument_search_environ(cgi->m_argument, name);
}

void lower_hex(const uint8_t *digest, char *out)
{
    for (size_t i = 0; i < 16; ++i) {
        out[2 * i] = "0123456789abcdef"[digest[i] >> 4];
        out[2 * i + 1] = "0123456789abcdef"[digest[i] & 15];
    }
    out[32] = '\0';
}

// MD5 of the parts joined by ":", as lower-case hex.
char *md5_join(const char *const *parts, size_t count, char *out)
{
    if (out == nullptr) {
        return nullptr;
    }
    tarvik_md5_t context;
    tarvik_init_md5(&context);
    for (size_t i = 0; i < count; ++i) {
        if (i > 0) {
            tarvik_md5_push(&context, ":", 1);
        }
        tarvik_md5_push(&context, parts[i], strlen(or_empty(parts[i])));
    }
    uint8_t digest[16];
    tarvik_md5_digest(&context, digest);
    lower_hex(digest, out);
    return out;
}

// Equality of two secrets in a time that does not depend on where they differ: their
// digests are compared whole.
bool same_secret(const char *left, const char *right)
{
    uint8_t digests[2][16];
    const char *texts[2] = {or_empty(left), or_empty(right)};
    for (int i = 0; i < 2; ++i) {
        tarvik_md5_t context;
        tarvik_init_md5(&context);
        tarvik_md5_push(&context, texts[i], strlen(texts[i]));
        tarvik_md5_digest(&context, digests[i]);
    }
    uint8_t difference = 0;
    for (size_t i = 0; i < 16; ++i) {
        difference |= static_cast<uint8_t>(digests[0][i] ^ digests[1][i]);
    }
    return difference == 0;
}

// A record with its two strings stored behind it (accounts and headers share the layout).
template <typename Record> Record *new_pair(const char *first, const char *second)
{
    size_t first_size = strlen(first) + 1;
    size_t second_size = strlen(second) + 1;
    auto *record = static_cast<Record *>(
        tarvik_alloc_tag(sizeof(Record) + first_size + second_size, TARVIK_TAG));
    if (record == nullptr) {
        return nullptr;
    }
    char *text = reinterpret_cast<char *>(record + 1);
    record->m_next = nullptr;
    memcpy(text, first, first_size);
    memcpy(text + first_size, second, second_size);
    return record;
}

void free_accounts(tarvik_cgi_account_t *account)
{
    while (account != nullptr) {
        tarvik_cgi_account_t *next = account->m_next;
        size_t size = sizeof(*account) + strlen(account->m_user) + strlen(account->m_password) + 2;
        explicit_bzero(account, size);
        tarvik_free_tag(account, TARVIK_TAG);
        account = next;
    }
}

bool has_header(const tarvik_cgi_t *cgi, const char *name)
{
    for (const tarvik_cgi_header_t *header = cgi->m_header; header != nullptr;
         header = header->m_next) {
        if (equal_ignoring_case(header->m_name, name)) {
            return true;
        }
    }
    return false;
}

// Everything queued, written whole through the work area; false when the descriptor
// refused some of it (what could not be written is dropped).
bool write_queue(tarvik_cgi_t *cgi, int descriptor, tarvik_buffer_t *queue)
{
    bool ok = true;
    for (size_t length;
         (length = tarvik_pop_buffer(queue, cgi->m_work, TARVIK_CGI_WORK_SIZE)) > 0;) {
        ok = ok && tarvik_write_fill(descriptor, cgi->m_work, length, IO_TIMEOUT_MS) ==
                       static_cast<ssize_t>(length);
    }
    return ok;
}

// The body up to its announced length, or to the end of the input without one. A body that
// would reach the maximum is refused, when its length says so before a byte is read.
int read_body(tarvik_cgi_t *cgi)
{
    const unsigned long maximum = cgi->m_max_body_size;
    if (maximum != 0 && cgi->m_content_length_valid != 0 && cgi->m_content_length >= maximum) {
        tarvik_error_printf("overflow entity body size (%llu>=%lu) !\n",
                            static_cast<unsigned long long>(cgi->m_content_length), maximum);
        return -1;
    }
    for (;;) {
        size_t want = TARVIK_CGI_WORK_SIZE;
        if (cgi->m_content_length_valid != 0) {
            uint64_t left = cgi->m_content_length - cgi->m_in_size;
            if (left == 0) {
                return 0;
            }
            want = left < want ? static_cast<size_t>(left) : want;
        }
        ssize_t got = tarvik_read(STDIN_FILENO, cgi->m_work, want, IO_TIMEOUT_MS);
        if (got == 0) {
            if (cgi->m_content_length_valid == 0) {
                return 0;
            }
            // Half a form must not be acted upon as if it were all of it.
            tarvik_error_printf("short entity body (%llu<%llu) !\n",
                                static_cast<unsigned long long>(cgi->m_in_size),
                                static_cast<unsigned long long>(cgi->m_content_length));
            return -1;
        }
        if (got < 0) {
            tarvik_error_puts(got == -2 ? "read timeout !\n" : "read error !\n");
            return -1;
        }
        uint64_t size = cgi->m_in_size + static_cast<uint64_t>(got);
        if (maximum != 0 && size >= maximum) {
            tarvik_error_printf("overflow entity body size (%llu>=%lu) !\n",
                                static_cast<unsigned long long>(size), maximum);
            return -1;
        }
        if (tarvik_push_buffer(cgi->m_request_body, cgi->m_work, static_cast<size_t>(got)) !=
            static_cast<size_t>(got)) {
            return -1;
        }
        cgi->m_in_size = size;
    }
}

// The body as form options; the body itself stays queued for the caller.
int parse_body(tarvik_cgi_t *cgi)
{
    size_t size = tarvik_get_buffer_size(cgi->m_request_body);
    if (size == 0) {
        return 0;
    }
    char *text = static_cast<char *>(tarvik_alloc_tag(size + 1, TARVIK_TAG));
    if (text == nullptr) {
        return -1;
    }
    text[tarvik_peek_buffer(cgi->m_request_body, text, size)] = '\0';
    cgi->m_body_option = tarvik_parse_uri_option(nullptr, text, TARVIK_PERCENT_PLUS);
    tarvik_free_tag(text, TARVIK_TAG);
    return 0;
}

const char *server_realm(const tarvik_cgi_t *cgi)
{
    static constexpr const char *NAMES[] = {"SERVER_ADMIN", "SERVER_ADDR", "SERVER_NAME"};
    for (const char *name : NAMES) {
        const char *value = environment(cgi, name);
        if (value != nullptr && value[0] != '\0') {
            return value;
        }
    }
    return FALLBACK_REALM;
}

bool check_basic(const tarvik_cgi_t *cgi, Text credentials)
{
    size_t size = 0;
    char *decoded = tarvik_decode_base64(credentials.m_data, credentials.m_length, &size);
    if (decoded == nullptr) {
        return false;
    }
    bool ok = false;
    char *colon = static_cast<char *>(memchr(decoded, ':', size));
    if (colon != nullptr && strlen(decoded) == size) {
        *colon = '\0';
        for (const tarvik_cgi_account_t *account = cgi->m_account; account != nullptr;
             account = account->m_next) {
            // Both compares run for every account, so the time tells nothing either.
            bool user = same_secret(account->m_user, decoded);
            bool password = same_secret(account->m_password, colon + 1);
            ok = ok || (user && password);
        }
    }
    explicit_bzero(decoded, size);
    tarvik_free_tag(decoded, TARVIK_TAG);
    return ok;
}

enum DigestField : size_t { USERNAME, REALM, NONCE, URI, RESPONSE, OPAQUE, QOP, NC, CNONCE };
constexpr const char *DIGEST_FIELDS[] = {"username", "realm", "nonce", "uri",   "response",
                                         "opaque",   "qop",   "nc",    "cnonce"};
constexpr size_t DIGEST_FIELD_COUNT = sizeof(DIGEST_FIELDS) / sizeof(DIGEST_FIELDS[0]);

enum class Verdict { GRANTED, STALE, REFUSED };

Verdict check_digest_fields(const tarvik_cgi_t *cgi, const char *const *field, time_t now)
{
    char expected[HEX_SIZE];
    if (field[OPAQUE] != nullptr &&
        (field[REALM] == nullptr ||
         strcmp(field[OPAQUE], md5_join(&field[REALM], 1, expected)) != 0)) {
        return Verdict::REFUSED;
    }
    if (field[USERNAME] == nullptr || field[RESPONSE] == nullptr) {
        return Verdict::REFUSED;
    }
    bool valid = false;
    for (const tarvik_cgi_account_t *account = cgi->m_account; account != nullptr;
         account = account->m_next) {
        if (strcmp(account->m_user, field[USERNAME]) == 0) {
            tarvik_http_digest("md5", field[USERNAME], field[REALM], account->m_password,
                               field[NONCE], field[CNONCE], cgi->m_method, field[URI], field[QOP],
                               nullptr, field[NC], expected);
            valid = same_secret(expected, field[RESPONSE]) || valid;
        }
    }
    if (!valid) {
        return Verdict::REFUSED;
    }
    // A right answer to a nonce this server did not issue lately is a replay, or a client
    // that kept its nonce too long: either way it is asked again, with stale=true.
    return tarvik::detail::cgi_nonce_is_fresh(server_realm(cgi), or_empty(field[NONCE]), now)
               ? Verdict::GRANTED
               : Verdict::STALE;
}

Verdict check_digest(const tarvik_cgi_t *cgi, Text parameters, time_t now)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    if (ini == nullptr) {
        return Verdict::REFUSED;
    }
    Verdict verdict = Verdict::REFUSED;
    if (tarvik_ini_do_parse_line(ini, parameters.m_data, parameters.m_length) == 0) {
        const char *field[DIGEST_FIELD_COUNT] = {};
        for (const tarvik_ini_node_t *node = ini->m_data->m_node_head; node != nullptr;
             node = node->m_next) {
            for (size_t i = 0; i < DIGEST_FIELD_COUNT; ++i) {
                if (field[i] == nullptr && equal_ignoring_case(node->m_name, DIGEST_FIELDS[i])) {
                    field[i] = node->m_value;
                }
            }
        }
        verdict = check_digest_fields(cgi, field, now);
    }
    tarvik_close_ini(ini);
    return verdict;
}

} // namespace

namespace tarvik::detail {

char *cgi_nonce(const char *realm, time_t minute, char *out)
{
    char opaque[HEX_SIZE];
    md5_join(&realm, 1, opaque);
    struct tm tm;
    char stamp[32];
    const time_t rounded = minute - minute % 60;
    if (tarvik_gmtime(rounded, &tm) == nullptr) {
        return nullptr;
    }
    tarvik_asctime(stamp, sizeof(stamp), &tm, 2);
    const char *parts[] = {opaque, stamp};
    return md5_join(parts, 2, out);
}

bool cgi_nonce_is_fresh(const char *realm, const char *nonce, time_t now)
{
    char issued[HEX_SIZE];
    bool fresh = false;
    for (int minutes = 0; minutes < CGI_NONCE_MINUTES; ++minutes) {
        if (cgi_nonce(realm, now - 60 * minutes, issued) != nullptr) {
            fresh = same_secret(issued, nonce) || fresh;
        }
    }
    return fresh;
}

int cgi_challenge(tarvik_cgi_t *cgi, time_t now, bool stale)
{
    if (cgi == nullptr) {
        return -1;
    }
    const char *realm = server_realm(cgi);
    char opaque[HEX_SIZE];
    char nonce[HEX_SIZE];
    md5_join(&realm, 1, opaque);
    if (cgi_nonce(realm, now, nonce) == nullptr) {
        return -1;
    }
    // The algorithm in capitals: some clients (Python's digest handler) take no other spelling.
    char *challenge = tarvik_alloc_sprintf(
        "%s realm=\"%s\", qop=\"%s\", nonce=\"%s\", opaque=\"%s\", algorithm=\"%s\"%s", "Digest",
        realm, "auth", nonce, opaque, "MD5", stale ? ", stale=true" : "");
    int result = challenge != nullptr &&
                         tarvik_cgi_set_response_header(cgi, "Status", "401 Unauthorized") == 0 &&
                         tarvik_cgi_set_response_header(cgi, "WWW-Authenticate", challenge) == 0
                     ? 0
                     : -1;
    tarvik_check_free_tag(challenge, TARVIK_TAG);
    return result;
}

int cgi_digest_check(tarvik_cgi_t *cgi, time_t now)
{
    if (cgi == nullptr) {
        return -1;
    }
    if (cgi->m_account == nullptr) {
        return 0;
    }
    Cursor cursor = Cursor::of(environment(cgi, "HTTP_AUTHORIZATION"));
    cursor.skip_blanks();
    Text scheme = cursor.take_until([](int c) { return tarvik::detail::is_blank(c); });
    cursor.skip_blanks();
    Verdict verdict = Verdict::REFUSED;
    if (scheme.equals_ignoring_case("basic")) {
        verdict = check_basic(cgi, cursor.rest()) ? Verdict::GRANTED : Verdict::REFUSED;
    } else if (scheme.equals_ignoring_case("digest")) {
        verdict = check_digest(cgi, cursor.rest(), now);
    }
    if (verdict == Verdict::GRANTED) {
        return 0;
    }
    cgi_challenge(cgi, now, verdict == Verdict::STALE);
    return -1;
}

} // namespace tarvik::detail

extern "C" {

TARVIK_API tarvik_cgi_t *tarvik_open_cgi(int argc, char **argv, char **environment_in)
{
    auto *cgi = static_cast<tarvik_cgi_t *>(
        tarvik_alloc_tag(sizeof(tarvik_cgi_t) + TARVIK_CGI_WORK_SIZE, TARVIK_TAG));
    if (cgi == nullptr) {
        return nullptr;
    }
    memset(cgi, 0, sizeof(*cgi));
    cgi->m_cr = "\r";
    cgi->m_lf = "\n";
    cgi->m_crlf = "\r\n";
    memcpy(cgi->m_method_table, METHODS, sizeof(METHODS));
    cgi->m_method = "";
    cgi->m_work = reinterpret_cast<uint8_t *>(cgi + 1);
    cgi->m_argument = tarvik_open_argument_ex(
        argc, argv, environment_in != nullptr ? environment_in : tarvik_environ());
    cgi->m_request_body = tarvik_open_buffer();
    cgi->m_response_body = tarvik_open_buffer();
    cgi->m_error = tarvik_open_buffer();
    if (cgi->m_argument == nullptr || cgi->m_request_body == nullptr ||
        cgi->m_response_body == nullptr || cgi->m_error == nullptr) {
        tarvik_close_cgi(cgi);
        return nullptr;
    }
    return cgi;
}

TARVIK_API int tarvik_close_cgi(tarvik_cgi_t *cgi)
{
    if (cgi == nullptr) {
        return 0;
    }
    tarvik_close_buffer(cgi->m_request_body);
    tarvik_close_buffer(cgi->m_response_body);
    tarvik_close_buffer(cgi->m_error);
    tarvik_free_uri_option(cgi->m_query_option);
    tarvik_free_uri_option(cgi->m_body_option);
    tarvik::detail::free_chain_tag(cgi->m_header, TARVIK_TAG);
    free_accounts(cgi->m_account);
    tarvik_close_argument(cgi->m_argument);
    tarvik_free_tag(cgi, TARVIK_TAG);
    return 0;
}

TARVIK_API int tarvik_cgi_incoming(tarvik_cgi_t *cgi)
{
    if (cgi == nullptr) {
        return -1;
    }
    cgi->m_method = or_empty(environment(cgi, "REQUEST_METHOD"));
    cgi->m_method_index = 0;
    for (uint32_t i = 1; i < TARVIK_CGI_METHOD_COUNT; ++i) {
        if (equal_ignoring_case(cgi->m_method, METHODS[i])) {
            cgi->m_method_index = i;
        }
    }
    const char *query = environment(cgi, "QUERY_STRING");
    if (query != nullptr && query[0] != '\0') {
        cgi->m_query_option = tarvik_parse_uri_option(nullptr, query, TARVIK_PERCENT_PLUS);
    }
    cgi->m_user_agent = environment(cgi, "HTTP_USER_AGENT");
    cgi->m_content_type = environment(cgi, "CONTENT_TYPE");
    Cursor length = Cursor::of(environment(cgi, "CONTENT_LENGTH"));
    uint64_t value = 0;
    if (length.decimal(&value, UINT64_MAX) && length.at_end()) {
        cgi->m_content_length = value;
        cgi->m_content_length_valid = 1;
    }
    if (cgi->m_method_index != TARVIK_CGI_HEAD && read_body(cgi) != 0) {
        return -1;
    }
    return parse_body(cgi);
}

TARVIK_API const char *tarvik_cgi_get_parameter(tarvik_cgi_t *cgi, const char *name)
{
    if (cgi == nullptr || name == nullptr) {
        return nullptr;
    }
    const char *value = tarvik_get_uri_option_value(cgi->m_query_option, name);
    return value != nullptr ? value : tarvik_get_uri_option_value(cgi->m_body_option, name);
}

TARVIK_API int tarvik_cgi_set_response_header(tarvik_cgi_t *cgi, const char *name,
                                              const char *value)
{
    if (cgi == nullptr || name == nullptr) {
        return -1;
    }
    auto *header = new_pair<tarvik_cgi_header_t>(name, or_empty(value));
    if (header == nullptr) {
        return -1;
    }
    header->m_name = reinterpret_cast<char *>(header + 1);
    header->m_value = header->m_name + strlen(name) + 1;
    tarvik::detail::SinglyLinked<tarvik_cgi_header_t>(&cgi->m_header, &cgi->m_header_tail)
        .push_back(header);
    return 0;
}

TARVIK_API int tarvik_cgi_outgoing(tarvik_cgi_t *cgi)
{
    if (cgi == nullptr) {
        return -1;
    }
    tarvik_puts(nullptr); // nothing printed earlier may come after the headers
    bool ok = true;
    if (cgi->m_header != nullptr) {
        tarvik_buffer_t *head = tarvik_open_buffer();
        for (const tarvik_cgi_header_t *header = cgi->m_header; header != nullptr;
             header = header->m_next) {
            tarvik_push_printf(head, "%s: %s%s", header->m_name, header->m_value, cgi->m_crlf);
        }
        if (cgi->m_output_handler == nullptr) {
            if (!has_header(cgi, "Server")) {
                tarvik_push_printf(head, "%s: %s/%s %s", "Server", LIBRARY_NAME,
                                   tarvik_get_version_string(), cgi->m_crlf);
            }
            if (!has_header(cgi, "Content-Length")) {
                tarvik_push_printf(
                    head, "%s: %lu%s", "Content-Length",
                    static_cast<unsigned long>(tarvik_get_buffer_size(cgi->m_response_body)),
                    cgi->m_crlf);
            }
            if (!has_header(cgi, "Date")) {
                struct tm tm;
                char date[64];
                if (tarvik_gmtime(0, &tm) != nullptr) {
                    tarvik_push_printf(head, "%s: %s%s", "Date",
                                       tarvik_asctime(date, sizeof(date), &tm, 4), cgi->m_crlf);
                }
            }
            // With an output handler the handler ends the header block itself.
            tarvik_push_puts(head, cgi->m_crlf);
        }
        ok = head != nullptr && write_queue(cgi, STDOUT_FILENO, head);
        tarvik_close_buffer(head);
    }
    int result = 0;
    if (cgi->m_output_handler != nullptr) {
        result = cgi->m_output_handler(cgi);
    } else if (cgi->m_method_index != TARVIK_CGI_HEAD) {
        // A HEAD response carries the headers of the body, never the body.
        ok = write_queue(cgi, STDOUT_FILENO, cgi->m_response_body) && ok;
    }
    write_queue(cgi, STDERR_FILENO, cgi->m_error);
    return cgi->m_output_handler != nullptr ? result : (ok ? 0 : -1);
}

TARVIK_API int tarvik_cgi_file_output_handler(tarvik_cgi_t *cgi)
{
    if (cgi == nullptr) {
        return -1;
    }
    if (cgi->m_file_name == nullptr || cgi->m_file_name[0] == '\0') {
        tarvik_push_puts(cgi->m_error, "filename not given !\n");
        return -1;
    }
    int descriptor = open(cgi->m_file_name, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        tarvik_push_printf(cgi->m_error, "can not open file \"%s\" !\n", cgi->m_file_name);
        return -1;
    }
    struct stat status;
    if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        tarvik_write_printf(STDOUT_FILENO, "Content-Length: %llu%s",
                            static_cast<unsigned long long>(status.st_size), cgi->m_crlf);
    }
    bool ok = tarvik_write_puts(STDOUT_FILENO, cgi->m_crlf) == 2;
    for (int retries = 0; ok;) {
        ssize_t got = tarvik_read(descriptor, cgi->m_work, TARVIK_CGI_WORK_SIZE, IO_TIMEOUT_MS);
        if (got == 0) {
            break;
        }
        if (got == -1 && errno == EINTR && ++retries <= READ_RETRIES) {
            continue;
        }
        if (got < 0) {
            tarvik_push_puts(cgi->m_error, got == -2 ? "read timeout !\n" : "read error !\n");
            ok = false;
            break;
        }
        ok = tarvik_write_fill(STDOUT_FILENO, cgi->m_work, static_cast<size_t>(got),
                               IO_TIMEOUT_MS) == got;
    }
    close(descriptor);
    return ok ? 0 : -1;
}

TARVIK_API int tarvik_cgi_new_account(tarvik_cgi_t *cgi, const char *user, const char *password)
{
    if (cgi == nullptr) {
        return -1;
    }
    user = or_empty(user);
    password = or_empty(password);
    for (const tarvik_cgi_account_t *account = cgi->m_account; account != nullptr;
         account = account->m_next) {
        if (strcmp(account->m_user, user) == 0 && strcmp(account->m_password, password) == 0) {
            return 0;
        }
    }
    auto *account = new_pair<tarvik_cgi_account_t>(user, password);
    if (account == nullptr) {
        return -1;
    }
    account->m_user = reinterpret_cast<char *>(account + 1);
    account->m_password = account->m_user + strlen(user) + 1;
    account->m_next = cgi->m_account;
    cgi->m_account = account;
    return 0;
}

TARVIK_API int tarvik_cgi_digest_check(tarvik_cgi_t *cgi)
{
    return tarvik::detail::cgi_digest_check(cgi, tarvik_time(nullptr));
}

TARVIK_API int tarvik_cgi_unauthorization(tarvik_cgi_t *cgi)
{
    return tarvik::detail::cgi_challenge(cgi, tarvik_time(nullptr), false);
}

TARVIK_API char *tarvik_http_digest_ha1(const char *algorithm, const char *user, const char *realm,
                                        const char *password, const char *nonce, const char *cnonce,
                                        char *out)
{
    const char *secret[] = {user, realm, password};
    if (md5_join(secret, 3, out) == nullptr) {
        return nullptr;
    }
    if (algorithm != nullptr && equal_ignoring_case(algorithm, "md5-sess")) {
        char first[HEX_SIZE];
        memcpy(first, out, HEX_SIZE);
        const char *session[] = {first, nonce, cnonce};
        md5_join(session, 3, out);
    }
    return out;
}

TARVIK_API char *tarvik_http_digest_ha2(const char *method, const char *uri, const char *qop,
                                        const char *entity_hash, char *out)
{
    const char *parts[] = {method, uri, entity_hash};
    bool integrity = qop != nullptr && equal_ignoring_case(qop, "auth-int");
    return md5_join(parts, integrity ? 3 : 2, out);
}

TARVIK_API char *tarvik_http_digest_response(const char *ha1, const char *ha2, const char *nonce,
                                             const char *nc, const char *cnonce, const char *qop,
                                             char *out)
{
    if (qop == nullptr || qop[0] == '\0') {
        const char *parts[] = {ha1, nonce, ha2};
        return md5_join(parts, 3, out);
    }
    const char *parts[] = {ha1, nonce, nc, cnonce, qop, ha2};
    return md5_join(parts, 6, out);
}

TARVIK_API char *tarvik_http_digest(const char *algorithm, const char *user, const char *realm,
                                    const char *password, const char *nonce, const char *cnonce,
                                    const char *method, const char *uri, const char *qop,
                                    const char *entity_hash, const char *nc, char *out)
{
    char ha1[HEX_SIZE];
    char ha2[HEX_SIZE];
    if (out == nullptr) {
        return nullptr;
    }
    tarvik_http_digest_ha1(algorithm, user, realm, password, nonce, cnonce, ha1);
    tarvik_http_digest_ha2(method, uri, qop, entity_hash, ha2);
    char *result = tarvik_http_digest_response(ha1, ha2, nonce, nc, cnonce, qop, out);
    explicit_bzero(ha1, sizeof(ha1));
    return result;
}

} // extern "C"
