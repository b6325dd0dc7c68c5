#pragma once

#include <cstddef>

namespace kestralune {

// An Asio socket option (SettableSocketOption) that holds back partial TCP segments until
// the socket is closed or the option is cleared (Linux TCP_CORK). An answer written in one
// piece and then closed leaves in a single segment together with the connection's end.
// Set on a listening socket, it is inherited by every connection accepted from it.
class TcpCork {
  public:
    explicit TcpCork(bool enabled) : value(enabled ? 1 : 0) {}

    template <class Protocol>
    int level(const Protocol&) const {
        return optionLevel();
    }
    template <class Protocol>
    int name(const Protocol&) const {
        return optionName();
    }
    template <class Protocol>
    const void* data(const Protocol&) const {
        return &value;
    }
    template <class Protocol>
    std::size_t size(const Protocol&) const {
        return sizeof(value);
    }

  private:
    static int optionLevel();
    static int optionName();

    int value;
};

}  // namespace kestralune
