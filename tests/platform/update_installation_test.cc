#include "platform/base64.h"
#include "platform/linux/archive_extraction.h"
#include "platform/linux/bundle_replacement.h"
#include "platform/linux/ed25519_signature.h"
#include "platform/testing/ed25519_test_keys.h"
#include "platform/testing/test_archives.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

namespace kestralune {
namespace {

namespace fs = std::filesystem;
using Entry = TestArchiveEntry;
using Type = TestArchiveEntry::Type;
using Compression = TestArchiveCompression;

TEST(Ed25519SignatureTest, AcceptsOnlyTheSignersKeyOverTheUnchangedFile) {
    // Fails if a signature passes for another key or a changed byte, or if a malformed key or
    // signature is let through or taken for a mismatch.
    TempDirectory directory;
    const Ed25519TestKey signer;
    const auto key = signer.publicKeyBase64();
    const auto archive = directory.write("update.tar.xz", std::string(70'000, 'u'));
    const auto signature = signer.signFile(archive);
    const struct {
        std::string path, key, signature;
        const char* error;
    } rows[] = {
        {archive, key, signature, ""},
        {directory.write("empty", ""), key, signer.sign(""), ""},
        {archive, Ed25519TestKey().publicKeyBase64(), signature, "does not match"},
        {directory.write("changed", std::string(69'999, 'u') + 'v'), key, signature,
         "does not match"},
        {archive, "not base64!", signature, "public key is not"},
        {archive, key, signature.substr(1), "signature is not"},
        {archive, key, base64Encoded(std::string(63, 's')), "signature is not"},
        {directory.path() / "missing", key, signature, "Could not read"},
    };
    for (const auto& row : rows) {
        const auto error = verifyEd25519FileSignature(row.path, row.key, row.signature);
        EXPECT_TRUE(*row.error ? error.find(row.error) != std::string::npos : error.empty())
            << row.path << ": " << error;
    }
}

// Unpacks `entries` written with `compression` into a new folder "out"; returns the error.
std::string unpack(const TempDirectory& directory, const std::vector<Entry>& entries,
                   Compression compression = Compression::gzip) {
    const auto archive = (directory.path() / "update.tar").string();
    writeTestArchive(archive, entries, compression);
    fs::create_directory(directory.path() / "out");
    return extractUpdateArchive(archive, directory.path() / "out");
}

TEST(ArchiveExtractionTest, UnpacksEachCompressionWithModesAndInnerLinksButNoSetuid) {
    // Fails if a filter or plain tar is not read, an execute bit is lost, setuid or setgid
    // survives, or a link that stays inside the bundle is refused or changed.
    const std::vector<Entry> bundle = {
        {"Kestralune.app", Type::directory, "", 0755},
        {"Kestralune.app/Contents/MacOS/Kestralune", Type::file, "#!/bin/sh\n", 0755},
        {"./Kestralune.app/Contents/MacOS/helper", Type::file, "", 06750},
        {"Kestralune.app/Contents/Frameworks/Current", Type::symlink, "../MacOS"},
        {"Kestralune.app/Contents/MacOS/Copy", Type::hardlink,
         "Kestralune.app/Contents/MacOS/Kestralune"},
    };
    for (const auto compression : {Compression::gzip, Compression::xz, Compression::none}) {
        TempDirectory directory;
        ASSERT_EQ(unpack(directory, bundle, compression), "");
        const auto out = directory.path() / "out";
        // Packed again, the tree comes back the same, its hard link as a copy.
        packTestArchive(directory.path() / "again.tar", out / "Kestralune.app", "Again.app");
        ASSERT_EQ(extractUpdateArchive(directory.path() / "again.tar", out), "");
        for (const auto* app : {"Kestralune.app", "Again.app"}) {
            const auto macOS = out / app / "Contents/MacOS";
            EXPECT_EQ(TempDirectory::read(macOS / "Kestralune"), "#!/bin/sh\n");
            EXPECT_EQ(fs::status(macOS / "Kestralune").permissions(), fs::perms(0755));
            EXPECT_EQ(fs::status(macOS / "helper").permissions(), fs::perms(0750));
            EXPECT_EQ(fs::read_symlink(macOS / "../Frameworks/Current"), "../MacOS");
        }
        EXPECT_TRUE(fs::equivalent(out / "Kestralune.app/Contents/MacOS/Copy",
                                   out / "Kestralune.app/Contents/MacOS/Kestralune"));
    }
}

TEST(ArchiveExtractionTest, RefusesTheWholeArchiveAtAnEntryThatCouldLeaveItsFolder) {
    // Fails if any of these entries is unpacked: each would write or point outside the update,
    // or is a special file; or if a truncated archive passes.
    const struct {
        std::vector<Entry> entries;
        const char* error;
    } rows[] = {
        {{{"../x"}}, "climbs out"},
        {{{"a/../../x"}}, "climbs out"},
        {{{"/x"}}, "absolute path"},
        {{{"etc", Type::symlink, "/etc"}}, "symbolic link that leads out"},
        {{{"a", Type::symlink, "../../x"}}, "symbolic link that leads out"},
        // "d/self/.." reads as "d", but "self" leads to the update's folder, and ".." above it.
        {{{"d/self", Type::symlink, ".."}, {"d/up", Type::symlink, "self/.."}}, "leads out"},
        {{{"sub", Type::directory, "", 0755}, {"link", Type::symlink, "sub"}, {"link/x"}},
         "Cannot extract through symlink"},
        {{{"pipe", Type::fifo}}, "neither a file"},
        {{{"h", Type::hardlink, "../x"}}, "hard link"},
    };
    for (const auto& row : rows) {
        TempDirectory directory;
        const auto error = unpack(directory, row.entries);
        EXPECT_NE(error.find(row.error), std::string::npos) << row.entries.back().path << error;
        EXPECT_FALSE(fs::exists(directory.path() / "x"));
    }
    // A download broken off in the middle.
    TempDirectory directory;
    const auto archive = (directory.path() / "update.tar.gz").string();
    writeTestArchive(archive, {{"big", Type::file, std::string(100'000, 'b')}});
    fs::resize_file(archive, fs::file_size(archive) / 2);
    EXPECT_NE(extractUpdateArchive(archive, directory.path()).find("Could not unpack"),
              std::string::npos);
}

// A bundle whose version file says `version`, with a link to a folder outside it.
fs::path makeBundle(const TempDirectory& directory, const fs::path& bundle,
                    const std::string& version) {
    directory.write(fs::relative(bundle / "Contents/Resources/version", directory.path()), version);
    fs::create_directory_symlink(directory.path() / "outside", bundle / "Contents/Outside");
    return bundle;
}

TEST(BundleReplacementTest, LeavesOnlyTheNewBundleWhetherExchangedOrRenamed) {
    // Fails if the staging folder is elsewhere or open to others, if an old bundle stays in
    // place or beside it, if removing it follows its link out, or if the renames lose the old
    // bundle when the new one cannot move in.
    TempDirectory directory;
    directory.write("outside/keep", "kept");
    const auto installed = makeBundle(directory, directory.path() / "Kestralune.app", "1");
    const auto version = installed / "Contents/Resources/version";
    std::string staging;
    ASSERT_EQ(makeUpdateStagingFolder(installed, staging), "");
    EXPECT_TRUE(staging.starts_with((directory.path() / ".Kestralune.app.update-").string()));
    EXPECT_EQ(fs::status(staging).permissions(), fs::perms::owner_all);
    ASSERT_EQ(replaceBundle(installed, makeBundle(directory, staging + "/new.app", "2")), "");
    EXPECT_EQ(TempDirectory::read(version), "2");
    EXPECT_TRUE(fs::is_empty(staging));

    EXPECT_NE(replaceBundleByRenames(installed, directory.path() / "missing.app"), "");
    EXPECT_EQ(TempDirectory::read(version), "2");
    ASSERT_EQ(replaceBundleByRenames(installed, makeBundle(directory, staging + "/3", "3")), "");
    EXPECT_EQ(TempDirectory::read(version), "3");
    // The bundle, the staging folder and "outside", still whole.
    EXPECT_EQ(std::distance(fs::directory_iterator(directory.path()), {}), 3);
    EXPECT_EQ(TempDirectory::read(directory.path() / "outside/keep"), "kept");
}

}  // namespace
}  // namespace kestralune
