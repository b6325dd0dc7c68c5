#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestralune {

// The name this computer shows to people (NSHost localizedName); nothing when the system
// has none.
std::optional<std::string> localizedHostName();

// The running process's own identifier (NSProcessInfo processIdentifier).
std::int32_t currentProcessIdentifier();

}  // namespace kestralune
