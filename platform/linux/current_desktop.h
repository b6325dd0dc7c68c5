#pragma once

#include <string_view>

namespace kestralune {

// Whether XDG_CURRENT_DESKTOP (a colon-separated list, read at each call) names `desktop`
// exactly as one of its entries.
bool isCurrentDesktop(std::string_view desktop);

}  // namespace kestralune
