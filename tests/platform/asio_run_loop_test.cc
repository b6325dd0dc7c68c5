// A bounded smoke test of the real loop: timer logic itself is tested on virtual time.
#include "platform/linux/asio_run_loop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace kestralune {
namespace {

// Fails if a stop that came before run() (a signal during start-up) is lost or sticks, if
// timers do not fire, repeat or stop on invalidate, if work posted from another thread runs
// elsewhere than on the loop, or if stop() from another thread does not end run().
TEST(AsioRunLoopTest, TimersAndWorkFromAnyThreadRunOnTheLoop) {
    AsioRunLoop loop;
    loop.stop();
    loop.run();
    int ticks = 0;
    std::shared_ptr<Timer> repeating = loop.scheduleTimer(0.005, true, [&] {
        if (++ticks == 3) {
            repeating->invalidate();
        }
    });
    loop.scheduleTimer(0.001, false, [&] { ticks += 100; })->invalidate();
    std::thread stopper;
    std::thread::id ranOn;
    std::thread([&] {
        loop.async([&] {
            ranOn = std::this_thread::get_id();
            stopper = std::thread([&loop] { loop.stop(); });
        });
    }).join();
    loop.run();
    stopper.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(loop.runUntil([&] { return ticks == 3; }, 10.0));
    EXPECT_FALSE(repeating->isValid());
}

}  // namespace
}  // namespace kestralune
