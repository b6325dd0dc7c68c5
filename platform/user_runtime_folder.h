#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace kestralune {

// The user's private folder for sockets and locks: "$XDG_RUNTIME_DIR/<name>" when that
// variable holds an absolute path, else "/tmp/<name>-<uid>" (effective user id).
std::filesystem::path userRuntimeFolderPath(std::string_view name);

// Makes sure `folder` is private to the effective user: creates it with mode 0700 when
// `create` is true and it is missing (its parent must exist), then verifies that it is a
// directory, not a symbolic link, and owned by the user; group and other access bits are
// removed when present. Returns an empty string when the folder is fit for use, otherwise
// a sentence saying why not.
[[nodiscard]] std::string preparePrivateFolder(const std::filesystem::path& folder, bool create);

// An exclusive advisory lock on a file (created 0600 when missing), held until the object
// is destroyed. The kernel drops it when the process dies, so a crashed holder never leaves
// it taken. Used for single-instance start-up.
class FileLock {
  public:
    enum class Outcome { acquired, heldElsewhere, failed };
    struct Attempt {
        Outcome outcome;
        std::unique_ptr<FileLock> lock;  // set when acquired
        std::string error;               // set when failed
    };

    // Never waits: a lock held by another process gives heldElsewhere.
    [[nodiscard]] static Attempt tryAcquire(const std::filesystem::path& path);

    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

  private:
    explicit FileLock(int fd) : fd(fd) {}
    int fd;
};

}  // namespace kestralune
