// Feeds arbitrary bytes to the request reader in chunks whose sizes come from the input.
#include "blockserver/request_reader.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kestralune::RequestReader reader;
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    while (!rest.empty() && !reader.isComplete()) {
        const std::size_t chunk = 1 + static_cast<unsigned char>(rest.front()) % 64;
        rest.remove_prefix(1);
        reader.append(rest.substr(0, chunk));
        rest.remove_prefix(std::min(chunk, rest.size()));
    }
    reader.moreMayArrive();  // reads the header lines
    reader.peerClosed();
    const auto text = reader.requestText();
    if (text.size() > kestralune::RequestReader::kMaxRequestBytes) {
        __builtin_trap();
    }
    return 0;
}
