#pragma once

#include <cstddef>

namespace kestralune {

// TCP socket options for Asio sockets and acceptors (set_option), for what Asio does not name.
class TcpSocketOption {
  public:
    template <class Protocol>
    int level(const Protocol&) const {
        return optionLevel;
    }
    template <class Protocol>
    int name(const Protocol&) const {
        return optionName;
    }
    template <class Protocol>
    const void* data(const Protocol&) const {
        return &value;
    }
    template <class Protocol>
    std::size_t size(const Protocol&) const {
        return sizeof(value);
    }

  protected:
    TcpSocketOption(int level, int name, int value)
        : optionLevel(level), optionName(name), value(value) {}

  private:
    int optionLevel;
    int optionName;
    int value;
};

// Holds back partial segments until the socket is closed or the option is cleared (Linux
// TCP_CORK): an answer written in one piece and then closed leaves in a single segment
// together with the connection's end. Set on a listener, accepted connections inherit it.
class TcpCork : public TcpSocketOption {
  public:
    explicit TcpCork(bool enabled);
};

// On a listener: a connection is handed to accept() once its first data (or its end) has
// arrived, or, for a client that stays silent, after about `seconds` (Linux
// TCP_DEFER_ACCEPT). The server is then woken once per connection instead of twice.
class TcpDeferAccept : public TcpSocketOption {
  public:
    explicit TcpDeferAccept(int seconds);
};

}  // namespace kestralune
