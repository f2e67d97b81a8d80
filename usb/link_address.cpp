#include "usb/link_socket.h"

namespace link_socket {

std::optional<simlink::TcpAddress> tcp_address(std::string_view name) {
    if (!name.starts_with(kTcpPrefix)) return std::nullopt;
    auto a = simlink::parse_address(name.substr(kTcpPrefix.size()));
    // port 0 is a listener's "any port", never a device's address
    if (!a || a->port == 0) return std::nullopt;
    return a;
}

}  // namespace link_socket
