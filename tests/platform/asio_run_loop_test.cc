// A bounded smoke test of the real loop: timer logic itself is tested on virtual time.
#include "platform/linux/asio_run_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace kestralune {
namespace {

constexpr double kGenerousTimeout = 10.0;

TEST(AsioRunLoopTest, TimersAndQueuedWorkRunOnTheLoop) {
    // Fails if timers do not fire, repeat, stop on invalidate, or queued work is lost.
    AsioRunLoop loop;
    std::string order;
    int ticks = 0;
    std::shared_ptr<Timer> repeating;
    repeating = loop.scheduleTimer(0.005, true, [&] {
        if (++ticks == 3) {
            repeating->invalidate();
        }
    });
    auto once = loop.scheduleTimer(0.001, false, [&] { order += "t"; });
    auto cancelled = loop.scheduleTimer(0.001, false, [&] { order += "x"; });
    cancelled->invalidate();
    loop.asyncAfter(0.002, [&] { order += "d"; });
    loop.async([&] { order += "a"; });

    EXPECT_TRUE(loop.runUntil([&] { return ticks == 3 && order.size() == 3; }, kGenerousTimeout));
    EXPECT_EQ(order.substr(0, 1), "a");
    EXPECT_EQ(order.find('x'), std::string::npos);
    EXPECT_FALSE(once->isValid());
    EXPECT_FALSE(repeating->isValid());
}

TEST(AsioRunLoopTest, WorkPostedFromAnotherThreadRunsOnTheLoopThreadAndStopEndsRun) {
    // Fails if async is not thread-safe or stop() from another thread does not end run().
    AsioRunLoop loop;
    std::thread::id ranOn;
    std::thread stopper;
    std::thread poster([&] {
        loop.async([&] {
            ranOn = std::this_thread::get_id();
            stopper = std::thread([&] { loop.stop(); });
        });
    });
    loop.run();
    poster.join();
    stopper.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(AsioRunLoopTest, StopBeforeRunMakesRunReturnAndTheLoopRunsAgainAfterwards) {
    // Fails if a stop that arrives early (a signal during start-up) is lost, or sticks.
    AsioRunLoop loop;
    loop.stop();
    loop.run();
    bool ran = false;
    loop.async([&] { ran = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ran; }, kGenerousTimeout));
}

}  // namespace
}  // namespace kestralune
