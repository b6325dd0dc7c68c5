// Exact firing times are checked where they matter, by the engine's and the menu's tests on
// this loop; here, what those tests would not notice.
#include "platform/testing/manual_run_loop.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace kestralune {
namespace {

// Fails if queued work runs synchronously or out of order, if ties between delayed work and
// timers are broken by anything but the order of scheduling, if invalidate() leaves a queued
// firing live (also from inside the timer's own block), or if a zero interval spins in place
// instead of repeating at 0.1 ms as NSTimer does.
TEST(ManualRunLoopTest, WorkAndTimersRunInSchedulingOrderUntilInvalidated) {
    ManualRunLoop loop;
    std::string order;
    loop.async([&] {
        order += "a";
        loop.async([&] { order += "d"; });
    });
    loop.async([&] { order += "b"; });
    loop.asyncAfter(-1, [&] { order += "c"; });
    loop.asyncAfter(0.15, [&] { order += "1"; });
    std::shared_ptr<Timer> timer = loop.scheduleTimer(0.15, true, [&] {
        order += "2";
        timer->invalidate();
    });
    loop.asyncAfter(0.1, [&] { order += "0"; });
    loop.scheduleTimer(0.15, true, [&] { order += "x"; })->invalidate();
    EXPECT_EQ(order, "");
    loop.runUntilIdle();
    EXPECT_EQ(order, "abcd");
    int zeroTicks = 0;
    auto zero = loop.scheduleTimer(0, true, [&] { ++zeroTicks; });
    loop.advance(0.001);
    zero->invalidate();
    loop.advance(5);
    EXPECT_EQ(order, "abcd012");
    EXPECT_EQ(zeroTicks, 10);
    EXPECT_EQ(loop.pendingCount(), 0u);
}

// Fails if the clock disagrees with the timers (cooldowns), or a weak block keeps its owner
// alive or calls into it once it is gone.
TEST(ManualRunLoopTest, ClockFollowsVirtualTimeAndWeakBlocksOutliveNothing) {
    ManualRunLoop loop;
    const WallClockTime start = loop.clock().now();
    auto seen = std::make_shared<std::vector<double>>();
    std::weak_ptr<std::vector<double>> watch = seen;
    auto timer = loop.scheduleTimer(0.25, true, weakBlock(seen, [&](std::vector<double>& times) {
                                        times.push_back(secondsBetween(start, loop.clock().now()));
                                    }));
    loop.advance(0.25);
    EXPECT_EQ(*seen, std::vector<double>{0.25});
    seen.reset();
    EXPECT_TRUE(watch.expired());
    loop.advance(1.25);
    EXPECT_DOUBLE_EQ(secondsBetween(start, loop.clock().now()), 1.5);
}

}  // namespace
}  // namespace kestralune
