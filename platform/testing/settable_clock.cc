#include "platform/testing/settable_clock.h"

namespace kestralune {

SettableClock::SettableClock() : current(WallClockTime(std::chrono::seconds(1'800'000'000))) {}

WallClockTime SettableClock::now() const {
    std::lock_guard lock(mutex);
    return current;
}

void SettableClock::set(WallClockTime time) {
    std::lock_guard lock(mutex);
    current = time;
}

void SettableClock::advance(double seconds) {
    std::lock_guard lock(mutex);
    // Rounded, not truncated, so many small steps add up to their nominal sum.
    current += std::chrono::round<WallClockTime::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace kestralune
