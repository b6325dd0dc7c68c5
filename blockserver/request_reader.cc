#include "blockserver/request_reader.h"

#include "platform/text.h"

namespace kestralune {

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
    return Progress::complete;
}

std::string RequestReader::requestText() const {
    return isValidUtf8(bytes) ? bytes : std::string();
}

}  // namespace kestralune
