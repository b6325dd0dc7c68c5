#pragma once

#include <cstdint>

namespace kestralune {

// Raises this process's limit on open descriptors (the soft limit) as far as the system
// allows (the hard limit), so a server can hold thousands of idle sockets. Returns the limit
// in force afterwards.
std::uint64_t raiseOpenFileLimit();

}  // namespace kestralune
