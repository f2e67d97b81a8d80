#include "devsim/posix_shims.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace devsim {

namespace {

// Linux has calls that make a descriptor with its flags in one step (pipe2, SOCK_NONBLOCK,
// accept4, ppoll, MSG_NOSIGNAL); elsewhere the flags are set after the descriptor is made.
#ifndef __linux__
bool set_nonblocking_cloexec(int fd) {
    int fl = ::fcntl(fd, F_GETFL);
    return fl >= 0 && ::fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0 &&
           ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

// closes fd when its flags cannot be set
int with_flags(int fd) {
    if (fd >= 0 && !set_nonblocking_cloexec(fd)) {
        ::close(fd);
        return -1;
    }
    return fd;
}
#endif

}  // namespace

int make_pipe(int p[2]) {
#ifdef __linux__
    return ::pipe2(p, O_NONBLOCK | O_CLOEXEC);
#else
    if (::pipe(p) != 0) return -1;
    if (set_nonblocking_cloexec(p[0]) && set_nonblocking_cloexec(p[1])) return 0;
    ::close(p[0]);
    ::close(p[1]);
    return -1;
#endif
}

int make_listener(int family) {
#ifdef __linux__
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
#else
    return with_flags(::socket(family, SOCK_STREAM, 0));
#endif
}

int accept_connection(int listener) {
#ifdef __linux__
    return ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
#else
    int fd = ::accept(listener, nullptr, nullptr);
#ifdef SO_NOSIGPIPE
    if (fd >= 0) {
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
    }
#endif
    return with_flags(fd);
#endif
}

ssize_t send_no_signal(int fd, const void* data, size_t n) {
#ifdef MSG_NOSIGNAL
    return ::send(fd, data, n, MSG_NOSIGNAL);
#else
    // the socket was set not to raise it when it was accepted
    return ::send(fd, data, n, 0);
#endif
}

int wait_for_events(std::span<pollfd> fds,
                    std::optional<std::chrono::steady_clock::time_point> deadline) {
    using namespace std::chrono;
    nanoseconds left{};
    if (deadline) {
        left =
            std::max(duration_cast<nanoseconds>(*deadline - steady_clock::now()), nanoseconds(0));
    }
#ifdef __linux__
    // to the microsecond, so a rate limit is kept closely
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
    wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
    return ::ppoll(fds.data(), fds.size(), deadline ? &wait : nullptr, nullptr);
#else
    // poll counts whole milliseconds: rounded up, so a deadline is never met early
    int timeout = -1;
    if (deadline) {
        const auto ms = ceil<milliseconds>(left).count();
        timeout = static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
    }
    return ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout);
#endif
}

}  // namespace devsim
