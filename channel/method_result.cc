#include "channel/method_result.h"

#include <cassert>
#include <utility>

namespace kestralune {

MethodResult::MethodResult(Sink sink) : sink(std::move(sink)) {
    assert(this->sink);
}

MethodResult::~MethodResult() {
    answerIfPending();
}

MethodResult::MethodResult(MethodResult&& other) noexcept : sink(std::exchange(other.sink, {})) {}

MethodResult& MethodResult::operator=(MethodResult&& other) noexcept {
    if (this != &other) {
        answerIfPending();
        sink = std::exchange(other.sink, {});
    }
    return *this;
}

void MethodResult::success(EncodableValue value) {
    answer(MethodSuccess{std::move(value)});
}

void MethodResult::error(std::string code, std::string message, EncodableValue details) {
    answer(MethodError{std::move(code), std::move(message), std::move(details)});
}

void MethodResult::notImplemented() {
    answer(MethodNotImplemented{});
}

void MethodResult::answer(MethodReply reply) {
    assert(sink && "a method call is answered exactly once");
    if (!sink) {
        return;
    }
    // Cleared before the call so that a sink re-entering this result sees it answered.
    Sink once = std::exchange(sink, {});
    once(std::move(reply));
}

void MethodResult::answerIfPending() {
    if (sink) {
        answer(MethodError{kNoReplyErrorCode, kNoReplyErrorMessage, {}});
    }
}

}  // namespace kestralune
