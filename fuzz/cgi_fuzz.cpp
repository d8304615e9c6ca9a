// Fuzzes the CGI request reader and the authentication check: the input is an environment
// (lines up to an empty line; a line's first byte picks the variable it sets) and then the
// request body on descriptor 0. Checks: the body read never passes the maximum or the
// announced length, a granted Digest check had the one right password, lookups stay within
// the lists, and every run leaves the heap empty.
#include "cgi.h"
#include "heap.h"

#include "detail/cgi.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *NAMES[] = {"REQUEST_METHOD",     "QUERY_STRING", "CONTENT_LENGTH",
                                 "HTTP_AUTHORIZATION", "CONTENT_TYPE", "HTTP_USER_AGENT",
                                 "SERVER_ADMIN",       "SERVER_ADDR",  "SERVER_NAME"};
constexpr size_t NAME_COUNT = sizeof(NAMES) / sizeof(NAMES[0]);
// A pipe takes this much without a reader.
constexpr size_t BODY_LIMIT = 60000;
constexpr time_t NOW = 1796749380;

// Runs body with descriptor fd moved onto target, then puts target back.
template <typename Body> void with_descriptor(int fd, int target, Body body)
{
    int saved = dup(target);
    dup2(fd, target);
    body();
    dup2(saved, target);
    close(saved);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t count_before = 0;
    tarvik_get_alloc_info(&count_before, nullptr, nullptr);
    std::string input(reinterpret_cast<const char *>(data), size);
    size_t end = input.find("\n\n");
    std::string head = input.substr(0, end);
    std::string body = end == std::string::npos ? "" : input.substr(end + 2, BODY_LIMIT);

    std::vector<std::string> strings;
    for (size_t at = 0; at < head.size();) {
        size_t line_end = head.find('\n', at);
        std::string line =
            head.substr(at, line_end == std::string::npos ? std::string::npos : line_end - at);
        at = line_end == std::string::npos ? head.size() : line_end + 1;
        if (!line.empty()) {
            strings.push_back(std::string(NAMES[static_cast<uint8_t>(line[0]) % NAME_COUNT]) + "=" +
                              line.substr(1).c_str());
        }
    }
    std::vector<char *> environment;
    for (std::string &text : strings) {
        environment.push_back(text.data());
    }
    environment.push_back(nullptr);
    char program[] = "ps.cgi";
    char *argv[] = {program, nullptr};

    tarvik_cgi_t *cgi = tarvik_open_cgi(1, argv, environment.data());
    if (cgi == nullptr) {
        abort();
    }
    cgi->m_max_body_size = (size & 1) != 0 ? 4096 : 0;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        abort();
    }
    if (!body.empty() &&
        write(pipe_fds[1], body.data(), body.size()) != static_cast<ssize_t>(body.size())) {
        abort();
    }
    close(pipe_fds[1]);
    int null_fd = open("/dev/null", O_WRONLY);
    int result = 0;
    with_descriptor(pipe_fds[0], 0, [&] {
        with_descriptor(null_fd, 2, [&] { result = tarvik_cgi_incoming(cgi); });
    });
    close(pipe_fds[0]);
    if (cgi->m_in_size > body.size() ||
        (cgi->m_content_length_valid != 0 && cgi->m_in_size > cgi->m_content_length) ||
        (cgi->m_max_body_size != 0 && cgi->m_in_size >= cgi->m_max_body_size) ||
        tarvik_get_buffer_size(cgi->m_request_body) != cgi->m_in_size ||
        cgi->m_method_index >= TARVIK_CGI_METHOD_COUNT) {
        abort();
    }
    if (result == 0) {
        for (const char *name : {"a", "x", "username", ""}) {
            const char *value = tarvik_cgi_get_parameter(cgi, name);
            if (value != nullptr && strlen(value) > size) {
                abort();
            }
        }
    }
    tarvik_cgi_new_account(cgi, "admin", "secret");
    if (tarvik::detail::cgi_digest_check(cgi, NOW) == 0) {
        // Granted: the same request with another password must not pass.
        tarvik_cgi_t *other = tarvik_open_cgi(1, argv, environment.data());
        other->m_method = cgi->m_method;
        tarvik_cgi_new_account(other, "admin", "secreT");
        if (tarvik::detail::cgi_digest_check(other, NOW) == 0) {
            abort();
        }
        tarvik_close_cgi(other);
    }
    with_descriptor(null_fd, 1,
                    [&] { with_descriptor(null_fd, 2, [&] { tarvik_cgi_outgoing(cgi); }); });
    close(null_fd);
    tarvik_close_cgi(cgi);

    size_t count_after = 0;
    tarvik_get_alloc_info(&count_after, nullptr, nullptr);
    if (count_after != count_before) {
        abort();
    }
    return 0;
}
