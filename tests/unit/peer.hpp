// Test helpers for differential tests against peer programs (coreutils, Python's zlib,
// openssl): run a command and take its output, scratch files, random data cut into random
// pieces. A test whose peer cannot run here (missing, or under the emulator) skips.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

// Standard output of a shell command, or "" when it cannot run or fails.
inline std::string run_peer(const std::string &command)
{
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        out.append(buffer, n);
    }
    return pclose(pipe) == 0 ? out : "";
}

// Whether a command of this machine answers (the emulator cannot always start host tools).
inline bool peer_available(const std::string &probe)
{
    return !run_peer(probe + " 2>/dev/null").empty();
}

// A scratch file holding data, removed when the object goes.
class ScratchFile {
  public:
    explicit ScratchFile(const std::string &data = "")
    {
        char name[] = "/tmp/vexa-peer-XXXXXX";
        const int fd = mkstemp(name);
        m_path = name;
        if (fd >= 0) {
            size_t done = 0;
            while (done < data.size()) {
                const ssize_t n = write(fd, data.data() + done, data.size() - done);
                if (n <= 0) {
                    break;
                }
                done += static_cast<size_t>(n);
            }
            close(fd);
        }
    }
    ~ScratchFile() { unlink(m_path.c_str()); }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    const std::string &path() const { return m_path; }
    const char *c_str() const { return m_path.c_str(); }

  private:
    std::string m_path;
};

inline std::string random_bytes(std::mt19937 &random, size_t size)
{
    std::string data(size, '\0');
    for (char &c : data) {
        c = static_cast<char>(random() & 0xFFu);
    }
    return data;
}

// Calls push(piece, length) over data cut at random points (pieces of 1..longest bytes,
// with an empty piece now and then).
inline void push_in_pieces(std::mt19937 &random, const std::string &data, size_t longest,
                           const std::function<void(const char *, size_t)> &push)
{
    size_t at = 0;
    while (at < data.size()) {
        size_t length = random() % (longest + 1);
        if (length > data.size() - at) {
            length = data.size() - at;
        }
        push(data.data() + at, length);
        at += length;
    }
}

inline std::string to_hex(const void *data, size_t size, bool upper = false)
{
    static const char *lower_digits = "0123456789abcdef";
    static const char *upper_digits = "0123456789ABCDEF";
    const char *digits = upper ? upper_digits : lower_digits;
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

inline std::vector<unsigned char> from_hex(const std::string &text)
{
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<unsigned char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}
