#include "platform/calendar.h"

#include <ctime>

namespace kestralune {

namespace {

class LocalCalendar final : public Calendar {
  public:
    CalendarDate dateOf(WallClockTime moment) const override {
        // localtime_r need not re-read TZ by itself; tzset makes a changed zone count.
        ::tzset();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(moment);
        std::tm local{};
        ::localtime_r(&seconds, &local);
        return {local.tm_wday + 1, local.tm_hour, local.tm_min};
    }
};

}  // namespace

const Calendar& currentCalendar() {
    static const LocalCalendar calendar;
    return calendar;
}

}  // namespace kestralune
