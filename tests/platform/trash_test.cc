#include "platform/trash.h"
#include "tests/platform/temp_directory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace kestralune {
namespace {

using ::testing::MatchesRegex;
using ::testing::StartsWith;

// Fault: the bundle is deleted or copied instead of trashed, lands outside the user's Trash,
// leaves no record to restore it from (original path absolute and URL-escaped, deletion date),
// needs a session bus, or a failure goes unreported.
TEST(TrashTest, ABundleGoesToTheUsersTrashWithItsRestoreRecord) {
    TempDirectory root;
    ::setenv("HOME", root.path().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), 1);
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const auto bundle = root.path() / "My Apps/Kestralune.app";
    root.write("My Apps/Kestralune.app/Contents/MacOS/Kestralune", "program", 0755);

    ASSERT_EQ(moveToTrash(bundle), "");
    EXPECT_FALSE(std::filesystem::exists(bundle));
    const auto trash = root.path() / "data/Trash";
    EXPECT_TRUE(std::filesystem::exists(trash / "files/Kestralune.app/Contents/MacOS/Kestralune"));
    const auto record = TempDirectory::read(trash / "info/Kestralune.app.trashinfo");
    const auto head = "[Trash Info]\nPath=" + root.path().string() + "/My%20Apps/Kestralune.app\n";
    EXPECT_THAT(record, StartsWith(head));
    EXPECT_THAT(record.substr(head.size()), MatchesRegex("DeletionDate=[-0-9]{10}T[:0-9]{8}\n"));
    EXPECT_THAT(moveToTrash(bundle),
                StartsWith("Could not move " + bundle.string() + " to the Trash: "));
}

}  // namespace
}  // namespace kestralune
