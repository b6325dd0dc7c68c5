#include "channel/method_channel.h"

#include "channel/standard_codec.h"
#include "platform/log.h"

#include <utility>

namespace kestralune {

MethodChannel::MethodChannel(BinaryMessenger& messenger, std::string name)
    : messenger(messenger), channelName(std::move(name)) {}

void MethodChannel::setMethodCallHandler(MethodCallHandler handler) {
    if (!handler) {
        messenger.setMessageHandler(channelName, {});
        return;
    }
    messenger.setMessageHandler(channelName, [name = channelName, handler = std::move(handler)](
                                                 ByteView message, BinaryReply reply) {
        auto call = decodeMethodCall(message);
        if (!call) {
            logLine("Kestralune channel: undecodable method call on " + name + ": " +
                    call.error().message);
            reply({});
            return;
        }
        handler(*call, MethodResult([reply = std::move(reply)](MethodReply answer) {
            reply(encodeReply(answer));
        }));
    });
}

void MethodChannel::invokeMethod(const std::string& method, EncodableValue arguments) {
    messenger.send(channelName, encodeMethodCall(MethodCall{method, std::move(arguments)}));
}

}  // namespace kestralune
