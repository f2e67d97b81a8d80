// The simulated link's sockets on POSIX hosts: Unix-domain sockets and TCP.
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "usb/link_socket.h"

// macOS has no MSG_NOSIGNAL: there the socket itself is set not to raise SIGPIPE
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace link_socket {

namespace {

// large buffers let a 1 MiB bulk transfer cross in few system calls
constexpr int kSocketBuffer = 4 << 20;

int fd_of(Socket s) {
    return static_cast<int>(s);
}

bool prepare(int fd) {
    int fl = ::fcntl(fd, F_GETFL);
    if (fl < 0 || ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return false;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#ifdef SO_NOSIGPIPE
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    int size = kSocketBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return true;
}

usb_platform_error connect_error(int err) {
    switch (err) {
        case ENOENT:
        case ECONNREFUSED:  // the socket is there but nobody listens: the device is away
            return USB_ERR_NOT_FOUND;
        case EACCES:
        case EPERM:
            return USB_ERR_ACCESS_DENIED;
        case ENOMEM:
        case ENOBUFS:
            return USB_ERR_NOT_ENOUGH_MEMORY;
        default:
            return USB_ERR_IO;
    }
}

Socket connect_to(int family, const sockaddr* addr, socklen_t len, usb_platform_error* why) {
    Owned s(::socket(family, SOCK_STREAM, 0));
    int fd = fd_of(s.get());
    if (fd < 0 || ::connect(fd, addr, len) != 0 || !prepare(fd)) {
        *why = connect_error(errno);
        return kNoSocket;
    }
    if (family != AF_UNIX) {
        // a status packet is small and waited for: it must not wait for the next one
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return s.release();
}

Io io_from_errno(int err) {
    switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
            return Io::Again;
        case EPIPE:
        case ECONNRESET:
        case ENOTCONN:
            return Io::Gone;
        default:
            return Io::Error;
    }
}

}  // namespace

void close_socket(Socket s) {
    ::close(fd_of(s));
}

std::vector<std::string> socket_files(const char* dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir), ::closedir);
    if (!d) return names;
    while (dirent* e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st {};
        std::string path = std::string(dir) + "/" + name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) names.push_back(name);
    }
    // byte order of the file names (std::string compares as unsigned bytes)
    std::sort(names.begin(), names.end());
    for (auto& name : names) name.insert(0, std::string(dir) + "/");
    return names;
}

Socket connect_link(const std::string& name, usb_platform_error* why) {
    if (auto tcp = tcp_address(name)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(tcp->port);
        std::memcpy(&addr.sin_addr, tcp->ipv4, sizeof tcp->ipv4);
        return connect_to(AF_INET, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, why);
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (name.size() >= sizeof addr.sun_path) {
        *why = USB_ERR_NOT_FOUND;
        return kNoSocket;
    }
    std::memcpy(addr.sun_path, name.c_str(), name.size() + 1);
    return connect_to(AF_UNIX, reinterpret_cast<const sockaddr*>(&addr), sizeof addr, why);
}

Io receive(Socket s, void* buf, size_t n, size_t* got) {
    *got = 0;
    ssize_t r = ::recv(fd_of(s), buf, n, 0);
    if (r > 0) {
        *got = static_cast<size_t>(r);
        return Io::Ok;
    }
    if (r == 0) return Io::Gone;
    return io_from_errno(errno);
}

Io send_two(Socket s, const void* a, size_t alen, const void* b, size_t blen, size_t* sent) {
    *sent = 0;
    iovec iov[2] = {{const_cast<void*>(a), alen}, {const_cast<void*>(b), blen}};
    msghdr msg{};
    msg.msg_iov = alen > 0 ? iov : iov + 1;
    msg.msg_iovlen = (alen > 0 ? 1 : 0) + (blen > 0 ? 1 : 0);
    // MSG_NOSIGNAL: a device that went away is an error code, never SIGPIPE
    ssize_t r = ::sendmsg(fd_of(s), &msg, MSG_NOSIGNAL);
    if (r >= 0) {
        *sent = static_cast<size_t>(r);
        return Io::Ok;
    }
    return io_from_errno(errno);
}

Wait wait_ready(Socket s, bool for_write, int timeout_ms) {
    pollfd p{fd_of(s), static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
    int n = ::poll(&p, 1, timeout_ms);
    if (n > 0) return Wait::Ready;
    if (n == 0) return Wait::Timeout;
    // a signal ends the wait early; the caller waits again for what is left
    return errno == EINTR ? Wait::Ready : Wait::Error;
}

}  // namespace link_socket
