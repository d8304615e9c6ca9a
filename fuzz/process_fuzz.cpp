// Fuzzes the per-process /proc parsers (command line, status, stat, maps, descriptor
// targets), the passwd lookup and the CDATA writer over one input; the heap must end empty.
#include "buffer.h"
#include "heap.h"

#include "detail/process.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Checks that the CDATA text never holds the section end and only XML characters.
void check_cdata(const std::string &text)
{
    tarvik_buffer_t *buffer = tarvik_open_buffer();
    tarvik::detail::ps_push_cdata(buffer, text.c_str());
    std::string out(tarvik_get_buffer_size(buffer), '\0');
    out.resize(tarvik_pop_buffer(buffer, out.data(), out.size()));
    tarvik_close_buffer(buffer);
    // Every "]]>" left must be one the writer made to close and reopen a section.
    for (size_t at = out.find("]]>"); at != std::string::npos; at = out.find("]]>", at + 1)) {
        if (out.compare(at, 12, "]]><![CDATA[") != 0) {
            abort();
        }
    }
    for (unsigned char c : out) {
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t count_before = 0;
    tarvik_get_alloc_info(&count_before, nullptr, nullptr);
    const char *text = reinterpret_cast<const char *>(data);

    tarvik_ps_t *record = tarvik::detail::ps_new_record(1);
    if (record == nullptr) {
        return 0;
    }
    tarvik::detail::ps_parse_cmdline(record, text, size);
    for (int32_t i = 0; i < record->m_argc; ++i) {
        if (record->m_argv[i] < record->m_cmdline_raw ||
            record->m_argv[i] > record->m_cmdline_raw + record->m_cmdline_size) {
            abort();
        }
    }
    if (record->m_command_line != nullptr && strlen(record->m_command_line) > size) {
        abort();
    }
    uint64_t vmrss = 0;
    tarvik::detail::ps_parse_status(record, text, size, &vmrss);
    tarvik::detail::ps_parse_stat(record, text, size, 4);
    tarvik::detail::ps_apply_state_suffixes(record);
    if (record->m_state[3] != '\0') {
        abort();
    }
    tarvik::detail::ps_parse_maps(record, text, size);
    for (tarvik_ps_maps_t *map = record->m_maps; map != nullptr; map = map->m_next) {
        if (strlen(map->m_path) > size) {
            abort();
        }
    }
    uint64_t inode = 0;
    tarvik::detail::ps_parse_fd_target(text, size, &inode);
    const char *user = nullptr;
    size_t user_length = 0;
    uint32_t uid = size > 0 ? static_cast<uint32_t>(data[0] % 4u) : 0u;
    if (tarvik::detail::ps_passwd_name(text, size, uid, &user, &user_length) &&
        (user < text || user + user_length > text + size)) {
        abort();
    }
    tarvik::detail::ps_free_record(record);

    check_cdata(std::string(text, strnlen(text, size)));

    size_t count_after = 0;
    tarvik_get_alloc_info(&count_after, nullptr, nullptr);
    if (count_after != count_before) {
        abort();
    }
    return 0;
}
