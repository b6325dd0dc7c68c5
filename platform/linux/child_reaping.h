#pragma once

#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <optional>

namespace kestralune {

// Blocks until the child `pid` has ended and reaps it: its wait status, or nothing when it
// could not be collected (for instance when SIGCHLD is ignored and the kernel reaped it).
inline std::optional<int> reapChild(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    return status;
}

}  // namespace kestralune
