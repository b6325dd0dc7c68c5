#include "platform/file_manager.h"

#include "platform/user_folders.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace kestralune {

namespace fs = std::filesystem;

namespace {

std::string failure(const std::string& what, const std::string& reason) {
    return "Could not " + what + ": " + reason + ".";
}

class LinuxFileManager final : public FileManager {
  public:
    bool isWritableFile(const std::string& path) const override {
        return ::access(path.c_str(), W_OK) == 0;
    }

    bool fileExists(const std::string& path) const override {
        std::error_code ignored;
        return fs::exists(path, ignored);
    }

    std::string homeDirectory() const override { return homeFolderPath(); }

    std::string createDirectory(const std::string& path, bool intermediates) override {
        std::error_code error;
        if (intermediates) {
            fs::create_directories(path, error);
        } else if (!fs::create_directory(path, error) && !error) {
            error = std::make_error_code(std::errc::file_exists);
        }
        return error ? failure("create the folder " + path, error.message()) : std::string();
    }

    std::string copyItem(const std::string& source, const std::string& destination) override {
        std::error_code error;
        if (fs::exists(fs::symlink_status(destination, error))) {
            return failure("copy " + source + " to " + destination, "it already exists");
        }
        fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
                 error);
        return error ? failure("copy " + source + " to " + destination, error.message())
                     : std::string();
    }

    std::string moveItem(const std::string& source, const std::string& destination) override {
        // Never over something: a plain rename would silently replace an empty folder.
        if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(),
                        RENAME_NOREPLACE) != 0) {
            return failure("move " + source + " to " + destination, std::strerror(errno));
        }
        return {};
    }

    std::string removeItem(const std::string& path) override {
        std::error_code error;
        fs::remove_all(path, error);
        return error ? failure("remove " + path, error.message()) : std::string();
    }
};

}  // namespace

std::shared_ptr<FileManager> defaultFileManager() {
    return std::make_shared<LinuxFileManager>();
}

}  // namespace kestralune
