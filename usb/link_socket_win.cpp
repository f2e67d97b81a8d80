// The simulated link's sockets on Windows: TCP through Winsock. A socket directory
// (TESSARO_DEVSIM_DIR) lists nothing here; the simulated device is reached at its address.
// winsock2.h must come before windows.h
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <cstring>

#include "usb/link_socket.h"

namespace link_socket {

namespace {

constexpr int kSocketBuffer = 4 << 20;

SOCKET sock_of(Socket s) {
    return static_cast<SOCKET>(s);
}

bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

Io io_from_error(int err) {
    switch (err) {
        case WSAEWOULDBLOCK:
        case WSAEINTR:
            return Io::Again;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAENOTCONN:
        case WSAESHUTDOWN:
            return Io::Gone;
        default:
            return Io::Error;
    }
}

}  // namespace

void close_socket(Socket s) {
    ::closesocket(sock_of(s));
}

std::vector<std::string> socket_files(const char* /*dir*/) {
    return {};
}

Socket connect_link(const std::string& name, usb_platform_error* why) {
    auto tcp = tcp_address(name);
    if (!tcp || !winsock_ready()) {
        *why = USB_ERR_NOT_FOUND;
        return kNoSocket;
    }
    Owned s(static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (sock_of(s.get()) == INVALID_SOCKET) {
        *why = USB_ERR_IO;
        return kNoSocket;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(tcp->port);
    std::memcpy(&addr.sin_addr, tcp->ipv4, sizeof tcp->ipv4);
    if (::connect(sock_of(s.get()), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = WSAGetLastError();
        // nobody listens there: the device is away
        *why = err == WSAECONNREFUSED ? USB_ERR_NOT_FOUND
               : err == WSAENOBUFS    ? USB_ERR_NOT_ENOUGH_MEMORY
                                      : USB_ERR_IO;
        return kNoSocket;
    }
    u_long nonblocking = 1;
    ::ioctlsocket(sock_of(s.get()), FIONBIO, &nonblocking);
    int size = kSocketBuffer;
    const auto* opt = reinterpret_cast<const char*>(&size);
    ::setsockopt(sock_of(s.get()), SOL_SOCKET, SO_SNDBUF, opt, sizeof size);
    ::setsockopt(sock_of(s.get()), SOL_SOCKET, SO_RCVBUF, opt, sizeof size);
    // a status packet is small and waited for: it must not wait for the next one
    BOOL one = TRUE;
    ::setsockopt(sock_of(s.get()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one);
    return s.release();
}

Io receive(Socket s, void* buf, size_t n, size_t* got) {
    *got = 0;
    const int ask = static_cast<int>(std::min<size_t>(n, 1 << 30));
    const int r = ::recv(sock_of(s), static_cast<char*>(buf), ask, 0);
    if (r > 0) {
        *got = static_cast<size_t>(r);
        return Io::Ok;
    }
    if (r == 0) return Io::Gone;
    return io_from_error(WSAGetLastError());
}

Io send_two(Socket s, const void* a, size_t alen, const void* b, size_t blen, size_t* sent) {
    *sent = 0;
    WSABUF bufs[2] = {{static_cast<ULONG>(alen), static_cast<char*>(const_cast<void*>(a))},
                      {static_cast<ULONG>(blen), static_cast<char*>(const_cast<void*>(b))}};
    DWORD done = 0;
    if (::WSASend(sock_of(s), alen > 0 ? bufs : bufs + 1, alen > 0 ? 2 : 1, &done, 0, nullptr,
                  nullptr) == 0) {
        *sent = done;
        return Io::Ok;
    }
    return io_from_error(WSAGetLastError());
}

Wait wait_ready(Socket s, bool for_write, int timeout_ms) {
    WSAPOLLFD p{sock_of(s), static_cast<SHORT>(for_write ? POLLWRNORM : POLLRDNORM), 0};
    const int n = ::WSAPoll(&p, 1, timeout_ms);
    if (n > 0) return Wait::Ready;
    if (n == 0) return Wait::Timeout;
    return Wait::Error;
}

}  // namespace link_socket
