#pragma once

#include "channel/encodable_value.h"

#include <string>

namespace kestralune {

// One incoming or outgoing call on a method channel: the method name and its one argument
// value (null when the caller sent none; several arguments travel as a list or map).
struct MethodCall {
    std::string method;
    EncodableValue arguments;

    friend bool operator==(const MethodCall&, const MethodCall&) = default;
};

}  // namespace kestralune
