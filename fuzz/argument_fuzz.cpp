// Fuzzes the argument handle: the input is split at NUL bytes into strings, the first
// byte chooses how many of them are arguments and the rest are environment entries.
#include "argument.h"
#include "heap.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const SPECS[] = {"t|timeout", "h|help", "|", "", "v", "|x||y", "5", "a=b"};

void exercise(tarvik_argument_t *handle, const std::vector<std::string> &environment)
{
    for (const char *spec : SPECS) {
        for (int index = 0; index < 4; ++index) {
            const char *found = tarvik_search_argument(handle, spec, index);
            // Without an empty alternative the sequence starts with an option.
            if (index == 0 && found != nullptr && strchr(spec, '|') == nullptr && *spec != '\0' &&
                found[0] != '-') {
                abort();
            }
            tarvik_search_argument_int(handle, spec, index, -1);
        }
        for (int n = 0; tarvik_notouch_argument(handle, n) != nullptr; ++n) {
        }
    }
    tarvik_search_argument(handle, nullptr, 0);
    for (const std::string &entry : environment) {
        std::string name = entry.substr(0, entry.find('='));
        tarvik_argument_search_environ(handle, name.c_str());
    }
    if (tarvik_argument_get_program_name(handle) == nullptr) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::vector<std::string> strings;
    std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\0', start);
        end = end == std::string::npos ? input.size() : end;
        strings.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    size_t argc = data[0] % (strings.size() + 1);
    std::vector<char *> argv;
    std::vector<char *> envp;
    for (size_t i = 0; i < strings.size(); ++i) {
        (i < argc ? argv : envp).push_back(strings[i].data());
    }
    std::vector<std::string> environment(strings.begin() + static_cast<long>(argc), strings.end());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    tarvik_argument_t *handle =
        tarvik_open_argument_ex(static_cast<int>(argc), argv.data(), envp.data());
    exercise(handle, environment);
    tarvik_close_argument(handle);
    if (tarvik_get_alloc_count() != 0) {
        abort();
    }
    return 0;
}
