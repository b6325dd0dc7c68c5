#include "channel/method_channel.h"
#include "channel/in_process_messenger.h"
#include "channel/method_result.h"
#include "channel/standard_codec.h"
#include "platform/log.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestralune {
namespace {

struct RecordingSink {
    std::vector<MethodReply> replies;
    MethodResult::Sink sink() {
        return [this](MethodReply reply) { replies.push_back(std::move(reply)); };
    }
};

// Each answer kind must reach the sink exactly once, unchanged.
TEST(MethodResultTest, DeliversEachAnswerKindOnce) {
    struct Row {
        const char* name;
        void (*answer)(MethodResult&);
        MethodReply expected;
    };
    const std::vector<Row> rows = {
        {"success", [](MethodResult& r) { r.success(EncodableValue(3)); },
         MethodSuccess{EncodableValue(3)}},
        {"success without value", [](MethodResult& r) { r.success(); }, MethodSuccess{}},
        {"error", [](MethodResult& r) { r.error("bad", "Bad.", EncodableValue(true)); },
         MethodError{"bad", "Bad.", EncodableValue(true)}},
        {"not implemented", [](MethodResult& r) { r.notImplemented(); }, MethodNotImplemented{}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        RecordingSink recorder;
        {
            MethodResult result(recorder.sink());
            EXPECT_TRUE(result.isPending());
            row.answer(result);
            EXPECT_FALSE(result.isPending());
        }
        ASSERT_EQ(recorder.replies.size(), 1u);
        EXPECT_EQ(recorder.replies[0], row.expected);
    }
}

// A handler that forgets to answer must not leave the caller waiting forever.
TEST(MethodResultTest, RepliesNoReplyErrorWhenDestroyedUnanswered) {
    RecordingSink recorder;
    { MethodResult result(recorder.sink()); }
    ASSERT_EQ(recorder.replies.size(), 1u);
    const auto* error = std::get_if<MethodError>(&recorder.replies[0]);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, MethodResult::kNoReplyErrorCode);
}

// Moving must hand over the one answer: the moved-from result stays silent, and a result
// overwritten while unanswered answers its own caller before taking the new one.
TEST(MethodResultTest, MovingTransfersTheSingleAnswer) {
    RecordingSink first;
    RecordingSink second;
    {
        MethodResult a(first.sink());
        MethodResult b(std::move(a));
        EXPECT_FALSE(
            a.isPending());  // NOLINT(bugprone-use-after-move): checking the moved-from state
        MethodResult c(second.sink());
        c = std::move(b);
        ASSERT_EQ(second.replies.size(), 1u);  // the overwritten result answered no_reply
        c.success(EncodableValue("late"));
    }
    ASSERT_EQ(first.replies.size(), 1u);
    EXPECT_EQ(first.replies[0], MethodReply(MethodSuccess{EncodableValue("late")}));
    EXPECT_EQ(second.replies.size(), 1u);
}

#ifndef NDEBUG
// A second answer is a programmer error and must be caught in debug builds.
TEST(MethodResultDeathTest, SecondAnswerAsserts) {
    EXPECT_DEATH(
        {
            MethodResult result([](MethodReply) {});
            result.success();
            result.notImplemented();
        },
        "exactly once");
}
#endif

class MethodChannelTest : public ::testing::Test {
  protected:
    InProcessMessenger messenger;
    MethodChannel channel{messenger, "orrindale/blocking"};
};

// The handler sees the decoded call and its answer comes back through the codec; a channel
// that skipped encoding or mixed up channels breaks this.
TEST_F(MethodChannelTest, HandlerReceivesCallAndRepliesThroughTheCodec) {
    std::optional<MethodCall> seen;
    channel.setMethodCallHandler([&seen](const MethodCall& call, MethodResult result) {
        seen = call;
        result.success(EncodableValue(EncodableMap{{EncodableValue("count"), EncodableValue(4)}}));
    });
    auto reply = messenger.callMethodNow("orrindale/blocking", "getBlockedAttemptCount",
                                         EncodableValue(EncodableList{EncodableValue(1)}));
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->method, "getBlockedAttemptCount");
    EXPECT_EQ(seen->arguments, EncodableValue(EncodableList{EncodableValue(1)}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, MethodReply(MethodSuccess{EncodableValue(
                          EncodableMap{{EncodableValue("count"), EncodableValue(4)}})}));

    EXPECT_EQ(messenger.callMethodNow("other/channel", "x"), MethodReply(MethodNotImplemented{}));
}

// A handler that keeps the result and answers later must still reach the caller once.
TEST_F(MethodChannelTest, DeferredAnswerArrivesLater) {
    std::optional<MethodResult> kept;
    channel.setMethodCallHandler(
        [&kept](const MethodCall&, MethodResult result) { kept.emplace(std::move(result)); });
    std::vector<MethodReply> replies;
    messenger.callMethod("orrindale/blocking", {"requestNotificationPermission", {}},
                         [&replies](MethodReply reply) { replies.push_back(std::move(reply)); });
    EXPECT_TRUE(replies.empty());
    kept->error("denied", "No.");
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0], MethodReply(MethodError{"denied", "No.", {}}));
}

