#pragma once

#include "channel/encodable_value.h"
#include "platform/calendar.h"
#include "platform/clock.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// The weekly blocking schedule as the host stores it and the scheduler agent reads it: the
// one state the two programs share, a small JSON file in Application Support. The same code
// runs in both programs.
struct KestraluneScheduleSnapshot {
    bool enabled = false;
    std::string start;                   // time of day "H:M", where the daily window opens
    std::string end;                     // where it closes; the end minute itself is outside
    std::vector<std::int64_t> weekdays;  // days on which a window starts, 1 = Monday ... 7 = Sunday

    friend bool operator==(const KestraluneScheduleSnapshot&,
                           const KestraluneScheduleSnapshot&) = default;

    // The file for `bundleIdentifier`: <Application Support>/<folder>/background-schedule.json,
    // the folder being "com.orrindale.app.sandbox" for exactly that identifier and
    // "com.orrindale.app" for any other or none. Only computes the path.
    static std::string fileURL(const std::optional<std::string>& bundleIdentifier);
    // The file for the running program's own main bundle.
    static std::string fileURL();

    // Writes the snapshot to fileURL(): folders created 0700 where missing, the file replaced
    // atomically and durably, then set to 0600. Empty on success, else the failed step's
    // error; later steps are not run and nothing is rolled back.
    [[nodiscard]] std::string save() const;

    // One compact JSON object with the members "enabled", "start", "end" and "weekdays".
    std::string json() const;
    // The file's bytes: all four members required with their JSON types (weekdays integers
    // only), further members ignored; nothing for anything else.
    static std::optional<KestraluneScheduleSnapshot> decode(std::string_view bytes);

    // From the arguments of "syncBackgroundSchedule": each field read on its own from a map
    // (anything else counts as an empty map), a missing or mistyped value giving the default
    // (false, "", "", []). A weekday list with any element that is not an integer is mistyped.
    static KestraluneScheduleSnapshot fromArguments(const EncodableValue& arguments);

    // Whether the weekly window is open at `moment` in `calendar`'s time zone. Never fails:
    // a disabled schedule, an unreadable time, no weekday or one outside 1...7 give false.
    // Allocates nothing.
    bool isActive(WallClockTime moment, const Calendar& calendar = currentCalendar()) const;
    // The stored schedule for the current moment; false when the file is missing or cannot
    // be read or decoded. Never writes or deletes the file.
    static bool isActiveNow();

  private:
    // Minutes since midnight of "H:M" (0 ... 1439), or nothing.
    static std::optional<int> minutes(std::string_view text);
};

}  // namespace kestralune
