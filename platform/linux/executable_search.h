#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestralune {

// The first executable file called `name` in the folders of $PATH, read at each call (the
// usual default list when PATH is unset); relative entries are skipped, so the current
// folder never supplies a system tool. Nothing when no folder has one.
std::optional<std::string> findOnPath(std::string_view name);

}  // namespace kestralune
