#pragma once

#include "platform/unique_fd.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <system_error>
#include <utility>

namespace kestralune {

// The client end of a Unix-domain stream socket driven by blocking calls, each bounded by a
// timeout: for synchronous clients that have no run loop. A call and its reply normally cost
// one write, one wait and one read.
//
// Errors: std::errc::timed_out when a timeout passes, std::errc::interrupted when a read's
// wait ended without bytes to read (a signal, most likely: read again with what is left of the
// time), otherwise the system's error. Writing never raises SIGPIPE. Not thread-safe;
// destroying the object closes the socket.
class BlockingStreamSocket {
  public:
    using Timeout = std::chrono::milliseconds;

    // Connects to the socket at `path`. A listener whose backlog is full is waited for at most
    // `timeout` (then timed_out).
    [[nodiscard]] static std::unique_ptr<BlockingStreamSocket> connect(
        const std::filesystem::path& path, Timeout timeout, std::error_code& error);

    ~BlockingStreamSocket() = default;
    BlockingStreamSocket(const BlockingStreamSocket&) = delete;
    BlockingStreamSocket& operator=(const BlockingStreamSocket&) = delete;

    // Writes `first` then `second` in full, as one write when the socket takes them. On an
    // error (timed_out included) part of them may have been written.
    [[nodiscard]] std::error_code writeAll(std::span<const std::uint8_t> first,
                                           std::span<const std::uint8_t> second, Timeout timeout);
    // Waits at most `timeout` (none: indefinitely) for bytes, then reads what has arrived, at
    // most `buffer.size()`. Returns the count; 0 without an error means the peer closed.
    [[nodiscard]] std::size_t readSome(std::span<std::uint8_t> buffer,
                                       std::optional<Timeout> timeout, std::error_code& error);

  private:
    explicit BlockingStreamSocket(UniqueFd fd) : fd(std::move(fd)) {}

    UniqueFd fd;
};

}  // namespace kestralune
