#include "platform/socket_options.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

namespace kestralune {

int TcpCork::optionLevel() {
    return IPPROTO_TCP;
}

int TcpCork::optionName() {
    return TCP_CORK;
}

}  // namespace kestralune
