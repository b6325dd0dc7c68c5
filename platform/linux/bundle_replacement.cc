#include "platform/linux/bundle_replacement.h"

#include "platform/log.h"
#include "platform/unique_fd.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kestralune {

namespace {

namespace fs = std::filesystem;

std::string failure(const char* what, const std::string& path, int error) {
    return std::string(what) + " " + path + ": " + std::strerror(error) + ".";
}

// Makes a new empty folder beside `bundlePath`, named after it, into `folder`; returns 0 or
// the system's error.
int makeFolderBeside(const std::string& bundlePath, const char* purpose, std::string& folder) {
    const fs::path bundle(bundlePath);
    folder =
        (bundle.parent_path() / ("." + bundle.filename().string() + purpose + "-XXXXXX")).string();
    return ::mkdtemp(folder.data()) != nullptr ? 0 : errno;
}

// The exchange is already visible; neither step below can undo it, so their failures only
// reach the log. A crash before the flush leaves the old bundle, still whole.
void finishReplacement(const std::string& installedPath, const std::string& oldCopy) {
    const fs::path folder = fs::path(installedPath).parent_path();
    const UniqueFd fd(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) {
        logLine("Kestralune updater: " +
                failure("Could not flush the folder of", installedPath, errno));
    }
    if (const auto removal = removeTree(oldCopy); !removal.empty()) {
        logLine("Kestralune updater: " + removal);
    }
}

}  // namespace

std::string makeUpdateStagingFolder(const std::string& installedBundlePath, std::string& folder) {
    if (const int error = makeFolderBeside(installedBundlePath, ".update", folder); error != 0) {
        return failure("Could not create a staging folder beside", installedBundlePath, error);
    }
    return {};
}

std::string replaceBundle(const std::string& installedPath, const std::string& newBundlePath) {
    if (::renameat2(AT_FDCWD, installedPath.c_str(), AT_FDCWD, newBundlePath.c_str(),
                    RENAME_EXCHANGE) != 0) {
        if (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
            return replaceBundleByRenames(installedPath, newBundlePath);
        }
        return failure("Could not exchange the new bundle with", installedPath, errno);
    }
    finishReplacement(installedPath, newBundlePath);
    return {};
}

std::string replaceBundleByRenames(const std::string& installedPath,
                                   const std::string& newBundlePath) {
    std::string aside;
    if (const int error = makeFolderBeside(installedPath, ".replaced", aside); error != 0) {
        return failure("Could not create a folder beside", installedPath, error);
    }
    // A folder renamed onto an empty folder takes its place in one step.
    if (::rename(installedPath.c_str(), aside.c_str()) != 0) {
        const int cause = errno;
        ::rmdir(aside.c_str());
        return failure("Could not move aside", installedPath, cause);
    }
    if (::rename(newBundlePath.c_str(), installedPath.c_str()) != 0) {
        const int cause = errno;
        if (::rename(aside.c_str(), installedPath.c_str()) != 0) {
            return "Could not move the new bundle to " + installedPath + " (" +
                   std::strerror(cause) + "), nor the old one back from " + aside + ": " +
                   std::strerror(errno) + ".";
        }
        return failure("Could not move the new bundle to", installedPath, cause);
    }
    finishReplacement(installedPath, aside);
    return {};
}

std::string removeTree(const std::string& path) {
    std::error_code ignored;
    const auto openUp = [&](const fs::path& folder, fs::file_status status) {
        if (status.type() == fs::file_type::directory) {
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    };
    // A folder is opened up before the walk enters it: without the owner's write and search
    // permission its entries could not be removed.
    openUp(path, fs::symlink_status(path, ignored));
    std::error_code walking;
    for (fs::recursive_directory_iterator entry(path, walking), end; !walking && entry != end;
         entry.increment(walking)) {
        openUp(entry->path(), entry->symlink_status(ignored));
    }
    std::error_code error;
    fs::remove_all(path, error);
    if (error) {
        return failure("Could not remove", path, error.value());
    }
    return {};
}

}  // namespace kestralune
