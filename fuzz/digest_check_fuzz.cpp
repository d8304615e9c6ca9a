// Fuzzes the check-line splitter: whatever the input, an accepted line yields a 32-digit hash
// found in the line and a non-empty name; a line built from the input as a name, in each of the
// five forms (GNU text and binary, tag, and both escaped), splits back into exactly that name
// and hash. Every run leaves the heap empty.
#include "digest_check.h"
#include "heap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string escape(const std::string &name)
{
    std::string out;
    for (char c : name) {
        out += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    }
    return out;
}

void check_line(const std::string &line)
{
    char hash[65];
    char *name = nullptr;
    if (tarvik_parse_digest_check_line(line.c_str(), "MD5", 32, hash, &name) != 0) {
        return;
    }
    std::string parsed(name);
    tarvik_free_tag(name, "fuzz", 0);
    if (strlen(hash) != 32 || parsed.empty()) {
        abort();
    }
    // The hash appears verbatim in the line, at its start or after the last ") = ".
    if (line.find(hash) == std::string::npos) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
    check_line(text);
    // Built lines split back into their parts.
    std::string name = text.empty() ? "x" : text;
    std::string hash = "0123456789abcdefABCDEF0123456789";
    for (const std::string &line :
         {hash + "  " + name, hash + " *" + name, "MD5 (" + name + ") = " + hash,
          "\\" + hash + "  " + escape(name), "\\MD5 (" + escape(name) + ") = " + hash}) {
        char out[65];
        char *parsed = nullptr;
        if (tarvik_parse_digest_check_line(line.c_str(), "MD5", 32, out, &parsed) != 0) {
            abort();
        }
        bool same = hash == out && name == parsed;
        tarvik_free_tag(parsed, "fuzz", 0);
        if (!same) {
            abort();
        }
    }
    size_t count = 0;
    tarvik_get_alloc_info(&count, nullptr, nullptr);
    if (count != 0) {
        abort();
    }
    return 0;
}
