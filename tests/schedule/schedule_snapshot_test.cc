#include "schedule/schedule_snapshot.h"

#include "platform/files.h"
#include "platform/testing/fixed_zone_calendar.h"
#include "tests/platform/temp_directory.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <thread>

namespace kestralune {
namespace {

using Snapshot = KestraluneScheduleSnapshot;

// 2026-12-03 is a Thursday; the table names days by their date in December 2026.
enum Day { thu = 3, fri = 4, sat = 5, sun = 6, mon = 7, tue = 8 };

bool activeAt(const Snapshot& snapshot, Day day, int hour, int minute) {
    return snapshot.isActive(FixedZoneCalendar::utc(2026, 12, day, hour, minute),
                             FixedZoneCalendar());
}

// Fault: a bound off by one minute, the early morning counted to the wrong day, the week
// numbered from the wrong day, or a malformed value read as something.
TEST(ScheduleEvaluationTest, WindowsOpenAtTheStartMinuteAndCloseAtTheEndMinute) {
    const Snapshot friday{true, "22:00", "06:00", {5}};
    const Snapshot office{true, "09:00", "17:00", {1, 2, 3, 4, 5, 6, 7}};
    const Snapshot mondays{true, "00:00", "00:00", {1}};
    const Snapshot sundayNight{true, "22:00", "06:00", {7}};
    const struct {
        Snapshot snapshot;
        Day day;
        int hour, minute;
        bool active;
    } rows[] = {
        {friday, fri, 23, 0, true},
        {friday, fri, 22, 0, true},
        {friday, fri, 21, 59, false},
        {friday, sat, 5, 59, true},
        {friday, sat, 6, 0, false},
        {friday, fri, 5, 0, false},
        {friday, sat, 22, 30, false},
        {{true, "22:00", "06:00", {5, 5}}, sat, 5, 59, true},
        {office, thu, 9, 0, true},
        {office, thu, 16, 59, true},
        {office, thu, 17, 0, false},
        {office, thu, 8, 59, false},
        {mondays, mon, 0, 0, true},
        {mondays, mon, 23, 59, true},
        {mondays, sun, 23, 59, false},
        {mondays, tue, 0, 0, false},
        {{true, "13:15", "13:15", {1}}, mon, 3, 0, true},
        {sundayNight, sun, 23, 0, true},
        {sundayNight, mon, 5, 0, true},
        {{true, "22:00", "06:00", {6}}, sun, 5, 0, true},
        {{true, "22:00", "06:00", {1}}, sun, 23, 0, false},
        {{true, "22:00", "06:00", {0, 5}}, fri, 23, 0, false},
        {{true, "22:00", "06:00", {5, 8}}, fri, 23, 0, false},
        {{true, "22:00", "06:00", {}}, fri, 23, 0, false},
        {{false, "22:00", "06:00", {5}}, fri, 23, 0, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(activeAt(row.snapshot, row.day, row.hour, row.minute), row.active)
            << row.snapshot.json() << " on the " << row.day << "th at " << row.hour << ":"
            << row.minute;
    }
}

TEST(ScheduleEvaluationTest, OnlyHourColonMinuteInRangeIsATime) {
    for (const char* start : {"24:00", "23:60", "7", "7:30:00", ":30", "07:", " 7:30", "7:30 ",
                              "-1:30", "7:-0x1", "99999999999999999999:00", "", "::", "7:3O"}) {
        EXPECT_FALSE(activeAt({true, start, "23:59", {5}}, fri, 23, 0)) << '"' << start << '"';
    }
    for (const char* start : {"+7:30", "7:30", "007:0030"}) {
        EXPECT_TRUE(activeAt({true, start, "7:31", {5}}, fri, 7, 30)) << start;
        EXPECT_FALSE(activeAt({true, start, "7:31", {5}}, fri, 7, 29)) << start;
    }
}

// Fault: the window follows standard time instead of the wall clock on the days the clocks
// change.
TEST(ScheduleEvaluationTest, TheLocalClockCountsOnTheDaysClocksChange) {
    ::setenv("TZ", "Europe/Berlin", 1);
    const Snapshot sundays{true, "09:00", "17:00", {7}};
    // 07:30 UTC is 09:30 in summer time (March 29th) and 08:30 in winter time (October 25th).
    EXPECT_TRUE(sundays.isActive(FixedZoneCalendar::utc(2026, 3, 29, 7, 30)));
    EXPECT_FALSE(sundays.isActive(FixedZoneCalendar::utc(2026, 10, 25, 7, 30)));
    EXPECT_TRUE(sundays.isActive(FixedZoneCalendar::utc(2026, 10, 25, 8, 0)));
    ::unsetenv("TZ");
    ::tzset();
}

TEST(ScheduleSnapshotTest, ArgumentsGiveEachMissingOrMistypedFieldItsDefault) {
    const Snapshot empty{};
    const struct {
        EncodableValue arguments;
        Snapshot expected;
    } rows[] = {
        {EncodableValue(), empty},
        {EncodableList{true}, empty},
        {EncodableMap{{"enabled", "true"}, {"start", 7}, {"end", "6:00"}}, {false, "", "6:00", {}}},
        {EncodableMap{{"enabled", true}, {"weekdays", EncodableList{1, "2"}}}, {true, "", "", {}}},
        {EncodableMap{{"weekdays", EncodableList{1, std::int64_t{9}, 2.0}}, {"x", 1}},
         {false, "", "", {1, 9, 2}}},
        {EncodableMap{{"weekdays", std::vector<std::int32_t>{3, 3}}}, {false, "", "", {3, 3}}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Snapshot::fromArguments(row.arguments), row.expected) << row.expected.json();
    }
}

TEST(ScheduleSnapshotTest, FilesNeedAllFourMembersWithTheirTypes) {
    const Snapshot nights{true, "22:00", "06:30", {1, 2, 3, 4, 5}};
    EXPECT_EQ(nights.json(),
              R"({"enabled":true,"start":"22:00","end":"06:30","weekdays":[1,2,3,4,5]})");
    EXPECT_EQ(Snapshot::decode(nights.json()), nights);
    EXPECT_EQ(Snapshot::decode(R"({"weekdays":[],"end":"b","start":"a","enabled":false,"v":2})"),
              (Snapshot{false, "a", "b", {}}));
    for (const char* file : {
             R"({"enabled":true,"start":"1:00","end":"2:00","weekdays":[1.5]})",
             R"({"enabled":null,"start":"1:00","end":"2:00","weekdays":[1]})",
             R"({"enabled":true,"start":"1:00","weekdays":[1]})",
             R"({"enabled":1,"start":"1:00","end":"2:00","weekdays":[1]})",
             R"({"enabled":true,"start":"1:00","end":"2:00","weekdays":[9223372036854775808]})",
             R"({"enabled":true,"start":"1:00","end":"2:00","weekdays":"1"})",
             R"([1])",
             "{\"enabled\":true,\"start\":\"\xff\",\"end\":\"2:00\",\"weekdays\":[1]}",
         }) {
        EXPECT_FALSE(Snapshot::decode(file)) << file;
    }
}

class ScheduleFileTest : public ::testing::Test {
  protected:
    ScheduleFileTest() { ::setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), 1); }
    ~ScheduleFileTest() override { ::unsetenv("XDG_DATA_HOME"); }

