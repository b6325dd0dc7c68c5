#pragma once

// Plain blocking loopback clients for the transport tests. Every receive and send is bounded
// by a generous time-out that only guards against a hanging test; no test asserts a time.

#include "platform/user_defaults.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace kestralune::testing {

// One client socket; closed when it goes out of scope.
class ClientSocket {
  public:
    explicit ClientSocket(int fd = -1) : fd(fd) {}
    ClientSocket(ClientSocket&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    ~ClientSocket() {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    bool isOpen() const { return fd >= 0; }
    // False once the server has closed (errno tells how) or the guard has passed.
    bool send(std::string_view bytes) const {
        for (ssize_t sent; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(sent))) {
            if ((sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) {
                return false;
            }
        }
        return true;
    }
    void shutdownWrite() const { ::shutdown(fd, SHUT_WR); }

    // Everything until the server's orderly close; nothing after a reset or the guard.
    std::optional<std::string> receiveAll() const {
        std::string received;
        char buffer[16384];
        for (ssize_t count; (count = ::recv(fd, buffer, sizeof(buffer), 0)) != 0;) {
            if (count < 0 && errno != EINTR) {
                return std::nullopt;
            }
            received.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
        }
        return received;
    }
    // Whether the server ends the connection (closes or resets it) without sending a byte.
    bool endsWithoutAnswer() const {
        char byte;
        const ssize_t count = ::recv(fd, &byte, 1, 0);
        return count == 0 || (count < 0 && errno == ECONNRESET);
    }
    // Whether anything (bytes or the close) arrives within `milliseconds`.
    bool hasActivityWithin(int milliseconds) const {
        pollfd entry{fd, POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) > 0;
    }

  private:
    int fd;
};

// `receiveBuffer` (bytes), when given, limits how much the server can send ahead.
inline ClientSocket connectTo(std::uint16_t port, const char* address = "127.0.0.1",
                              int receiveBuffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    const timeval guard{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &guard, sizeof(guard));
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, address, &target.sin_addr);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        ::close(fd);
        return ClientSocket();
    }
    return ClientSocket(fd);
}

// Sends one request, closes the sending side, returns the whole answer.
inline std::optional<std::string> sendRequest(std::uint16_t port, std::string_view request) {
    const ClientSocket client = connectTo(port);
    if (!client.send(request)) {
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

// An in-memory defaults domain that the test writes while the server reads it.
class MemoryDefaults final : public UserDefaults {
  public:
    std::optional<PlistValue> objectForKey(const std::string& key) const override {
        std::lock_guard lock(mutex);
        const auto found = values.find(key);
        return found == values.end() ? std::nullopt : std::optional<PlistValue>(found->second);
    }
    void setObject(const std::string& key, PlistValue value) override {
        std::lock_guard lock(mutex);
        values[key] = std::move(value);
    }
    void removeObject(const std::string& key) override {
        std::lock_guard lock(mutex);
        values.erase(key);
    }
    bool synchronize() override { return true; }

  private:
    mutable std::mutex mutex;
    std::map<std::string, PlistValue> values;
};

}  // namespace kestralune::testing
