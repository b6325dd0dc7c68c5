#pragma once

#include "channel/encodable_value.h"

#include <functional>
#include <string>
#include <variant>

namespace kestralune {

// The three ways a method call can be answered, as the caller sees them.
struct MethodSuccess {
    EncodableValue value;
    friend bool operator==(const MethodSuccess&, const MethodSuccess&) = default;
};
// On the wire an empty message travels as null, as Flutter's own C++ wrapper sends it;
// a null message arrives here as the empty string.
struct MethodError {
    std::string code;
    std::string message;
    EncodableValue details;
    friend bool operator==(const MethodError&, const MethodError&) = default;
};
struct MethodNotImplemented {
    friend bool operator==(const MethodNotImplemented&, const MethodNotImplemented&) = default;
};
using MethodReply = std::variant<MethodSuccess, MethodError, MethodNotImplemented>;

// The reply to one incoming method call. Move-only so that exactly one owner can answer,
// and it answers exactly once: a second answer, or an answer through a moved-from result,
// is a programmer error (assert).
//
// A result destroyed (or overwritten by a move) without an answer replies the error
// kNoReplyErrorCode, so a caller never waits forever for a handler that forgot it. A handler
// that wants to answer later keeps the result alive until then.
//
// Main thread only: answering runs the reply sink on the calling thread.
class MethodResult {
  public:
    static constexpr const char* kNoReplyErrorCode = "no_reply";
    static constexpr const char* kNoReplyErrorMessage = "The call was dropped without a reply.";

    using Sink = std::function<void(MethodReply reply)>;

    // `sink` receives the one reply.
    explicit MethodResult(Sink sink);
    ~MethodResult();
    MethodResult(MethodResult&& other) noexcept;
    MethodResult& operator=(MethodResult&& other) noexcept;
    MethodResult(const MethodResult&) = delete;
    MethodResult& operator=(const MethodResult&) = delete;

    void success(EncodableValue value = {});
    void error(std::string code, std::string message = {}, EncodableValue details = {});
    void notImplemented();

    // True until the result has answered or has been moved from.
    bool isPending() const { return static_cast<bool>(sink); }

  private:
    void answer(MethodReply reply);
    void answerIfPending();

    Sink sink;
};

}  // namespace kestralune
