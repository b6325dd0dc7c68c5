#include "channel/in_process_messenger.h"

#include <memory>
#include <utility>

namespace kestralune {

void InProcessMessenger::send(std::string_view channel, ByteBuffer message,
                              BinaryReplyHandler reply) {
    sent.push_back(SentMessage{std::string(channel), std::move(message)});
    if (reply) {
        reply({});
    }
}

void InProcessMessenger::setMessageHandler(std::string_view channel, BinaryMessageHandler handler) {
    if (handler) {
        handlers.insert_or_assign(std::string(channel), std::move(handler));
    } else if (auto found = handlers.find(channel); found != handlers.end()) {
        handlers.erase(found);
    }
}

void InProcessMessenger::deliver(std::string_view channel, ByteView message,
                                 BinaryReplyHandler reply) {
    auto found = handlers.find(channel);
    if (found == handlers.end()) {
        if (reply) {
            reply({});
        }
        return;
    }
    // A copy, so the handler may replace or remove itself while it runs.
    BinaryMessageHandler handler = found->second;
    handler(message, [reply = std::move(reply)](ByteBuffer answer) {
        if (reply) {
            reply(answer);
        }
    });
}

void InProcessMessenger::callMethod(std::string_view channel, const MethodCall& call,
                                    std::function<void(MethodReply reply)> onReply) {
    deliver(channel, encodeMethodCall(call), [onReply = std::move(onReply)](ByteView bytes) {
        auto reply = decodeReply(bytes);
        if (!reply) {
            onReply(MethodError{"invalid_reply", reply.error().message, {}});
            return;
        }
        onReply(std::move(reply).value());
    });
}

std::optional<MethodReply> InProcessMessenger::callMethodNow(std::string_view channel,
                                                             const std::string& method,
                                                             EncodableValue arguments) {
    // Shared, because a late answer arrives after this call has returned.
    auto answer = std::make_shared<std::optional<MethodReply>>();
    callMethod(channel, MethodCall{method, std::move(arguments)},
               [answer](MethodReply reply) { *answer = std::move(reply); });
    return std::move(*answer);
}

bool InProcessMessenger::hasHandler(std::string_view channel) const {
    return handlers.find(channel) != handlers.end();
}

std::vector<InProcessMessenger::SentCall> InProcessMessenger::sentCalls() const {
    std::vector<SentCall> calls;
    for (const auto& message : sent) {
        if (auto call = decodeMethodCall(message.message)) {
            calls.push_back(SentCall{message.channel, std::move(call).value()});
        }
    }
    return calls;
}

}  // namespace kestralune
