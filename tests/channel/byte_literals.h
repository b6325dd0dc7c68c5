#pragma once

#include "channel/standard_codec.h"

#include <cstdint>
#include <initializer_list>

namespace kestralune {

// Golden bytes written as small integers: bytes({0x07, 3, 'a', 'b', 'c'}).
inline ByteBuffer bytes(std::initializer_list<int> values) {
    ByteBuffer out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

}  // namespace kestralune
