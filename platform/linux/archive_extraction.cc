#include "platform/linux/archive_extraction.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace kestralune {

namespace {

constexpr std::int64_t kMaxUnpackedBytes = std::int64_t{2} << 30;
constexpr std::size_t kMaxEntries = 100'000;

// The named components of `path`: empty ones and "." left out.
std::vector<std::string_view> componentsOf(std::string_view path) {
    std::vector<std::string_view> components;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const auto component = path.substr(0, slash);
        if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    return components;
}

bool hasDotDot(std::string_view path) {
    return std::ranges::count(componentsOf(path), std::string_view("..")) > 0;
}

// The link's own folders are real folders (nothing is unpacked through a link), so leading
// ".." components climb exactly as far as they say. A ".." after a name is refused: the name
// may be a link to anywhere inside, and its ".." could then leave.
bool linkStaysInside(const std::vector<std::string_view>& linkPath, std::string_view target) {
    if (linkPath.empty() || target.empty() || target.front() == '/') {
        return false;
    }
    std::size_t depth = linkPath.size() - 1;
    bool named = false;
    for (const auto component : componentsOf(target)) {
        if (component != "..") {
            named = true;
        } else if (named || depth == 0) {
            return false;
        } else {
            --depth;
        }
    }
    return true;
}

// Why `entry`, found at `path` and to be unpacked below a folder whose path has `rootLength`
// characters, may not be unpacked; empty when it may.
std::string refusalOf(archive_entry* entry, std::string_view path, std::size_t rootLength) {
    const auto components = componentsOf(path);
    if (path.front() == '/') {
        return "is an absolute path";
    }
    // libarchive would reach a deeper path by moving the working folder of the whole process.
    if (rootLength + path.size() >= PATH_MAX) {
        return "is too long a path";
    }
    if (hasDotDot(path)) {
        return "climbs out with \"..\"";
    }
    if (const char* target = archive_entry_hardlink(entry); target != nullptr) {
        if (target[0] == '/' || hasDotDot(target)) {
            return "is a hard link to an absolute path or one with \"..\"";
        }
        return {};
    }
    switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
        case AE_IFDIR:
            return {};
        case AE_IFLNK: {
            const char* target = archive_entry_symlink(entry);
            if (target == nullptr || !linkStaysInside(components, target)) {
                return "is a symbolic link that leads out of the update";
            }
            return {};
        }
        default:
            return "is neither a file, a folder nor a link";
    }
}

std::string libraryFailure(const std::string& archivePath, archive* handle) {
    const char* message = archive_error_string(handle);
    return "Could not unpack the update archive " + archivePath + ": " +
           (message != nullptr ? message : "unknown error") + ".";
}

}  // namespace

std::string extractUpdateArchive(const std::string& archivePath, const std::string& destination) {
    // libarchive places relative paths in the process's working folder, which all threads
    // share, so each entry goes under the destination's resolved path instead. Resolved,
    // because the symlink guard also refuses links among the destination's own parents.
    // Those paths are absolute, so ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS cannot be asked
    // for; absolute entries are refused above it.
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        ::realpath(destination.c_str(), nullptr), &std::free);
    if (!resolved) {
        return "Could not unpack the update into " + destination + ": " + std::strerror(errno) +
               ".";
    }
    const std::string root = std::string(resolved.get()) + "/";

    const std::unique_ptr<archive, decltype(&archive_read_free)> reader(archive_read_new(),
                                                                        &archive_read_free);
    const std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_disk_new(),
                                                                         &archive_write_free);
    if (!reader || !writer) {
        return "Could not unpack the update archive " + archivePath + ": out of memory.";
    }
    archive_read_support_format_tar(reader.get());
    archive_read_support_filter_gzip(reader.get());
    archive_read_support_filter_xz(reader.get());
    archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM |
                                                     ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                     ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    if (archive_read_open_filename(reader.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK) {
        return libraryFailure(archivePath, reader.get());
    }
    std::size_t entries = 0;
    std::int64_t unpacked = 0;
    while (true) {
        archive_entry* entry = nullptr;
        int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status < ARCHIVE_WARN) {
            return libraryFailure(archivePath, reader.get());
        }
        if (++entries > kMaxEntries) {
            return "The update archive " + archivePath + " holds more than 100000 entries.";
        }
        const std::int64_t size = archive_entry_size(entry);
        if (size > kMaxUnpackedBytes - unpacked) {
            return "The update archive " + archivePath + " unpacks to more than 2 GiB.";
        }
        unpacked += size;
        const char* path = archive_entry_pathname(entry);
        if (path == nullptr || path[0] == '\0') {
            return "The update archive " + archivePath + " holds an entry without a name.";
        }
        if (const auto refusal = refusalOf(entry, path, root.size()); !refusal.empty()) {
            return "The update archive " + archivePath + " holds \"" + path + "\", which " +
                   refusal + ".";
        }
        archive_entry_set_pathname(entry, (root + path).c_str());
        if (const char* target = archive_entry_hardlink(entry); target != nullptr) {
            archive_entry_set_hardlink(entry, (root + target).c_str());
        }
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
        if (archive_write_header(writer.get(), entry) < ARCHIVE_WARN) {
            return libraryFailure(archivePath, writer.get());
        }
        const void* block = nullptr;
        std::size_t length = 0;
        la_int64_t offset = 0;
        while ((status = archive_read_data_block(reader.get(), &block, &length, &offset)) ==
               ARCHIVE_OK) {
            if (archive_write_data_block(writer.get(), block, length, offset) < ARCHIVE_WARN) {
                return libraryFailure(archivePath, writer.get());
            }
        }
        if (status != ARCHIVE_EOF) {
            return libraryFailure(archivePath, reader.get());
        }
        if (archive_write_finish_entry(writer.get()) < ARCHIVE_WARN) {
            return libraryFailure(archivePath, writer.get());
        }
    }
    // Folders get their own permissions only now, once nothing more is written into them.
    if (archive_write_close(writer.get()) != ARCHIVE_OK) {
        return libraryFailure(archivePath, writer.get());
    }
    return {};
}

}  // namespace kestralune