// Bytes that are not a method call must be answered (not implemented) and logged, never
// handed to the handler.
TEST_F(MethodChannelTest, UndecodableCallIsAnsweredNotImplemented) {
    std::vector<std::string> lines;
    auto previous = setLogSink([&lines](std::string_view line) { lines.emplace_back(line); });
    bool called = false;
    channel.setMethodCallHandler([&called](const MethodCall&, MethodResult) { called = true; });
    std::optional<ByteBuffer> reply;
    const ByteBuffer garbage{0x03, 0x01};
    messenger.deliver("orrindale/blocking", garbage,
                      [&reply](ByteView bytes) { reply.emplace(bytes.begin(), bytes.end()); });
    setLogSink(previous);
    EXPECT_FALSE(called);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->empty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("orrindale/blocking"), std::string::npos);
}

// Removing the handler must make later calls not implemented.
TEST_F(MethodChannelTest, ClearedHandlerLeavesCallsUnanswered) {
    channel.setMethodCallHandler([](const MethodCall&, MethodResult result) { result.success(); });
    ASSERT_TRUE(messenger.hasHandler("orrindale/blocking"));
    channel.setMethodCallHandler({});
    EXPECT_FALSE(messenger.hasHandler("orrindale/blocking"));
    EXPECT_EQ(messenger.callMethodNow("orrindale/blocking", "x"),
              MethodReply(MethodNotImplemented{}));
}

// Outgoing calls are recorded in order with their channel and decoded arguments.
TEST_F(MethodChannelTest, InvokeMethodIsRecordedAsSent) {
    MethodChannel updater(messenger, "kestralune/updater");
    channel.invokeMethod("menuBarAction", EncodableValue("websites"));
    updater.invokeMethod("statusChanged");
    auto calls = messenger.sentCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].channel, "orrindale/blocking");
    EXPECT_EQ(calls[0].call, (MethodCall{"menuBarAction", EncodableValue("websites")}));
    EXPECT_EQ(calls[1].channel, "kestralune/updater");
    EXPECT_EQ(calls[1].call, (MethodCall{"statusChanged", {}}));
    EXPECT_EQ(messenger.sentMessages()[0].message,
              encodeMethodCall({"menuBarAction", EncodableValue("websites")}));
}

// A handler may replace itself while it runs without invalidating the running call.
TEST_F(MethodChannelTest, HandlerMayReplaceItselfWhileRunning) {
    channel.setMethodCallHandler([this](const MethodCall&, MethodResult result) {
        channel.setMethodCallHandler(
            [](const MethodCall&, MethodResult later) { later.success(EncodableValue(2)); });
        result.success(EncodableValue(1));
    });
    EXPECT_EQ(messenger.callMethodNow("orrindale/blocking", "x"),
              MethodReply(MethodSuccess{EncodableValue(1)}));
    EXPECT_EQ(messenger.callMethodNow("orrindale/blocking", "x"),
              MethodReply(MethodSuccess{EncodableValue(2)}));
}

}  // namespace
}  // namespace kestralune
