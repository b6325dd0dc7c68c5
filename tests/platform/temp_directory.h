#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kestralune {

// A fresh directory under the system's temporary folder, removed with its contents. Its
// path is canonical, as /proc reports executables.
class TempDirectory {
  public:
    TempDirectory() {
        std::string pattern = std::filesystem::temp_directory_path() / "kestralune-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        root = std::filesystem::canonical(pattern);
    }
    ~TempDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& path() const { return root; }

    // Writes `contents` to `relative` (folders created) with the given mode.
    std::string write(const std::string& relative, const std::string& contents,
                      mode_t mode = 0644) const {
        const auto file = root / relative;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary | std::ios::trunc) << contents;
        ::chmod(file.c_str(), mode);
        return file.string();
    }

    static std::string read(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

  private:
    std::filesystem::path root;
};

}  // namespace kestralune
