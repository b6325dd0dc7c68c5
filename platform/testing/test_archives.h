#pragma once

#include <string>
#include <vector>

namespace kestralune {

// Tar archives written by tests, as an update's archive would be, hostile entries included.
// Writing throws std::runtime_error with libarchive's message when it fails.

struct TestArchiveEntry {
    enum class Type { file, directory, symlink, hardlink, fifo };
    std::string path = {};  // as stored: nothing keeps it relative or free of ".."
    Type type = Type::file;
    std::string contents = {};  // a file's bytes; a link's target
    unsigned mode = 0644;
};

enum class TestArchiveCompression { gzip, xz, none };

// Writes `entries`, in order, as a pax tar archive at `path`.
void writeTestArchive(const std::string& path, const std::vector<TestArchiveEntry>& entries,
                      TestArchiveCompression compression = TestArchiveCompression::gzip);

// Writes the tree at `folder` (a copied Kestralune.app, say) as an archive whose entries lie
// under `rootName`: files with their bytes and modes, folders, symbolic links as they stand.
void packTestArchive(const std::string& path, const std::string& folder,
                     const std::string& rootName,
                     TestArchiveCompression compression = TestArchiveCompression::gzip);

}  // namespace kestralune
