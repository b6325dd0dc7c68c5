#pragma once

#include <string>
#include <vector>

namespace kestralune {

// The lines of a text split at "\n"; a text without a final line feed keeps its last line,
// and one with a final line feed ends with an empty line (so golden tests see it).
inline std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (true) {
        const auto end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::string::npos) {
            return lines;
        }
        start = end + 1;
    }
}

}  // namespace kestralune
