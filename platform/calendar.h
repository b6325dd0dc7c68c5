#pragma once

#include "platform/clock.h"

namespace kestralune {

// A moment's wall-clock date in one time zone, as the schedule reads it.
struct CalendarDate {
    int weekday = 1;  // 1 = Sunday, 2 = Monday ... 7 = Saturday
    int hour = 0;     // 0 ... 23
    int minute = 0;   // 0 ... 59
};

// The user's calendar (NSCalendar currentCalendar): Gregorian weeks in a time zone.
// Safe to use from any thread.
class Calendar {
  public:
    virtual ~Calendar() = default;
    virtual CalendarDate dateOf(WallClockTime moment) const = 0;
};

// The local time zone from the system's time-zone database, read as the C library does
// (TZ honoured), so a change of TZ or of the zone file applies to the next reading.
const Calendar& currentCalendar();

}  // namespace kestralune
