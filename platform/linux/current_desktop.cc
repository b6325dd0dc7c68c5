#include "platform/linux/current_desktop.h"

#include <cstdlib>

namespace kestralune {

bool isCurrentDesktop(std::string_view desktop) {
    const char* current = std::getenv("XDG_CURRENT_DESKTOP");
    std::string_view names = current != nullptr ? current : "";
    while (!names.empty()) {
        const auto colon = names.find(':');
        if (names.substr(0, colon) == desktop) {
            return true;
        }
        names = colon == std::string_view::npos ? std::string_view() : names.substr(colon + 1);
    }
    return false;
}

}  // namespace kestralune
