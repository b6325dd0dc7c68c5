#pragma once

#include <chrono>
#include <memory>

namespace kestralune {

using WallClockTime = std::chrono::system_clock::time_point;

// Seconds between two wall-clock readings, as the cooldowns compare them.
inline double secondsBetween(WallClockTime earlier, WallClockTime later) {
    return std::chrono::duration<double>(later - earlier).count();
}

// The wall clock. Implementations are safe to read from any thread.
class Clock {
  public:
    virtual ~Clock() = default;
    virtual WallClockTime now() const = 0;
};

// The real system clock.
std::shared_ptr<Clock> makeSystemClock();

}  // namespace kestralune
