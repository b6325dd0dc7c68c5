#pragma once

#include "platform/clock.h"

#include <functional>
#include <memory>

namespace kestralune {

// A scheduled timer (NSTimer). The run loop keeps it alive until it is invalidated or,
// for a one-shot timer, until it has fired; invalidating is idempotent.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
};

// The main run loop: the thread on which the host, the engine and every timer run.
// scheduleTimer and asyncAfter are main-thread only; async may be called from any thread.
// Blocks that may outlive their owner capture it weakly (see weakBlock below).
class RunLoop {
  public:
    virtual ~RunLoop() = default;

    // Runs `block` after `interval` seconds and then, when `repeats`, every `interval`
    // seconds until the timer is invalidated.
    virtual std::shared_ptr<Timer> scheduleTimer(double interval, bool repeats,
                                                 std::function<void()> block) = 0;
    // Runs `work` on the main thread on a later turn of the loop.
    virtual void async(std::function<void()> work) = 0;
    // Runs `work` on the main thread `delay` seconds from now.
    virtual void asyncAfter(double delay, std::function<void()> work) = 0;

    // The wall clock that goes with this loop (virtual time follows it in tests).
    virtual const Clock& clock() const = 0;
};

// Wraps a member call so that it does nothing once the target is gone.
template <class T, class F>
std::function<void()> weakBlock(const std::shared_ptr<T>& target, F call) {
    return [weak = std::weak_ptr<T>(target), call]() {
        if (auto strong = weak.lock()) {
            call(*strong);
        }
    };
}

}  // namespace kestralune
