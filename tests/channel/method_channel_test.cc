#include "channel/method_channel.h"
#include "channel/in_process_messenger.h"
#include "platform/log.h"

#include <gtest/gtest.h>

namespace kestralune {
namespace {

using V = EncodableValue;
using Replies = std::vector<MethodReply>;

// Each caller gets exactly one answer: the one given, or no_reply from a result destroyed or
// overwritten unanswered; a moved-from result stays silent.
TEST(MethodResultTest, AnswersEachCallerExactlyOnce) {
    Replies replies;
    Replies second;
    auto sink = [](Replies& to) {
        return [&to](MethodReply reply) { to.push_back(std::move(reply)); };
    };
    MethodResult(sink(replies)).success(V(3));
    MethodResult(sink(replies)).error("bad", "Bad.", V(true));
    MethodResult(sink(replies)).notImplemented();
    { MethodResult unanswered(sink(replies)); }
    {
        MethodResult moved(sink(replies));
        MethodResult target(sink(second));
        target = MethodResult(std::move(moved));
        target.success(V("late"));
    }
    const MethodReply noReply =
        MethodError{MethodResult::kNoReplyErrorCode, MethodResult::kNoReplyErrorMessage, {}};
    EXPECT_EQ(replies, (Replies{MethodSuccess{V(3)}, MethodError{"bad", "Bad.", V(true)},
                                MethodNotImplemented{}, noReply, MethodSuccess{V("late")}}));
    EXPECT_EQ(second, Replies{noReply});
}

struct MethodChannelTest : ::testing::Test {
    InProcessMessenger messenger;
    MethodChannel channel{messenger, "orrindale/blocking"};
};

// The handler sees the decoded call and may answer later, through the codec; other channels
// and undecodable calls are not implemented.
TEST_F(MethodChannelTest, HandlerSeesTheCallAndMayAnswerLater) {
    const MethodCall call{"getBlockedAttemptCount", V(EncodableList{V(1)})};
    std::optional<MethodResult> kept;
    channel.setMethodCallHandler([&](const MethodCall& received, MethodResult result) {
        EXPECT_EQ(received, call);
        kept.emplace(std::move(result));
    });
    Replies replies;
    messenger.callMethod("orrindale/blocking", call,
                         [&](MethodReply reply) { replies.push_back(std::move(reply)); });
    EXPECT_TRUE(replies.empty());
    kept->success(V(EncodableMap{{V("count"), V(4)}}));
    EXPECT_EQ(replies, Replies{MethodSuccess{V(EncodableMap{{V("count"), V(4)}})}});
    EXPECT_EQ(messenger.callMethodNow("other/channel", "x"), MethodReply(MethodNotImplemented{}));
    // Bytes that are not a method call are answered not implemented and logged, never handed on.
    std::vector<std::string> lines;
    auto previous = setLogSink([&lines](std::string_view line) { lines.emplace_back(line); });
    std::optional<ByteBuffer> reply;
    messenger.deliver("orrindale/blocking", ByteBuffer{0x03, 0x01},
                      [&reply](ByteView bytes) { reply.emplace(bytes.begin(), bytes.end()); });
    setLogSink(previous);
    EXPECT_EQ(reply, ByteBuffer());
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_FALSE(kept->isPending());  // the handler was not called again
}

// A handler may replace itself while it runs; once cleared, calls are not implemented.
TEST_F(MethodChannelTest, HandlerMayReplaceOrClearItself) {
    channel.setMethodCallHandler([this](const MethodCall&, MethodResult result) {
        channel.setMethodCallHandler(
            [](const MethodCall&, MethodResult later) { later.success(V(2)); });
        result.success(V(1));
    });
    EXPECT_EQ(messenger.callMethodNow("orrindale/blocking", "x"), MethodReply(MethodSuccess{V(1)}));
    EXPECT_EQ(messenger.callMethodNow("orrindale/blocking", "x"), MethodReply(MethodSuccess{V(2)}));
    channel.setMethodCallHandler({});
    EXPECT_EQ(messenger.callMethodNow("orrindale/blocking", "x"),
              MethodReply(MethodNotImplemented{}));
}

}  // namespace
}  // namespace kestralune
