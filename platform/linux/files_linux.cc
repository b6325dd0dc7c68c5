#include "platform/files.h"

#include "platform/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kestralune {

namespace {

std::string failure(const char* what, const std::string& path, int error) {
    return std::string(what) + " " + path + ": " + std::strerror(error);
}

std::string folderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

std::string createDirectories(const std::string& path, unsigned mode) {
    std::size_t position = 0;
    while (true) {
        position = path.find('/', position + 1);
        const std::string prefix = path.substr(0, position);
        if (!prefix.empty()) {
            if (::mkdir(prefix.c_str(), static_cast<mode_t>(mode)) == 0) {
                // The mode, not what the umask leaves of it.
                if (::chmod(prefix.c_str(), static_cast<mode_t>(mode)) != 0) {
                    return failure("Could not set the permissions of", prefix, errno);
                }
            } else if (errno != EEXIST) {
                return failure("Could not create the folder", prefix, errno);
            }
        }
        if (position == std::string::npos) {
            break;
        }
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return failure("Could not create the folder", path, errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return failure("Could not create the folder", path, ENOTDIR);
    }
    return {};
}

std::string replaceFile(const std::string& path, std::string_view bytes) {
    std::string temporary = path + ".XXXXXX";
    // mkostemp creates the file 0600 whatever the umask.
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return failure("Could not write", path, errno);
    }
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int cause = errno;
        ::unlink(temporary.c_str());
        return failure("Could not write", path, cause);
    }
    fd.reset();
    // The rename itself reaches the disk only when the folder is flushed.
    if (const UniqueFd folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        !folder.valid() || ::fsync(folder.get()) != 0) {
        return failure("Could not flush the folder of", path, errno);
    }
    return {};
}

std::string setFileMode(const std::string& path, unsigned mode) {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
        return failure("Could not set the permissions of", path, errno);
    }
    return {};
}

std::optional<std::string> readFile(const std::string& path, std::size_t limit) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::size_t>(status.st_size) > limit) {
        return std::nullopt;
    }
    std::string contents(static_cast<std::size_t>(status.st_size), '\0');
    std::size_t filled = 0;
    while (true) {
        // Room beyond the size seen, up to one byte past the limit: a file that grew past
        // it is refused.
        if (filled == contents.size()) {
            if (filled > limit) {
                return std::nullopt;
            }
            contents.resize(std::min(limit + 1, filled * 2 + 64));
        }
        const ssize_t count = ::read(fd.get(), contents.data() + filled, contents.size() - filled);
        if (count > 0) {
            filled += static_cast<std::size_t>(count);
        } else if (count == 0) {
            contents.resize(filled);
            return contents;
        } else if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

bool removeFile(const std::string& path) {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) {
        return true;
    }
    if (errno != EACCES) {
        return false;
    }
    const std::string folder = folderOf(path);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || status.st_uid != ::geteuid() ||
        ::chmod(folder.c_str(), status.st_mode | S_IWUSR | S_IXUSR) != 0) {
        return false;
    }
    const bool removed = ::unlink(path.c_str()) == 0 || errno == ENOENT;
    ::chmod(folder.c_str(), status.st_mode & 07777);
    return removed;
}

}  // namespace kestralune
