#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestralune {

// Collects the bytes of one request as they arrive and says when there is enough to route
// it: once the first line is complete ("\r\n" seen), the peer has closed, or the limit has
// arrived. Does no I/O; the connection feeds it whatever each read returned. Bytes past
// the limit are dropped. Used by one connection at a time, on the block-server queue.
class RequestReader {
  public:
    enum class Progress { needMore, complete };

    // The most a request may hold; what arrives beyond it is never looked at.
    static constexpr std::size_t kMaxRequestBytes = 65536;

    // Adds one chunk. Returns complete once the request can be routed; chunks added after
    // that are ignored.
    Progress append(std::string_view chunk);
    // The peer closed (or the read failed): whatever arrived is the whole request.
    Progress peerClosed();
    // Empty again, for the next connection; keeps the memory it has.
    void clear();

    bool isComplete() const { return complete; }
    // How many more bytes may still be added.
    std::size_t remainingCapacity() const { return kMaxRequestBytes - bytes.size(); }

    // The request as UTF-8 text; the empty text when the bytes are not valid UTF-8.
    std::string_view requestText() const;

    // Whether the client may still send on this connection. False only once it has closed
    // its side, or once the whole head has arrived ("\r\n\r\n") declaring no body (no
    // Content-Length above 0, no Transfer-Encoding) with nothing after it: then the answer
    // can be followed by a plain close. Otherwise a close would meet unread bytes and reset
    // the connection, losing the answer.
    bool moreMayArrive() const;

  private:
    std::string bytes;
    bool complete = false;
    bool closed = false;
};

}  // namespace kestralune
