#pragma once

#include "platform/run_loop.h"
#include "platform/testing/settable_clock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

namespace kestralune {

// A run loop on virtual time for tests: nothing runs until the test advances it.
// advance(0.249) runs exactly what was due by then, in due order (ties in scheduling
// order); the clock moves with it, so cooldowns measured on the clock see the same time.
// Single-threaded: async() from another thread is a programmer error here.
class ManualRunLoop final : public RunLoop {
  public:
    ManualRunLoop() = default;

    std::shared_ptr<Timer> scheduleTimer(double interval, bool repeats,
                                         std::function<void()> block) override;
    void async(std::function<void()> work) override;
    void asyncAfter(double delay, std::function<void()> work) override;
    const Clock& clock() const override { return wallClock; }

    // Runs everything due within `seconds` of virtual time, moving the clock as it goes.
    void advance(double seconds);
    // Runs work that is due now (async work, zero delays) without moving time.
    void runUntilIdle() { advance(0); }

    double now() const { return virtualNow; }
    SettableClock& settableClock() { return wallClock; }
    // Timers and delayed work still waiting.
    std::size_t pendingCount() const { return queue.size(); }

  private:
    struct Entry {
        std::function<void()> work;
    };
    void enqueue(double due, std::function<void()> work);

    double virtualNow = 0;
    std::uint64_t nextSequence = 0;
    std::map<std::pair<double, std::uint64_t>, Entry> queue;
    SettableClock wallClock;
};

}  // namespace kestralune
