#include "platform/testing/manual_run_loop.h"

#include <algorithm>
#include <cassert>

namespace kestralune {

namespace {

class ManualTimer final : public Timer {
  public:
    ManualTimer(double interval, bool repeats, std::function<void()> block)
        : interval(interval), repeats(repeats), block(std::move(block)) {}

    void invalidate() override { valid = false; }
    bool isValid() const override { return valid; }

    double interval;
    bool repeats;
    std::function<void()> block;
    bool valid = true;
};

}  // namespace

std::shared_ptr<Timer> ManualRunLoop::scheduleTimer(double interval, bool repeats,
                                                    std::function<void()> block) {
    // As with NSTimer, a non-positive interval means 0.1 ms (and never a loop that spins
    // in place).
    constexpr double kMinimumInterval = 0.0001;
    auto timer = std::make_shared<ManualTimer>(std::max(interval, kMinimumInterval), repeats,
                                               std::move(block));
    // The loop holds the timer until it is invalidated or has fired for the last time.
    struct Firing {
        static void schedule(ManualRunLoop& loop, std::shared_ptr<ManualTimer> timer, double due) {
            loop.enqueue(due, [&loop, timer, due]() {
                if (!timer->valid) {
                    return;
                }
                if (timer->repeats) {
                    schedule(loop, timer, due + timer->interval);
                } else {
                    timer->valid = false;
                }
                auto block = timer->block;  // the block may invalidate the timer
                block();
            });
        }
    };
    Firing::schedule(*this, timer, virtualNow + timer->interval);
    return timer;
}

void ManualRunLoop::async(std::function<void()> work) {
    enqueue(virtualNow, std::move(work));
}

void ManualRunLoop::asyncAfter(double delay, std::function<void()> work) {
    enqueue(virtualNow + (delay > 0 ? delay : 0), std::move(work));
}

void ManualRunLoop::enqueue(double due, std::function<void()> work) {
    queue.emplace(std::make_pair(due, nextSequence++), Entry{std::move(work)});
}

void ManualRunLoop::advance(double seconds) {
    assert(seconds >= 0);
    const double target = virtualNow + seconds;
    // A tiny tolerance so 0.25 + 0.25 + ... lands on the tick it is meant to.
    constexpr double kEpsilon = 1e-9;
    while (!queue.empty() && queue.begin()->first.first <= target + kEpsilon) {
        auto node = queue.extract(queue.begin());
        const double due = node.key().first;
        if (due > virtualNow) {
            wallClock.advance(due - virtualNow);
            virtualNow = due;
        }
        node.mapped().work();
    }
    if (target > virtualNow) {
        wallClock.advance(target - virtualNow);
        virtualNow = target;
    }
}

}  // namespace kestralune
