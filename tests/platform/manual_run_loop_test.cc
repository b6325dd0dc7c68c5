#include "platform/testing/manual_run_loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kestralune {
namespace {

TEST(ManualRunLoopTest, TimerFiresOnlyOnceItsIntervalHasPassed) {
    // Fails if a timer runs early or rounding makes it miss its tick.
    ManualRunLoop loop;
    int fired = 0;
    auto timer = loop.scheduleTimer(0.25, false, [&] { ++fired; });
    loop.advance(0.249);
    EXPECT_EQ(fired, 0);
    loop.advance(0.001);
    EXPECT_EQ(fired, 1);
}

TEST(ManualRunLoopTest, RepeatingTimerTicksEveryIntervalWithoutDrift) {
    // Fails if ticks are re-armed from the wrong time or skipped inside one advance.
    ManualRunLoop loop;
    std::vector<double> ticks;
    auto timer = loop.scheduleTimer(0.25, true, [&] { ticks.push_back(loop.now()); });
    loop.advance(1.0);
    ASSERT_EQ(ticks.size(), 4u);
    EXPECT_DOUBLE_EQ(ticks[0], 0.25);
    EXPECT_DOUBLE_EQ(ticks[3], 1.0);
    for (int step = 0; step < 40; ++step) {
        loop.advance(0.25);
    }
    EXPECT_EQ(ticks.size(), 44u);
    EXPECT_TRUE(timer->isValid());
}

TEST(ManualRunLoopTest, TimerInvalidatedInsideItsOwnBlockNeverFiresAgain) {
    // Fails if the next tick was already queued and ignores the invalidation.
    ManualRunLoop loop;
    int fired = 0;
    std::shared_ptr<Timer> timer;
    timer = loop.scheduleTimer(0.25, true, [&] {
        if (++fired == 2) {
            timer->invalidate();
        }
    });
    loop.advance(5.0);
    EXPECT_EQ(fired, 2);
    EXPECT_FALSE(timer->isValid());
    EXPECT_EQ(loop.pendingCount(), 0u);
}

TEST(ManualRunLoopTest, OneShotTimerIsInvalidAfterFiring) {
    // Fails if a one-shot timer reports itself valid (the engine would think it pending).
    ManualRunLoop loop;
    int fired = 0;
    auto timer = loop.scheduleTimer(1.0, false, [&] { ++fired; });
    EXPECT_TRUE(timer->isValid());
    loop.advance(10.0);
    EXPECT_EQ(fired, 1);
    EXPECT_FALSE(timer->isValid());
}

// A zero interval must not spin in place: like NSTimer it becomes 0.1 ms.
TEST(ManualRunLoopTest, NonPositiveIntervalRepeatsAtTheMinimumInsteadOfSpinning) {
    ManualRunLoop loop;
    int ticks = 0;
    auto timer = loop.scheduleTimer(0, true, [&ticks] { ++ticks; });
    loop.advance(0.001);
    EXPECT_EQ(ticks, 10);
    timer->invalidate();
}

TEST(ManualRunLoopTest, InvalidatedTimerNeverFires) {
    // Fails if invalidate() leaves the queued firing live.
    ManualRunLoop loop;
    int fired = 0;
    auto timer = loop.scheduleTimer(0.25, true, [&] { ++fired; });
    timer->invalidate();
    timer->invalidate();  // idempotent
    loop.advance(2.0);
    EXPECT_EQ(fired, 0);
}

TEST(ManualRunLoopTest, AsyncWorkRunsInOrderIncludingWorkItQueues) {
    // Fails if queued work runs synchronously, out of order, or is left behind.
    ManualRunLoop loop;
    std::string order;
    loop.async([&] {
        order += "a";
        loop.async([&] { order += "d"; });
    });
    loop.async([&] { order += "b"; });
    loop.asyncAfter(0, [&] { order += "c"; });
    loop.asyncAfter(-1, [&] { order += "!"; });
    EXPECT_EQ(order, "");
    loop.runUntilIdle();
    EXPECT_EQ(order, "abc!d");
    EXPECT_DOUBLE_EQ(loop.now(), 0.0);
}

TEST(ManualRunLoopTest, DelayedWorkAndTimersDueTogetherRunInSchedulingOrder) {
    // Fails if ties are broken by anything but the order of scheduling.
    ManualRunLoop loop;
    std::string order;
    loop.asyncAfter(0.15, [&] { order += "1"; });
    auto timer = loop.scheduleTimer(0.15, false, [&] { order += "2"; });
    loop.asyncAfter(0.1, [&] { order += "0"; });
    loop.advance(0.15);
    EXPECT_EQ(order, "012");
}

TEST(ManualRunLoopTest, ClockFollowsVirtualTimeInsideAndAfterBlocks) {
    // Fails if cooldowns measured on the clock see a different time from the timers.
    ManualRunLoop loop;
    const WallClockTime start = loop.clock().now();
    double seenInBlock = -1;
    auto timer = loop.scheduleTimer(
        0.25, false, [&] { seenInBlock = secondsBetween(start, loop.clock().now()); });
    loop.advance(1.5);
    EXPECT_DOUBLE_EQ(seenInBlock, 0.25);
    EXPECT_DOUBLE_EQ(secondsBetween(start, loop.clock().now()), 1.5);
}

TEST(ManualRunLoopTest, WeakBlockDoesNothingOnceItsTargetIsGone) {
    // Fails if a timer keeps its owner alive or calls into a destroyed owner.
    struct Owner {
        int ticks = 0;
    };
    ManualRunLoop loop;
    auto owner = std::make_shared<Owner>();
    std::weak_ptr<Owner> watch = owner;
    auto timer = loop.scheduleTimer(0.25, true, weakBlock(owner, [](Owner& o) { ++o.ticks; }));
    loop.advance(0.25);
    EXPECT_EQ(owner->ticks, 1);
    owner.reset();
    EXPECT_TRUE(watch.expired());
    loop.advance(1.0);  // must not touch the freed owner
    EXPECT_TRUE(timer->isValid());
}

}  // namespace
}  // namespace kestralune
