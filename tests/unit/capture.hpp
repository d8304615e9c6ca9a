// Test helpers: capture what a piece of code writes to descriptors 1 and 2, either in
// this process or in a forked child (for code whose output state is decided once per
// process, or that is meant to misbehave).
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

struct Captured {
    int status = -1; // child exit status, or -1
    std::string out;
    std::string err;
};

inline std::string read_all(int fd)
{
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// Runs body in a child whose stdout and stderr go to temporary files; the child's return
// value becomes its exit status.
inline Captured run_in_child(const std::function<int()> &body)
{
    Captured result;
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        int code = body();
        fflush(stdout);
        fflush(stderr);
        _exit(code);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    rewind(out);
    rewind(err);
    result.out = read_all(fileno(out));
    result.err = read_all(fileno(err));
    fclose(out);
    fclose(err);
    return result;
}

// Captures descriptor 2 of this process while body runs.
inline std::string capture_stderr(const std::function<void()> &body)
{
    fflush(stderr);
    FILE *err = tmpfile();
    int saved = dup(2);
    dup2(fileno(err), 2);
    body();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    rewind(err);
    std::string text = read_all(fileno(err));
    fclose(err);
    return text;
}

inline size_t count_lines_with(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (text.compare(start, end - start, needle) == 0 ||
            text.substr(start, end - start).find(needle) != std::string::npos) {
            ++count;
        }
        start = end + 1;
    }
    return count;
}
