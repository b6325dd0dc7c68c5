#pragma once

// Plain blocking loopback clients for the transport tests. Every receive is bounded by a
// generous time-out that only guards against a hanging test; no test asserts a time.

#include "platform/testing/memory_user_defaults.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kestralune::testing {

inline constexpr int kReceiveGuardSeconds = 10;

// One client socket; closed when it goes out of scope.
class ClientSocket {
  public:
    ClientSocket() = default;
    explicit ClientSocket(int fd) : fd(fd) {}
    ClientSocket(ClientSocket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ClientSocket& operator=(ClientSocket&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~ClientSocket() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }

    bool send(std::string_view bytes) const {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }
    void shutdownWrite() const { ::shutdown(fd, SHUT_WR); }

    // Everything until the server closes; nothing when the guard time-out passes first.
    std::optional<std::string> receiveAll() const {
        std::string received;
        char buffer[16384];
        for (;;) {
            const ssize_t count = ::recv(fd, buffer, sizeof(buffer), 0);
            if (count > 0) {
                received.append(buffer, static_cast<std::size_t>(count));
            } else if (count == 0 || errno == ECONNRESET) {
                return received;
            } else if (errno != EINTR) {
                return std::nullopt;
            }
        }
    }

    // Whether anything (bytes or the close) arrives within `milliseconds`.
    bool hasActivityWithin(int milliseconds) const {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) > 0;
    }

  private:
    int fd = -1;
};

// `receiveBuffer` (bytes), when given, limits how much the server can send ahead.
inline ClientSocket connectTo(std::uint16_t port, const char* address = "127.0.0.1",
                              int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return ClientSocket();
    }
    ClientSocket client(fd);
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    timeval guard{kReceiveGuardSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address, &target.sin_addr);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        return ClientSocket();
    }
    return client;
}

// Sends one request, closes the sending side, returns the whole answer.
inline std::optional<std::string> sendRequest(std::uint16_t port, std::string_view request) {
    const ClientSocket client = connectTo(port);
    if (!client.isOpen() || !client.send(request)) {
        return std::nullopt;
    }
    client.shutdownWrite();
    return client.receiveAll();
}

// A loopback port nobody listens on right now.
inline std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Lets this process hold a few thousand sockets.
inline void raiseDescriptorLimit() {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

// An HTTP answer split into its head (status line and headers, without the blank line) and
// its body; nothing when there is no blank line.
struct HttpAnswer {
    std::string head;
    std::string body;
};

inline std::optional<HttpAnswer> splitAnswer(const std::string& answer) {
    const auto end = answer.find("\r\n\r\n");
    if (end == std::string::npos) {
        return std::nullopt;
    }
    return HttpAnswer{answer.substr(0, end), answer.substr(end + 4)};
}

using MemoryDefaults = MemoryUserDefaults;

}  // namespace kestralune::testing
