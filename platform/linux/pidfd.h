#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <csignal>

namespace kestralune {

// pidfd system calls, called directly: this C library's <sys/pidfd.h> declares them
// without C linkage, so C++ code cannot link against it.

// A descriptor bound to the process `pid` names now (close-on-exec); -1 with errno set.
inline int pidfdOpen(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u));
}

// Sends `signal` to exactly the process behind `pidfd`; false when it has gone.
inline bool pidfdSendSignal(int pidfd, int signal) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u) == 0;
}

}  // namespace kestralune
