#include "platform/serial_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace kestralune {
namespace {

// Work posted with async must run in the order it was posted, and a later sync must see
// all of it: the engine relies on this to read counts after its commands.
TEST(SerialQueueTest, SyncSeesEveryEarlierAsyncInOrder) {
    SerialQueue queue("test.queue");
    std::vector<int> seen;  // touched only on the queue
    for (int i = 0; i < 1000; ++i) {
        queue.async([&seen, i] { seen.push_back(i); });
    }
    const auto snapshot = queue.sync([&seen] { return seen; });
    ASSERT_EQ(snapshot.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(snapshot[i], i);
    }
}

TEST(SerialQueueTest, WorkRunsOnTheQueueThreadOnly) {
    SerialQueue queue("test.queue");
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_TRUE(queue.sync([&queue] { return queue.isCurrent(); }));
}

// Destroying a queue with work still pending must return rather than wait for work that
// will never run; a fault shows as a hang (and the test's time-out).
TEST(SerialQueueTest, DestructionWithPendingWorkReturns) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("test.queue");
        for (int i = 0; i < 100; ++i) {
            queue.async([&ran] { ran.fetch_add(1); });
        }
    }
}

}  // namespace
}  // namespace kestralune
