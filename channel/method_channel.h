#pragma once

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_result.h"

#include <functional>
#include <string>

namespace kestralune {

// A named channel of method calls over a messenger, using the standard method codec.
// Several MethodChannel objects may share a name and a messenger (the dispatcher installs the
// handler, the menu and the deep link router only invoke), so none of them owns the handler
// slot: setMethodCallHandler replaces whatever handler the messenger holds for the name.
//
// The messenger must outlive the channel and every handler installed through it.
// Main thread only.
class MethodChannel {
  public:
    // The handler gets each decoded call and the result to answer it with; it may move the
    // result elsewhere and answer later.
    using MethodCallHandler = std::function<void(const MethodCall& call, MethodResult result)>;

    MethodChannel(BinaryMessenger& messenger, std::string name);

    const std::string& name() const { return channelName; }

    // Installs `handler` for calls arriving on this channel; an empty handler removes it.
    // A message that does not decode as a method call is answered not-implemented and logged,
    // as Flutter's own channels do.
    void setMethodCallHandler(MethodCallHandler handler);

    // Calls `method` on the other side; no reply is expected.
    void invokeMethod(const std::string& method, EncodableValue arguments = {});

  private:
    BinaryMessenger& messenger;
    std::string channelName;
};

}  // namespace kestralune
