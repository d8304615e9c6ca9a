// The CGI reports ps.cgi, cputick.cgi and version.cgi: each answers any request with one XML
// document (process table, tick counters, version facts) under a web server. They take no
// request body: a small maximum keeps a huge POST from filling the device's memory.
#include "applets.h"

#include "buffer.h"
#include "cgi.h"
#include "cpu_ticks.h"
#include "process.h"
#include "version.h"

#include "detail/text.hpp"

namespace {

enum class Report { PROCESSES, TICKS, VERSION };

// Room for a small form, never a file.
constexpr unsigned long REPORT_MAX_BODY = 4096;
constexpr size_t METHOD_SHOWN = 32;

constexpr const char *HEADERS[][2] = {
    {"Content-Type", "text/xml; charset=UTF-8"},
    {"Cache-Control", "no-cache, no-store, must-revalidate"},
    {"Pragma", "no-cache"},
    {"Access-Control-Allow-Origin", "*"},
};

// The request method comes from the client: inside an XML comment it may hold no "--" and
// nothing that is not a character, so anything but letters, digits and "_" shows as "?".
const char *shown_method(const char *method, char *out)
{
    size_t i = 0;
    for (; method[i] != '\0' && i + 1 < METHOD_SHOWN; ++i) {
        char c = method[i];
        out[i] = tarvik::detail::is_alnum(c) || c == '_' ? c : '?';
    }
    out[i] = '\0';
    return out;
}

bool push_document(tarvik_cgi_t *cgi, Report report)
{
    tarvik_buffer_t *body = cgi->m_response_body;
    switch (report) {
    case Report::PROCESSES:
        return tarvik_push_ps_xml(body) == 0;
    case Report::TICKS:
        return tarvik_push_cpu_ticks_xml(body) == 0;
    case Report::VERSION:
        return tarvik_push_version_xml(body, nullptr) == 0;
    }
    return false;
}

bool push_request_comments(tarvik_cgi_t *cgi)
{
    char method[METHOD_SHOWN];
    tarvik_buffer_t *body = cgi->m_response_body;
    return tarvik_push_printf(body, "<!-- method='%s' (index='%u') -->\n",
                              shown_method(cgi->m_method, method), cgi->m_method_index) != 0 &&
           tarvik_push_printf(
               body,
               "<!-- content-length='%llu', valid='%d', in_size='%llu', buffer_size='%lu', "
               "max_buffer_size='%lu' -->\n",
               static_cast<unsigned long long>(cgi->m_content_length), cgi->m_content_length_valid,
               static_cast<unsigned long long>(cgi->m_in_size),
               static_cast<unsigned long>(tarvik_get_buffer_size(cgi->m_request_body)),
               cgi->m_max_body_size) != 0;
}

// A request the report cannot take still gets an answer of its own, not a broken one.
void refuse(tarvik_cgi_t *cgi, const char *status)
{
    tarvik_flush_buffer(cgi->m_response_body);
    tarvik_cgi_set_response_header(cgi, "Status", status);
}

int run_report(int argc, char **argv, Report report)
{
    tarvik_cgi_t *cgi = tarvik_open_cgi(argc, argv, nullptr);
    if (cgi == nullptr) {
        return 1;
    }
    cgi->m_max_body_size = REPORT_MAX_BODY;
    bool ok = tarvik_cgi_incoming(cgi) >= 0;
    if (!ok) {
        bool too_large =
            cgi->m_content_length_valid == 0 || cgi->m_content_length >= cgi->m_max_body_size;
        refuse(cgi, too_large ? "413 Request Entity Too Large" : "400 Bad Request");
    } else {
        for (const auto &header : HEADERS) {
            ok = tarvik_cgi_set_response_header(cgi, header[0], header[1]) == 0 && ok;
        }
        ok = ok && push_document(cgi, report) &&
             (report == Report::TICKS || push_request_comments(cgi));
        if (!ok) {
            refuse(cgi, "500 Internal Server Error");
        }
    }
    ok = tarvik_cgi_outgoing(cgi) == 0 && ok;
    tarvik_close_cgi(cgi);
    return ok ? 0 : 1;
}

} // namespace

int tarvik_multicall_cputick_cgi_main(int argc, char **argv)
{
    return run_report(argc, argv, Report::TICKS);
}

int tarvik_multicall_ps_cgi_main(int argc, char **argv)
{
    return run_report(argc, argv, Report::PROCESSES);
}

int tarvik_multicall_version_cgi_main(int argc, char **argv)
{
    return run_report(argc, argv, Report::VERSION);
}
