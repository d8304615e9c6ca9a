// XML: tarvik_open_xml + tarvik_close_xml of a 16 MiB process-table-like document against
// expat parsing the same document with empty handlers.
#include <benchmark/benchmark.h>

#include <expat.h>

#include <cstdio>
#include <string>

#include "xml.h"

namespace {

constexpr size_t DOCUMENT_SIZE = 16u << 20;

const std::string &document()
{
    static const std::string text = [] {
        std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ps>\n";
        out.reserve(DOCUMENT_SIZE + 256);
        char item[256];
        for (unsigned n = 0; out.size() < DOCUMENT_SIZE - 256; ++n) {
            snprintf(item, sizeof(item),
                     "  <item index=\"%u\">\n    <pid>%u</pid>\n    <name>worker-%u</name>\n"
                     "    <state>S</state>\n    <rss unit=\"kB\">%u</rss>\n  </item>\n",
                     n, 1000 + n, n % 97, 4096 + n % 1000);
            out += item;
        }
        out += "</ps>\n";
        return out;
    }();
    return text;
}

void BM_tarvik_xml(benchmark::State &state)
{
    const std::string &text = document();
    for (auto _ : state) {
        tarvik_xml_node_t *root = tarvik_open_xml(text.data(), text.size());
        if (root == nullptr) {
            state.SkipWithError("open failed");
            break;
        }
        benchmark::DoNotOptimize(root->m_first_child);
        tarvik_close_xml(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_tarvik_xml)->Unit(benchmark::kMillisecond);

void XMLCALL on_start(void *, const XML_Char *, const XML_Char **) {}
void XMLCALL on_end(void *, const XML_Char *) {}
void XMLCALL on_text(void *, const XML_Char *, int) {}

void BM_expat(benchmark::State &state)
{
    const std::string &text = document();
    for (auto _ : state) {
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetElementHandler(parser, on_start, on_end);
        XML_SetCharacterDataHandler(parser, on_text);
        if (XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) != XML_STATUS_OK) {
            state.SkipWithError("expat reported an error");
            XML_ParserFree(parser);
            break;
        }
        XML_ParserFree(parser);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_expat)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
