#pragma once

#include "platform/calendar.h"

#include <ctime>

namespace kestralune {

// A calendar in a zone at a fixed offset from UTC, with no clock changes.
class FixedZoneCalendar final : public Calendar {
  public:
    explicit FixedZoneCalendar(int offsetSeconds = 0) : offset(offsetSeconds) {}

    CalendarDate dateOf(WallClockTime moment) const override {
        const std::time_t seconds = std::chrono::system_clock::to_time_t(moment) + offset;
        std::tm date{};
        ::gmtime_r(&seconds, &date);
        return {date.tm_wday + 1, date.tm_hour, date.tm_min};
    }

    // The moment of a UTC date and time (month 1 ... 12).
    static WallClockTime utc(int year, int month, int day, int hour, int minute) {
        std::tm date{};
        date.tm_year = year - 1900;
        date.tm_mon = month - 1;
        date.tm_mday = day;
        date.tm_hour = hour;
        date.tm_min = minute;
        return std::chrono::system_clock::from_time_t(::timegm(&date));
    }

  private:
    const int offset;
};

}  // namespace kestralune
