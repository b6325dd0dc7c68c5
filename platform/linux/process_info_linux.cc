#include "platform/process_info.h"

#include <limits.h>
#include <unistd.h>

namespace kestralune {

std::optional<std::string> localizedHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
        return std::nullopt;
    }
    return std::string(name);
}

std::int32_t currentProcessIdentifier() {
    return static_cast<std::int32_t>(::getpid());
}

}  // namespace kestralune
