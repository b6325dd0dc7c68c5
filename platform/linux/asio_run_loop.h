#pragma once

#include "platform/run_loop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <functional>
#include <memory>

namespace kestralune {

// The main run loop of a real process: one asio::io_context on the thread that calls run().
// Timers follow NSTimer: a repeating timer is re-armed from its scheduled time, not from
// when its block ran, so it does not drift; ticks missed while the thread was busy are
// skipped rather than run in a burst.
//
// Lifetime: the loop must outlive every timer it returned and everything that posts to
// it (timers hold an asio timer bound to the loop's io_context).
// Thread safety: async() and stop() may be called from any thread; everything else is
// main-thread only (the thread running run()).
class AsioRunLoop final : public RunLoop {
  public:
    AsioRunLoop();
    ~AsioRunLoop() override;
    AsioRunLoop(const AsioRunLoop&) = delete;
    AsioRunLoop& operator=(const AsioRunLoop&) = delete;

    std::shared_ptr<Timer> scheduleTimer(double interval, bool repeats,
                                         std::function<void()> block) override;
    void async(std::function<void()> work) override;
    void asyncAfter(double delay, std::function<void()> work) override;
    const Clock& clock() const override { return *systemClock; }

    // Runs the loop on the calling thread until stop(). A stop() that arrives before
    // run() makes run() return at once; the loop can be run again afterwards.
    void run();
    // Runs the loop until `done` returns true (checked after every handler) or
    // `timeoutSeconds` have passed; returns whether `done` became true. For bounded waits
    // on real events (child processes, sockets) in integration tests and tools.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
    // Makes run() return after the handler that is running now.
    void stop();

    // For transports that put their own sockets on the main thread.
    asio::io_context& ioContext() { return context; }

  private:
    // Run by one thread: asio then keeps handlers posted from that thread in a queue of its
    // own, without the lock other threads' posts take.
    asio::io_context context{1};
    // Keeps run() going while nothing is scheduled.
    asio::executor_work_guard<asio::io_context::executor_type> idleGuard;
    std::shared_ptr<Clock> systemClock;
};

}  // namespace kestralune
