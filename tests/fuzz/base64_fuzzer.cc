// Photos arrive from the UI as base64: the strict decoder meets any text. Arbitrary bytes must
// survive encoding and decoding; text that decodes must decode the same after a round trip;
// nothing may crash or read past the input.
#include "platform/base64.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace kestralune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (base64Decoded(base64Encoded(input)) != std::string(input)) {
        std::abort();
    }
    if (const auto decoded = base64Decoded(input)) {
        if (base64Decoded(base64Encoded(*decoded)) != decoded) {
            std::abort();
        }
    }
    return 0;
}
