#include "platform/linux/asio_run_loop.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>

namespace kestralune {

namespace {

using SteadyClock = std::chrono::steady_clock;

// NSTimer's floor for non-positive intervals (0.1 ms), which also keeps a repeating
// timer from spinning.
constexpr double kMinimumInterval = 0.0001;

// About 31 years: far beyond any session, and far from the nanosecond count's overflow
// (a duration of 2^31 minutes would otherwise be undefined behaviour).
constexpr double kMaximumInterval = 1e9;

SteadyClock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<SteadyClock::duration>(
        std::chrono::duration<double>(std::clamp(seconds, 0.0, kMaximumInterval)));
}

class AsioTimer final : public Timer, public std::enable_shared_from_this<AsioTimer> {
  public:
    AsioTimer(asio::io_context& context, double interval, bool repeats, std::function<void()> block)
        : timer(context),
          interval(toDuration(std::max(interval, kMinimumInterval))),
          repeats(repeats),
          block(std::move(block)) {}

    void arm(SteadyClock::time_point due) {
        scheduled = due;
        timer.expires_at(due);
        // The pending wait keeps the timer alive while it is scheduled.
        timer.async_wait(
            [self = shared_from_this()](const asio::error_code& error) { self->fire(error); });
    }

    void invalidate() override {
        if (!valid) {
            return;
        }
        valid = false;
        timer.cancel();
        // Dropping the block releases whatever it captured, as NSTimer does.
        block = nullptr;
    }

    bool isValid() const override { return valid; }

    SteadyClock::duration period() const { return interval; }

  private:
    void fire(const asio::error_code& error) {
        if (error || !valid) {
            return;
        }
        auto run = block;  // the block may invalidate this timer
        if (repeats) {
            arm(nextDue(SteadyClock::now()));
        } else {
            valid = false;
            block = nullptr;
        }
        run();
    }

    // The next tick after the one that fired, skipping ticks already in the past.
    SteadyClock::time_point nextDue(SteadyClock::time_point now) const {
        auto next = scheduled + interval;
        if (next <= now) {
            next += interval * ((now - next) / interval + 1);
        }
        return next;
    }

    asio::steady_timer timer;
    SteadyClock::duration interval;
    bool repeats;
    std::function<void()> block;
    SteadyClock::time_point scheduled;
    bool valid = true;
};

}  // namespace

AsioRunLoop::AsioRunLoop() : idleGuard(context.get_executor()), systemClock(makeSystemClock()) {}

AsioRunLoop::~AsioRunLoop() = default;

std::shared_ptr<Timer> AsioRunLoop::scheduleTimer(double interval, bool repeats,
                                                  std::function<void()> block) {
    auto timer = std::make_shared<AsioTimer>(context, interval, repeats, std::move(block));
    timer->arm(SteadyClock::now() + timer->period());
    return timer;
}

void AsioRunLoop::async(std::function<void()> work) {
    asio::post(context, std::move(work));
}

void AsioRunLoop::asyncAfter(double delay, std::function<void()> work) {
    auto timer = std::make_shared<asio::steady_timer>(context, toDuration(delay));
    timer->async_wait([timer, work = std::move(work)](const asio::error_code& error) {
        if (!error) {
            work();
        }
    });
}

void AsioRunLoop::run() {
    context.run();
    context.restart();
}

bool AsioRunLoop::runUntil(const std::function<bool()>& done, double timeoutSeconds) {
    const auto deadline = SteadyClock::now() + toDuration(timeoutSeconds);
    while (!done()) {
        const auto now = SteadyClock::now();
        if (now >= deadline) {
            return false;
        }
        context.run_one_for(deadline - now);
        if (context.stopped()) {
            context.restart();
            return done();
        }
    }
    return true;
}

void AsioRunLoop::stop() {
    context.stop();
}

}  // namespace kestralune
