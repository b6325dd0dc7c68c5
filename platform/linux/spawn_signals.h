#pragma once

#include <signal.h>
#include <spawn.h>

namespace kestralune {

// Makes a spawned child start with no signal blocked and every signal at its default action,
// whatever the parent blocks or handles (a service manager ignores SIGPIPE, for one). Adds
// `flags` to the attributes' flags.
inline void setDefaultSignals(posix_spawnattr_t& attributes, short flags = 0) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | flags);
}

}  // namespace kestralune
