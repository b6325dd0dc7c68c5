#include "platform/clock.h"

namespace kestralune {

namespace {

class SystemClock final : public Clock {
  public:
    WallClockTime now() const override { return std::chrono::system_clock::now(); }
};

}  // namespace

std::shared_ptr<Clock> makeSystemClock() {
    static const auto clock = std::make_shared<SystemClock>();
    return clock;
}

}  // namespace kestralune
