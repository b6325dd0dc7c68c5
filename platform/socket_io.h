#pragma once

#include "platform/unique_fd.h"

#include <cstddef>
#include <span>
#include <string_view>
#include <system_error>

namespace kestralune {

// Plain non-blocking calls on stream sockets, for a server that answers most connections
// straight away, without registering them with its event loop. Every call returns at once;
// `error` carries the system's error, and a would-block error (isWouldBlock) means "nothing
// ready now", not a failure. None of them raises SIGPIPE.

// The next connection waiting on a listening socket (itself in non-blocking mode), handed
// over in non-blocking mode; an invalid handle and `error` when none waits or accepting failed.
UniqueFd acceptConnection(int listener, std::error_code& error);

// What has arrived, at most buffer.size() bytes. 0 without an error: the peer has closed its
// sending side.
std::size_t receiveSome(int socket, std::span<char> buffer, std::error_code& error);

// As much of `bytes` as the socket takes now.
std::size_t sendSome(int socket, std::string_view bytes, std::error_code& error);

// Ends the sending side: what was sent still leaves, followed by the end of the stream.
void shutdownSending(int socket);

inline bool isWouldBlock(const std::error_code& error) {
    return error == std::errc::resource_unavailable_try_again ||
           error == std::errc::operation_would_block;
}

// The process or the system has no descriptor or buffer left for another socket.
inline bool isOutOfDescriptors(const std::error_code& error) {
    return error == std::errc::too_many_files_open ||
           error == std::errc::too_many_files_open_in_system ||
           error == std::errc::no_buffer_space || error == std::errc::not_enough_memory;
}

}  // namespace kestralune
