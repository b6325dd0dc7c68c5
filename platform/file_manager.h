#pragma once

#include <memory>
#include <string>

namespace kestralune {

// Whole-item file operations (NSFileManager). Each operation that can fail returns an empty
// string on success, otherwise one sentence naming the item and the system's reason. Safe on
// any one thread at a time.
class FileManager {
  public:
    virtual ~FileManager() = default;

    // Whether the process may write into `path`; false when it does not exist.
    virtual bool isWritableFile(const std::string& path) const = 0;
    // Whether something is there; a link counts by what it points to.
    virtual bool fileExists(const std::string& path) const = 0;
    virtual std::string homeDirectory() const = 0;
    // A new folder with the default mode; with `intermediates`, missing parents are created
    // and a folder already there is fine, otherwise the folder must not exist yet.
    [[nodiscard]] virtual std::string createDirectory(const std::string& path,
                                                      bool intermediates) = 0;
    // Copies a file or a folder tree, links as links and modes kept; nothing may be at
    // `destination` yet.
    [[nodiscard]] virtual std::string copyItem(const std::string& source,
                                               const std::string& destination) = 0;
    // Moves within one file system; nothing may be at `destination` yet.
    [[nodiscard]] virtual std::string moveItem(const std::string& source,
                                               const std::string& destination) = 0;
    // Removes a file or a folder tree, never following links.
    [[nodiscard]] virtual std::string removeItem(const std::string& path) = 0;
};

// The process's default file manager.
std::shared_ptr<FileManager> defaultFileManager();

}  // namespace kestralune
