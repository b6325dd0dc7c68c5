#include "platform/unique_fd.h"

#include <unistd.h>

namespace kestralune {

void UniqueFd::reset(int replacement) {
    if (fd >= 0) {
        ::close(fd);
    }
    fd = replacement;
}

}  // namespace kestralune
