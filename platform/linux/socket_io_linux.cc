#include "platform/socket_io.h"

#include <sys/socket.h>

#include <cerrno>

namespace kestralune {

namespace {

std::error_code lastError() {
    return {errno, std::system_category()};
}

}  // namespace

UniqueFd acceptConnection(int listener, std::error_code& error) {
    const int descriptor = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    error = descriptor < 0 ? lastError() : std::error_code();
    return UniqueFd(descriptor);
}

std::size_t receiveSome(int socket, std::span<char> buffer, std::error_code& error) {
    ssize_t count;
    do {
        count = ::recv(socket, buffer.data(), buffer.size(), 0);
    } while (count < 0 && errno == EINTR);
    error = count < 0 ? lastError() : std::error_code();
    return count < 0 ? 0 : static_cast<std::size_t>(count);
}

std::size_t sendSome(int socket, std::string_view bytes, std::error_code& error) {
    ssize_t count;
    do {
        count = ::send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (count < 0 && errno == EINTR);
    error = count < 0 ? lastError() : std::error_code();
    return count < 0 ? 0 : static_cast<std::size_t>(count);
}

void shutdownSending(int socket) {
    ::shutdown(socket, SHUT_WR);
}

}  // namespace kestralune
