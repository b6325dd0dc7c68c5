#include "blockserver/request_reader.h"

#include "platform/text.h"

#include <algorithm>

namespace kestralune {

namespace {

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lowerCase) {
    return std::equal(text.begin(), text.end(), lowerCase.begin(), lowerCase.end(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a + 32 : a) == b; });
}

// Whether one header line ("Name: value") announces a body.
bool declaresBody(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view name = line.substr(0, colon);
    if (equalsIgnoringAsciiCase(name, "transfer-encoding")) {
        return true;
    }
    if (!equalsIgnoringAsciiCase(name, "content-length")) {
        return false;
    }
    std::string_view value = line.substr(colon + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    value.remove_suffix(value.size() - std::min(value.find_last_not_of(" \t") + 1, value.size()));
    // Anything but a plain zero may be followed by a body.
    return value.empty() || value.find_first_not_of('0') != std::string_view::npos;
}

}  // namespace

RequestReader::Progress RequestReader::append(std::string_view chunk) {
    if (complete) {
        return Progress::complete;
    }
    // Start the search one byte back: the "\r" may have ended the previous chunk.
    const std::size_t searchFrom = bytes.empty() ? 0 : bytes.size() - 1;
    bytes.append(chunk.substr(0, remainingCapacity()));
    complete = bytes.size() == kMaxRequestBytes ||
               std::string_view(bytes).find("\r\n", searchFrom) != std::string_view::npos;
    return complete ? Progress::complete : Progress::needMore;
}

RequestReader::Progress RequestReader::peerClosed() {
    complete = true;
    closed = true;
    return Progress::complete;
}

void RequestReader::clear() {
    bytes.clear();
    complete = false;
    closed = false;
}

std::string_view RequestReader::requestText() const {
    return isValidUtf8(bytes) ? std::string_view(bytes) : std::string_view();
}

bool RequestReader::moreMayArrive() const {
    if (closed) {
        return false;
    }
    const std::string_view text = bytes;
    const std::size_t headEnd = text.find("\r\n\r\n");
    // At the limit the rest may not even have been read.
    if (bytes.size() == kMaxRequestBytes || headEnd == std::string_view::npos ||
        headEnd + 4 != text.size()) {
        return true;
    }
    std::size_t lineStart = text.find("\r\n") + 2;
    while (lineStart < headEnd) {
        const std::size_t lineEnd = text.find("\r\n", lineStart);
        if (declaresBody(text.substr(lineStart, lineEnd - lineStart))) {
            return true;
        }
        lineStart = lineEnd + 2;
    }
    return false;
}

}  // namespace kestralune
