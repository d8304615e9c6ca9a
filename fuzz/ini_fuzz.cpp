// Fuzzes the INI parser. The first byte seeds the split points: the input pushed in
// random pieces must give the same tree as one push; saving the tree and loading the
// file must give the same nodes; the heap must be empty after every close.
#include "heap.h"
#include "ini.h"

#include <cstdlib>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

void require(bool condition)
{
    if (!condition) {
        abort();
    }
}

std::string text_of(const char *text) { return text != nullptr ? text : ""; }

// Sections and nodes with their line grouping; flags too unless the form was saved.
std::string describe(tarvik_ini_t *ini, bool with_flags)
{
    std::string out;
    for (tarvik_ini_node_t *node = ini->m_data->m_node_head; node != nullptr; node = node->m_next) {
        tarvik_ini_section_t *section = node->m_section;
        out += "[" + text_of(section->m_name) + "|" + text_of(section->m_value) + "]";
        out +=
            text_of(node->m_name) + (node->m_value != nullptr ? "=" + text_of(node->m_value) : "");
        tarvik_ini_node_t *next = node->m_next_in_section;
        out += next != nullptr && next->m_line == node->m_line ? "," : ";";
        if (with_flags) {
            out += std::to_string(node->m_flags) + "@" + std::to_string(node->m_line);
        }
        out += "\n";
    }
    return out;
}

tarvik_ini_t *parse(const std::string &text, const std::vector<size_t> &cuts, int substitute,
                    int *worst)
{
    tarvik_ini_t *ini = tarvik_open_ini();
    require(ini != nullptr);
    ini->m_option->m_substitute = substitute;
    tarvik_ini_set_env(ini, "E", "env");
    *worst = 0;
    size_t from = 0;
    for (size_t cut : cuts) {
        if (cut > from && cut < text.size()) {
            *worst = std::min(*worst, tarvik_ini_push(ini, text.data() + from, cut - from));
            from = cut;
        }
    }
    if (from < text.size()) {
        *worst = std::min(*worst, tarvik_ini_push(ini, text.data() + from, text.size() - from));
    }
    *worst = std::min(*worst, tarvik_ini_push(ini, nullptr, 0));
    return ini;
}

const std::string &save_path()
{
    static const std::string path = "/tmp/ini_fuzz." + std::to_string(getpid()) + ".ini";
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::mt19937 random(data[0]);
    int substitute = data[0] & 1;
    std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    std::vector<size_t> cuts;
    for (size_t at = 0; at < text.size(); at += 1 + random() % 5) {
        cuts.push_back(at);
    }

    int whole_result = 0;
    int split_result = 0;
    tarvik_ini_t *whole = parse(text, {}, substitute, &whole_result);
    tarvik_ini_t *split = parse(text, cuts, substitute, &split_result);
    std::string tree = describe(whole, true);
    require(tree == describe(split, true));
    require(whole_result == split_result);
    require(whole->m_data->m_line_count == split->m_data->m_line_count);
    tarvik_close_ini(split);

    // Saved without substitution sources, so the reload reads the same bytes back.
    require(tarvik_ini_save_file(whole, save_path().c_str()) == 0);
    tarvik_ini_t *loaded = tarvik_open_ini();
    require(loaded != nullptr && tarvik_ini_load_file(loaded, save_path().c_str()) == 0);
    require(describe(loaded, false) == describe(whole, false));
    tarvik_close_ini(loaded);
    tarvik_close_ini(whole);
    require(tarvik_get_alloc_count() == 0);
    return 0;
}
