#pragma once

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_result.h"
#include "channel/standard_codec.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// Both ends of the channels inside one process. The host side is the BinaryMessenger; the
// other side (the UI; in tests, the test) delivers calls to the host's handlers and reads
// what the host sent. Everything goes through the codec's bytes, as on the socket.
//
// Nobody answers the host's own sends: a send with a reply handler gets the empty reply
// at once, as a Flutter engine does for a channel the UI does not listen on.
//
// Single-threaded (main thread only).
class InProcessMessenger final : public BinaryMessenger {
  public:
    struct SentMessage {
        std::string channel;
        ByteBuffer message;
    };
    struct SentCall {
        std::string channel;
        MethodCall call;
    };

    InProcessMessenger() = default;
    InProcessMessenger(const InProcessMessenger&) = delete;
    InProcessMessenger& operator=(const InProcessMessenger&) = delete;

    // Host side.
    void send(std::string_view channel, ByteBuffer message, BinaryReplyHandler reply = {}) override;
    void setMessageHandler(std::string_view channel, BinaryMessageHandler handler) override;

    // UI side: hands `message` to the host's handler for `channel` (the empty reply at once
    // when there is none). `reply` runs when the host answers, which may be later.
    void deliver(std::string_view channel, ByteView message, BinaryReplyHandler reply);
    // Calls a method on the host. `onReply` gets the decoded reply; a reply that does not
    // decode arrives as the error "invalid_reply" with the decoder's message.
    void callMethod(std::string_view channel, const MethodCall& call,
                    std::function<void(MethodReply reply)> onReply);
    // The reply when the host answered within the call, otherwise nullopt (answer pending).
    std::optional<MethodReply> callMethodNow(std::string_view channel, const std::string& method,
                                             EncodableValue arguments = {});

    bool hasHandler(std::string_view channel) const;

    // What the host sent, in order.
    const std::vector<SentMessage>& sentMessages() const { return sent; }
    // The host's sends that decode as method calls, in order.
    std::vector<SentCall> sentCalls() const;
    void clearSent() { sent.clear(); }

  private:
    std::map<std::string, BinaryMessageHandler, std::less<>> handlers;
    std::vector<SentMessage> sent;
};

}  // namespace kestralune
