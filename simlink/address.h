// Where a simulated device can be reached over TCP: an IPv4 address and a port, written
// "A.B.C.D:PORT". The installer's backend and tessaro-devsim read it the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace simlink {

struct TcpAddress {
    uint8_t ipv4[4] = {};
    uint16_t port = 0;  // 0: any free port (a listener's choice)
};

// "A.B.C.D:PORT" with each part a decimal number in range; nothing for anything else.
std::optional<TcpAddress> parse_address(std::string_view text);
std::string format_address(const TcpAddress& a);

}  // namespace simlink
