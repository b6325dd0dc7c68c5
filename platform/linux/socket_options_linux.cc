#include "platform/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace kestralune {

TcpCork::TcpCork(bool enabled) : TcpSocketOption(IPPROTO_TCP, TCP_CORK, enabled ? 1 : 0) {}

TcpDeferAccept::TcpDeferAccept(int seconds)
    : TcpSocketOption(IPPROTO_TCP, TCP_DEFER_ACCEPT, seconds) {}

}  // namespace kestralune
