#pragma once

#include "platform/clock.h"

#include <mutex>

namespace kestralune {

// A wall clock that tests set and advance by hand. Thread-safe: the block server reads it
// on its own queue while the test thread moves it.
class SettableClock final : public Clock {
  public:
    // Starts at a fixed, arbitrary moment so results never depend on the real date.
    SettableClock();
    explicit SettableClock(WallClockTime start) : current(start) {}

    WallClockTime now() const override;
    void set(WallClockTime time);
    void advance(double seconds);

  private:
    mutable std::mutex mutex;
    WallClockTime current;
};

}  // namespace kestralune
