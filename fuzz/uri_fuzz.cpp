// Fuzzes the locator splitter and percent coding: every part of a record is a piece of
// the input in its place, a decoded path never holds a NUL, encoding then decoding gives
// the input back, and the heap is empty afterwards.
#include "heap.h"
#include "uri.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void require(bool condition)
{
    if (!condition) {
        abort();
    }
}

bool is_suffix(const char *part, const std::string &text)
{
    size_t length = strlen(part);
    return length <= text.size() && text.compare(text.size() - length, length, part) == 0;
}

void check_record(const std::string &text)
{
    tarvik_uri_t *uri = tarvik_open_uri(text.c_str());
    require(uri != nullptr && text == uri->m_uri && uri->m_alt_path != nullptr);
    require(is_suffix(uri->m_alt_path, text));
    if (uri->m_protocol != nullptr) {
        require(text.compare(0, strlen(uri->m_protocol) + 3,
                             std::string(uri->m_protocol) + "://") == 0);
        require(uri->m_type != nullptr &&
                strncmp(uri->m_protocol, uri->m_type, strlen(uri->m_type)) == 0);
    }
    if (uri->m_path != nullptr) {
        require(uri->m_path[0] == '/' && is_suffix(uri->m_path, text));
        require(strncmp(uri->m_path, uri->m_only_path, strlen(uri->m_only_path)) == 0);
    }
    require(uri->m_port >= 0 && (uri->m_port == 0 || uri->m_port_string != nullptr));
    if (uri->m_decoded_path != nullptr) {
        size_t length = 0;
        char *decoded = tarvik_decode_percent_string_length(
            uri->m_only_path != nullptr ? uri->m_only_path : "/", 0, &length);
        require(decoded != nullptr && length == strlen(uri->m_decoded_path) &&
                memcmp(decoded, uri->m_decoded_path, length) == 0);
        tarvik_free_tag(decoded, "fuzz", 0);
    }
    for (tarvik_uri_option_t *option = uri->m_option; option != nullptr; option = option->m_next) {
        require(option->m_name != nullptr && option->m_value != nullptr &&
                option->m_option[0] != '\0');
        require(tarvik_search_uri_option_node(uri->m_option, "*") == uri->m_option);
    }
    tarvik_close_uri(uri);
}

void check_round_trip(const std::string &text, uint32_t flags, const char *keep)
{
    char *encoded = tarvik_encode_percent_string_ex(text.c_str(), flags, keep);
    require(encoded != nullptr);
    size_t length = 0;
    char *decoded = tarvik_decode_percent_string_length(encoded, flags, &length);
    require(decoded != nullptr && std::string(decoded, length) == text);
    tarvik_free_tag(decoded, "fuzz", 0);
    tarvik_free_tag(encoded, "fuzz", 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    check_record(text);
    check_round_trip(text, 0, nullptr);
    check_round_trip(text, 1, nullptr);
    check_round_trip(text, 0, "/:@");
    require(tarvik_get_alloc_count() == 0);
    return 0;
}
