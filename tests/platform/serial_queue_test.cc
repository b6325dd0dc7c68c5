#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <numeric>
#include <vector>

namespace kestralune {
namespace {

// Work runs on the queue's thread in the order it was posted, and a later sync sees all of
// it: the engine reads counts after its commands. Destroying a queue with work pending
// returns instead of waiting (a fault shows as a hang and the test's time-out).
TEST(SerialQueueTest, SyncSeesEveryEarlierAsyncInOrderOnTheQueueThread) {
    std::vector<int> expected(1000);
    std::iota(expected.begin(), expected.end(), 0);
    SerialQueue queue("test.queue");
    std::vector<int> seen;  // touched only on the queue
    for (int i : expected) {
        queue.async([&seen, &queue, i] { seen.push_back(queue.isCurrent() ? i : -1); });
    }
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_EQ(queue.sync([&seen] { return seen; }), expected);
    {
        SerialQueue pending("test.pending");
        for (int i = 0; i < 100; ++i) {
            pending.async([] {});
        }
    }
}

}  // namespace
}  // namespace kestralune
