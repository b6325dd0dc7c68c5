// Runs a libFuzzer entry point without libFuzzer: every file named on the command line,
// then --runs=N pseudo-random inputs built from a fixed seed, so the run is repeatable.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    long runs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--runs=", 7) == 0) {
            runs = std::strtol(argv[i] + 7, nullptr, 10);
            continue;
        }
        std::ifstream in(argv[i], std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::mt19937 rng(12345);
    std::vector<uint8_t> buffer;
    for (long run = 0; run < runs; ++run) {
        buffer.resize(rng() % 512);
        for (auto& b : buffer) {
            // Skew towards printable text so parsers get past their first byte.
            b = (rng() % 4 == 0) ? static_cast<uint8_t>(rng())
                                 : static_cast<uint8_t>(32 + rng() % 95);
        }
        LLVMFuzzerTestOneInput(buffer.data(), buffer.size());
    }
    return 0;
}
