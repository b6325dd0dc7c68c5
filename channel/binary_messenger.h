#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestralune {

// Answers one incoming message; called at most once. Empty bytes mean "nobody handled it",
// which a method channel reads as not implemented.
using BinaryReply = std::function<void(std::vector<std::uint8_t> reply)>;
// Receives the reply to a sent message. The bytes are valid only during the call.
using BinaryReplyHandler = std::function<void(std::span<const std::uint8_t> reply)>;
// Receives messages from the other side for one channel. `message` is valid only during the
// call; `reply` may be kept and called later.
using BinaryMessageHandler =
    std::function<void(std::span<const std::uint8_t> message, BinaryReply reply)>;

// The host's end of the byte pipe to the UI, one message at a time per named channel.
// Implementations: the socket transport (ChannelServer) and the in-process messenger.
// Main thread only, including every handler and reply call.
class BinaryMessenger {
  public:
    virtual ~BinaryMessenger() = default;

    // Sends `message` to the other side on `channel`. `reply`, when given, runs once with the
    // answer (empty when nobody on the other side answers).
    virtual void send(std::string_view channel, std::vector<std::uint8_t> message,
                      BinaryReplyHandler reply = {}) = 0;

    // Installs the handler for messages arriving on `channel`, replacing any earlier one; an
    // empty handler removes it, after which messages on the channel get an empty reply.
    virtual void setMessageHandler(std::string_view channel, BinaryMessageHandler handler) = 0;
};

}  // namespace kestralune
