// Test helper: whether the platform's select copes with a descriptor above 1024 at all, asked
// in a child with a hand-made set: user-mode emulators build a fixed-size fd_set of their own
// and abort.
#pragma once

#include <cstdint>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

inline bool platform_selects_high_descriptors()
{
    const pid_t child = fork();
    if (child == 0) {
        int ends[2];
        if (pipe(ends) != 0 || dup2(ends[1], 1500) != 1500) {
            _exit(2);
        }
        alignas(long) uint32_t set[64] = {};
        set[1500 / 32] = 1u << (1500 % 32);
        struct timeval now = {0, 0};
        _exit(select(1501, nullptr, reinterpret_cast<fd_set *>(set), nullptr, &now) == 1 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}
