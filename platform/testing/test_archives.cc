#include "platform/testing/test_archives.h"

#include "platform/files.h"

#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace kestralune {

namespace {

namespace fs = std::filesystem;

void check(archive* writer, int status) {
    if (status < ARCHIVE_WARN) {
        throw std::runtime_error(archive_error_string(writer));
    }
}

unsigned fileTypeOf(TestArchiveEntry::Type type) {
    switch (type) {
        case TestArchiveEntry::Type::directory:
            return AE_IFDIR;
        case TestArchiveEntry::Type::symlink:
            return AE_IFLNK;
        case TestArchiveEntry::Type::fifo:
            return AE_IFIFO;
        case TestArchiveEntry::Type::file:
        case TestArchiveEntry::Type::hardlink:
            break;
    }
    return AE_IFREG;
}

}  // namespace

void writeTestArchive(const std::string& path, const std::vector<TestArchiveEntry>& entries,
                      TestArchiveCompression compression) {
    const std::unique_ptr<archive, decltype(&archive_write_free)> writer(archive_write_new(),
                                                                         &archive_write_free);
    archive* out = writer.get();
    check(out, archive_write_set_format_pax_restricted(out));
    if (compression == TestArchiveCompression::gzip) {
        check(out, archive_write_add_filter_gzip(out));
    } else if (compression == TestArchiveCompression::xz) {
        check(out, archive_write_add_filter_xz(out));
    }
    check(out, archive_write_open_filename(out, path.c_str()));
    for (const auto& entry : entries) {
        const std::unique_ptr<archive_entry, decltype(&archive_entry_free)> header(
            archive_entry_new(), &archive_entry_free);
        archive_entry_set_pathname(header.get(), entry.path.c_str());
        archive_entry_set_filetype(header.get(), fileTypeOf(entry.type));
        archive_entry_set_perm(header.get(), entry.mode);
        const bool hasData = entry.type == TestArchiveEntry::Type::file;
        if (entry.type == TestArchiveEntry::Type::symlink) {
            archive_entry_set_symlink(header.get(), entry.contents.c_str());
        } else if (entry.type == TestArchiveEntry::Type::hardlink) {
            archive_entry_set_hardlink(header.get(), entry.contents.c_str());
        }
        archive_entry_set_size(header.get(), hasData ? entry.contents.size() : 0);
        check(out, archive_write_header(out, header.get()));
        if (hasData && !entry.contents.empty()) {
            if (archive_write_data(out, entry.contents.data(), entry.contents.size()) < 0) {
                throw std::runtime_error(archive_error_string(out));
            }
        }
    }
    check(out, archive_write_close(out));
}

void packTestArchive(const std::string& path, const std::string& folder,
                     const std::string& rootName, TestArchiveCompression compression) {
    using Type = TestArchiveEntry::Type;
    std::vector<TestArchiveEntry> entries = {{rootName, Type::directory, "", 0755}};
    for (const auto& item : fs::recursive_directory_iterator(folder)) {
        const auto status = item.symlink_status();
        TestArchiveEntry entry{rootName + "/" + item.path().lexically_relative(folder).string()};
        entry.mode = static_cast<unsigned>(status.permissions() & fs::perms::mask);
        if (status.type() == fs::file_type::symlink) {
            entry.type = Type::symlink;
            entry.contents = fs::read_symlink(item.path()).string();
        } else if (status.type() == fs::file_type::directory) {
            entry.type = Type::directory;
        } else {
            entry.contents = readFile(item.path().string(), std::size_t{1} << 32).value();
        }
        entries.push_back(std::move(entry));
    }
    writeTestArchive(path, entries, compression);
}

}  // namespace kestralune