    static unsigned modeOf(const std::filesystem::path& path) {
        struct stat status {};
        return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
    }

    TempDirectory root;
};

TEST_F(ScheduleFileTest, FileNamesFollowTheBundleIdentifier) {
    const std::string folder = (root.path() / "data/").string();
    EXPECT_EQ(Snapshot::fileURL("com.orrindale.app.sandbox"),
              folder + "com.orrindale.app.sandbox/background-schedule.json");
    for (const char* identifier : {"com.orrindale.app", "com.orrindale.app.sandbox2", ""}) {
        EXPECT_EQ(
            Snapshot::fileURL(*identifier ? std::optional<std::string>(identifier) : std::nullopt),
            folder + "com.orrindale.app/background-schedule.json");
    }
}

// Fault: the file is readable by others (for a moment or for good), a new folder is open to
// others, or an existing folder's mode is changed.
TEST_F(ScheduleFileTest, SavedFilesArePrivateAndExistingFoldersKeepTheirMode) {
    const mode_t previous = ::umask(0);
    const Snapshot snapshot{true, "22:00", "06:00", {5}};
    EXPECT_EQ(snapshot.save(), "");
    EXPECT_EQ(modeOf(root.path() / "data"), 0700u);
    EXPECT_EQ(modeOf(root.path() / "data/com.orrindale.app"), 0700u);
    EXPECT_EQ(modeOf(Snapshot::fileURL()), 0600u);
    EXPECT_EQ(Snapshot::decode(TempDirectory::read(Snapshot::fileURL())), snapshot);

    ::chmod((root.path() / "data/com.orrindale.app").c_str(), 0755);
    EXPECT_EQ(Snapshot{}.save(), "");
    EXPECT_EQ(modeOf(root.path() / "data/com.orrindale.app"), 0755u);
    EXPECT_EQ(modeOf(Snapshot::fileURL()), 0600u);
    ::umask(previous);
}

// Fault: a reader catches a save half-written (or a temporary file left in its place).
TEST_F(ScheduleFileTest, AReaderNeverSeesAPartialFile) {
    const Snapshot a{true, "22:00", "06:00", {5}};
    const Snapshot b{false, "9:00", "17:00", {1, 2, 3, 4, 5, 6, 7}};
    ASSERT_EQ(a.save(), "");
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        while (!done) {
            const auto snapshot =
                Snapshot::decode(readFile(Snapshot::fileURL(), 4096).value_or(""));
            bad += !(snapshot == a || snapshot == b);
        }
    });
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ((i % 2 ? a : b).save(), "");
    }
    done = true;
    reader.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(std::distance(
                  std::filesystem::directory_iterator(root.path() / "data/com.orrindale.app"), {}),
              1);
}

}  // namespace
}  // namespace kestralune
