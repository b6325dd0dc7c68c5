#include "platform/user_runtime_folder.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestralune {

namespace {

std::string describe(const std::string& what, const std::filesystem::path& path, int error) {
    return what + " " + path.string() + ": " + std::strerror(error);
}

}  // namespace

std::filesystem::path userRuntimeFolderPath(std::string_view name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::filesystem::path(runtime) / std::string(name);
    }
    return std::filesystem::path("/tmp") /
           (std::string(name) + "-" + std::to_string(static_cast<unsigned long>(geteuid())));
}

std::string preparePrivateFolder(const std::filesystem::path& folder, bool create) {
    if (create && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return describe("Cannot create", folder, errno);
    }
    // Opened without following a link, then checked and fixed through the descriptor, so the
    // folder cannot be swapped between the check and the fix.
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        const int error = errno;
        struct stat link {};
        // O_DIRECTORY reports a link to a folder as ENOTDIR, so ask the link itself.
        if (error == ELOOP || (::lstat(folder.c_str(), &link) == 0 && S_ISLNK(link.st_mode))) {
            return folder.string() + " is a symbolic link.";
        }
        if (error == ENOTDIR) {
            return folder.string() + " is not a folder.";
        }
        return describe("Cannot open", folder, error);
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return describe("Cannot inspect", folder, errno);
    }
    if (status.st_uid != ::geteuid()) {
        return folder.string() + " belongs to another user.";
    }
    if ((status.st_mode & 077) != 0 && ::fchmod(fd.get(), 0700) != 0) {
        return describe("Cannot make private", folder, errno);
    }
    return {};
}

FileLock::Attempt FileLock::tryAcquire(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return {Outcome::failed, nullptr, describe("Cannot open lock file", path, errno)};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return {Outcome::heldElsewhere, nullptr, {}};
        }
        return {Outcome::failed, nullptr, describe("Cannot lock", path, error)};
    }
    return {Outcome::acquired, std::unique_ptr<FileLock>(new FileLock(fd)), {}};
}

FileLock::~FileLock() {
    ::close(fd);
}

}  // namespace kestralune
